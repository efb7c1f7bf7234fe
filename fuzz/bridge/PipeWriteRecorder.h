// The seam between the bridge and its pipes in the bridge fuzzer: the pipe
// servers the bridge holds there are recording stand-ins that hand every
// Send to this function instead of a client.
#pragma once

#include <string>

void RecordPipeWrite(const void* server, const std::string& bytes);
