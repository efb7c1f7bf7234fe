// Kernel-style events and waits, shaped after their Win32 counterparts so that
// the code above reads the same on both platforms.
#pragma once

#include <cstdint>

namespace platform {

// An event object. On Win32 it is the kernel HANDLE itself, so it can be put
// into an OVERLAPPED record; on POSIX it points to an object of the stand-in.
using EventHandle = void*;

constexpr uint32_t kInfinite = 0xFFFFFFFFu;      // INFINITE
constexpr uint32_t kWaitObject0 = 0;             // WAIT_OBJECT_0 (+ index)
constexpr uint32_t kWaitTimeout = 258;           // WAIT_TIMEOUT
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;    // WAIT_FAILED

// Creates an unnamed event. An auto-reset event releases one waiter and clears
// itself; a manual-reset event stays set until ResetEventObject. Returns null on
// failure.
EventHandle CreateEventObject(bool manualReset, bool initiallySet);
bool SetEventObject(EventHandle event);
bool ResetEventObject(EventHandle event);
bool CloseEventObject(EventHandle event);

// Waits until the event is set or the time-out (milliseconds, or kInfinite)
// passes. Returns kWaitObject0, kWaitTimeout or kWaitFailed (a null handle).
uint32_t WaitForEvent(EventHandle event, uint32_t timeoutMs);

// Waits until any of `count` events (1 to 64) is set. Returns kWaitObject0 + i
// for the lowest index i that was set (an auto-reset event that ends the wait
// is cleared), kWaitTimeout, or kWaitFailed when any handle is null.
uint32_t WaitForAnyEvent(const EventHandle* events, uint32_t count, uint32_t timeoutMs);

}  // namespace platform
