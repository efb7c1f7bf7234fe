// bench: round-trip latency and throughput against `kvx bench --serve`.
//
// Between the two ends: a ping is data starting with 'P', answered with the
// same bytes; a load message starts with 'L' and is answered with the single
// byte 'A'; both answers carry the app value of what they answer. Against a
// link (--link-rate) a second pair pings on "<name>.side" beside the
// throughput run (BenchSide.h).
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "tools/kvx/BenchSide.h"
#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Output.h"

namespace kvx {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, format, a, b, c, d);
  return buffer;
}

int Serve(const Options& options, const std::string& name) {
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<Channel> channel = (*session)->OpenChannel(name);
  if (!channel) return ReportError(options, channel.GetError());
  // The second pair's channel, served by a second application beside this
  // one, as a bench against a link expects.
  SideServer side(options);
  if (Error error = side.Start(name)) {
    PrintStatus(options, "not serving '" + SideChannelName(name) + "': " + error.Message());
  }
  if (!options.quiet && !options.json) std::fprintf(stderr, "serving bench on '%s'\n", name.c_str());
  bool hadClient = false;
  bool toldWaiting = false;
  uint64_t answered = 0;
  while (!g_interrupted.load()) {
    Result<ChannelEvent> event = channel->NextEvent(kPollMs);
    if (!event) {
      if (event.GetError().Code() == ErrorCode::Timeout) continue;
      return ReportError(options, event.GetError());
    }
    if (event->kind == ChannelEvent::Kind::Ended) return ReportError(options, event->error);
    if (event->kind != ChannelEvent::Kind::Data) {  // notices, the peer leaving or lost
      if (event->state == ChannelState::PendingPeer && !hadClient && !toldWaiting) {
        toldWaiting = true;
        TellWaitingForPeer(options, name, event->channelId);
      }
      if (event->state == ChannelState::Connected) {
        hadClient = true;
        if (options.json) PrintLine("{\"event\":\"client\",\"id\":" + std::to_string(event->channelId) + "}");
        else if (!options.quiet) std::fprintf(stderr, "client connected (ID %lld)\n", static_cast<long long>(event->channelId));
      } else if (hadClient && (event->state == ChannelState::PendingPeer || event->state == ChannelState::Lost)) {
        if (options.json) PrintLine("{\"event\":\"client-left\",\"answered\":" + std::to_string(answered) + "}");
        else if (!options.quiet) std::fprintf(stderr, "client left after %" PRIu64 " messages\n", answered);
        if (options.once) break;
      }
      continue;
    }
    const Orvane::Extension::SDK::Packet& packet = event->packet;
    Error error;
    if (!packet.data.empty() && packet.data[0] == 'P') {
      error = channel->Send(packet.data, packet.appValue);
    } else if (!packet.data.empty() && packet.data[0] == 'L') {
      error = channel->Send("A", packet.appValue);
    } else {
      continue;  // not ours; a bench peer ignores it
    }
    // The client may leave while answers are on their way; that is no failure.
    if (error && error.Code() != ErrorCode::NotConnected && error.Code() != ErrorCode::ChannelLost) {
      return ReportError(options, error);
    }
    ++answered;
  }
  channel->Disconnect(WaitMs(options));
  return kExitOk;
}

// Waits for the answer with `appValue`; answers to anything else are skipped.
Result<Orvane::Extension::SDK::Packet> AwaitAnswer(Channel& channel, const Options& options, char kind,
                                                    int64_t appValue) {
  for (;;) {
    if (g_interrupted.load()) return Error(ErrorCode::Timeout, "interrupted");
    auto packet = channel.Receive(WaitMs(options));
    if (!packet) return packet;
    if (!packet->data.empty() && packet->data[0] == kind && packet->appValue == appValue) return packet;
  }
}

Error MeasureLatency(Channel& channel, const Options& options, LatencyFigures* figures) {
  if (options.pingSize > Channel::kMaxDataSize) {
    return Error(ErrorCode::InvalidArgument,
                 "--ping-size may be at most " + std::to_string(Channel::kMaxDataSize) + " bytes");
  }
  std::string ping(std::max<uint64_t>(options.pingSize, 1), 'p');
  ping[0] = 'P';
  Clock::time_point lastProgress = Clock::now();
  for (uint64_t i = 0; i < options.pings; ++i) {
    Clock::time_point start = Clock::now();
    if (Error error = channel.Send(ping, static_cast<int64_t>(i))) return error;
    auto answer = AwaitAnswer(channel, options, 'P', static_cast<int64_t>(i));
    if (!answer) return answer.GetError();
    if (answer->data != ping) return Error(ErrorCode::ProtocolError, "a ping came back changed");
    Clock::time_point end = Clock::now();
    figures->micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    if (end - lastProgress > std::chrono::milliseconds(250)) {
      lastProgress = end;
      PrintProgress(options, Format("latency: %.0f of %.0f pings", static_cast<double>(i + 1),
                                    static_cast<double>(options.pings)));
    }
  }
  EndProgress(options);
  std::sort(figures->micros.begin(), figures->micros.end());
  return Error::Success();
}

