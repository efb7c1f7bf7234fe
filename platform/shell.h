// Opening a document or program the way the desktop shell does
// (ShellExecuteA with the verb "open").
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Returns a Win32-shaped result: above 32 when the open was started, 32 or
// less on failure (2: the file, or on POSIX the opener, was not found).
// On POSIX the link goes to `xdg-open` as one argument, with no shell between,
// so no link can smuggle in a command.
intptr_t ShellOpen(const std::string& link);

// Replaces ShellOpen process-wide (tests record launches and choose results);
// an empty hook restores the real one.
using ShellOpenHook = std::function<intptr_t(const std::string& link)>;
void SetShellOpenHook(ShellOpenHook hook);

}  // namespace platform
