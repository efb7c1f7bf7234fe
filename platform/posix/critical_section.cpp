// Critical sections on POSIX: a recursive mutex, like a Win32 critical section.
#include "platform/critical_section.h"

#include <mutex>

namespace platform {

namespace {
std::recursive_mutex* Impl(void* impl) { return static_cast<std::recursive_mutex*>(impl); }
}  // namespace

CriticalSection::~CriticalSection() { Delete(); }

void CriticalSection::Initialize() {
  Delete();
  impl_ = new std::recursive_mutex();
}

void CriticalSection::Delete() {
  delete Impl(impl_);
  impl_ = nullptr;
}

void CriticalSection::Enter() {
  if (impl_ != nullptr) Impl(impl_)->lock();
}

void CriticalSection::Leave() {
  if (impl_ != nullptr) Impl(impl_)->unlock();
}

}  // namespace platform
