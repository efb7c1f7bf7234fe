// The last error code on POSIX: one value per thread, like GetLastError.
#include "platform/last_error.h"

namespace platform {

namespace {
thread_local uint32_t tLastError = kErrorSuccess;
}  // namespace

uint32_t GetLastErrorCode() { return tLastError; }
void SetLastErrorCode(uint32_t code) { tLastError = code; }

}  // namespace platform
