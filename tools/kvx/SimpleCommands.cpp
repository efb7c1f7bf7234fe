// property, connect and send: open, do one thing, leave.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Input.h"
#include "tools/kvx/Output.h"
#include "tools/kvx/Transfer.h"

namespace kvx {

int RunProperty(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  const std::string& name = options.positional[0];
  // The plug-in answers any other name with an empty value, which would look
  // like a property that happens to be empty (a wrong letter case, say).
  if (name != "KVXCoreType" && name != "Hwnds") {
    return ReportUsage("'" + name + "' is not a property of the plug-in; the properties are KVXCoreType and Hwnds "
                       "(case-sensitive)");
  }
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<std::string> value = (*session)->GetProperty(name, WaitMs(options));
  if (!value) return ReportError(options, value.GetError());
  if (options.json) {
    PrintLine("{\"property\":" + JsonString(name) + "," + JsonBytesField("value", value.Value()) + "}");
  } else {
    PrintLine(value.Value());
  }
  return kExitOk;
}

int RunConnect(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  InstallInterruptHandler();
  const std::string& name = options.positional[0];
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<Channel> channel = OpenConnectedChannel(**session, options, name);
  if (!channel) return ReportError(options, channel.GetError());
  const int64_t id = channel->Id();
  if (options.json) {
    PrintLine("{\"channel\":" + JsonString(name) + ",\"id\":" + std::to_string(id) + ",\"state\":\"connected\"}");
  } else {
    PrintLine(std::to_string(id));
  }
  channel->Disconnect(WaitMs(options));
  return kExitOk;
}

namespace {

// TEXT from the command line, as one message.
class TextSource : public InputSource {
 public:
  explicit TextSource(std::string text) : text_(std::move(text)) {}

  Read Next(std::string* piece, std::string*) override {
    if (taken_) return Read::End;
    taken_ = true;
    *piece = text_;
    return Read::Piece;
  }

 private:
  const std::string text_;
  bool taken_ = false;
};

// Waits until the far application leaves the channel (success) or vanishes,
// for at most --timeout (0: without end). A far side that itself waits for
// this one to leave (a kvx cat, say) would otherwise keep both waiting.
Error WaitForPeerToLeave(Channel& channel, const Options& options) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  while (!g_interrupted.load()) {
    Result<ChannelEvent> event = channel.NextEvent(kPollMs);
    if (event) {
      if (event->kind == ChannelEvent::Kind::PeerLeft) return Error::Success();
      if (event->kind == ChannelEvent::Kind::Lost || event->kind == ChannelEvent::Kind::Ended) return event->error;
      continue;
    }
    if (event.GetError().Code() != ErrorCode::Timeout) return event.GetError();
    if (options.timeoutMs > 0 && Clock::now() - start >= std::chrono::milliseconds(options.timeoutMs)) {
      return Error(ErrorCode::Timeout, "the application at the other end of '" + channel.Name() +
                                           "' did not leave within " + std::to_string(options.timeoutMs) +
                                           " ms (a kvx cat there leaves once idle with -w SECS, a kvx listen "
                                           "after --count N messages)");
    }
  }
  return Error(ErrorCode::Timeout, "interrupted while waiting for the application at the other end to leave '" +
                                       channel.Name() + "'");
}

}  // namespace

