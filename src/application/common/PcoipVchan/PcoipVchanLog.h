// The plug-in's one way of writing a line: to the host's log function when the
// copied host table has one, else to standard output.
#pragma once

#include <cstdint>

#include "diagnostics/RepeatLimiter.h"

#if defined(__GNUC__) && !defined(_WIN32)
#define KVX_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#elif defined(__GNUC__)
#define KVX_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define KVX_PRINTF_FORMAT(fmt, args)
#endif

// Longest text a line carries; longer output is cut here.
constexpr int kLogLineMax = 127;

// Lines of this level and above are informational (the host shows them only
// at a verbosity it chose); below it are errors and warnings.
constexpr int32_t kFirstInformationalLevel = 2;

// Formats into a 128-byte stack buffer and passes (tag, level, code, text) on,
// unless it is an error or warning (level below kFirstInformationalLevel) and
// lines of its format have repeated beyond the limit (then the line is
// counted, returns 0, and a summary follows later with the tag, level and code
// of the first line held back). It allocates only when the limiter meets a
// format for the first time or starts holding one back; safe on any thread.
// Standard output gets the text alone, without an added line break. Returns
// the host's result or the number of characters written.
int plugin_log(const char* tag, int32_t level, int32_t code, const char* format, ...)
    KVX_PRINTF_FORMAT(4, 5);

// Passes on an informational line (level kFirstInformationalLevel and above)
// that its caller has formatted already, at most kLogLineMax characters: such
// lines are never held back, so nothing but the writing is left to do. A
// line of a lower level still goes through the repeat limit.
int plugin_log_text(const char* tag, int32_t level, int32_t code, const char* text);

// Lines of one format beyond the limit on repeats are held back and summarised
// (tests reset it between cases).
diagnostics::RepeatLimiter& PluginLogLimiter();
