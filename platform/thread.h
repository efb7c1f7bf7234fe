// Native threads for the places where the owner needs a handle it can wait on
// and close (the plug-in's receive thread); elsewhere std::thread serves.
#pragma once

#include <cstdint>

namespace platform {

using ThreadHandle = void*;
using ThreadRoutine = uint32_t (*)(void* argument);

// Starts `routine(argument)` at once with default stack size. Null on failure.
ThreadHandle CreateThreadObject(ThreadRoutine routine, void* argument);

// Waits for the thread to end (kInfinite or a bounded time-out). Returns
// kWaitObject0, kWaitTimeout or kWaitFailed, as event waits do.
uint32_t WaitForThread(ThreadHandle thread, uint32_t timeoutMs);

// Releases the handle; a thread still running goes on, detached.
bool CloseThreadObject(ThreadHandle thread);

// True when called on the thread behind the handle (a thread must never wait
// for itself).
bool IsCurrentThread(ThreadHandle thread);

}  // namespace platform
