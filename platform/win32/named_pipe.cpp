#include "platform/named_pipe.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/win32/win32_api.h"

namespace platform {

// The server side hands the real OVERLAPPED to the system; it lives in the
// record's `internal` words, and the record's event is copied into it before
// each operation. ReadFile and ConnectNamedPipe set the status words and reset
// the event themselves, and every completion, immediate or not, writes the
// outcome there and sets the event, so nothing is kept beside the OVERLAPPED.
// The caller must not start an operation on a record whose previous one has
// not completed: its completion would be written over the new one's.
static_assert(sizeof(OVERLAPPED) <= sizeof(PipeOverlapped::internal),
              "OVERLAPPED must fit in PipeOverlapped::internal");
static_assert(alignof(OVERLAPPED) <= alignof(uint64_t), "OVERLAPPED alignment");

namespace {

thread_local std::string tFailureDetail;

OVERLAPPED* SystemOverlapped(PipeOverlapped* overlapped) {
  auto* system = reinterpret_cast<OVERLAPPED*>(overlapped->internal);
  system->hEvent = overlapped->event;
  return system;
}

// Keeps the last error of a failed call across the clean-up after it.
class PreservedError {
 public:
  PreservedError() : code_(GetLastError()) {}
  ~PreservedError() { SetLastError(code_); }
  PreservedError(const PreservedError&) = delete;
  PreservedError& operator=(const PreservedError&) = delete;
  DWORD code() const { return code_; }

 private:
  DWORD code_;
};

// One overlapped operation's record and event, for calls that block until
// their own operation completes.
class PrivateOperation {
 public:
  PrivateOperation() { overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~PrivateOperation() {
    if (overlapped_.hEvent != nullptr) {
      PreservedError keep;
      CloseHandle(overlapped_.hEvent);
    }
  }
  PrivateOperation(const PrivateOperation&) = delete;
  PrivateOperation& operator=(const PrivateOperation&) = delete;

  bool valid() const { return overlapped_.hEvent != nullptr; }
  OVERLAPPED* get() { return &overlapped_; }
  HANDLE event() const { return overlapped_.hEvent; }

 private:
  OVERLAPPED overlapped_{};
};

}  // namespace

// ---- server side ----

PipeHandle CreateNamedPipeInstance(const std::string& name, uint32_t openMode, uint32_t pipeMode,
                                   uint32_t maxInstances, uint32_t outBufferSize,
                                   uint32_t inBufferSize, uint32_t defaultTimeoutMs) {
  return CreateNamedPipeA(name.c_str(), openMode, pipeMode, maxInstances, outBufferSize,
                          inBufferSize, defaultTimeoutMs, nullptr);
}

bool ConnectNamedPipeInstance(PipeHandle pipe, PipeOverlapped* overlapped) {
  return ConnectNamedPipe(pipe, SystemOverlapped(overlapped)) != FALSE;
}

bool DisconnectNamedPipeInstance(PipeHandle pipe) { return DisconnectNamedPipe(pipe) != FALSE; }

bool ReadPipe(PipeHandle pipe, void* buffer, uint32_t size, PipeOverlapped* overlapped) {
  // A read that ends at once, whole (TRUE) or with the first piece of a
  // longer message (ERROR_MORE_DATA, a warning status to the system), has
  // completed like a pending one: the outcome is in the OVERLAPPED and the
  // event is set, so its owner learns of it the same way.
  return ReadFile(pipe, buffer, size, nullptr, SystemOverlapped(overlapped)) != FALSE;
}

bool GetPipeOverlappedResult(PipeHandle pipe, PipeOverlapped* overlapped, uint32_t* transferred,
                             bool wait) {
  DWORD count = 0;
  BOOL ok = GetOverlappedResult(pipe, SystemOverlapped(overlapped), &count, wait ? TRUE : FALSE);
  if (transferred != nullptr) *transferred = count;
  return ok != FALSE;
}

bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written) {
  return WritePipe(pipe, data, size, written, kInfinite);
}

bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written, uint32_t timeoutMs) {
  if (written != nullptr) *written = 0;
  // The handle is open for overlapped I/O and its reader owns the instance's
  // record and event, so the write gets a record and event of its own and
  // waits for its own completion.
  PrivateOperation operation;
  if (!operation.valid()) return false;
  DWORD count = 0;
  BOOL ok = WriteFile(pipe, data, size, nullptr, operation.get());
  if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
  if (!ok) {
    // A write waits here while the client's unread messages fill the pipe's
    // quota. It must not outlive the wait: the record, the event and the
    // caller's bytes all go away on return, so a write that runs out of time
    // is cancelled and its end (cancelled, or completed after all) waited for.
    const DWORD wait = WaitForSingleObject(operation.event(), timeoutMs == kInfinite ? INFINITE : timeoutMs);
    if (wait != WAIT_OBJECT_0) {
      CancelIoEx(pipe, operation.get());
      ok = GetOverlappedResult(pipe, operation.get(), &count, TRUE);
      if (!ok) {
        // Whatever ended it (the cancellation, or the client leaving at the
        // same moment), the caller learns that time ran out.
        SetLastError(wait == WAIT_TIMEOUT ? ERROR_SEM_TIMEOUT : GetLastError());
        return false;
      }
      if (written != nullptr) *written = count;
      return true;
    }
  }
  ok = GetOverlappedResult(pipe, operation.get(), &count, TRUE);
  if (written != nullptr) *written = count;
  return ok != FALSE;
}

