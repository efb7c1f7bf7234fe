// The few TCP socket calls the TCP link needs, over BSD sockets or Winsock
// (one file each). Every socket is non-blocking; waits go through Wait, so a
// stop is never stuck behind a call that blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vchan_host {
namespace tcp {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

// What a send or a receive did, besides moving bytes.
constexpr long kAgain = -1;   // nothing can move now; Wait first
constexpr long kBroken = -2;  // the connection is gone (or failed)

struct Piece {
  const void* data;
  size_t size;
};

// Listens on every address at `port`; kNoSocket with a reason on failure.
Socket Listen(uint16_t port, std::string* error);
// A connection waiting on `listener`, or kNoSocket.
Socket Accept(Socket listener);
// Connects to HOST:PORT within `timeoutMs`; kNoSocket when nobody answers
// (yet), with the reason in *error.
Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string* error);

// Waits until `socket` can be read (or written); 1 ready, 0 time-out, -1 error.
int Wait(Socket socket, bool forWrite, uint32_t timeoutMs);
// Sends what it can of the pieces, gathered: bytes sent, kAgain or kBroken.
long SendSome(Socket socket, const Piece* pieces, int count);
// Receives what is there: bytes received, 0 at the peer's orderly end,
// kAgain or kBroken.
long ReceiveSome(Socket socket, void* buffer, size_t size);

// Ends both directions, so the peer sees the end; the socket stays open.
void Shutdown(Socket socket);
void Close(Socket socket);

}  // namespace tcp
}  // namespace vchan_host