struct ThroughputFigures {
  uint64_t messages = 0;
  uint64_t bytes = 0;
  double seconds = 0;
};

Error MeasureThroughput(Channel& channel, const Options& options, ThroughputFigures* figures) {
  if (options.size > Channel::kMaxDataSize) {
    return Error(ErrorCode::InvalidArgument,
                 "--size may be at most " + std::to_string(Channel::kMaxDataSize) + " bytes");
  }
  std::string load(std::max<uint64_t>(options.size, 1), 'l');
  load[0] = 'L';
  const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.durationSeconds));
  Clock::time_point start = Clock::now();
  Clock::time_point lastProgress = start;
  int64_t sent = 0, acknowledged = 0;
  // Keep `window` messages in flight until the time is up, then collect the
  // answers of those still in flight.
  while (true) {
    bool timeUp = Clock::now() - start >= duration;
    if (!timeUp && sent - acknowledged < static_cast<int64_t>(options.window)) {
      if (Error error = channel.Send(load, sent)) return error;
      ++sent;
      continue;
    }
    if (acknowledged == sent) break;
    auto answer = AwaitAnswer(channel, options, 'A', acknowledged);
    if (!answer) return answer.GetError();
    ++acknowledged;
    Clock::time_point now = Clock::now();
    if (now - lastProgress > std::chrono::milliseconds(250)) {
      lastProgress = now;
      double elapsed = Seconds(now - start);
      PrintProgress(options, Format("throughput: %.1f s, %.1f MiB/s, %.0f messages", elapsed,
                                    static_cast<double>(acknowledged) * static_cast<double>(load.size()) / elapsed / 1048576.0,
                                    static_cast<double>(acknowledged)));
    }
  }
  EndProgress(options);
  figures->seconds = Seconds(Clock::now() - start);
  figures->messages = static_cast<uint64_t>(acknowledged);
  figures->bytes = figures->messages * load.size();
  return Error::Success();
}

