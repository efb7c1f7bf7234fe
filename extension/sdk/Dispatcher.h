// The session's callback thread. Application callbacks never run on the pipe
// reader thread: a callback that made a blocking SDK call there would wait
// for an answer that only the reader thread could deliver.
#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace Orvane {
namespace Extension {
namespace SDK {

class Dispatcher {
 public:
  Dispatcher();
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Queues a task; tasks run one at a time in the order posted. Ignored once
  // stopped. With `wake` false the thread, if it sleeps, is left asleep
  // until a later Post or Wake: one wake-up for a run of tasks.
  void Post(std::function<void()> task, bool wake = true);
  void Wake();

  // Drops the tasks not yet begun and waits for the running one. From a task
  // itself it returns at once and the thread ends after that task.
  void Stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
