#include "platform/posix/pipe_poller.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace pipe_detail {

Poller& Poller::Get() {
  static Poller* poller = new Poller();  // never destroyed: used until exit
  return *poller;
}

bool Poller::AddUser() {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  if (users_ == 0) {
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) return false;
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
      close(epollFd);
      return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev) != 0) {
      close(wakeFd);
      close(epollFd);
      return false;
    }
    try {
      thread_ = std::thread(&Poller::Run, this, epollFd, wakeFd);
    } catch (...) {
      close(wakeFd);
      close(epollFd);
      return false;
    }
    epollFd_.store(epollFd);
    wakeFd_ = wakeFd;
  }
  ++users_;
  return true;
}

void Poller::RemoveUser() {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  if (users_ == 0 || --users_ > 0) return;
  const uint64_t one = 1;
  while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
  close(wakeFd_);
  close(epollFd_.load());
  wakeFd_ = -1;
  epollFd_.store(-1);
}

uint64_t Poller::Register(std::shared_ptr<Pollable> target) {
  std::lock_guard<std::mutex> lock(targetsMutex_);
  const uint64_t id = nextId_++;
  targets_.emplace(id, std::move(target));
  return id;
}

void Poller::Unregister(uint64_t id) {
  std::shared_ptr<Pollable> dropped;  // released outside the lock
  std::lock_guard<std::mutex> lock(targetsMutex_);
  auto it = targets_.find(id);
  if (it != targets_.end()) {
    dropped = std::move(it->second);
    targets_.erase(it);
  }
}

bool Poller::Arm(int fd, uint64_t id, uint32_t events, bool* added) {
  epoll_event ev{};
  ev.events = events | EPOLLONESHOT;
  ev.data.u64 = id;
  const int epollFd = epollFd_.load();
  if (*added) return epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev) == 0;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  *added = true;
  return true;
}

void Poller::Forget(int fd, bool* added) {
  if (!*added) return;
  epoll_event ev{};
  epoll_ctl(epollFd_.load(), EPOLL_CTL_DEL, fd, &ev);
  *added = false;
}

void Poller::Run(int epollFd, int wakeFd) {
  epoll_event events[64];
  for (;;) {
    const int n = epoll_wait(epollFd, events, 64, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < n; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == 0) {
        uint64_t value = 0;
        if (read(wakeFd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return;
        continue;
      }
      std::shared_ptr<Pollable> target;
      {
        std::lock_guard<std::mutex> lock(targetsMutex_);
        auto it = targets_.find(id);
        if (it != targets_.end()) target = it->second;
      }
      if (target) target->OnReady(events[i].events);
    }
  }
}

}  // namespace pipe_detail
}  // namespace platform
