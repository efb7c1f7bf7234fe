// Opening a document or program the way the desktop shell does
// (ShellExecuteA with the verb "open").
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Runs when nothing that one open started is left to wait for: on POSIX once
// the opener process has ended and been reaped; on Win32 ShellExecuteA has
// finished when it returns, so it runs before ShellOpen returns. It runs after
// a failed open too, and may run on another thread.
using ShellOpenFinished = std::function<void()>;

// Returns a Win32-shaped result: above 32 when the open was started, 32 or
// less on failure (2: the file, or on POSIX the opener, was not found).
// On POSIX the link goes to `xdg-open` as one argument, with no shell between,
// so no link can smuggle in a command; a link beginning with '-' is refused
// with 5 (access denied), as the opener would read it as an option. One
// reaper thread, there only while openers run, reaps every opener.
intptr_t ShellOpen(const std::string& link, ShellOpenFinished finished = nullptr);

// Replaces ShellOpen process-wide (tests record launches and choose results);
// an empty hook restores the real one. `finished` runs as soon as the hook returns.
using ShellOpenHook = std::function<intptr_t(const std::string& link)>;
void SetShellOpenHook(ShellOpenHook hook);

}  // namespace platform