bool WritePipeMessages(PipeHandle pipe, const PipeMessageView* messages, size_t count,
                       uint32_t timeoutMs, size_t* written, PipeWriteProgress* progress) {
  // Message mode takes one message per WriteFile; TryWritePipeMessages never
  // leaves one part-way here, so every message starts afresh.
  *written = 0;
  progress->sent = 0;
  for (; *written < count; ++*written) {
    const PipeMessageView& message = messages[*written];
    uint32_t sent = 0;
    if (!WritePipe(pipe, message.data, message.size, &sent, timeoutMs)) return false;
    if (sent != message.size) {
      SetLastError(ERROR_NO_DATA);
      return false;
    }
  }
  return true;
}

bool TryWritePipeMessages(PipeHandle /*pipe*/, const PipeMessageView* /*messages*/, size_t /*count*/,
                          size_t* written, PipeWriteProgress* progress) {
  // A write that would wait could only be cancelled, which may cut a message,
  // or left in flight with the caller's bytes: the caller's waiting write
  // does it instead.
  *written = 0;
  progress->sent = 0;
  SetLastError(ERROR_IO_PENDING);
  return false;
}

uint64_t PipePartialMessageBytes(PipeHandle /*pipe*/) { return 0; }

bool PipeClientHasLeft(PipeHandle pipe) {
  DWORD available = 0;
  return !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) &&
         GetLastError() == ERROR_BROKEN_PIPE;
}

uint64_t PipeMessageBytesLeft(PipeHandle pipe) {
  DWORD left = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, &left)) return 0;
  return left;
}

bool ClosePipe(PipeHandle pipe) { return CloseHandle(pipe) != FALSE; }

// ---- client side ----

