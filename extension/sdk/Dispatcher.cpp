#include "extension/sdk/Dispatcher.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace Orvane {
namespace Extension {
namespace SDK {

// Shared with the thread, so that a thread detached by a Stop from inside a
// task still has its queue after the Dispatcher is gone.
struct Dispatcher::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  bool stopped = false;
};

Dispatcher::Dispatcher() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  thread_ = std::thread([state] {
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
      state->wake.wait(lock, [&] { return state->stopped || !state->tasks.empty(); });
      if (state->stopped) return;
      std::function<void()> task = std::move(state->tasks.front());
      state->tasks.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // whatever the task held is released outside the lock
      lock.lock();
    }
  });
}

Dispatcher::~Dispatcher() { Stop(); }

void Dispatcher::Post(std::function<void()> task, bool wake) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stopped) return;
    state_->tasks.push_back(std::move(task));
  }
  // Outside the lock, so that the thread it wakes does not at once wait for it.
  if (wake) state_->wake.notify_one();
}

void Dispatcher::Wake() { state_->wake.notify_one(); }

void Dispatcher::Stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopped = true;
    dropped.swap(state_->tasks);
    state_->wake.notify_one();
  }
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
