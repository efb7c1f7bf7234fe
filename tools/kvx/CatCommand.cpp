// cat: standard input to the channel and the channel to standard output.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Input.h"
#include "tools/kvx/Output.h"

namespace kvx {

namespace {

using Clock = std::chrono::steady_clock;

// The most one read of standard input sends as one message: it stays below
// the plug-in's read buffer of 256 KiB with the message envelope added.
constexpr size_t kChunkSize = 256 * 1024 - 64;

// Reads standard input and sends it; runs on a thread of its own because a
// read from standard input cannot be interrupted.
struct InputPump {
  Channel channel;
  bool lines = false;
  int64_t appValue = 0;
  std::mutex mutex;
  bool finished = false;
  Error sendError;
  bool readFailed = false;
  uint64_t bytes = 0;

  // The next piece of input: a line with --lines, else whatever standard
  // input has at the moment. Empty at the end of input.
  bool ReadPiece(std::vector<char>& buffer, std::string* piece) {
    piece->clear();
    if (lines) {
      int c;
      while (piece->size() < kChunkSize && (c = std::getchar()) != EOF) {
        piece->push_back(static_cast<char>(c));
        if (c == '\n') break;
      }
      return std::ferror(stdin) == 0;
    }
    const long n = ReadAvailableInput(buffer.data(), buffer.size());
    if (n > 0) piece->assign(buffer.data(), static_cast<size_t>(n));
    return n >= 0;
  }

  void Run() {
    std::vector<char> buffer(kChunkSize);
    std::string piece;
    Error error;
    bool failed = false;
    for (;;) {
      failed = !ReadPiece(buffer, &piece);
      if (failed || piece.empty()) break;
      error = channel.Send(piece, appValue);
      if (error) break;
      std::lock_guard<std::mutex> lock(mutex);
      bytes += piece.size();
    }
    std::lock_guard<std::mutex> lock(mutex);
    sendError = error;
    readFailed = failed;
    finished = true;
  }
};

// --progress: a line on standard error, redrawn about once a second.
class Progress {
 public:
  explicit Progress(const Options& options) : options_(options), enabled_(options.progress && !options.quiet) {}

  void Update(uint64_t sent, uint64_t received, bool final = false) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (!final && now - lastDrawn_ < std::chrono::seconds(1)) return;
    lastDrawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char line[160];
    std::snprintf(line, sizeof line, "sent %.1f MiB, received %.1f MiB in %.0f s (%.1f MiB/s)",
                  static_cast<double>(sent) / 1048576.0, static_cast<double>(received) / 1048576.0, seconds,
                  seconds > 0 ? static_cast<double>(sent + received) / 1048576.0 / seconds : 0.0);
    PrintProgress(options_, line);
    if (final) std::fputc('\n', stderr);
  }

 private:
  const Options& options_;
  const bool enabled_;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_ = start_;
};

bool WriteOut(const std::string& data) {
  return std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0;
}

bool IsChannelGone(const Error& error) {
  return error.Code() == ErrorCode::NotConnected || error.Code() == ErrorCode::ChannelLost ||
         error.Code() == ErrorCode::PeerLeft;
}

}  // namespace

int RunCat(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  if (options.closeOnEof && options.idleSeconds >= 0) return ReportUsage("-N and -w exclude each other");
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
  pump.appValue = options.appValue;
  std::thread input([&pump] { pump.Run(); });

  Progress progress(options);
  int code = kExitOk;
  bool inputDone = false;
  // A send refused because the channel changed: the event queue says how.
  bool waitForReason = false;
  uint64_t received = 0;
  uint64_t sent = 0;
  Clock::time_point lastActivity = Clock::now();
  const auto idle = std::chrono::duration<double>(options.idleSeconds);
  for (;;) {
    if (g_interrupted.load()) break;
    if (!inputDone) {
      std::lock_guard<std::mutex> lock(pump.mutex);
      sent = pump.bytes;
      if (pump.finished) {
        inputDone = true;
        lastActivity = Clock::now();
        if (pump.sendError && IsChannelGone(pump.sendError)) {
          waitForReason = true;
        } else if (pump.sendError) {
          code = ReportError(options, pump.sendError);
          break;
        } else if (pump.readFailed) {
          std::fprintf(stderr, "kvx: reading standard input failed\n");
          code = kExitIo;
          break;
        } else if (options.closeOnEof) {
          if (Error gone = CheckPeerBeforeLeaving(channel.Value(), WriteOut)) code = ReportError(options, gone);
          break;
        }
      }
    }
    if (inputDone && !waitForReason && options.idleSeconds >= 0 && Clock::now() - lastActivity >= idle) break;
    progress.Update(sent, received);
    Result<ChannelEvent> event = channel->NextEvent(kPollMs);
    if (!event) {
      if (event.GetError().Code() == ErrorCode::Timeout) continue;
      code = ReportError(options, event.GetError());
      break;
    }
    if (event->kind == ChannelEvent::Kind::Notice) continue;
    // The far application leaving is the normal end, as when netcat's peer
    // closes; vanishing (Lost), or the plug-in going (Ended), is not.
    if (event->kind == ChannelEvent::Kind::PeerLeft) break;
    if (event->kind == ChannelEvent::Kind::Lost || event->kind == ChannelEvent::Kind::Ended) {
      code = ReportError(options, event->error);
      break;
    }
    if (!WriteOut(event->packet.data)) {
      std::fprintf(stderr, "kvx: writing standard output failed\n");
      code = kExitIo;
      break;
    }
    received += event->packet.data.size();
    lastActivity = Clock::now();
  }
  channel->Disconnect(WaitMs(options));
  std::fflush(stdout);

  bool inputFinished;
  {
    std::lock_guard<std::mutex> lock(pump.mutex);
    inputFinished = pump.finished;
    sent = pump.bytes;
  }
  progress.Update(sent, received, true);
  if (inputFinished) {
    input.join();
    return code;
  }
  // The input thread is blocked reading standard input, which nothing can
  // interrupt portably; the channel is already left, so end the process here.
  std::fflush(stderr);
  std::_Exit(FinalExitCode(code));
}

}  // namespace kvx
