#include "platform/posix/pipe_location.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/last_error.h"
#include "platform/named_pipe.h"

namespace platform {
namespace pipe_detail {
namespace {

// A fixed buffer, not a std::string: a thread-local with a destructor keeps
// the library that holds it loaded for as long as any thread that touched it
// runs (the system must still call the destructor when that thread ends), so
// unloading the plug-in would keep its code, and end none of its threads.
constexpr size_t kFailureDetailMax = 1024;
thread_local char tFailureDetail[kFailureDetailMax];

bool StartsWithPipePrefix(const std::string& name) {
  static const char kPrefix[] = "\\\\.\\pipe\\";
  const size_t n = sizeof kPrefix - 1;
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

const char* NonEmptyEnv(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Owned(const struct stat& st) {
  return "owner " + DescribeUser(st.st_uid) + ", mode " + Mode(st.st_mode);
}

uint32_t Refuse(uint32_t code, std::string detail) {
  SetPipeFailureDetail(std::move(detail));
  return code;
}

// 0 when `folder` is fit to hold our sockets, else the code to fail with.
uint32_t CheckFolder(const std::string& folder, bool make) {
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 && errno == ENOENT && make) {
    // Private from the first instant; a folder someone else made meanwhile
    // is judged below like any other.
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return Refuse(kErrorAccessDenied, "cannot create the folder " + folder + ": " + Reason(errno));
    }
  }
  if (lstat(folder.c_str(), &st) != 0) {
    const int error = errno;
    if (error == ENOENT) return Refuse(kErrorFileNotFound, "the folder " + folder + " does not exist");
    return Refuse(error == EACCES ? kErrorAccessDenied : kErrorFileNotFound,
                  "cannot look at the folder " + folder + ": " + Reason(error));
  }
  if (S_ISLNK(st.st_mode)) {
    return Refuse(kErrorAccessDenied, "the folder " + folder + " (" + Owned(st) +
                                          ") is a symbolic link; a pipe folder must be a real folder");
  }
  if (!S_ISDIR(st.st_mode)) {
    return Refuse(kErrorFileNotFound, "the folder " + folder + " (" + Owned(st) + ") is not a folder");
  }
  if (st.st_uid != geteuid()) {
    return Refuse(kErrorAccessDenied, "the folder " + folder + " (" + Owned(st) +
                                          ") does not belong to this user, " + DescribeUser(geteuid()) +
                                          "; a pipe folder must be the user's own");
  }
  if ((st.st_mode & 077) != 0) {
    return Refuse(kErrorAccessDenied, "the folder " + folder + " (" + Owned(st) +
                                          ") is open to group or others; a pipe folder must be closed to "
                                          "them (chmod 700)");
  }
  return kErrorSuccess;
}

}  // namespace

bool ResolvePipeLocation(const std::string& name, PipeLocation* where) {
  if (const char* chosen = NonEmptyEnv("KVX_PIPE_DIR")) {
    where->folder = chosen;
    where->origin = "folder from KVX_PIPE_DIR";
  } else if (const char* runtime = NonEmptyEnv("XDG_RUNTIME_DIR")) {
    where->folder = runtime;
    where->origin = "default folder, from XDG_RUNTIME_DIR";
  } else {
    where->folder = "/tmp/kvx-" + std::to_string(geteuid());
    where->origin = "default folder; KVX_PIPE_DIR chooses another";
  }
  return ResolvePipeLocationInFolder(name, where);
}

bool ResolvePipeLocationInFolder(const std::string& name, PipeLocation* where) {
  while (where->folder.size() > 1 && where->folder.back() == '/') where->folder.pop_back();
  const std::string base = StartsWithPipePrefix(name) ? name.substr(9) : name;
  where->path = where->folder + (where->folder == "/" ? "" : "/") + base;
  return !(base.empty() || base == "." || base == ".." || base.find('/') != std::string::npos ||
           base.find('\0') != std::string::npos);
}

namespace {

// The checks of LocatePipe once `where` is resolved.
bool CheckLocation(const std::string& name, bool resolved, bool makeFolder, PipeLocation* where, uint32_t* error) {
  if (!resolved) {
    *error = Refuse(kErrorInvalidParameter, "'" + name + "' cannot name a socket file");
    return false;
  }
  if (where->path.size() >= sizeof where->address.sun_path) {
    *error = Refuse(kErrorInvalidParameter, "the path is " + std::to_string(where->path.size()) +
                                                " bytes long; a Unix socket's path holds at most " +
                                                std::to_string(sizeof where->address.sun_path - 1));
    return false;
  }
  *error = CheckFolder(where->folder, makeFolder);
  if (*error != kErrorSuccess) return false;
  std::memset(&where->address, 0, sizeof where->address);
  where->address.sun_family = AF_UNIX;
  std::memcpy(where->address.sun_path, where->path.c_str(), where->path.size() + 1);
  where->length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where->path.size() + 1);
  return true;
}

}  // namespace

bool LocatePipe(const std::string& name, bool makeDefault, PipeLocation* where, uint32_t* error) {
  ClearPipeFailureDetail();
  const bool resolved = ResolvePipeLocation(name, where);
  const bool isDefault = NonEmptyEnv("KVX_PIPE_DIR") == nullptr && NonEmptyEnv("XDG_RUNTIME_DIR") == nullptr;
  return CheckLocation(name, resolved, makeDefault && isDefault, where, error);
}

bool LocatePipeInFolder(const std::string& name, PipeLocation* where, uint32_t* error) {
  ClearPipeFailureDetail();
  const bool resolved = ResolvePipeLocationInFolder(name, where);
  return CheckLocation(name, resolved, false, where, error);
}

std::string Describe(const PipeLocation& where) { return "socket " + where.path + " (" + where.origin + ")"; }

void SetPipeFailureDetail(std::string detail) {
  std::snprintf(tFailureDetail, sizeof tFailureDetail, "%s", detail.c_str());
}
void ClearPipeFailureDetail() { tFailureDetail[0] = '\0'; }

std::string Reason(int errnoValue) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in `buffer`.
  const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
  return text != nullptr ? text : "error " + std::to_string(errnoValue);
}

