#include "tests/e2e/SessionHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace e2e {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Waits up to `timeout` for the child; true with *status when it ended.
bool WaitChild(pid_t pid, std::chrono::milliseconds timeout, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0) return false;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void EndChild(pid_t* pid) {
  if (*pid <= 0) return;
  int status = 0;
  kill(*pid, SIGTERM);
  if (!WaitChild(*pid, std::chrono::seconds(30), &status)) {
    kill(*pid, SIGKILL);
    waitpid(*pid, &status, 0);
  }
  *pid = -1;
}

// The harnesses alive now, for CleanUpOnSignals.
std::mutex g_liveLock;
std::vector<SessionHarness*> g_live;
// The signal handler's only work: the signal's number into this pipe, for
// the thread that cleans up outside the handler.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnEndingSignal(int signal) {
  const unsigned char number = static_cast<unsigned char>(signal);
  if (write(g_signalPipe[1], &number, 1) < 0) {
    // Nothing to be done inside a handler.
  }
}

}  // namespace

void SessionHarness::CleanUpOnSignals() {
  if (g_signalPipe[0] >= 0 || pipe(g_signalPipe) != 0) return;
  std::thread([] {
    unsigned char number = 0;
    while (read(g_signalPipe[0], &number, 1) != 1) {
    }
    {
      std::lock_guard<std::mutex> lock(g_liveLock);
      for (SessionHarness* harness : g_live) harness->EndHostsAndRemoveFolder();
    }
    _exit(128 + number);
  }).detach();
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
  }
}

SessionHarness::SessionHarness() {
  char pattern[] = "/tmp/kvx-e2e.XXXXXX";
  const char* made = mkdtemp(pattern);
  root_ = made != nullptr ? made : "";
  for (const char* sub : {"/link", "/server-pipes", "/client-pipes", "/bin", "/pipes"}) {
    mkdir((root_ + sub).c_str(), 0700);
  }
  // The test's own pipe folder holds links to the two ends' pipes, so one
  // process can reach both ends by name.
  symlink((root_ + "/server-pipes/KVX_Pipe_Channel").c_str(), (root_ + "/pipes/server").c_str());
  symlink((root_ + "/client-pipes/KVX_Pipe_Channel").c_str(), (root_ + "/pipes/client").c_str());
  setenv("KVX_PIPE_DIR", (root_ + "/pipes").c_str(), 1);
  std::lock_guard<std::mutex> lock(g_liveLock);
  g_live.push_back(this);
}

SessionHarness::~SessionHarness() {
  {
    std::lock_guard<std::mutex> lock(g_liveLock);
    g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
  }
  EndHostsAndRemoveFolder();
}

void SessionHarness::EndHostsAndRemoveFolder() {
  EndChild(&serverPid_);
  EndChild(&clientPid_);
  if (!root_.empty() && root_.rfind("/tmp/kvx-e2e.", 0) == 0) {
    std::string command = "rm -rf '" + root_ + "'";
    if (std::system(command.c_str()) != 0) {
      // Nothing more to do; the folder is under /tmp.
    }
  }
}

#ifdef PLUGIN_NO_OFFER_PATH
std::string PluginWithoutFlowOffer() { return PLUGIN_NO_OFFER_PATH; }
std::string PluginWithoutPacingOffer() { return PLUGIN_NO_PACING_PATH; }
#endif

namespace {
// What the launch names, else the variable's value, else the built default.
std::string Chosen(const std::string& given, const char* variable, const char* builtIn) {
  if (!given.empty()) return given;
  const char* value = getenv(variable);
  return value != nullptr && *value != '\0' ? value : builtIn;
}
}  // namespace