namespace {

// A client end: the handle, opened for overlapped I/O so that a blocked read
// can be woken, and the manual-reset event that ShutdownPipeClient sets.
struct ClientPipe {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE shutdown = nullptr;
  std::vector<char> firstPiece;  // the reader's; see ReadPipeMessage
};

ClientPipe* AsClient(PipeHandle pipe) {
  if (pipe == nullptr || pipe == InvalidPipeHandle()) return nullptr;
  return static_cast<ClientPipe*>(pipe);
}

bool IsShutDown(const ClientPipe* client) { return WaitForSingleObject(client->shutdown, 0) == WAIT_OBJECT_0; }

// Waits for the operation on `operation` to complete, unless the client is
// shut down first; then the operation is cancelled and waited out, so that
// its buffer and record are no longer used when this returns.
bool FinishOperation(ClientPipe* client, PrivateOperation& operation, DWORD* transferred) {
  HANDLE events[2] = {operation.event(), client->shutdown};
  DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
  if (result != WAIT_OBJECT_0) {
    CancelIoEx(client->handle, operation.get());
    GetOverlappedResult(client->handle, operation.get(), transferred, TRUE);
    SetLastError(ERROR_BROKEN_PIPE);
    return false;
  }
  return GetOverlappedResult(client->handle, operation.get(), transferred, FALSE) != FALSE;
}

}  // namespace

PipeHandle OpenPipeClient(const std::string& name, uint32_t timeoutMs) {
  const DWORD start = GetTickCount();
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (;;) {
    handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) break;
    if (GetLastError() != ERROR_PIPE_BUSY) return InvalidPipeHandle();
    // Every instance has a client. WaitNamedPipeA returns when one listens
    // again, but another client may take it first, so try again until the
    // time is up. A wait of 0 would mean the pipe's default time-out.
    const DWORD elapsed = GetTickCount() - start;
    if (timeoutMs == 0 || elapsed >= timeoutMs) return InvalidPipeHandle();
    if (!WaitNamedPipeA(name.c_str(), timeoutMs - elapsed)) {
      // A pipe whose last instance closed while waiting is simply gone.
      if (GetLastError() != ERROR_FILE_NOT_FOUND) SetLastError(ERROR_SEM_TIMEOUT);
      return InvalidPipeHandle();
    }
  }

  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(handle, &mode, nullptr, nullptr)) {
    PreservedError keep;
    CloseHandle(handle);
    return InvalidPipeHandle();
  }
  auto* client = new (std::nothrow) ClientPipe;
  HANDLE shutdown = client != nullptr ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (shutdown == nullptr) {
    delete client;
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return InvalidPipeHandle();
  }
  client->handle = handle;
  client->shutdown = shutdown;
  return client;
}

