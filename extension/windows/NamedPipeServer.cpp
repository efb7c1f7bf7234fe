#include "extension/windows/NamedPipeServer.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <utility>

#include "extension/windows/NamedPipeServerShared.h"
#include "platform/last_error.h"
#include "platform/named_pipe.h"
#include "platform/standard_output.h"

namespace Orvane {
namespace Extension {
namespace Windows {

namespace {

// Reader threads of several servers print at the same time; each diagnostic
// goes out as one piece so that lines never interleave.
void WriteToConsole(const std::string& text, bool endLine) { platform::WriteStandardOutput(text, endLine); }

}  // namespace

namespace pipe_server_detail {

// A client can make a server print (a refused message, a stalled read), so a
// line printed too often is summarised instead of repeated.
void Print(const std::string& text, LineEnd end) {
  const bool endLine = end == LineEnd::kNewLine;
  diagnostics::RepeatLimiter::Origin origin;
  origin.level = endLine ? 1 : 0;
  const diagnostics::RepeatLimiter::Verdict verdict =
      ConsoleLimiter().Admit(text, text, diagnostics::RepeatLimiter::Clock::now(), origin);
  for (const auto& summary : verdict.summaries) WriteToConsole(summary.text, summary.origin.level != 0);
  if (verdict.write) WriteToConsole(text, endLine);
}

std::string WithCode(const char* text, uint32_t code) {
  std::ostringstream line;
  line << text << code;
  return line.str();
}

std::atomic<uint32_t>& WriteTimeoutMs() {
  static std::atomic<uint32_t> timeoutMs{NamedPipeServer::kWriteTimeoutMs};
  return timeoutMs;
}

}  // namespace pipe_server_detail

using namespace pipe_server_detail;

namespace {

constexpr size_t kIoEventIndex = 0;

std::atomic<uint32_t>& StalledMessageTimeoutMs() {
  static std::atomic<uint32_t> timeoutMs{NamedPipeServer::kStalledMessageTimeoutMs};
  return timeoutMs;
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

diagnostics::RepeatLimiter& ConsoleLimiter() {
  // Never freed: servers are deleted, and may print, while the library unloads.
  static diagnostics::RepeatLimiter* limiter =
      new diagnostics::RepeatLimiter([](const diagnostics::RepeatLimiter::Summary& summary) {
        WriteToConsole(summary.text, summary.origin.level != 0);
      });
  return *limiter;
}

void NamedPipeServer::SetWriteTimeoutMs(uint32_t timeoutMs) { WriteTimeoutMs().store(timeoutMs); }

void NamedPipeServer::SetStalledMessageTimeoutMs(uint32_t timeoutMs) {
  StalledMessageTimeoutMs().store(timeoutMs);
}

void NamedPipeServer::SetReadGate(platform::EventHandle roomEvent) { readGate = roomEvent; }

NamedPipeServer::NamedPipeServer(std::string pipeName, int32_t maxInstances)
    : pipeName(std::move(pipeName)), maxInstances(maxInstances == 0 ? 1 : maxInstances) {
  platform::EventHandle ioEvent = platform::CreateEventObject(true, false);
  if (ioEvent == nullptr) {
    Print(WithCode("Create event failed with ", platform::GetLastErrorCode()), LineEnd::kNewLine);
  }
  platform::EventHandle exitEvent = platform::CreateEventObject(true, false);
  if (exitEvent == nullptr) {
    Print(WithCode("Create exit event failed with ", platform::GetLastErrorCode()), LineEnd::kNone);
  }
  // A null handle stays in the list: the reader thread's first wait then fails
  // and the server ends up stopped instead of half working.
  waitHandles.push_back(ioEvent);
  waitHandles.push_back(exitEvent);
}

NamedPipeServer::~NamedPipeServer() {
  Stop();
  StopWriter();
  if (readerThread.joinable()) {
    readerThread.join();
  }
  // A server that stopped by itself (its wait failed, or it could not listen
  // again) still holds its pipe open.
  ClosePipeHandle();
  for (platform::EventHandle event : waitHandles) {
    if (event != nullptr) {
      platform::CloseEventObject(event);
    }
  }
}

std::unique_ptr<NamedPipeServer::PipeInstance> NamedPipeServer::CreateInstance() {
  auto record = std::make_unique<PipeInstance>();
  record->overlapped.event = waitHandles[kIoEventIndex];
  record->buffer.assign(kReadBufferSize, 0);
  record->pipe = platform::CreateNamedPipeInstance(
      pipeName, platform::kPipeAccessDuplexOverlapped, platform::kPipeMessageModeWait,
      static_cast<uint32_t>(maxInstances), kPipeQuota, kPipeQuota, kDefaultTimeoutMs);
  if (record->pipe == platform::InvalidPipeHandle()) {
    Print(WithCode("Failed to create NamedPipe client. Error=", platform::GetLastErrorCode()),
          LineEnd::kNewLine);
    // The code alone does not say which file or whose folder is at fault.
    const std::string detail = platform::LastPipeFailureDetail();
    if (!detail.empty()) {
      Print("Pipe " + platform::DescribePipeLocation(pipeName) + ": " + detail, LineEnd::kNewLine);
    }
    return nullptr;
  }
  return record;
}

SDK::TransportStatus NamedPipeServer::Start() {
  if (running.load() != 0) {
    return SDK::TransportStatus::Ok;
  }
  if (readerThread.joinable()) {
    readerThread.join();
  }
  platform::ResetEventObject(waitHandles[1]);

  std::unique_ptr<PipeInstance> record = CreateInstance();
  if (record == nullptr) {
    return SDK::TransportStatus::Failed;
  }
  bool connectPendingNow = false;
  if (!platform::ConnectNamedPipeInstance(record->pipe, &record->overlapped)) {
    const uint32_t status = platform::GetLastErrorCode();
    connectPendingNow = status == platform::kErrorIoPending;
    Print(WithCode("Connect status: ", status), LineEnd::kNewLine);
  }

  // The previous instance's reader has been joined, so nobody uses it now.
  ClosePipeHandle();
  {
    platform::MutexLock sendGuard(sendLock);
    platform::MutexLock ioGuard(ioLock);
    SetOpenPipe(record->pipe);
  }
  instance = std::move(record);
  pendingMessage.clear();
  pendingFilled = 0;
  readerState = connectPendingNow ? ReaderState::kListening : ReaderState::kConnected;
  readPastGates = false;
  NoteReadProgress();

  running.exchange(1);
  StartWriter();
  readerThread = std::thread(&NamedPipeServer::ReadLoop, this);
  return SDK::TransportStatus::Ok;
}

void NamedPipeServer::Stop() {
  if (running.exchange(0) != 1) {
    return;
  }
  if (disconnectCallback) {
    disconnectCallback();
  }
  platform::SetEventObject(waitHandles[1]);
  ClosePipeHandle();
  StopWriter();
}

void NamedPipeServer::SetLeavingCallback(std::function<void()> callback) {
  leavingCallback = std::move(callback);
}

void NamedPipeServer::SetCaughtUpCallback(std::function<void()> callback) {
  caughtUpCallback = std::move(callback);
}

void NamedPipeServer::NoteCaughtUp() {
  if (handedOnSinceCatchUp == 0) return;
  handedOnSinceCatchUp = 0;
  if (caughtUpCallback) caughtUpCallback();
}

void NamedPipeServer::SetReceiveCallback(std::function<void(std::string)> callback) {
  receiveCallback = std::move(callback);
}

void NamedPipeServer::SetDisconnectCallback(std::function<void()> callback) {
  disconnectCallback = std::move(callback);
}

void NamedPipeServer::ClosePipeHandle() {
  platform::MutexLock sendGuard(sendLock);
  platform::MutexLock ioGuard(ioLock);
  if (openPipe != platform::InvalidPipeHandle()) {
    platform::ClosePipe(openPipe);
    SetOpenPipe(platform::InvalidPipeHandle());
  }
}

void NamedPipeServer::ReadLoop() {
  // No read may start while the connect is pending, even though one would
  // fail at once while no client is there: the record is the connect's until
  // its completion has been written into it. A client that connects just
  // before such a read turns it into a real read on the same record, and the
  // connect's completion, which reaches the record later (the system writes
  // it on behalf of the thread that called Start), then lands on top of the
  // read's: the read's event and outcome are taken for the connect's or the
  // other way round, and a piece of a message is lost or the reader hangs.
  // So a pending connect is waited for here like any other operation; the
  // first read starts when its completion is collected.
  if (readerState != ReaderState::kListening && !StartNextMessage()) {
    OnClientGone();
  }
  while (running.load() != 0) {
    // Before any wait that may sleep, the owner hears that everything read
    // so far has been handed on.
    const bool held = readerState == ReaderState::kHeld;
    if (!readDoneAtOnce || held) NoteCaughtUp();
    readDoneAtOnce = false;
    if (held) {
      // No read is under way, so ioEvent may still carry the last one's
      // completion: only the gate and the exit event are waited for.
      if (!ResumeReading()) {
        break;
      }
      continue;
    }
    const uint32_t result = platform::WaitForAnyEvent(
        waitHandles.data(), static_cast<uint32_t>(waitHandles.size()), ReadWaitMs());
    if (result == platform::kWaitTimeout) {
      CheckForStalledClient();
      continue;
    }
    if (result != platform::kWaitObject0 + kIoEventIndex) {
      break;
    }
    OnIoCompleted();
  }
  NoteCaughtUp();
  running.exchange(0);
}

namespace {
bool Closed(platform::EventHandle gate) {
  return gate != nullptr && platform::WaitForEvent(gate, 0) != platform::kWaitObject0;
}
}  // namespace

bool NamedPipeServer::StartNextMessage() {
  // The owner's gate (its queue for this client is full) or the client's own
  // outbound queue (it does not read what it is sent) holds reading back.
  if (!readPastGates && (Closed(readGate) || Closed(outbound.RoomEvent()))) {
    readerState = ReaderState::kHeld;
    return true;
  }
  return IssueRead();
}

bool NamedPipeServer::ResumeReading() {
  // Waits for one closed gate; StartNextMessage looks at both again.
  const platform::EventHandle roomEvent = outbound.RoomEvent();
  const platform::EventHandle closedGate =
      Closed(readGate) ? readGate : Closed(roomEvent) ? roomEvent : nullptr;
  const platform::EventHandle gateOrExit[2] = {closedGate, waitHandles[1]};
  while (closedGate != nullptr) {
    const uint32_t result = platform::WaitForAnyEvent(gateOrExit, 2, kHeldLookMs);
    if (result == platform::kWaitObject0) break;
    if (result != platform::kWaitTimeout) return false;
    {
      platform::MutexLock guard(ioLock);
      readPastGates =
          openPipe != platform::InvalidPipeHandle() && platform::PipeClientHasLeft(openPipe);
    }
    if (readPastGates) {
      if (leavingCallback) leavingCallback();
      break;
    }
  }
  readerState = ReaderState::kConnected;
  NoteReadProgress();
  if (running.load() != 0 && !StartNextMessage()) {
    OnClientGone();
  }
  return true;
}

uint32_t NamedPipeServer::ReadWaitMs() const {
  if (readerState == ReaderState::kListening) {
    return platform::kInfinite;  // no client: nothing can stall
  }
  return std::max<uint32_t>(StalledMessageTimeoutMs().load() / 4, 10);
}

void NamedPipeServer::NoteReadProgress() {
  stallMark = 0;
  stallSinceMs = NowMs();
}

void NamedPipeServer::CheckForStalledClient() {
  const uint32_t timeoutMs = StalledMessageTimeoutMs().load();
  uint64_t mark = pendingFilled;
  {
    platform::MutexLock guard(ioLock);
    if (openPipe == platform::InvalidPipeHandle() || disconnectedByServer) {
      return;
    }
    mark += platform::PipePartialMessageBytes(openPipe);
    if (mark == 0 || mark != stallMark) {
      // Between messages, or the message moved on since the last look.
      stallMark = mark;
      stallSinceMs = NowMs();
      return;
    }
    if (NowMs() - stallSinceMs < timeoutMs) {
      return;
    }
    // Disconnected here, the client makes the pending read fail, and the
    // reader thread takes its usual client-gone step (departure reported,
    // listen again), exactly as for a client that left.
    if (!platform::DisconnectNamedPipeInstance(openPipe)) {
      return;
    }
    disconnectedByServer = true;
  }
  Print(WithCode("Pipe client stalled in the middle of a message; client disconnected. Timeout=",
                 timeoutMs),
        LineEnd::kNewLine);
}

bool NamedPipeServer::IssueRead() {
  platform::MutexLock guard(ioLock);
  if (openPipe == platform::InvalidPipeHandle()) {
    return false;
  }
  char* into = instance->buffer.data();
  uint32_t size = kReadBufferSize;
  const bool inPlace =
      pendingFilled > 0 && pendingMessage.capacity() - pendingFilled >= kReadBufferSize;
  readerState = inPlace ? ReaderState::kReadingInPlace : ReaderState::kReading;
  if (inPlace) {
    // The rest of a message whose length is known: read where it will stay.
    size = static_cast<uint32_t>(
        std::min<size_t>(pendingMessage.capacity() - pendingFilled, kDirectReadStep));
    pendingMessage.resize(pendingFilled + size);
    into = &pendingMessage[pendingFilled];
  }
  if (platform::ReadPipe(openPipe, into, size, &instance->overlapped)) {
    readDoneAtOnce = true;
    return true;
  }
  // 234: a long message was already waiting; the read holds its first piece
  // and its completion reports the rest as more of the same message.
  const uint32_t error = platform::GetLastErrorCode();
  readDoneAtOnce = error == platform::kErrorMoreData;
  return error == platform::kErrorIoPending || error == platform::kErrorMoreData;
}

bool NamedPipeServer::KeepPiece(const char* data, uint32_t count) {
  // More follows, so reaching the quota here means the message exceeds it.
  if (pendingFilled + count >= kPipeQuota) {
    return false;
  }
  if (pendingFilled == 0) {
    uint64_t left = 0;
    {
      platform::MutexLock guard(ioLock);
      if (openPipe != platform::InvalidPipeHandle()) {
        left = platform::PipeMessageBytesLeft(openPipe);
      }
    }
    // Room for the whole message (never beyond the quota, whatever was
    // announced), but only address space: pages are touched as the bytes
    // arrive, so a client that announces a long message and sends little of
    // it costs little.
    if (left > 0) {
      pendingMessage.reserve(std::min<uint64_t>(count + left, kPipeQuota));
    }
  }
  pendingMessage.resize(pendingFilled);
  pendingMessage.append(data, count);
  pendingFilled += count;
  return true;
}

bool NamedPipeServer::TakeCompletion(bool* completed, uint32_t* count, uint32_t* error) {
  platform::MutexLock guard(ioLock);
  if (openPipe == platform::InvalidPipeHandle()) {
    return false;
  }
  *completed = platform::GetPipeOverlappedResult(openPipe, &instance->overlapped, count, false);
  *error = platform::GetLastErrorCode();
  if (!*completed && *error == platform::kErrorIoIncomplete) {
    // The event was set while the operation is still under way. Clear it and
    // look again, so that a completion between the two looks is not missed
    // and a stale signal does not spin the loop.
    platform::ResetEventObject(waitHandles[kIoEventIndex]);
    *completed = platform::GetPipeOverlappedResult(openPipe, &instance->overlapped, count, false);
    *error = platform::GetLastErrorCode();
    if (!*completed && *error == platform::kErrorIoIncomplete) {
      return false;
    }
  }
  return true;
}

void NamedPipeServer::OnIoCompleted() {
  if (running.load() == 0) {
    return;
  }
  bool completed = false;
  uint32_t count = 0;
  uint32_t error = 0;
  if (!TakeCompletion(&completed, &count, &error)) {
    return;
  }

  NoteReadProgress();
  if (readerState == ReaderState::kListening) {
    OnConnectCompleted(completed, error);
    return;
  }

  if (!completed && (error == platform::kErrorBrokenPipe || error == platform::kErrorPipeNotConnected)) {
    OnClientGone();
    return;
  }

  const char* data = instance->buffer.data();
  if (readerState == ReaderState::kReadingInPlace) {
    // The bytes are in place already.
    pendingFilled += count;
    data = nullptr;
    count = 0;
  }
  if (!completed && error == platform::kErrorMoreData) {
    OnPieceRead(data, count);
    return;
  }
  if (!completed) {
    Print(WithCode("Error reading Pipe LastError: ", error), LineEnd::kNone);
  }

  HandOn(data, count);
  if (!StartNextMessage()) {
    OnClientGone();
  }
}

void NamedPipeServer::OnPieceRead(const char* data, uint32_t count) {
  // One piece of a message longer than the buffer: keep it and read on.
  if (data != nullptr ? !KeepPiece(data, count) : pendingFilled >= kPipeQuota) {
    Print(WithCode("Pipe message longer than the quota refused; client disconnected. Limit=",
                   kPipeQuota),
          LineEnd::kNewLine);
    OnClientGone();
    return;
  }
  if (!IssueRead()) {
    OnClientGone();
  }
}

void NamedPipeServer::OnConnectCompleted(bool completed, uint32_t error) {
  // A client is there and its first read can start, or the connect failed and
  // the instance listens again.
  readerState = ReaderState::kConnected;
  if (!completed) {
    Print(WithCode("Connect status: ", error), LineEnd::kNewLine);
    // 995: the system cancelled the connect because the thread that issued
    // it (the one that called Start, which a host may end soon after)
    // ended. No client was involved, and one may be connecting right now:
    // listen again from this thread, which lives as long as the server,
    // without disconnecting anyone or reporting a departure.
    OnClientGone(error != platform::kErrorOperationAborted);
    return;
  }
  if (!StartNextMessage()) {
    OnClientGone();
  }
}

void NamedPipeServer::HandOn(const char* data, uint32_t count) {
  std::string message;
  pendingMessage.resize(pendingFilled);
  message.swap(pendingMessage);
  pendingFilled = 0;
  if (data != nullptr) {
    message.append(data, count);
  }
  if (!message.empty() && receiveCallback) {
    receiveCallback(std::move(message));
    if (++handedOnSinceCatchUp >= kMessagesPerCatchUp) NoteCaughtUp();
  }
}

void NamedPipeServer::OnClientGone(bool clientWasThere) {
  readPastGates = false;
  // Whatever part of a message the client left behind is worthless now.
  pendingMessage.clear();
  pendingMessage.shrink_to_fit();
  pendingFilled = 0;
  for (;; clientWasThere = true) {
    if (running.load() != 1) {
      return;
    }
    if (clientWasThere && disconnectCallback) {
      disconnectCallback();
    }
    uint32_t error = platform::kErrorSuccess;
    if (!ListenAgain(clientWasThere, &error)) {
      return;
    }
    if (error == platform::kErrorIoPending) {
      readerState = ReaderState::kListening;
      return;  // the next client's connect completes on ioEvent
    }
    if (error == platform::kErrorPipeConnected) {
      // A client came in between the two calls: no completion will signal
      // ioEvent for it, so its first read starts here.
      readerState = ReaderState::kConnected;
      NoteReadProgress();
      if (StartNextMessage()) {
        return;
      }
      continue;  // that client left at once as well
    }
    // The instance cannot listen again. Going on would report the same
    // departure over and over; the server stops instead and its owner sees
    // every later Send fail.
    Print(WithCode("Failed to listen again on NamedPipe. Error=", error), LineEnd::kNewLine);
    running.exchange(0);
    return;
  }
}

bool NamedPipeServer::ListenAgain(bool clientWasThere, uint32_t* error) {
  // sendLock too: a write meant for the departed client either ends before
  // the count moves on or sees the new count and is dropped; it never reaches
  // the next client. A write to a client that has gone fails at once, so this
  // wait is short.
  platform::MutexLock sendGuard(sendLock);
  platform::MutexLock guard(ioLock);
  if (openPipe == platform::InvalidPipeHandle()) {
    return false;
  }
  if (clientWasThere) {
    ++clientGeneration;
  }
  // A client that the server disconnected itself is gone already: a second
  // disconnect would fail and stop the server.
  const bool alreadyDisconnected = disconnectedByServer || !clientWasThere;
  disconnectedByServer = false;
  if (!alreadyDisconnected && !platform::DisconnectNamedPipeInstance(openPipe)) {
    *error = platform::GetLastErrorCode();
  } else if (platform::ConnectNamedPipeInstance(openPipe, &instance->overlapped)) {
    *error = platform::kErrorPipeConnected;
  } else {
    *error = platform::GetLastErrorCode();
  }
  return true;
}

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