pid_t SessionHarness::Spawn(bool server, const HostLaunch& launch) {
  const std::string end = server ? "server" : "client";
  const std::string host =
      Chosen(launch.host, server ? "KVX_E2E_SERVER_HOST" : "KVX_E2E_CLIENT_HOST", VCHAN_HOST_PATH);
  const std::string plugin = Chosen(
      launch.plugin, server ? "KVX_E2E_SERVER_PLUGIN" : "KVX_E2E_CLIENT_PLUGIN", PLUGIN_PATH);
  std::vector<std::string> args = {host, "--end", end, "--plugin", plugin, "--log-level", "1"};
  if (tcpPort_ == 0) {
    args.insert(args.end(), {"--link", root_ + "/link"});
  } else if (server) {
    args.insert(args.end(), {"--tcp", std::to_string(tcpPort_)});
  } else {
    args.insert(args.end(), {"--peer", "127.0.0.1:" + std::to_string(tcpPort_)});
  }
  args.insert(args.end(), launch.extraArgs.begin(), launch.extraArgs.end());

  std::vector<std::string> env;
  std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
  if (launch.recordLaunches) {
    const std::string shim = root_ + "/bin/xdg-open";
    std::ofstream script(shim);
    script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << root_ << "/launches.txt'\n";
    script.close();
    chmod(shim.c_str(), 0700);
    path = root_ + "/bin:" + path;
  }
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "KVX_PIPE_DIR=", 13) == 0 || std::strncmp(*e, "PATH=", 5) == 0) continue;
    env.emplace_back(*e);
  }
  env.push_back("KVX_PIPE_DIR=" + root_ + "/" + end + "-pipes");
  env.push_back("PATH=" + path);

  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = root_ + "/" + end + ".log";
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, host.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void SessionHarness::LinkOverTcp() {
  // A port free now; the server end binds it moments later.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t size = sizeof(address);
  if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    tcpPort_ = ntohs(address.sin_port);
  }
  if (probe >= 0) close(probe);
}

bool SessionHarness::Start(const HostLaunch& server, const HostLaunch& client) {
  if (root_.empty()) return false;
  serverLaunch_ = server;
  clientLaunch_ = client;
  serverPid_ = Spawn(true, server);
  clientPid_ = Spawn(false, client);
  return serverPid_ > 0 && clientPid_ > 0 && WaitForLog(true, "channel open") &&
         WaitForLog(false, "channel open");
}

std::string SessionHarness::Log(bool server) const {
  return ReadFile(root_ + (server ? "/server.log" : "/client.log"));
}

int SessionHarness::CountLog(bool server, const std::string& needle) const {
  return CountOf(Log(server), needle);
}

bool SessionHarness::WaitForLog(bool server, const std::string& needle, int count,
                                std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (CountLog(server, needle) < count) {
    if (std::chrono::steady_clock::now() > deadline || !Running(server)) {
      return CountLog(server, needle) >= count;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::string SessionHarness::Launches() const { return ReadFile(root_ + "/launches.txt"); }

bool SessionHarness::Running(bool server) const {
  pid_t pid = server ? serverPid_ : clientPid_;
  if (pid <= 0) return false;
  // WNOWAIT: look without reaping, so the exit status is still there later.
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

void SessionHarness::EndHost(bool server) {
  stayingServer_ = !server;
  stayingOpens_ = CountLog(!server, "channel open");
  EndChild(server ? &serverPid_ : &clientPid_);
  const std::vector<std::string>& otherArgs = (server ? clientLaunch_ : serverLaunch_).extraArgs;
  pid_t* other = server ? &clientPid_ : &serverPid_;
  int status = 0;
  if (std::find(otherArgs.begin(), otherArgs.end(), "--end-with-peer") != otherArgs.end() &&
      *other > 0 && WaitChild(*other, std::chrono::seconds(30), &status)) {
    *other = -1;
  }
}

bool SessionHarness::StartAgain() {
  const bool stayed = Running(stayingServer_);
  if (serverPid_ <= 0) serverPid_ = Spawn(true, serverLaunch_);
  if (clientPid_ <= 0) clientPid_ = Spawn(false, clientLaunch_);
  // A host that stayed opens its channel once more; a new one for the first time.
  return serverPid_ > 0 && clientPid_ > 0 &&
         WaitForLog(stayingServer_, "channel open", stayed ? stayingOpens_ + 1 : 1) &&
         WaitForLog(!stayingServer_, "channel open");
}

bool SessionHarness::StopCleanly() {
  bool clean = true;
  for (pid_t* pid : {&serverPid_, &clientPid_}) {
    if (*pid <= 0) return false;
    int status = 0;
    kill(*pid, SIGTERM);
    if (!WaitChild(*pid, std::chrono::seconds(30), &status)) {
      kill(*pid, SIGKILL);
      waitpid(*pid, &status, 0);
      clean = false;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      clean = false;
    }
    *pid = -1;
  }
  return clean;
}

}  // namespace e2e
