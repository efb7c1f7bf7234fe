// Private to the POSIX named pipe stand-in: one process-wide epoll thread that
// completes the pipe operations that must wait (a connect waiting for a client,
// a read waiting for data). It runs only while pipe instances exist: the first
// user starts it, the last one stops and joins it.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {
namespace pipe_detail {

// Something the poller can wake: it is told the epoll events it registered for.
class Pollable {
 public:
  virtual ~Pollable() = default;
  virtual void OnReady(uint32_t events) = 0;
};

class Poller {
 public:
  static Poller& Get();

  // Counted users: the thread runs while there is at least one. RemoveUser
  // joins the thread when the count drops to zero; never call it from a
  // Pollable's OnReady.
  bool AddUser();
  void RemoveUser();

  // Ids name pollables in epoll records, so that a late event for an object
  // that is gone finds nothing instead of freed memory.
  uint64_t Register(std::shared_ptr<Pollable> target);
  void Unregister(uint64_t id);

  // Arms `fd` for one report of `events` (EPOLLONESHOT). `*added` tells
  // whether the fd is already in the epoll set; it is set on success.
  bool Arm(int fd, uint64_t id, uint32_t events, bool* added);
  // Takes `fd` out of the epoll set (before it is closed).
  void Forget(int fd, bool* added);

 private:
  Poller() = default;
  void Run(int epollFd, int wakeFd);

  std::mutex lifecycleMutex_;  // users_, thread_, the two descriptors' life
  int users_ = 0;
  std::thread thread_;
  std::atomic<int> epollFd_{-1};
  int wakeFd_ = -1;

  std::mutex targetsMutex_;
  std::unordered_map<uint64_t, std::shared_ptr<Pollable>> targets_;
  uint64_t nextId_ = 1;  // 0 is the wake descriptor
};

}  // namespace pipe_detail
}  // namespace platform
