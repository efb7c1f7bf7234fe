// Shell open on POSIX: `xdg-open LINK`, started with posix_spawnp so that the
// link is one argument and no shell ever parses it. One reaper thread waits
// for every opener, so a burst of launches costs no thread each and leaves no
// zombie behind; it exists only while openers are running, and ends when the
// library is unloaded.
#include "platform/shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

extern char** environ;

namespace platform {
namespace {

// ShellExecute results.
constexpr intptr_t kShellStarted = 42;         // any value above 32 means success
constexpr intptr_t kShellOutOfResources = 0;   // 0: out of memory or resources
constexpr intptr_t kShellFileNotFound = 2;     // ERROR_FILE_NOT_FOUND
constexpr intptr_t kShellAccessDenied = 5;     // SE_ERR_ACCESSDENIED
constexpr intptr_t kShellNoAssociation = 31;   // SE_ERR_NOASSOC

// Openers mostly hand the link to the desktop and end at once; a short poll
// costs nothing while one runs, and only the host's own children are waited
// for (never "any child", which would steal the host's exit statuses).
constexpr auto kReapPoll = std::chrono::milliseconds(20);

std::recursive_mutex& HookMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

ShellOpenHook& Hook() {
  static ShellOpenHook hook;
  return hook;
}

struct Opener {
  pid_t pid;
  ShellOpenFinished finished;
};

// Never freed: a launch may come while the library is being unloaded. Its
// thread, though, never outlives the library's code: it is joined when the
// library is unloaded (see EndReaperAtUnload).
struct Reaper {
  Mutex lock;
  ConditionVariable added;
  std::vector<Opener> running GUARDED_BY(lock);
  std::thread thread GUARDED_BY(lock);
  bool threadRunning GUARDED_BY(lock) = false;
  // The library is being unloaded: no thread is started any more.
  bool ended GUARDED_BY(lock) = false;
};

Reaper& TheReaper() {
  static Reaper* reaper = new Reaper;
  return *reaper;
}

void ReapLoop() {
  Reaper& reaper = TheReaper();
  MutexLock lock(reaper.lock);
  while (!reaper.running.empty() && !reaper.ended) {
    std::vector<ShellOpenFinished> done;
    for (auto opener = reaper.running.begin(); opener != reaper.running.end();) {
      int status = 0;
      const pid_t result = waitpid(opener->pid, &status, WNOHANG);
      if (result == opener->pid || (result < 0 && errno != EINTR)) {
        done.push_back(std::move(opener->finished));
        opener = reaper.running.erase(opener);
      } else {
        ++opener;
      }
    }
    lock.Unlock();
    for (ShellOpenFinished& finished : done) {
      if (finished) finished();
    }
    lock.Lock();
    if (!reaper.running.empty() && !reaper.ended) reaper.added.WaitFor(lock, kReapPoll);
  }
  reaper.threadRunning = false;
}

// Hands the opener to the reaper, starting its thread when none runs.
void Reap(pid_t pid, ShellOpenFinished finished) {
  Reaper& reaper = TheReaper();
  MutexLock lock(reaper.lock);
  if (reaper.ended) {
    // Nobody is left to wait for it: the host process reaps it or keeps it
    // as a zombie, as it does its own children.
    if (finished) finished();
    return;
  }
  if (!reaper.threadRunning) {
    // A thread that found nothing more to do has let go of the lock for good.
    if (reaper.thread.joinable()) reaper.thread.join();
    try {
      reaper.thread = std::thread(ReapLoop);
      reaper.threadRunning = true;
    } catch (...) {
      // No thread now: the opener waits for the next launch's reaper. The
      // caller is not kept waiting for it meanwhile.
      reaper.running.push_back(Opener{pid, nullptr});
      if (finished) finished();
      return;
    }
  }
  reaper.running.push_back(Opener{pid, std::move(finished)});
  reaper.added.NotifyOne();
}

// Runs when the library (or program) holding this code is unloaded, after
// everything that may launch has been torn down: the reaper's thread ends
// and is joined, so that no thread is left to run in code that is gone.
// Openers still running are left to the host process, whose children they are.
struct EndReaperAtUnload {
  ~EndReaperAtUnload() {
    Reaper& reaper = TheReaper();
    std::thread ending;
    {
      MutexLock lock(reaper.lock);
      reaper.ended = true;
      for (Opener& opener : reaper.running) {
        int status = 0;
        waitpid(opener.pid, &status, WNOHANG);
      }
      reaper.running.clear();
      ending.swap(reaper.thread);
    }
    reaper.added.NotifyAll();
    if (ending.joinable()) ending.join();
  }
} endReaperAtUnload;

// Starts the opener; on success stores its process ID and returns kShellStarted.
intptr_t SpawnOpener(const std::string& link, pid_t* pid) {
  // The opener would take it for one of its options.
  if (!link.empty() && link[0] == '-') return kShellAccessDenied;
  char opener[] = "xdg-open";
  std::string argument = link;
  char* argv[] = {opener, argument.data(), nullptr};
  switch (posix_spawnp(pid, opener, nullptr, nullptr, argv, environ)) {
    case 0:
      return kShellStarted;
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
}

}  // namespace

intptr_t ShellOpen(const std::string& link, ShellOpenFinished finished) {
  {
    std::lock_guard<std::recursive_mutex> lock(HookMutex());
    if (Hook()) {
      const intptr_t result = Hook()(link);
      if (finished) finished();
      return result;
    }
  }
  pid_t pid = 0;
  const intptr_t result = SpawnOpener(link, &pid);
  if (result != kShellStarted) {
    if (finished) finished();
    return result;
  }
  Reap(pid, std::move(finished));
  return result;
}

void SetShellOpenHook(ShellOpenHook hook) {
  ShellOpenHook old;
  std::lock_guard<std::recursive_mutex> lock(HookMutex());
  old = std::move(Hook());
  Hook() = std::move(hook);
}

}  // namespace platform
