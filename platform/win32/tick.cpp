#include "platform/tick.h"

#include "platform/win32/win32_api.h"

namespace platform {

uint32_t GetTickCount32() { return GetTickCount(); }

}  // namespace platform