std::string DescribeUser(uid_t uid) {
  std::string text = "uid " + std::to_string(uid);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(4096);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr) {
    text += std::string(" (") + found->pw_name + ")";
  }
  return text;
}

bool TrustedPeer(uid_t uid) { return uid == geteuid() || uid == 0; }

}  // namespace pipe_detail

std::string LastPipeFailureDetail() { return std::string(pipe_detail::tFailureDetail); }

std::string PipePlaceProblem(const std::string& name) {
  pipe_detail::PipeLocation where;
  uint32_t error = 0;
  if (pipe_detail::LocatePipe(name, false, &where, &error)) return std::string();
  return pipe_detail::Describe(where) + ": " + pipe_detail::tFailureDetail;
}

std::string DescribePipeLocation(const std::string& name) {
  pipe_detail::PipeLocation where;
  pipe_detail::ResolvePipeLocation(name, &where);
  return pipe_detail::Describe(where);
}

PipeClientPlace ChoosePipeClientPlace(const std::string& name) {
  pipe_detail::PipeLocation where;
  pipe_detail::ResolvePipeLocation(name, &where);
  PipeClientPlace place;
  place.name = name;
  place.folder = where.folder;
  place.origin = where.origin;
  return place;
}

std::string DescribePipeLocation(const PipeClientPlace& place) {
  pipe_detail::PipeLocation where;
  where.folder = place.folder;
  where.origin = place.origin;
  pipe_detail::ResolvePipeLocationInFolder(place.name, &where);
  return pipe_detail::Describe(where);
}

}  // namespace platform
