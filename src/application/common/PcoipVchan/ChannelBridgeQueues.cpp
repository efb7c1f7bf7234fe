// The two queues and their workers. Producers only append and signal; each
// worker handles its queue's items one at a time, in queue order, with no
// queue lock held while a handler runs.
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

void ChannelBridge::PipeQueueWorker() {
  while (workersRunning.load()) {
    if (platform::WaitForEvent(pipeQueueEvent, platform::kInfinite) != platform::kWaitObject0) {
      platform::OutputDebugText(ChannelBridgeText::kPipeQueueWaitFailed);
    }
    // Until the bridge has started, items wait in the queue.
    if (!routinesReady.load()) {
      continue;
    }
    // The event is auto-reset: drain everything queued before the wake-up.
    for (;;) {
      PipeItem item;
      {
        platform::CriticalSectionLock guard(pipeQueueLock);
        if (pipeQueue.empty()) {
          break;
        }
        item = std::move(pipeQueue.front());
        pipeQueue.pop_front();
      }
      HandlePipeMessage(item);
    }
  }
}

void ChannelBridge::PcoipQueueWorker() {
  while (workersRunning.load()) {
    if (platform::WaitForEvent(pcoipQueueEvent, platform::kInfinite) != platform::kWaitObject0) {
      platform::OutputDebugText(ChannelBridgeText::kPcoipQueueWaitFailed);
    }
    // Messages from the peer that came before the start are held, not lost.
    if (!routinesReady.load()) {
      continue;
    }
    for (;;) {
      std::string bytes;
      {
        platform::CriticalSectionLock guard(pcoipQueueLock);
        if (pcoipQueue.empty()) {
          break;
        }
        bytes = std::move(pcoipQueue.front());
        pcoipQueue.pop_front();
      }
      HandlePcoipMessage(bytes);
    }
  }
}
