// How much received data a session holds that the application has not taken
// yet. The reader waits while it is at the bound instead of reading the pipe
// on: the plug-in then holds the far sender back as it does for any slow
// reader, and lets an application that has stopped reading go after its
// write time-out, rather than the application's memory taking everything.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace Orvane {
namespace Extension {
namespace SDK {

class ReceiveBudget {
 public:
  // What one queued message counts besides its data, so that a flood of
  // empty messages is bounded too.
  static constexpr size_t kPerMessageBytes = 64;

  explicit ReceiveBudget(size_t limitBytes) : limit_(limitBytes) {}

  static size_t CostOf(size_t dataBytes) { return dataBytes + kPerMessageBytes; }

  // The reader queued a message of this cost.
  void Take(size_t cost);
  // The application took it, or it was discarded.
  void Give(size_t cost);
  // The reader's wait before it reads on: until the unread bytes are below
  // the bound (one message always passes, however large), or Cancel.
  void WaitForRoom();
  bool Full() const;
  // Ends every wait for good: the session is closing.
  void Cancel();

  uint64_t Unread() const;
  uint64_t Peak() const;

 private:
  const size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable room_;
  uint64_t unread_ = 0;
  uint64_t peak_ = 0;
  bool cancelled_ = false;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
