// The pipe names this process serves and the instance records behind server
// handles: making an instance, the listening socket it shares with the other
// instances of its name, and letting that socket go with the last of them.
#include "platform/posix/pipe_instance.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <unordered_map>

namespace platform {
namespace pipe_detail {
namespace {

constexpr uint32_t kUnlimitedInstances = 255;    // PIPE_UNLIMITED_INSTANCES
constexpr size_t kServerReadBuffer = 256 * 1024;

Mutex& NamesMutex() {
  static Mutex* mutex = new Mutex();
  return *mutex;
}

std::unordered_map<std::string, std::shared_ptr<PipeName>>& Names() {
  static auto* names = new std::unordered_map<std::string, std::shared_ptr<PipeName>>();
  return *names;
}

bool IsLiveSocket(const sockaddr_un& address, socklen_t length) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;  // cannot tell: leave it alone
  const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&address), length);
  const int error = errno;
  close(probe);
  return rc == 0 || (error != ECONNREFUSED && error != ENOENT);
}

// Makes the listening socket of a new name. Replaces a stale socket file left
// by a process that has died; never a live server's, nor a file that is not a
// socket.
std::shared_ptr<PipeName> OpenListener(const PipeLocation& where, uint32_t* error) {
  const std::string& path = where.path;
  const sockaddr_un& address = where.address;
  const socklen_t length = where.length;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = kErrorNotEnoughMemory;
      return nullptr;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      struct stat st{};
      // Owner-only before anyone can connect: nothing listens yet.
      if (chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &st) != 0 || listen(fd, SOMAXCONN) != 0) {
        SetPipeFailureDetail("cannot prepare the socket: " + Reason(errno));
        close(fd);
        unlink(path.c_str());
        *error = kErrorAccessDenied;
        return nullptr;
      }
      return std::make_shared<PipeName>(path, fd, st.st_dev, st.st_ino);
    }
    const int bindError = errno;
    close(fd);
    if (bindError == EADDRINUSE) {
      struct stat st{};
      if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) continue;  // gone meanwhile: try again
        SetPipeFailureDetail("cannot look at what is in the way: " + Reason(errno));
        *error = kErrorAccessDenied;
        return nullptr;
      }
      if (!S_ISSOCK(st.st_mode)) {
        SetPipeFailureDetail("a file that is not a socket is in the way (owner " + DescribeUser(st.st_uid) + ")");
        *error = kErrorAccessDenied;
        return nullptr;
      }
      if (IsLiveSocket(address, length)) {
        // Another process serves this name; its instances are not ours to add to.
        SetPipeFailureDetail("another process already serves it (socket of " + DescribeUser(st.st_uid) + ")");
        *error = kErrorPipeBusy;
        return nullptr;
      }
      // A socket left by a process that has ended. One we cannot remove is
      // someone else's, and no retry will change that.
      if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        SetPipeFailureDetail("a dead socket of " + DescribeUser(st.st_uid) +
                             " is in the way and cannot be removed: " + Reason(errno));
        *error = kErrorAccessDenied;
        return nullptr;
      }
      continue;
    }
    SetPipeFailureDetail("cannot create the socket: " + Reason(bindError));
    *error = (bindError == ENOENT || bindError == ENOTDIR) ? kErrorFileNotFound
             : (bindError == EACCES || bindError == EPERM || bindError == EROFS) ? kErrorAccessDenied
                                                                               : kErrorInvalidParameter;
    return nullptr;
  }
  SetPipeFailureDetail("sockets keep appearing in the way");
  *error = kErrorPipeBusy;
  return nullptr;
}

}  // namespace

Instance* ToInstance(PipeHandle pipe) {
  if (pipe == nullptr || pipe == InvalidPipeHandle()) return nullptr;
  auto* header = static_cast<HandleHeader*>(pipe);
  if (header->magic != kServerMagic) return nullptr;
  return static_cast<Instance*>(header);
}

// Why reads and writes cannot use the instance now; 0 when a client is
// connected. Under the Instance's mutex.
uint32_t NotConnectedError(const Instance& in) {
  switch (in.state) {
    case PipeState::Closed:
      return kErrorInvalidHandle;
    case PipeState::Idle:
    case PipeState::Listening:
      return kErrorPipeListening;
    case PipeState::Disconnected:
      return kErrorPipeNotConnected;
    case PipeState::Connected:
      break;
  }
  return kErrorSuccess;
}

// One instance of `name` is gone; the last one takes the socket with it.
void ReleaseName(const std::shared_ptr<PipeName>& name) {
  MutexLock namesLock(NamesMutex());
  if (--name->instances > 0) return;
  auto it = Names().find(name->path);
  if (it != Names().end() && it->second == name) Names().erase(it);
  MutexLock lock(name->mutex);
  if (name->listenFd >= 0) {
    close(name->listenFd);
    name->listenFd = -1;
    struct stat st{};
    if (stat(name->path.c_str(), &st) == 0 && st.st_dev == name->fileDevice && st.st_ino == name->fileInode) {
      unlink(name->path.c_str());
    }
  }
}

}  // namespace pipe_detail

using namespace pipe_detail;

PipeHandle CreateNamedPipeInstance(const std::string& name, uint32_t /*openMode*/, uint32_t /*pipeMode*/,
                                   uint32_t maxInstances, uint32_t /*outBufferSize*/,
                                   uint32_t /*inBufferSize*/, uint32_t /*defaultTimeoutMs*/) {
  if (maxInstances == 0 || maxInstances > kUnlimitedInstances) {
    pipe_detail::ClearPipeFailureDetail();
    return FailHandle(kErrorInvalidParameter);
  }
  PipeLocation where;
  uint32_t locateError = 0;
  if (!pipe_detail::LocatePipe(name, true, &where, &locateError)) return FailHandle(locateError);
  const std::string& path = where.path;
  event_detail::AddWakeUser();

  std::shared_ptr<PipeName> pipeName;
  {
    MutexLock namesLock(NamesMutex());
    auto it = Names().find(path);
    if (it != Names().end()) {
      pipeName = it->second;
      if (pipeName->maxInstances != kUnlimitedInstances && pipeName->instances >= pipeName->maxInstances) {
        event_detail::RemoveWakeUser();
        return FailHandle(kErrorPipeBusy);
      }
    } else {
      uint32_t error = 0;
      pipeName = OpenListener(where, &error);
      if (!pipeName) {
        event_detail::RemoveWakeUser();
        return FailHandle(error);
      }
      pipeName->maxInstances = maxInstances;
      Names().emplace(path, pipeName);
    }
    ++pipeName->instances;
  }

  auto instance = std::make_shared<Instance>(std::move(pipeName), kServerReadBuffer);
  instance->magic = kServerMagic;
  instance->self = instance;
  SetLastErrorCode(kErrorSuccess);
  return static_cast<HandleHeader*>(instance.get());
}

}  // namespace platform
