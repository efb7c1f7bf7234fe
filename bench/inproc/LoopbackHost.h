// A host for the plug-in inside the benchmark process: every datagram the
// plug-in sends comes straight back to it as a received one, with a ready
// event. Datagrams wait in a ring of fixed slots allocated once, so the host
// itself adds no allocation per datagram and as little cost as it can.
#pragma once

#include <cstdint>

#include "src/application/common/PcoipVchan/PcoipVchanHost.h"

namespace kvxbench {

// Sets the plug-in up at the client end against the loopback host and opens
// its channel. False when the plug-in refused.
bool StartLoopbackPlugin();
void StopLoopbackPlugin();

}  // namespace kvxbench
