// cat: standard input to the channel and the channel to standard output.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Input.h"
#include "tools/kvx/Output.h"
#include "tools/kvx/OutputPump.h"
#include "tools/kvx/Transfer.h"

namespace kvx {

namespace {

using Clock = std::chrono::steady_clock;

// The most one read of standard input sends as one message: it stays below
// the plug-in's read buffer of 256 KiB with the message envelope added.
constexpr size_t kChunkSize = 256 * 1024 - 64;

// Standard input as it comes: a line with --lines, else whatever it has at
// the moment, so that each piece goes out as soon as it is typed or written.
class StandardInputSource : public InputSource {
 public:
  explicit StandardInputSource(bool lines) : lines_(lines), buffer_(kChunkSize) {}

  Read Next(std::string* piece, std::string* error) override {
    piece->clear();
    if (lines_) {
      int c;
      while (piece->size() < kChunkSize && (c = std::getchar()) != EOF) {
        piece->push_back(static_cast<char>(c));
        if (c == '\n') break;
      }
      if (std::ferror(stdin) == 0) return piece->empty() ? Read::End : Read::Piece;
    } else {
      const long n = ReadAvailableInput(buffer_.data(), buffer_.size());
      if (n > 0) piece->assign(buffer_.data(), static_cast<size_t>(n));
      if (n >= 0) return n == 0 ? Read::End : Read::Piece;
    }
    *error = "reading standard input failed";
    return Read::Failed;
  }

 private:
  const bool lines_;
  std::vector<char> buffer_;
};

// --progress: a line on standard error about once a second.
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
    if (final) {  // the last figures stay on the screen
      EndProgress(options_);
      PrintStatus(options_, line);
    } else {
      PrintProgress(options_, line);
    }
  }

 private:
  const Options& options_;
  const bool enabled_;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_ = start_;
};

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

  InputPump pump(channel.Value(), std::unique_ptr<InputSource>(new StandardInputSource(options.lines)),
                 options.appValue);
  pump.Start();

  OutputPump output;
  const auto writeOut = [&output](const std::string& data) {
    return output.Write(data) == OutputPump::Outcome::Written;
  };
  Progress progress(options);
  int code = kExitOk;
  // Set when the channel is to be left without the polite disconnect, which
  // the far side takes for "all sent, all received": the input was not all
  // sent, or this side stopped taking what it was sent (interrupted, or its
  // output failed).
  bool cut = false;
  // What to say about it, once the pump has settled and knows what it sent.
  std::function<int(uint64_t sent)> reportCut;
  bool inputDone = false;
  // A send refused because the channel changed: the event queue says how.
  bool waitForReason = false;
  uint64_t received = 0;
  InputPump::Status input;
  Clock::time_point lastActivity = Clock::now();
  const auto idle = std::chrono::duration<double>(options.idleSeconds);
  for (;;) {
    input = pump.Get();
    if (g_interrupted.load()) {
      cut = true;
      reportCut = [&](uint64_t sent) {
        return ReportInterrupted("interrupted after " + DescribeBytes(sent) + " had been sent on '" + name +
                                 "' and " + DescribeBytes(received) + " received; the far side reads the channel lost");
      };
      break;
    }
    // Checked here too: the last message's write may fail while nothing more
    // arrives, and the far side must learn of it before it gives up waiting.
    if (output.Failed()) {
      code = ReportIoError("writing standard output failed");
      cut = true;
      break;
    }
    if (!inputDone && input.finished) {
      inputDone = true;
      lastActivity = Clock::now();
      if (input.sendError && IsChannelGone(input.sendError)) {
        waitForReason = true;
      } else if (input.sendError) {
        const Error why = input.sendError;
        reportCut = [&, why](uint64_t sent) { return ReportError(options, CutBeforeDone(why, name, sent)); };
        cut = true;
        break;
      } else if (!input.complete) {
        const std::string why = input.readError;
        reportCut = [why](uint64_t sent) { return ReportIoError(why + " after " + DescribeBytes(sent) + " had been sent"); };
        cut = true;
        break;
      } else if (options.closeOnEof) {
        if (Error gone = CheckPeerBeforeLeaving(channel.Value(), writeOut)) {
          code = ReportError(options, gone);
          cut = gone.Code() == ErrorCode::SystemError;  // the output failed
        }
        break;
      }
    }
    if (inputDone && !waitForReason && options.idleSeconds >= 0 && Clock::now() - lastActivity >= idle) break;
    progress.Update(input.bytes, received);
    Result<ChannelEvent> event = channel->NextEvent(kPollMs);
    if (!event) {
      if (event.GetError().Code() == ErrorCode::Timeout) continue;
      code = ReportError(options, event.GetError());
      break;
    }
    if (event->kind == ChannelEvent::Kind::Notice) continue;
    // --reconnect: the pipe went away and comes back; a cat that only
    // receives by now waits for the channel to come back with it.
    if (options.reconnect && event->kind == ChannelEvent::Kind::Lost &&
        event->error.Code() == ErrorCode::ConnectionLost && pump.Get().complete) {
      continue;
    }
    if (event->kind == ChannelEvent::Kind::PeerLeft || event->kind == ChannelEvent::Kind::Lost) {
      // The far application leaving after all our input was sent is the
      // normal end, as when netcat's peer closes; leaving before, or
      // vanishing, is not.
      input = pump.WaitBriefly();
      if (!input.complete) {
        const Error why = event->error;
        reportCut = [&, why](uint64_t sent) { return ReportError(options, CutBeforeDone(why, name, sent)); };
        cut = true;
      } else if (event->kind == ChannelEvent::Kind::Lost) {
        code = ReportError(options, CutWhileReceiving(event->error, received));
      }
      break;
    }
    if (event->kind == ChannelEvent::Kind::Ended) {
      code = ReportError(options, CutWhileReceiving(event->error, received));
      break;
    }
    const size_t size = event->packet.data.size();
    // Interrupted or failed: the loop's top reports it.
    if (output.Write(std::move(event->packet.data)) != OutputPump::Outcome::Written) continue;
    received += size;
    lastActivity = Clock::now();
  }
  // All that came is written out before the polite leave says so.
  if (!cut) {
    const OutputPump::Outcome written = output.Drain();
    if (written == OutputPump::Outcome::Failed) code = ReportIoError("writing standard output failed");
    if (written == OutputPump::Outcome::Interrupted) {
      code = ReportInterrupted("interrupted while writing what had been received on '" + name +
                               "'; the far side reads the channel lost");
    }
    cut = written != OutputPump::Outcome::Written;
  }
  if (cut || !(*session)->IsConnected()) {
    LeaveAbruptly(session.Value());
    if (reportCut) code = reportCut(pump.Settle().bytes);
  } else {
    channel->Disconnect(WaitMs(options));
  }
  input = pump.Get();
  progress.Update(input.bytes, received, true);
  return EndCommand(pump, code, &output);
}

}  // namespace kvx
