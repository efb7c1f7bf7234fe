// Private to the POSIX named pipe stand-in: where the socket of a pipe name
// lives, and whether its folder is safe to serve or trust.
//
// The folder is $KVX_PIPE_DIR when set, otherwise $XDG_RUNTIME_DIR, otherwise
// /tmp/kvx-<uid> (made on demand, mode 0700). Whichever it is, it must be a
// real folder (not a symlink) owned by this user with no access for group or
// others: anyone who can write there could put their own socket in place of
// ours, and anyone who can reach our socket could talk to the plug-in.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

namespace platform {
namespace pipe_detail {

struct PipeLocation {
  std::string folder;
  std::string path;    // folder/NAME
  std::string origin;  // how the folder was chosen, in words
  sockaddr_un address{};
  socklen_t length = 0;
};

// Resolves `name` ("\\.\pipe\NAME" or a bare NAME) without checking anything.
// False when the name cannot be a file name; `where` still gets what can be
// said (for diagnostics).
bool ResolvePipeLocation(const std::string& name, PipeLocation* where);
// The same in the folder already in where->folder (with where->origin).
bool ResolvePipeLocationInFolder(const std::string& name, PipeLocation* where);

// Resolves and checks. `makeDefault` creates the per-user default folder when
// it is missing (servers do; clients only look). On failure returns the
// Win32-style code and records the reason with SetPipeFailureDetail.
bool LocatePipe(const std::string& name, bool makeDefault, PipeLocation* where, uint32_t* error);
// Resolves and checks in the folder already in where->folder; never makes it.
bool LocatePipeInFolder(const std::string& name, PipeLocation* where, uint32_t* error);

// "socket PATH (how the folder was chosen)".
std::string Describe(const PipeLocation& where);

// The words behind the last failure on this thread (see LastPipeFailureDetail).
void SetPipeFailureDetail(std::string detail);
void ClearPipeFailureDetail();

// The system's reason for an errno value, in words.
std::string Reason(int errnoValue);

// "uid N (user NAME)" when the name is known.
std::string DescribeUser(uid_t uid);

// True when a process of `uid` may be trusted at the other end of our pipe:
// this user, or root, who can reach every socket anyway.
bool TrustedPeer(uid_t uid);

}  // namespace pipe_detail
}  // namespace platform
