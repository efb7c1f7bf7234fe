// Reads the debugger channel the way a debug-output viewer does: the shared
// DBWIN_BUFFER section and its two events. Only entries of this process are
// kept. One listener at a time per machine (the objects have global names).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvx_win32_test {

class DbwinListener {
 public:
  DbwinListener();
  ~DbwinListener();
  DbwinListener(const DbwinListener&) = delete;
  DbwinListener& operator=(const DbwinListener&) = delete;

  bool ok() const { return ok_; }
  // Waits until at least `count` entries have arrived or the time is up.
  std::vector<std::string> WaitFor(size_t count, uint32_t timeoutMs);
  std::vector<std::string> Entries();

 private:
  void Run();

  bool ok_ = false;
  void* bufferReady_ = nullptr;
  void* dataReady_ = nullptr;
  void* stop_ = nullptr;
  void* mapping_ = nullptr;
  const char* view_ = nullptr;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<std::string> entries_;
  std::thread thread_;
};

}  // namespace kvx_win32_test