int RunSend(const Options& options) {
  const bool fromFile = !options.file.empty();
  std::string usage;
  if (!ExpectArguments(options, fromFile ? 1 : 2, &usage)) {
    return ReportUsage(usage + (fromFile ? " (the data comes from --file)" : " (NAME and TEXT, or --file F)"));
  }
  InstallInterruptHandler();
  const std::string& name = options.positional[0];
  // The file is opened before the wait for a peer, so that a wrong name
  // fails at once; it is read as it goes, one message at a time.
  std::unique_ptr<InputSource> source;
  if (fromFile) {
    std::unique_ptr<FileSource> file(new FileSource(options.file, options.messageSize));
    std::string why;
    if (!file->Open(&why)) return ReportIoError(why);
    source = std::move(file);
  } else {
    source.reset(new TextSource(options.positional[1]));
  }

  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<Channel> channel = OpenConnectedChannel(**session, options, name);
  if (!channel) return ReportError(options, channel.GetError());

  InputPump pump(channel.Value(), std::move(source), options.appValue);
  pump.Start();
  // Watches for Ctrl-C and for the far side while the pump sends.
  bool peerLeft = false;
  Error gone;  // the far side's leaving or the session's end, before the pump finished
  for (;;) {
    if (pump.Get().finished || g_interrupted.load()) break;
    Result<ChannelEvent> event = channel->NextEvent(kPollMs);
    if (!event) {
      if (event.GetError().Code() == ErrorCode::Timeout) continue;
      gone = event.GetError();
      break;
    }
    if (event->kind == ChannelEvent::Kind::PeerLeft || event->kind == ChannelEvent::Kind::Lost ||
        event->kind == ChannelEvent::Kind::Ended) {
      // The pump may have sent the last of it just now.
      if (pump.WaitBriefly().complete) {
        peerLeft = event->kind == ChannelEvent::Kind::PeerLeft;
        if (!peerLeft) gone = event->error;
      } else {
        gone = event->error;
      }
      break;
    }
  }
  InputPump::Status sent = pump.Get();
  if (!sent.complete) {
    // Interrupted, cut by the far side, or a send refused: the far side must
    // not read "all sent". Closing the session ends a send under way; then
    // the pump knows what it sent.
    LeaveAbruptly(session.Value());
    sent = pump.Settle();
    if (gone) return EndCommand(pump, ReportError(options, CutBeforeDone(gone, name, sent.bytes)));
    // (A send that the closing ended fails too: Ctrl-C is the reason.)
    if (sent.finished && sent.sendError && !g_interrupted.load()) {
      return EndCommand(pump, ReportError(options, CutBeforeDone(sent.sendError, name, sent.bytes)));
    }
    if (sent.finished && !sent.readError.empty() && !g_interrupted.load()) {
      return EndCommand(pump, ReportIoError(sent.readError + " after " + DescribeBytes(sent.bytes) + " had been sent"));
    }
    return EndCommand(pump, ReportInterrupted("interrupted after " + DescribeBytes(sent.bytes) + " had been sent on '" +
                                              name + "'; the far side reads the channel lost"));
  }
  if (gone) {  // lost after everything was handed over: it may not all have arrived
    return EndCommand(pump, ReportError(options, Error(gone.Code(), gone.Message() + "; " + DescribeBytes(sent.bytes) +
                                                                        " had been sent")));
  }

  // A peer that went away meanwhile did not take everything.
  if (Error gone = CheckPeerBeforeLeaving(channel.Value(), [](const std::string&) { return true; })) {
    return EndCommand(pump, ReportError(options, Error(gone.Code(), gone.Message() + "; " +
                                                                        DescribeBytes(sent.bytes) + " had been sent")));
  }
  // --wait: no acknowledgement comes back, but the far application leaving
  // politely after our data is as close as the protocol gets to one.
  if (options.waitLeave && !peerLeft) {
    if (Error gone = WaitForPeerToLeave(channel.Value(), options)) {
      channel->Disconnect(WaitMs(options));  // all was sent: the polite leave tells the truth
      return EndCommand(pump, ReportError(options, Error(gone.Code(), gone.Message() + "; " +
                                                                          DescribeBytes(sent.bytes) + " had been sent")));
    }
  }
  // Leaving the channel politely: the plug-in forwards everything in order,
  // so the data is on its way before the far end hears that we left.
  channel->Disconnect(WaitMs(options));
  if (options.json) {
    PrintLine("{\"channel\":" + JsonString(name) + ",\"id\":" + std::to_string(channel->Id()) +
              ",\"bytes\":" + std::to_string(sent.bytes) + ",\"messages\":" + std::to_string(sent.messages) + "}");
  } else if (!options.quiet) {
    std::fprintf(stderr, "sent %llu bytes in %llu message%s on '%s' (ID %lld)\n",
                 static_cast<unsigned long long>(sent.bytes), static_cast<unsigned long long>(sent.messages),
                 sent.messages == 1 ? "" : "s", name.c_str(), static_cast<long long>(channel->Id()));
  }
  return EndCommand(pump, kExitOk);
}

}  // namespace kvx
