// Who may serve and use the POSIX pipe: a private folder of the user, and a
// user check on both ends of every connection. Another user is played by a
// child process that takes uid 65534, which needs root (as in CI).
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <cstring>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "diagnostics/RepeatLimiter.h"
#include "platform/debug_output.h"
#include "pipe_test_util.h"

namespace platform {
namespace testing_pipe {
namespace {

constexpr uid_t kOtherUser = 65534;
constexpr uint32_t kRefusedLines = diagnostics::RepeatLimiter::kLinesPerWindow;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

sockaddr_un Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// Runs `body` in a child process and returns its exit status. The child only
// makes system calls: the parent has threads.
int RunChild(const std::function<int()>& body, const std::function<void(pid_t)>& whileRunning = nullptr) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  if (whileRunning) whileRunning(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(PipeTest, UnsafeFoldersAreNeitherServedNorTrusted) {
  const std::string open = dir_ + "/open", others = dir_ + "/others", real = dir_ + "/real", link = dir_ + "/link",
                    foreign = dir_ + "/foreign";
  for (const std::string& folder : {open, others, real, foreign}) ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0750), 0);
  ASSERT_EQ(chmod(others.c_str(), 0701), 0);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  // Without root a folder of another owner cannot be made: "/" is one.
  const std::string otherOwner = geteuid() == 0 && chown(foreign.c_str(), kOtherUser, kOtherUser) == 0 ? foreign : "/";
  const struct {
    std::string folder;
    const char* why;
  } cases[] = {{open, "open to group or others"},
               {others, "open to group or others"},
               {link, "symbolic link"},
               {otherOwner, "does not belong to this user"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    setenv("KVX_PIPE_DIR", c.folder.c_str(), 1);
    ServerInstance server;
    EXPECT_FALSE(server.valid());
    EXPECT_EQ(server.error, kErrorAccessDenied);
    const std::string serverDetail = LastPipeFailureDetail();
    EXPECT_TRUE(Contains(serverDetail, c.why)) << serverDetail;
    EXPECT_TRUE(Contains(serverDetail, "the folder " + c.folder + " (owner uid ")) << serverDetail;
    EXPECT_TRUE(Contains(serverDetail, ", mode 0")) << serverDetail;

    EXPECT_EQ(OpenPipeClient(kName, 100), InvalidPipeHandle());
    EXPECT_EQ(GetLastErrorCode(), kErrorAccessDenied);
    EXPECT_EQ(LastPipeFailureDetail(), serverDetail);
    EXPECT_TRUE(Contains(DescribePipeLocation(kName), "kvx_test_pipe (folder from KVX_PIPE_DIR)"));
  }
  setenv("KVX_PIPE_DIR", dir_.c_str(), 1);
  EXPECT_EQ(CountEntries(real.c_str()), 2) << "a socket was made behind the link";
  unlink(link.c_str());
  for (const std::string& folder : {open, others, real, foreign}) rmdir(folder.c_str());
}

TEST_F(PipeTest, WithoutKvxPipeDirBothEndsMeetInAPrivateDefaultFolder) {
  const std::string name = "\\\\.\\pipe\\kvx_default_" + std::to_string(getpid());
  unsetenv("KVX_PIPE_DIR");
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  const std::string savedRuntime = runtime != nullptr ? runtime : "";
  unsetenv("XDG_RUNTIME_DIR");
  const std::string folder = "/tmp/kvx-" + std::to_string(geteuid());
  {
    ServerInstance server(6, name);
    ASSERT_TRUE(server.valid()) << LastPipeFailureDetail();
    struct stat st {};
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_TRUE(Contains(DescribePipeLocation(name), folder + "/kvx_default_"));
    PipeHandle client = OpenPipeClient(name, 1000);
    EXPECT_NE(client, InvalidPipeHandle()) << LastPipeFailureDetail();
    EXPECT_TRUE(ConnectAndWait(server));
    ClosePipeClient(client);
  }
  // $XDG_RUNTIME_DIR, when set, is the default.
  setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  {
    ServerInstance server(6, name);
    ASSERT_TRUE(server.valid()) << LastPipeFailureDetail();
    EXPECT_EQ(CountEntries(dir_.c_str()), 3);
    EXPECT_TRUE(Contains(DescribePipeLocation(name), "XDG_RUNTIME_DIR"));
  }
  if (savedRuntime.empty()) {
    unsetenv("XDG_RUNTIME_DIR");
  } else {
    setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
  }
  setenv("KVX_PIPE_DIR", dir_.c_str(), 1);
}

TEST_F(PipeTest, ServersAndClientsOfAnotherUserAreRefused) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the children run code after fork without exec, which ThreadSanitizer cannot follow";
#endif
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as uid " << kOtherUser;
  const std::string squatPath = SocketPath("squat");
  const sockaddr_un squat = Address(squatPath);

