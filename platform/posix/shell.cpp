// Shell open on POSIX: `xdg-open LINK`, started with posix_spawnp so that the
// link is one argument and no shell ever parses it. The child is reaped by a
// short-lived detached thread so that no zombie is left behind.
#include "platform/shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <mutex>
#include <thread>

extern char** environ;

namespace platform {
namespace {

// ShellExecute results.
constexpr intptr_t kShellStarted = 42;         // any value above 32 means success
constexpr intptr_t kShellOutOfResources = 0;   // 0: out of memory or resources
constexpr intptr_t kShellFileNotFound = 2;     // ERROR_FILE_NOT_FOUND
constexpr intptr_t kShellAccessDenied = 5;     // SE_ERR_ACCESSDENIED
constexpr intptr_t kShellNoAssociation = 31;   // SE_ERR_NOASSOC

std::recursive_mutex& HookMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

ShellOpenHook& Hook() {
  static ShellOpenHook hook;
  return hook;
}

intptr_t SpawnOpener(const std::string& link) {
  char opener[] = "xdg-open";
  std::string argument = link;
  char* argv[] = {opener, argument.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ);
  switch (rc) {
    case 0:
      break;
    case ENOENT:
    case ENOTDIR:
      return kShellFileNotFound;
    case EACCES:
    case EPERM:
      return kShellAccessDenied;
    case ENOMEM:
    case EAGAIN:
      return kShellOutOfResources;
    default:
      return kShellNoAssociation;
  }
  // The opener hands the link to the desktop and exits; reap it when it does.
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // No thread: the child stays a zombie until the process ends. Rare and harmless.
  }
  return kShellStarted;
}

}  // namespace

intptr_t ShellOpen(const std::string& link) {
  {
    std::lock_guard<std::recursive_mutex> lock(HookMutex());
    if (Hook()) return Hook()(link);
  }
  return SpawnOpener(link);
}

void SetShellOpenHook(ShellOpenHook hook) {
  ShellOpenHook old;
  std::lock_guard<std::recursive_mutex> lock(HookMutex());
  old = std::move(Hook());
  Hook() = std::move(hook);
}

}  // namespace platform
