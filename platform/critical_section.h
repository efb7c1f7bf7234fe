// A recursive lock with explicit initialise and delete, like a Win32 critical
// section: some owners (the plug-in's transmit lock) are initialised and
// deleted many times over the life of the process.
#pragma once

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("critical section") CriticalSection {
 public:
  CriticalSection() = default;
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Initialize on an initialised section first deletes the old one.
  void Initialize();
  void Delete();
  bool IsInitialized() const { return impl_ != nullptr; }

  // Enter and Leave on a section that is not initialised do nothing.
  void Enter() ACQUIRE();
  void Leave() RELEASE();

 private:
  void* impl_ = nullptr;
};

// Holds an initialised section for one scope.
class SCOPED_CAPABILITY CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& section) ACQUIRE(section) : section_(section) {
    section_.Enter();
  }
  ~CriticalSectionLock() RELEASE() { section_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& section_;
};

}  // namespace platform
