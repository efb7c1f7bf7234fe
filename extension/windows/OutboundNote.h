// What the owner of a pipe server attaches to a message it queues for the
// client, and hears back once the message has left the outbound share:
// written into the pipe, or dropped with a client that has gone. The server
// only carries it; a note of no bytes is not reported.
#pragma once

#include <cstdint>

namespace Orvane {
namespace Extension {
namespace Windows {

struct OutboundNote {
  int64_t key = 0;
  int64_t bytes = 0;
  uint32_t generation = 0;
};

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
