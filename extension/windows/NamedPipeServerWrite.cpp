// The pipe server's write side: messages for its client written at once when
// the pipe has room, the rest queued in its outbound queue and written by its
// writer thread, with the write time-out that lets a client go that stopped
// reading. Every write holds the outbound queue's wire.
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
  platform::MutexLock ioGuard(ioLock);
  return clientGeneration;
}

SDK::TransportStatus NamedPipeServer::Write(const std::string& message, const uint64_t* onlyTo) {
  if (message.size() > UINT32_MAX) {
    return SDK::TransportStatus::Failed;
  }
  // In turn with the writer thread and the owner's writes from the queue: a
  // message the queue has begun on the wire is finished first.
  outbound.Acquire();
  const platform::PipeMessageView view{message.data(), static_cast<uint32_t>(message.size())};
  platform::PipeWriteProgress progress;
  const WriteOutcome outcome = WriteRun(&view, 1, onlyTo, WriteMode::kBlocking, &progress);
  outbound.Release(0, platform::PipeWriteProgress{});
  return outcome.written == 1 ? SDK::TransportStatus::Ok : SDK::TransportStatus::Failed;
}

NamedPipeServer::WriteOutcome NamedPipeServer::WriteRun(const platform::PipeMessageView* views,
                                                        size_t count, const uint64_t* onlyTo,
                                                        WriteMode mode,
                                                        platform::PipeWriteProgress* progress) {
  if (mode == WriteMode::kBlocking) {
    sendLock.lock();
  } else if (!sendLock.try_lock()) {
    // Only a client coming or going holds it, briefly: the waiting writer
    // takes the messages instead.
    WriteOutcome outcome;
    outcome.pending = true;
    return outcome;
  }
  const WriteOutcome outcome = WriteRunUnderSendLock(views, count, onlyTo, mode, progress);
  sendLock.unlock();
  return outcome;
}

NamedPipeServer::WriteOutcome NamedPipeServer::WriteRunUnderSendLock(
    const platform::PipeMessageView* views, size_t count, const uint64_t* onlyTo, WriteMode mode,
    platform::PipeWriteProgress* progress) {
  WriteOutcome outcome;
  // Never before a successful Start, and never through a handle Stop closed.
  const platform::PipeHandle pipe = PipeForWrite();
  if (running.load() != 1 || pipe == platform::InvalidPipeHandle()) {
    return outcome;
  }
  uint64_t generation = 0;
  {
    platform::MutexLock ioGuard(ioLock);
    generation = clientGeneration;
  }
  // The count changes only under sendLock too, so the client checked here is
  // the one written to.
  if (onlyTo != nullptr && *onlyTo != generation) {
    return outcome;
  }
  const uint32_t timeoutMs = WriteTimeoutMs().load();
  const bool done =
      mode == WriteMode::kBlocking
          ? platform::WritePipeMessages(pipe, views, count, timeoutMs, &outcome.written, progress)
          : platform::TryWritePipeMessages(pipe, views, count, &outcome.written, progress);
  if (done) {
    return outcome;
  }
  const uint32_t error = platform::GetLastErrorCode();
  if (mode == WriteMode::kNonBlocking && error == platform::kErrorIoPending) {
    outcome.pending = true;
  } else if (error == platform::kErrorSemTimeout) {
    DropClientThatStoppedReading(generation, timeoutMs);
    outcome.timedOut = true;
  }
  return outcome;
}

void NamedPipeServer::DropClientThatStoppedReading(uint64_t generation, uint32_t timeoutMs) {
  {
    platform::MutexLock ioGuard(ioLock);
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
        clientGeneration == generation && !disconnectedByServer &&
        platform::DisconnectNamedPipeInstance(openPipe)) {
      disconnectedByServer = true;
    }
  }
  Print(WithCode("Pipe client not reading; write timed out, client disconnected. Timeout=", timeoutMs),
        LineEnd::kNewLine);
}

bool NamedPipeServer::QueueToClient(uint64_t client, std::string message, WhenFull whenFull,
                                    WriteBy writeBy) {
  if (running.load() != 1 || CurrentClient() != client) {
    return false;
  }
  for (;;) {
    switch (outbound.Push(client, &message, whenFull, writeBy)) {
      case OutboundQueue::Pushed::kQueued:
        return true;
      case OutboundQueue::Pushed::kWriteNow:
        WriteQueuedNow();
        return true;
      case OutboundQueue::Pushed::kStopped:
        return false;
      case OutboundQueue::Pushed::kFull:
        outbound.WaitForRoom();
        // The client may have gone while the queue drained.
        if (CurrentClient() != client) {
          return false;
        }
        break;
    }
  }
}

void NamedPipeServer::WriteQueuedNow() {
  OutboundQueue::Run run;
  for (;;) {
    // The writer has the wire (and takes these next), or nothing waits.
    if (!outbound.TryAcquire(&run)) {
      return;
    }
    const WriteOutcome outcome = WriteRun(run.views.data(), run.views.size(), &run.client,
                                          WriteMode::kNonBlocking, &run.progress);
    if (outcome.pending) {
      // The rest waits for room: the writer, woken as the wire is given
      // back, waits for it, never the owner.
      outbound.Release(outcome.written, run.progress);
      return;
    }
    // Written, or refused as a whole (the client has gone).
    outbound.Release(run.views.size(), platform::PipeWriteProgress{});
  }
}

void NamedPipeServer::StartWriter() {
  StopWriter();
  outbound.Reopen();
  writerThread = std::thread(&NamedPipeServer::WriteLoop, this);
}

void NamedPipeServer::StopWriter() {
  outbound.Stop();
  if (writerThread.joinable()) {
    writerThread.join();
  }
  outbound.DropAll();
}

void NamedPipeServer::WriteLoop() {
  OutboundQueue::Run run;
  while (outbound.AcquireWhenQueued(&run)) {
    // Written holding no lock of the queue, so the owner keeps queueing (and
    // other pipes' writers keep writing) while this one waits on its client;
    // the room of the messages comes back once they are written. A run that
    // fails is dropped whole: its client has gone, or is let go now.
    const WriteOutcome outcome = WriteRun(run.views.data(), run.views.size(), &run.client,
                                          WriteMode::kBlocking, &run.progress);
    if (outcome.timedOut && writeTimedOutCallback) {
      writeTimedOutCallback();
    }
    outbound.Release(run.views.size(), platform::PipeWriteProgress{});
  }
}

void NamedPipeServer::SetWriteTimedOutCallback(std::function<void()> callback) {
  writeTimedOutCallback = std::move(callback);
}

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
