// cat: standard input to the channel and the channel to standard output.
#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#include <cstdlib>
#include <mutex>
#include <thread>

#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Output.h"

namespace kvx {

namespace {

// The bytes must pass unchanged. The C runtime on Windows translates line
// ends on the standard streams unless they are switched to binary mode.
void UseBinaryStandardStreams() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

// Input goes out in pieces of this size: large enough for speed, small
// enough that the far end sees data while a long input still streams.
constexpr size_t kChunkSize = 256 * 1024;

// Reads standard input and sends it; runs on a thread of its own because a
// read from standard input cannot be interrupted.
struct InputPump {
  Channel channel;
  bool lines = false;
  std::mutex mutex;
  bool finished = false;
  Error sendError;
  bool readFailed = false;
  uint64_t bytes = 0;

  void Run() {
    std::string chunk;
    chunk.reserve(kChunkSize);
    Error error;
    bool failed = false;
    for (;;) {
      bool end = false;
      chunk.clear();
      if (lines) {
        int c;
        while (chunk.size() < kChunkSize && (c = std::getchar()) != EOF) {
          chunk.push_back(static_cast<char>(c));
          if (c == '\n') break;
        }
        end = chunk.empty();
      } else {
        chunk.resize(kChunkSize);
        size_t n = std::fread(&chunk[0], 1, chunk.size(), stdin);
        chunk.resize(n);
        end = n == 0;
      }
      if (end) {
        failed = std::ferror(stdin) != 0;
        break;
      }
      error = channel.Send(chunk);
      if (error) break;
      std::lock_guard<std::mutex> lock(mutex);
      bytes += chunk.size();
    }
    std::lock_guard<std::mutex> lock(mutex);
    sendError = error;
    readFailed = failed;
    finished = true;
  }
};

}  // namespace

int RunCat(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  UseBinaryStandardStreams();
  InstallInterruptHandler();
  const std::string& name = options.positional[0];
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<Channel> channel = OpenConnectedChannel(**session, options, name);
  if (!channel) return ReportError(options, channel.GetError());

  InputPump pump;
  pump.channel = channel.Value();
  pump.lines = options.lines;
  std::thread input([&pump] { pump.Run(); });

  int code = kExitOk;
  bool peerSeen = false;
  for (;;) {
    if (g_interrupted.load()) break;
    {
      std::lock_guard<std::mutex> lock(pump.mutex);
      if (pump.finished && pump.sendError) {
        code = ReportError(options, pump.sendError);
        break;
      }
      if (pump.finished && pump.readFailed) {
        std::fprintf(stderr, "kvx: reading standard input failed\n");
        code = kExitIo;
        break;
      }
      if (pump.finished && options.closeOnEof) break;
    }
    Result<ChannelEvent> event = channel->NextEvent(kPollMs);
    if (!event) {
      if (event.GetError().Code() == ErrorCode::Timeout) continue;
      code = ReportError(options, event.GetError());
      break;
    }
    if (event->kind == ChannelEvent::Kind::Ended) {
      code = ReportError(options, event->error);
      break;
    }
    if (event->kind == ChannelEvent::Kind::Notice) {
      // The queue starts with the notices that led up to the connection; a
      // later "pending" or "lost" means the far application left.
      if (event->state == ChannelState::Connected) {
        peerSeen = true;
      } else if (peerSeen && (event->state == ChannelState::PendingPeer || event->state == ChannelState::Lost)) {
        break;
      }
      continue;
    }
    const std::string& data = event->packet.data;
    if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "kvx: writing standard output failed\n");
      code = kExitIo;
      break;
    }
  }
  channel->Disconnect(WaitMs(options));
  std::fflush(stdout);

  bool inputFinished;
  {
    std::lock_guard<std::mutex> lock(pump.mutex);
    inputFinished = pump.finished;
  }
  if (inputFinished) {
    input.join();
    return code;
  }
  // The input thread is blocked reading standard input, which nothing can
  // interrupt portably; the channel is already left, so end the process here.
  std::fflush(stderr);
  std::_Exit(code);
}

}  // namespace kvx