int Measure(const Options& options, const std::string& name) {
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<Channel> channel = OpenConnectedChannel(**session, options, name);
  if (!channel) return ReportError(options, channel.GetError());

  // Against a link, a second pair's round trips beside the throughput run.
  std::unique_ptr<SidePinger> side;
  const bool throughputRun = options.size > 0 && options.durationSeconds > 0;
  if (options.linkRateMbit > 0 && throughputRun) {
    side.reset(new SidePinger(options));
    if (Error error = side->Open(name)) {
      PrintStatus(options, "no second pair beside the throughput run (kvx bench --serve of this version answers on '" +
                               SideChannelName(name) + "'): " + error.Message());
      side.reset();
    }
  }
  LatencyFigures latency;
  if (options.pings > 0) {
    if (Error error = MeasureLatency(channel.Value(), options, &latency)) return ReportError(options, error);
  }
  ThroughputFigures throughput;
  LatencyFigures beside;
  Error sideError;
  if (throughputRun) {
    // The bulk fills the way before the first ping.
    if (side) side->Start(std::chrono::milliseconds(std::min<long long>(500, std::llround(options.durationSeconds * 250))));
    Error error = MeasureThroughput(channel.Value(), options, &throughput);
    if (side) sideError = side->Stop(&beside);
    if (error) return ReportError(options, error);
  }
  channel->Disconnect(WaitMs(options));
  // What the link's delay does not explain: the share of a round trip spent
  // in the link's queue (and at the ends), estimated.
  const double linkRoundTripUs = 2000 * options.linkDelayMs;
  const auto queueShare = [&](double micros) { return micros > 0 ? std::max(0.0, micros - linkRoundTripUs) / micros : 0; };
  const bool besideShown = side && !beside.micros.empty();

  const double seconds = throughput.seconds > 0 ? throughput.seconds : 1;
  const double bytesPerSecond = static_cast<double>(throughput.bytes) / seconds;
  const double messagesPerSecond = static_cast<double>(throughput.messages) / seconds;
  if (options.json) {
    std::string line = "{\"channel\":" + JsonString(name);
    if (options.pings > 0) {
      line += Format(",\"latency_us\":{\"count\":%.0f,\"min\":%.1f,\"p50\":%.1f,\"p90\":%.1f",
                     static_cast<double>(latency.micros.size()), latency.micros.front(), latency.Percentile(50),
                     latency.Percentile(90));
      line += Format(",\"p99\":%.1f,\"max\":%.1f,\"mean\":%.1f,\"ping_bytes\":%.0f}", latency.Percentile(99),
                     latency.micros.back(), latency.Mean(), static_cast<double>(options.pingSize));
    }
    if (throughput.messages > 0) {
      line += Format(",\"throughput\":{\"message_bytes\":%.0f,\"messages\":%.0f,\"seconds\":%.3f,",
                     static_cast<double>(options.size), static_cast<double>(throughput.messages), throughput.seconds);
      line += Format("\"bytes_per_second\":%.0f,\"messages_per_second\":%.1f,\"window\":%.0f}", bytesPerSecond,
                     messagesPerSecond, static_cast<double>(options.window));
    }
    if (side) {
      line += ",\"beside_bulk_us\":{\"channel\":" + JsonString(SideChannelName(name));
      line += Format(",\"count\":%.0f", static_cast<double>(beside.micros.size()));
      if (besideShown) {
        line += Format(",\"p50\":%.1f,\"p99\":%.1f,\"max\":%.1f", beside.Percentile(50), beside.Percentile(99),
                       beside.micros.back());
      }
      line += Format(",\"ping_bytes\":%.0f}", static_cast<double>(kSidePingBytes));
    }
    if (options.linkRateMbit > 0) {
      line += Format(",\"link\":{\"rate_mbit\":%g,\"delay_ms\":%g,\"throughput_share\":%.3f,\"round_trip_ratio\":%.3f",
                     options.linkRateMbit, options.linkDelayMs, bytesPerSecond * 8 / (options.linkRateMbit * 1e6),
                     options.linkDelayMs > 0 && options.pings > 0 ? latency.Percentile(50) / (2000 * options.linkDelayMs) : 0);
      if (besideShown && options.linkDelayMs > 0) {
        line += Format(",\"beside_bulk_queue_share_p50\":%.3f,\"beside_bulk_queue_share_p99\":%.3f",
                       queueShare(beside.Percentile(50)), queueShare(beside.Percentile(99)));
      }
      line += "}";
    }
    PrintLine(line + "}");
  } else {
    if (options.pings > 0) {
      PrintLine(Format("round trip, %.0f pings of %.0f bytes:", static_cast<double>(latency.micros.size()),
                       static_cast<double>(options.pingSize)));
      PrintLine(Format("  min %.3f ms  p50 %.3f ms  p90 %.3f ms", latency.micros.front() / 1000,
                       latency.Percentile(50) / 1000, latency.Percentile(90) / 1000));
      PrintLine(Format("  p99 %.3f ms  max %.3f ms  mean %.3f ms", latency.Percentile(99) / 1000,
                       latency.micros.back() / 1000, latency.Mean() / 1000));
    }
    if (throughput.messages > 0) {
      PrintLine(Format("throughput, messages of %.0f bytes, %.0f in flight:", static_cast<double>(options.size),
                       static_cast<double>(options.window)));
      PrintLine(Format("  %.2f MiB/s, %.0f messages/s (%.0f messages in %.2f s)", bytesPerSecond / 1048576.0,
                       messagesPerSecond, static_cast<double>(throughput.messages), throughput.seconds));
    }
    // Against what the session's link allows, when the user says what it is.
    if (options.linkRateMbit > 0 && throughput.messages > 0) {
      PrintLine(Format("  %.1f%% of the link's %g Mbit/s", 100 * bytesPerSecond * 8 / (options.linkRateMbit * 1e6),
                       options.linkRateMbit));
    }
    if (options.linkDelayMs > 0 && options.pings > 0) {
      PrintLine(Format("  round trip p50 %.2fx the link's %g ms", latency.Percentile(50) / (2000 * options.linkDelayMs),
                       2 * options.linkDelayMs));
    }
    if (side) {
      PrintLine("second pair beside the throughput run, " + std::to_string(beside.micros.size()) + " pings of " +
                std::to_string(kSidePingBytes) + " bytes on '" + SideChannelName(name) + "':");
      if (besideShown) {
        PrintLine(Format("  p50 %.3f ms  p99 %.3f ms  max %.3f ms", beside.Percentile(50) / 1000,
                         beside.Percentile(99) / 1000, beside.micros.back() / 1000));
      }
      if (besideShown && options.linkDelayMs > 0) {
        PrintLine(Format("  share of the delay spent in the link's queue (beyond its %g ms round trip): p50 %.0f%%  p99 %.0f%%",
                         2 * options.linkDelayMs, 100 * queueShare(beside.Percentile(50)),
                         100 * queueShare(beside.Percentile(99))));
      }
    }
  }
  // The figures above stand; a second pair that failed on the way is a
  // failure still.
  if (sideError) {
    return ReportError(options, Error(sideError.Code(), "the second pair on '" + SideChannelName(name) +
                                                            "' failed: " + sideError.Message()));
  }
  return kExitOk;
}

}  // namespace

int RunBench(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  InstallInterruptHandler();
  const std::string& name = options.positional[0];
  return options.serve ? Serve(options, name) : Measure(options, name);
}

}  // namespace kvx
