#include "platform/last_error.h"

#include "platform/win32/win32_api.h"

namespace platform {

uint32_t GetLastErrorCode() { return GetLastError(); }

void SetLastErrorCode(uint32_t code) { SetLastError(code); }

}  // namespace platform
