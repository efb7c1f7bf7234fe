// The pipe server's write side: messages for its client written at once when
// the pipe has room, the rest queued in its outbound share and written by its
// writer thread, with the write time-out that lets a client go that stopped
// reading.
#include <algorithm>
#include <utility>

#include "extension/windows/NamedPipeServer.h"
#include "extension/windows/NamedPipeServerShared.h"
#include "platform/last_error.h"
#include "platform/named_pipe.h"

namespace Orvane {
namespace Extension {
namespace Windows {

using namespace pipe_server_detail;

SDK::TransportStatus NamedPipeServer::Send(std::string message) {
  return Write(message, nullptr);
}

SDK::TransportStatus NamedPipeServer::SendToClient(uint64_t client, const std::string& message) {
  return Write(message, &client);
}

uint64_t NamedPipeServer::CurrentClient() {
  std::lock_guard<std::mutex> ioGuard(ioLock);
  return clientGeneration;
}

SDK::TransportStatus NamedPipeServer::Write(const std::string& message, const uint64_t* onlyTo) {
  if (message.size() > UINT32_MAX) {
    return SDK::TransportStatus::Failed;
  }
  // In turn with the writer thread and the owner's writes from the share: a
  // message the share has begun on the wire is finished first.
  {
    std::unique_lock<std::mutex> guard(outboundLock);
    outboundQueued.notify_one();
    wireFree.wait(guard, [this] { return !wireHeld && (frontProgress.sent == 0 || writerStopping); });
    wireHeld = true;
  }
  const platform::PipeMessageView view{message.data(), static_cast<uint32_t>(message.size())};
  platform::PipeWriteProgress progress;
  const WriteOutcome outcome = WriteRun(&view, 1, onlyTo, true, &progress);
  ReleaseWire(0, platform::PipeWriteProgress{});
  return outcome.written == 1 ? SDK::TransportStatus::Ok : SDK::TransportStatus::Failed;
}

NamedPipeServer::WriteOutcome NamedPipeServer::WriteRun(const platform::PipeMessageView* views,
                                                        size_t count, const uint64_t* onlyTo,
                                                        bool wait,
                                                        platform::PipeWriteProgress* progress) {
  WriteOutcome outcome;
  std::unique_lock<std::mutex> guard(sendLock, std::defer_lock);
  if (wait) {
    guard.lock();
  } else if (!guard.try_lock()) {
    // Only a client coming or going holds it, briefly: the waiting writer
    // takes the messages instead.
    outcome.pending = true;
    return outcome;
  }
  // Never before a successful Start, and never through a handle Stop closed.
  if (running.load() != 1 || openPipe == platform::InvalidPipeHandle()) {
    return outcome;
  }
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> ioGuard(ioLock);
    generation = clientGeneration;
  }
  // The count changes only under sendLock too, so the client checked here is
  // the one written to.
  if (onlyTo != nullptr && *onlyTo != generation) {
    return outcome;
  }
  const uint32_t timeoutMs = WriteTimeoutMs().load();
  const bool done =
      wait ? platform::WritePipeMessages(openPipe, views, count, timeoutMs, &outcome.written, progress)
           : platform::TryWritePipeMessages(openPipe, views, count, &outcome.written, progress);
  if (done) {
    return outcome;
  }
  const uint32_t error = platform::GetLastErrorCode();
  if (!wait && error == platform::kErrorIoPending) {
    outcome.pending = true;
  } else if (error == platform::kErrorSemTimeout) {
    DropClientThatStoppedReading(generation, timeoutMs);
    outcome.timedOut = true;
  }
  return outcome;
}

void NamedPipeServer::DropClientThatStoppedReading(uint64_t generation, uint32_t timeoutMs) {
  {
    std::lock_guard<std::mutex> ioGuard(ioLock);
    // The connection changes only in the reader thread's client-gone step,
    // which counts a generation under ioLock. The same generation means the
    // client written to is still connected: disconnect it here, so that no
    // later Send writes after the piece of a message it left, and the pending
    // read fails, which sends the reader thread through its client-gone step
    // (callback, listen again) once. A different generation means the reader
    // thread has let that client go already (it left just as the time ran
    // out); disconnecting now would drop the next client instead. (A write
    // reaches a newer client only if one client left and the next arrived in
    // the instant between the look at the generation and the write.)
    if (running.load() == 1 && openPipe != platform::InvalidPipeHandle() &&
        clientGeneration == generation && !disconnectedBySend &&
        platform::DisconnectNamedPipeInstance(openPipe)) {
      disconnectedBySend = true;
    }
  }
  Print(WithCode("Pipe client not reading; write timed out, client disconnected. Timeout=", timeoutMs),
        true);
}

bool NamedPipeServer::QueueToClient(uint64_t client, std::string message, bool waitForRoom,
                                    bool writeHere, OutboundNote note) {
  if (running.load() != 1 || CurrentClient() != client) {
    return false;
  }
  const size_t charge = message.size() + kOutboundItemOverheadBytes;
  {
    std::unique_lock<std::mutex> guard(outboundLock);
    if (waitForRoom && outboundBytes >= kOutboundShareBytes) {
      // What the owner left for its own write goes to the writer now: it is
      // what makes room.
      heldForOwner = 0;
      outboundQueued.notify_one();
      outboundRoom.wait(guard, [this] { return writerStopping || outboundBytes < kOutboundShareBytes; });
      // The client may have gone while the share drained.
      if (CurrentClient() != client) {
        return false;
      }
    }
    if (writerStopping) {
      return false;
    }
    outbound.push_back(OutboundItem{client, std::move(message), note});
    outboundBytes += charge;
    UpdateOutboundRoom();
    if (writeHere) {
      // The owner writes what it queued once it has no more at hand, or once
      // a gathered write's worth waits; until then the writer sleeps on.
      heldForOwner += charge;
      if (heldForOwner < kGatherBytes) {
        return true;
      }
    } else {
      heldForOwner = 0;
    }
  }
  if (writeHere) {
    WriteQueuedNow();
  } else {
    outboundQueued.notify_one();
  }
  return true;
}

void NamedPipeServer::WriteQueuedNow() {
  for (;;) {
    std::vector<platform::PipeMessageView> views;
    uint64_t client = 0;
    platform::PipeWriteProgress progress;
    {
      std::lock_guard<std::mutex> guard(outboundLock);
      heldForOwner = 0;
      // The writer has the wire (and takes these next), or nothing waits.
      if (wireHeld || outbound.empty() || writerStopping) {
        return;
      }
      wireHeld = true;
      client = TakeRun(&views);
      progress = frontProgress;
    }
    const WriteOutcome outcome = WriteRun(views.data(), views.size(), &client, false, &progress);
    if (outcome.pending) {
      // The rest waits for room: the writer waits for it, never the owner.
      ReleaseWire(outcome.written, progress);
      outboundQueued.notify_one();
      return;
    }
    // Written, or refused as a whole (the client has gone).
    ReleaseWire(views.size(), platform::PipeWriteProgress{});
  }
}

uint64_t NamedPipeServer::TakeRun(std::vector<platform::PipeMessageView>* views) {
  // The items stay where they are in the share (a deque keeps its elements
  // in place while others are added behind them), and only the holder of the
  // wire takes them off, so the views stay good without the lock.
  const uint64_t client = outbound.front().client;
  size_t bytes = 0;
  for (const OutboundItem& item : outbound) {
    if (item.client != client || (!views->empty() && bytes + item.bytes.size() > kGatherBytes)) {
      break;
    }
    views->push_back(
        platform::PipeMessageView{item.bytes.data(), static_cast<uint32_t>(item.bytes.size())});
    bytes += item.bytes.size();
  }
  return client;
}

void NamedPipeServer::ReleaseWire(size_t handled, platform::PipeWriteProgress progress) {
  std::vector<OutboundNote> drained;
  {
    std::lock_guard<std::mutex> guard(outboundLock);
    for (size_t i = 0; i < handled && !outbound.empty(); ++i) {
      outboundBytes -= outbound.front().bytes.size() + kOutboundItemOverheadBytes;
      if (outbound.front().note.bytes != 0) drained.push_back(outbound.front().note);
      outbound.pop_front();
    }
    frontProgress = progress;
    if (handled > 0) {
      UpdateOutboundRoom();
    }
    wireHeld = false;
    wireFree.notify_all();
    // What was queued while another held the wire (Send, or the owner) and is
    // not kept for the owner's own write is the writer's: it slept through the
    // queueing, seeing the wire held.
    if (!outbound.empty() && heldForOwner == 0) {
      outboundQueued.notify_one();
    }
  }
  // Reported outside the lock: the owner's callback takes locks of its own.
  if (!drained.empty()) ReportDrained(drained);
}

void NamedPipeServer::ReportDrained(const std::vector<OutboundNote>& notes) {
  if (drainedCallback) drainedCallback(notes);
}

void NamedPipeServer::SetDrainedCallback(
    std::function<void(const std::vector<OutboundNote>&)> callback) {
  drainedCallback = std::move(callback);
}

void NamedPipeServer::UpdateOutboundRoom() {
  const bool hasRoom = outboundBytes < kOutboundShareBytes;
  outboundHasRoom.store(hasRoom);
  if (hasRoom) {
    outboundRoom.notify_all();
  }
  if (outboundRoomEvent == nullptr) {
    return;
  }
  // The event is set and reset under outboundLock, so it agrees with the count.
  if (hasRoom) {
    platform::SetEventObject(outboundRoomEvent);
  } else {
    platform::ResetEventObject(outboundRoomEvent);
  }
}

void NamedPipeServer::StartWriter() {
  StopWriter();
  {
    std::lock_guard<std::mutex> guard(outboundLock);
    writerStopping = false;
  }
  writerThread = std::thread(&NamedPipeServer::WriteLoop, this);
}

void NamedPipeServer::StopWriter() {
  {
    std::lock_guard<std::mutex> guard(outboundLock);
    writerStopping = true;
  }
  outboundQueued.notify_all();
  outboundRoom.notify_all();
  wireFree.notify_all();
  if (writerThread.joinable()) {
    writerThread.join();
  }
  std::unique_lock<std::mutex> guard(outboundLock);
  // The owner may be writing from the share on its own thread right now.
  wireFree.wait(guard, [this] { return !wireHeld; });
  std::vector<OutboundNote> drained;
  for (const OutboundItem& item : outbound) {
    if (item.note.bytes != 0) drained.push_back(item.note);
  }
  outbound.clear();
  outboundBytes = 0;
  heldForOwner = 0;
  frontProgress = platform::PipeWriteProgress{};
  UpdateOutboundRoom();
  wireFree.notify_all();
  guard.unlock();
  if (!drained.empty()) ReportDrained(drained);
}

void NamedPipeServer::WriteLoop() {
  std::vector<platform::PipeMessageView> views;
  for (;;) {
    uint64_t client = 0;
    platform::PipeWriteProgress progress;
    {
      std::unique_lock<std::mutex> guard(outboundLock);
      outboundQueued.wait(guard,
                          [this] { return writerStopping || (!outbound.empty() && !wireHeld); });
      if (writerStopping) {
        return;
      }
      wireHeld = true;
      views.clear();
      client = TakeRun(&views);
      progress = frontProgress;
    }
    // Written with no lock of the share held, so the owner keeps queueing
    // (and other pipes' writers keep writing) while this one waits on its
    // client; the room of the messages comes back once they are written. A
    // run that fails is dropped whole: its client has gone, or is let go now.
    const WriteOutcome outcome = WriteRun(views.data(), views.size(), &client, true, &progress);
    if (outcome.timedOut && writeTimedOutCallback) {
      writeTimedOutCallback();
    }
    ReleaseWire(views.size(), platform::PipeWriteProgress{});
  }
}

void NamedPipeServer::SetWriteTimedOutCallback(std::function<void()> callback) {
  writeTimedOutCallback = std::move(callback);
}

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
