// The two queues and their workers. Producers only append and signal; each
// worker handles its queue's items one at a time, in queue order, with no
// queue lock held while a handler runs.
#include <atomic>
#include <deque>
#include <utility>

#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::QueuePipeMessage(PipeItem item) {
  {
    platform::CriticalSectionLock guard(pipeQueueLock);
    pipeQueue.push_back(std::move(item));
  }
  platform::SetEventObject(pipeQueueEvent);
}

void ChannelBridge::QueuePcoipMessage(std::string bytes) {
  {
    platform::CriticalSectionLock guard(pcoipQueueLock);
    pcoipQueue.push_back(std::move(bytes));
  }
  platform::SetEventObject(pcoipQueueEvent);
}

namespace {

// One worker's loop: wait for the queue's event, then drain the queue one item
// at a time with no lock held while `handle` runs. The event is auto-reset, so
// everything queued before a wake-up is handled after it. Until the bridge has
// started (`ready`), items stay queued: nothing that arrives early is lost.
// `running` is read before the drain, so the last pass, woken by the teardown,
// still handles every item queued before the teardown began, even when the
// worker had not yet reached its first wait.
template <typename Item, typename Handler>
void RunQueueWorker(const std::atomic<bool>& running, const std::atomic<bool>& ready,
                    platform::EventHandle event, platform::CriticalSection& lock,
                    std::deque<Item>& queue, const char* waitFailedText, Handler handle) {
  for (;;) {
    if (platform::WaitForEvent(event, platform::kInfinite) != platform::kWaitObject0) {
      platform::OutputDebugText(waitFailedText);
    }
    const bool lastPass = !running.load();
    if (ready.load()) {
      for (;;) {
        Item item;
        {
          platform::CriticalSectionLock guard(lock);
          if (queue.empty()) {
            break;
          }
          item = std::move(queue.front());
          queue.pop_front();
        }
        handle(item);
      }
    }
    if (lastPass) {
      return;
    }
  }
}

}  // namespace

void ChannelBridge::PipeQueueWorker() {
  RunQueueWorker(workersRunning, routinesReady, pipeQueueEvent, pipeQueueLock, pipeQueue,
                 ChannelBridgeText::kPipeQueueWaitFailed,
                 [this](const PipeItem& item) { HandlePipeMessage(item); });
}

void ChannelBridge::PcoipQueueWorker() {
  RunQueueWorker(workersRunning, routinesReady, pcoipQueueEvent, pcoipQueueLock, pcoipQueue,
                 ChannelBridgeText::kPcoipQueueWaitFailed,
                 [this](const std::string& bytes) { HandlePcoipMessage(bytes); });
}
