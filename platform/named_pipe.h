// Message-mode named pipes with overlapped I/O, in the shape of the Win32
// calls. On Win32 these are the real calls. On POSIX a stand-in gives the same
// behaviour over Unix-domain stream sockets:
//
//   * "\\.\pipe\NAME" is one listening socket at DIR/NAME, DIR being
//     $KVX_PIPE_DIR, else $XDG_RUNTIME_DIR, else /tmp/kvx-<uid> (made 0700 by
//     the first server). DIR must be this user's own real folder with no
//     access for group or others, or nothing is served or opened there. The
//     file is owner-only (0600); a stale file left by a dead process is
//     replaced, a live server's is not.
//   * Each end checks the other's user: a client refuses a server of another
//     user, a server drops a client of another user (root is trusted).
//   * Every message, both ways, is a 4-byte little-endian length and that many
//     bytes; nothing else travels on the socket. Any program can be a client.
//   * The instances of one name share the listening socket; each accepts at
//     most one client at a time; a client that connects while every instance is
//     busy waits in the socket's queue until an instance listens again.
//   * More than maxInstances instances of one name fail with kErrorPipeBusy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event.h"
#include "platform/last_error.h"

namespace platform {

using PipeHandle = void*;
// INVALID_HANDLE_VALUE
inline PipeHandle InvalidPipeHandle() { return reinterpret_cast<PipeHandle>(~static_cast<uintptr_t>(0)); }

// The record of one overlapped operation (OVERLAPPED). The owner sets `event`;
// the platform signals it when the operation completes and keeps its own
// bookkeeping in `internal`. One record serves one operation at a time: the
// next may start only once the previous one's completion has been seen (its
// event set), since a completion still on its way is written into the record
// over whatever operation uses it by then.
struct PipeOverlapped {
  EventHandle event = nullptr;
  uint64_t internal[6] = {};
};

// Open and pipe modes the product uses (CreateNamedPipeA).
constexpr uint32_t kPipeAccessDuplexOverlapped = 0x40000003u;  // PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED
constexpr uint32_t kPipeMessageModeWait = 6u;  // PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT

// ---- server side ----

// CreateNamedPipeA. InvalidPipeHandle() on failure, with the last error set.
PipeHandle CreateNamedPipeInstance(const std::string& name, uint32_t openMode, uint32_t pipeMode,
                                   uint32_t maxInstances, uint32_t outBufferSize,
                                   uint32_t inBufferSize, uint32_t defaultTimeoutMs);

// ConnectNamedPipe, overlapped. Returns false with kErrorIoPending while the
// connect waits for a client (its completion signals overlapped->event), or
// with kErrorPipeConnected when a client was already there.
// (POSIX: a client waiting in the socket's queue is accepted by this call and
// reported with kErrorPipeConnected; no completion follows.)
bool ConnectNamedPipeInstance(PipeHandle pipe, PipeOverlapped* overlapped);

// DisconnectNamedPipe: drops the client; the instance must be connected
// again before another client can be served.
bool DisconnectNamedPipeInstance(PipeHandle pipe);

// ReadFile, overlapped, message mode. Returns true when the read completed at
// once; false with kErrorIoPending when it completes later; false with
// kErrorMoreData when the waiting message is longer than the buffer (the first
// `size` bytes are in the buffer; the rest comes with the next reads); false
// with kErrorBrokenPipe when the client has gone, or kErrorPipeListening /
// kErrorPipeNotConnected when no client is connected. Completion, at once or
// later, signals overlapped->event.
bool ReadPipe(PipeHandle pipe, void* buffer, uint32_t size, PipeOverlapped* overlapped);

// GetOverlappedResult for the last operation started with `overlapped`.
// `wait` false: kErrorIoIncomplete while it is still under way. A read of a
// message piece that is not its end fails with kErrorMoreData and reports the
// bytes it delivered; a client gone fails with kErrorBrokenPipe.
bool GetPipeOverlappedResult(PipeHandle pipe, PipeOverlapped* overlapped, uint32_t* transferred,
                             bool wait);

// WriteFile of one whole message, blocking until it is written (on Win32 with
// an OVERLAPPED record and event of its own, never the reader's).
bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written);

// The same, giving up when the whole message has not gone out within
// `timeoutMs` (kInfinite: never), so that a client that stops reading cannot
// hold the writer for ever. A write that runs out of time returns false with
// kErrorSemTimeout. Part of the message may have gone out by then: the
// connection can carry no well-formed message after it, so its owner must
// disconnect the client. (POSIX: every later write on that connection fails
// with kErrorNoData until the instance serves its next client.)
bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written,
               uint32_t timeoutMs);

// One message of a gathered write.
struct PipeMessageView {
  const void* data = nullptr;
  uint32_t size = 0;
};

// How far a gathered write got into the first message it was given, when it
// stopped part-way for room (TryWritePipeMessages): the next write on the
// pipe must begin with the same message, which then goes on from there.
// Zero between messages.
struct PipeWriteProgress {
  uint64_t sent = 0;
};

