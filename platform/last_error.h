// The calling thread's last error code (GetLastError), and the Win32 codes the
// product looks at. The POSIX stand-ins set the same codes for the same cases.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;        // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrorAccessDenied = 5;        // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorInvalidHandle = 6;       // ERROR_INVALID_HANDLE
constexpr uint32_t kErrorNotEnoughMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorInvalidData = 13;        // ERROR_INVALID_DATA
constexpr uint32_t kErrorInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorBrokenPipe = 109;        // ERROR_BROKEN_PIPE
constexpr uint32_t kErrorSemTimeout = 121;        // ERROR_SEM_TIMEOUT
constexpr uint32_t kErrorPipeBusy = 231;          // ERROR_PIPE_BUSY
constexpr uint32_t kErrorNoData = 232;            // ERROR_NO_DATA
constexpr uint32_t kErrorPipeNotConnected = 233;  // ERROR_PIPE_NOT_CONNECTED
constexpr uint32_t kErrorMoreData = 234;          // ERROR_MORE_DATA
constexpr uint32_t kErrorPipeConnected = 535;     // ERROR_PIPE_CONNECTED
constexpr uint32_t kErrorPipeListening = 536;     // ERROR_PIPE_LISTENING
constexpr uint32_t kErrorOperationAborted = 995;  // ERROR_OPERATION_ABORTED
constexpr uint32_t kErrorIoIncomplete = 996;      // ERROR_IO_INCOMPLETE
constexpr uint32_t kErrorIoPending = 997;         // ERROR_IO_PENDING

uint32_t GetLastErrorCode();
void SetLastErrorCode(uint32_t code);

}  // namespace platform