bool WritePipeMessage(PipeHandle pipe, const void* data, size_t size) {
  ClientPipe* client = AsClient(pipe);
  if (client == nullptr || size > MAXDWORD) {
    SetLastError(client == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return false;
  }
  if (IsShutDown(client)) {
    SetLastError(ERROR_BROKEN_PIPE);
    return false;
  }
  PrivateOperation operation;
  if (!operation.valid()) return false;
  DWORD written = 0;
  if (!WriteFile(client->handle, data, static_cast<DWORD>(size), nullptr, operation.get()) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  if (!FinishOperation(client, operation, &written)) return false;
  if (written != size) {
    SetLastError(ERROR_NO_DATA);
    return false;
  }
  return true;
}

bool WritePipeMessage(PipeHandle pipe, const void* head, size_t headSize, const void* body, size_t bodySize) {
  if (bodySize == 0) return WritePipeMessage(pipe, head, headSize);
  if (headSize == 0) return WritePipeMessage(pipe, body, bodySize);
  // A message-mode pipe takes one message per write: head and body are joined.
  std::string whole;
  whole.reserve(headSize + bodySize);
  whole.append(static_cast<const char*>(head), headSize).append(static_cast<const char*>(body), bodySize);
  return WritePipeMessage(pipe, whole.data(), whole.size());
}

bool ReadPipeMessage(PipeHandle pipe, std::string* message) {
  ClientPipe* client = AsClient(pipe);
  if (client == nullptr || message == nullptr) {
    SetLastError(client == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return false;
  }
  message->clear();
  PrivateOperation operation;
  if (!operation.valid()) return false;
  // A message longer than the piece read so far ends its read with
  // ERROR_MORE_DATA; the rest follows in further reads, growing the piece.
  // The first piece is read into the client's own buffer and copied out at
  // its length, so that a short message costs neither a large allocation
  // nor clearing one; the rest of a long one is read into place.
  DWORD piece = 64 * 1024;
  for (;;) {
    if (IsShutDown(client)) {
      SetLastError(ERROR_BROKEN_PIPE);
      return false;
    }
    const size_t offset = message->size();
    // Never more room than the limit and one byte to see it exceeded.
    piece = static_cast<DWORD>(std::min<size_t>(piece, kMaxClientMessageSize + 1 - offset));
    char* target;
    if (offset == 0) {
      if (client->firstPiece.size() < piece) client->firstPiece.resize(piece);
      target = client->firstPiece.data();
    } else {
      message->resize(offset + piece);
      target = &(*message)[offset];
    }
    DWORD count = 0;
    bool ok = ReadFile(client->handle, target, piece, nullptr, operation.get()) != FALSE;
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (ok || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
      // Completed at once, long message included, or later: the record holds
      // the outcome and the count either way.
      ok = error == ERROR_IO_PENDING ? FinishOperation(client, operation, &count)
                                     : GetOverlappedResult(client->handle, operation.get(), &count, FALSE) != FALSE;
      error = ok ? ERROR_SUCCESS : GetLastError();
    }
    const DWORD got = ok || error == ERROR_MORE_DATA ? count : 0;
    if (offset == 0) {
      message->assign(client->firstPiece.data(), got);
    } else {
      message->resize(offset + got);
    }
    if (message->size() > kMaxClientMessageSize) {
      // The pipe has no length header: the message is refused once it is seen
      // to run past the limit, having taken at most one byte more than it.
      // Its rest stays unread, so the connection cannot be used any more.
      message->clear();
      ShutdownPipeClient(pipe);
      tFailureDetail = "the server sent a message longer than the limit of " +
                       std::to_string(kMaxClientMessageSize) + " bytes";
      SetLastError(kErrorInvalidData);
      return false;
    }
    if (ok) return true;
    if (error != ERROR_MORE_DATA) {
      message->clear();
      // However the server went away (closed, disconnected, or the read was
      // cancelled), the caller sees one code.
      if (error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_OPERATION_ABORTED || error == ERROR_NO_DATA) {
        error = ERROR_BROKEN_PIPE;
      }
      SetLastError(error);
      return false;
    }
    if (piece < 16u * 1024 * 1024) piece *= 2;
  }
}

bool PipeClientHoldsMessage(PipeHandle pipe) {
  ClientPipe* client = AsClient(pipe);
  DWORD available = 0;
  return client != nullptr && PeekNamedPipe(client->handle, nullptr, 0, nullptr, &available, nullptr) &&
         available > 0;
}

void ShutdownPipeClient(PipeHandle pipe) {
  ClientPipe* client = AsClient(pipe);
  if (client == nullptr) return;
  SetEvent(client->shutdown);
  // A read or write already waiting is woken by the event; this also ends
  // one that has not reached its wait yet.
  CancelIoEx(client->handle, nullptr);
}

void ClosePipeClient(PipeHandle pipe) {
  ClientPipe* client = AsClient(pipe);
  if (client == nullptr) return;
  CloseHandle(client->handle);
  CloseHandle(client->shutdown);
  delete client;
}

std::string DescribePipeLocation(const std::string& name) { return name; }

std::string DescribePipeLocation(const PipeClientPlace& place) { return place.name; }

PipeClientPlace ChoosePipeClientPlace(const std::string& name) {
  PipeClientPlace place;
  place.name = name;
  return place;
}

PipeHandle OpenPipeClient(const PipeClientPlace& place, uint32_t timeoutMs) {
  return OpenPipeClient(place.name, timeoutMs);
}

std::string PipePlaceProblem(const std::string&) { return std::string(); }

std::string LastPipeFailureDetail() { return tFailureDetail; }

}  // namespace platform