// WritePipe of several messages in order, each whole and each within
// `timeoutMs` of the end of the one before it (of the call, for the first),
// as if each were written alone; the platform gathers as many as it can into
// one system call (Win32: one WriteFile per message, as message mode needs).
// *written tells how many went out whole. A write that runs out of time
// fails with kErrorSemTimeout, and, as for WritePipe, the client must be
// disconnected.
bool WritePipeMessages(PipeHandle pipe, const PipeMessageView* messages, size_t count,
                       uint32_t timeoutMs, size_t* written, PipeWriteProgress* progress);

// The same, but only as far as it goes without waiting for the client to make
// room: false with kErrorIoPending where a write would wait, with *written
// messages gone out whole and `progress` telling how much of the next one
// went too; the rest must then go with WritePipeMessages (or this call again)
// before anything else is written on the pipe. (Win32 cannot tell a write
// would wait without starting it, so there nothing is written and it always
// says kErrorIoPending.)
bool TryWritePipeMessages(PipeHandle pipe, const PipeMessageView* messages, size_t count,
                          size_t* written, PipeWriteProgress* progress);

// How many bytes of a message the client has begun and not finished the
// platform holds for the instance and has not yet handed to a read: 0 between
// messages. The caller compares it over time to tell a client that stalled
// half-way through a message from one that is still sending. (Win32 hands a
// partial message over only as pieces read with kErrorMoreData, which the
// caller keeps itself, so there it is always 0.)
uint64_t PipePartialMessageBytes(PipeHandle pipe);

// PeekNamedPipe's "bytes left this message": after a read that ended with
// kErrorMoreData, how many bytes of that message are still to come, so that
// the reader can make room for the whole rest at once and read it there. 0
// when it cannot be told (no message under way, or the system does not say).
uint64_t PipeMessageBytesLeft(PipeHandle pipe);

// Whether the client has closed its end: true once it has gone (POSIX: as
// soon as it closes, even with messages of it still unread; Win32: once what
// it wrote has been read). A server that reads nothing for a while asks, so
// that it can read a departed client's last messages and report it gone.
bool PipeClientHasLeft(PipeHandle pipe);

// CloseHandle. Ends the client's connection and any pending operation.
bool ClosePipe(PipeHandle pipe);

// ---- client side ----

// Where a client finds the pipe `name`, worked out once (POSIX: its folder
// from $KVX_PIPE_DIR, $XDG_RUNTIME_DIR or the default, as the environment is
// now; Win32: the name alone), so that a client that connects again goes back
// to the same place, whatever the environment says by then.
struct PipeClientPlace {
  std::string name;
  std::string folder;  // POSIX only
  std::string origin;  // how the folder was chosen, in words (POSIX only)
};
PipeClientPlace ChoosePipeClientPlace(const std::string& name);

// Opens the pipe by name and sets message read mode. Waits up to `timeoutMs`
// for a free instance when all are busy (POSIX: the wait happens in the
// socket's queue at the first read or write instead). InvalidPipeHandle() with
// kErrorFileNotFound when no server has created the pipe, kErrorPipeBusy /
// kErrorSemTimeout when no instance became free in time.
PipeHandle OpenPipeClient(const std::string& name, uint32_t timeoutMs);
// The same at a place chosen before.
PipeHandle OpenPipeClient(const PipeClientPlace& place, uint32_t timeoutMs);

// Writes one whole message. False with the last error when the server is gone.
bool WritePipeMessage(PipeHandle pipe, const void* data, size_t size);
// The same for a message in two parts, `head` then `body`, without joining
// them first where the system can write them together (POSIX).
bool WritePipeMessage(PipeHandle pipe, const void* head, size_t headSize, const void* body, size_t bodySize);

// Reads one whole message of any length, blocking. False with kErrorBrokenPipe
// when the server has gone or the pipe was shut down.
bool ReadPipeMessage(PipeHandle pipe, std::string* message);

// Whether the next ReadPipeMessage finds a whole message already received,
// so that it will not wait. False when that cannot be told cheaply.
bool PipeClientHoldsMessage(PipeHandle pipe);

// Makes a ReadPipeMessage blocked on another thread return false, without
// releasing the handle (so the reader can be joined before ClosePipeClient).
void ShutdownPipeClient(PipeHandle pipe);

void ClosePipeClient(PipeHandle pipe);

// The longest message a client accepts. A longer length is refused before
// anything is allocated for it: ReadPipeMessage fails with kErrorInvalidData,
// and the connection can carry nothing more.
constexpr uint32_t kMaxClientMessageSize = 64u << 20;  // the pipe's quota

// ---- diagnostics ----

// Where the pipe of `name` lives, for people. POSIX: "socket PATH (how the
// folder was chosen)"; Win32: the name itself.
std::string DescribePipeLocation(const std::string& name);
std::string DescribePipeLocation(const PipeClientPlace& place);

// Why the last failed pipe call on this thread failed, in words, where the
// code alone does not say (whose folder, whose socket, the system's reason);
// empty when there is nothing to add.
std::string LastPipeFailureDetail();

// What keeps a server of `name` from serving here, when it is the pipe's
// place (POSIX: its folder missing, a symbolic link, another user's or open
// to group or others): "socket PATH (how the folder was chosen): why".
// Empty when the place is fit, and always on Win32, where a pipe has none.
std::string PipePlaceProblem(const std::string& name);

}  // namespace platform