  // A live server of another user: nothing is sent to it, and it is not
  // taken over. The child binds as root (the folder is root's), then listens
  // as the other user, which is whom the socket reports as its server.
  int ready[2], done[2];  // one way each, so that nobody reads their own byte
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const int squatter = RunChild(
      [&] {
        close(ready[0]);
        close(done[1]);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&squat), sizeof squat) != 0) return 2;
        if (setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 || setresuid(kOtherUser, kOtherUser, kOtherUser) != 0) {
          return 3;
        }
        if (listen(fd, 8) != 0 || write(ready[1], "L", 1) != 1) return 4;
        char looked;
        if (read(done[0], &looked, 1) < 0) return 5;  // the parent has looked
        // Whatever reached the backlog must have been silent.
        for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {  // until none is left
          char byte;
          if (recv(c, &byte, 1, 0) > 0) return 1;
        }
        return 0;
      },
      [&](pid_t) {
        close(ready[1]);  // a child that fails early ends the read
        close(done[0]);
        char listening = 0;
        if (read(ready[0], &listening, 1) != 1) {
          close(done[1]);
          return;  // the child's status tells why
        }
        EXPECT_EQ(OpenPipeClient("squat", 1000), InvalidPipeHandle());
        EXPECT_EQ(GetLastErrorCode(), kErrorAccessDenied);
        EXPECT_TRUE(Contains(LastPipeFailureDetail(), "uid 65534")) << LastPipeFailureDetail();
        ServerInstance taker(6, "squat");
        EXPECT_FALSE(taker.valid());
        EXPECT_EQ(taker.error, kErrorPipeBusy);
        EXPECT_TRUE(Contains(LastPipeFailureDetail(), "another process already serves it"));
        close(done[1]);  // lets the child look at what reached it
      });
  close(ready[0]);
  EXPECT_EQ(squatter, 0) << "the squatter heard something (or failed to set up)";

  // Its dead socket: reported as that, not as busy; our own folder's owner may
  // replace it.
  ASSERT_EQ(chown(squatPath.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_EQ(OpenPipeClient("squat", 1000), InvalidPipeHandle());
  EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound);
  EXPECT_TRUE(Contains(LastPipeFailureDetail(), "(of uid 65534")) << LastPipeFailureDetail();
  EXPECT_TRUE(Contains(LastPipeFailureDetail(), "left by a process that has ended")) << LastPipeFailureDetail();
  ServerInstance replacing(6, "squat");
  EXPECT_TRUE(replacing.valid()) << LastPipeFailureDetail();
  replacing.Close();

  // A client of another user never reaches the server: the child looks up
  // the path as root (its file-system uid) but connects as the other user.
  std::vector<std::string> entries;
  std::mutex entriesMutex;
  SetDebugSink([&](const std::string& text) {
    std::lock_guard<std::mutex> lock(entriesMutex);
    entries.push_back(text);
  });
  ServerInstance server;
  ASSERT_TRUE(server.valid());
  EXPECT_FALSE(ConnectNamedPipeInstance(server.pipe, &server.ov));
  const sockaddr_un guarded = Address(SocketPath());
  // The server waits for its connect meanwhile, as the pipe server's reader
  // thread does: that wait is what accepts the intruder and turns it away.
  std::atomic<bool> childEnded{false};
  uint32_t serverWait = kWaitTimeout;
  std::thread serverWaiter([&] {
    while (!childEnded.load() && serverWait != kWaitObject0) serverWait = WaitForEvent(server.io, 20);
  });
  const int intruder = RunChild([&] {
    if (setresgid(kOtherUser, kOtherUser, 0) != 0 || setresuid(kOtherUser, kOtherUser, 0) != 0) return 3;
    setfsuid(0);
    // It keeps trying: far more attempts than lines a window admits.
    for (uint32_t attempt = 0; attempt < kRefusedLines + 10; ++attempt) {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      const timeval patience{20, 0};  // a server that keeps the intruder fails the test, not hangs it
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
      if (connect(fd, reinterpret_cast<const sockaddr*>(&guarded), sizeof guarded) != 0) return 4;
      const char message[] = {5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'};
      send(fd, message, sizeof message, MSG_NOSIGNAL);
      char byte;
      if (!(recv(fd, &byte, 1, 0) == 0 || errno == ECONNRESET)) return 1;  // closed on it
      close(fd);
    }
    return 0;
  });
  childEnded.store(true);
  serverWaiter.join();
  EXPECT_EQ(intruder, 0);
  EXPECT_NE(serverWait, kWaitObject0) << "the server took a client of another user";
  EXPECT_NE(WaitForEvent(server.io, 200), kWaitObject0) << "the server took a client of another user";
  // One line per attempt up to the limit; the rest are only counted, and
  // summarised once the window has passed, with no later attempt needed.
  const auto count = [&] {
    std::lock_guard<std::mutex> lock(entriesMutex);
    return entries.size();
  };
  EXPECT_EQ(count(), kRefusedLines);
  const auto deadline = std::chrono::steady_clock::now() + diagnostics::RepeatLimiter::kWindow * 3;
  while (count() == kRefusedLines && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  SetDebugSink(nullptr);
  ASSERT_EQ(entries.size(), kRefusedLines + 1);
  EXPECT_TRUE(Contains(entries.back(), "Suppressed 10 more lines like: Pipe client refused")) << entries.back();
  EXPECT_TRUE(Contains(entries[0], "Pipe client refused: process ")) << entries[0];
  EXPECT_TRUE(Contains(entries[0], "of uid 65534")) << entries[0];
  EXPECT_TRUE(Contains(entries[0], SocketPath())) << entries[0];

  // This user's client is served by the same pending connect.
  PipeHandle client = OpenPipeClient(kName, 1000);
  ASSERT_NE(client, InvalidPipeHandle());
  EXPECT_EQ(WaitForEvent(server.io, 20000), kWaitObject0);
  ClosePipeClient(client);
}

TEST_F(PipeTest, ClientRefusesALengthOverTheQuotaBeforeAllocating) {
  const sockaddr_un address = Address(SocketPath("fake"));
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  auto serveOne = [&](uint32_t announced, size_t bodyBytes) {
    PipeHandle client = OpenPipeClient("fake", 1000);
    EXPECT_NE(client, InvalidPipeHandle());
    const int server = accept(listener, nullptr, nullptr);
    const unsigned char header[4] = {static_cast<unsigned char>(announced), static_cast<unsigned char>(announced >> 8),
                                     static_cast<unsigned char>(announced >> 16),
                                     static_cast<unsigned char>(announced >> 24)};
    std::thread writer([&] {
      send(server, header, sizeof header, MSG_NOSIGNAL);
      const std::string body(bodyBytes, 'b');
      for (size_t sent = 0; sent < body.size();) {
        const ssize_t n = send(server, body.data() + sent, body.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    });
    std::string message;
    const bool read = ReadPipeMessage(client, &message);
    const uint32_t error = GetLastErrorCode();
    const std::string detail = LastPipeFailureDetail();
    // After a refusal nothing more can be read, though the server stays.
    const bool readAgain = !read && ReadPipeMessage(client, &message);
    shutdown(server, SHUT_RDWR);
    writer.join();
    close(server);
    ClosePipeClient(client);
    return std::make_tuple(read, error, detail, message.size(), readAgain);
  };

  // A fake server announcing 1 GiB and sending a few bytes: refused at once
  // (a client that sized its buffer from the header would wait for the rest),
  // and the connection carries nothing more.
  const auto huge = serveOne(0x40000000u, 3);
  EXPECT_FALSE(std::get<0>(huge));
  EXPECT_EQ(std::get<1>(huge), kErrorInvalidData);
  EXPECT_TRUE(Contains(std::get<2>(huge), "1073741824 bytes, more than the limit of 67108864")) << std::get<2>(huge);
  EXPECT_FALSE(std::get<4>(huge));
  // One byte over is refused; the quota itself arrives whole.
  EXPECT_EQ(std::get<1>(serveOne(kMaxClientMessageSize + 1, 0)), kErrorInvalidData);
  const auto largest = serveOne(kMaxClientMessageSize, kMaxClientMessageSize);
  EXPECT_TRUE(std::get<0>(largest));
  EXPECT_EQ(std::get<3>(largest), kMaxClientMessageSize);
  close(listener);
  unlink(SocketPath("fake").c_str());
}

}  // namespace
}  // namespace testing_pipe
}  // namespace platform
