#include "tools/kvx/BenchSide.h"

#include <utility>

namespace kvx {

namespace {

using Clock = std::chrono::steady_clock;

// The side channel is opened as the bench's own is, without the launch the
// user may have asked for (that is the main channel's) and without a second
// "waiting for an application" line.
Options SideOptions(const Options& options) {
  Options side = options;
  side.launchLink.clear();
  side.quiet = true;
  return side;
}

bool IsChannelGone(const Error& error) {
  return error.Code() == ErrorCode::NotConnected || error.Code() == ErrorCode::ChannelLost ||
         error.Code() == ErrorCode::PeerLeft;
}

}  // namespace

std::string SideChannelName(const std::string& name) { return name + ".side"; }

// ---- the serving end ----

SideServer::~SideServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (session_) channel_.Disconnect(kPollMs);
}

Error SideServer::Start(const std::string& name) {
  auto session = OpenSession(SideOptions(options_));
  if (!session) return session.GetError();
  session_ = std::move(session.Value());
  Result<Channel> channel = session_->OpenChannel(SideChannelName(name));
  if (!channel) return channel.GetError();
  channel_ = channel.Value();
  thread_ = std::thread([this] { Run(); });
  return Error::Success();
}

void SideServer::Run() {
  while (!stop_.load() && !g_interrupted.load()) {
    Result<ChannelEvent> event = channel_.NextEvent(kPollMs);
    if (!event) {
      if (event.GetError().Code() == ErrorCode::Timeout) continue;
      return;  // the session ended; the main channel's loop reports it
    }
    if (event->kind == ChannelEvent::Kind::Ended) return;
    if (event->kind != ChannelEvent::Kind::Data) continue;  // clients come and go
    const Orvane::Extension::SDK::Packet& packet = event->packet;
    if (packet.data.empty() || packet.data[0] != 'P') continue;
    // A client that leaves with a ping on its way is no failure.
    Error error = channel_.Send(packet.data, packet.appValue);
    if (error && !IsChannelGone(error)) return;
  }
}

// ---- the measuring end ----

SidePinger::~SidePinger() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  if (thread_.joinable()) thread_.join();
}

Error SidePinger::Open(const std::string& name) {
  const Options options = SideOptions(options_);
  auto session = OpenSession(options);
  if (!session) return session.GetError();
  session_ = std::move(session.Value());
  Result<Channel> channel = OpenConnectedChannel(*session_, options, SideChannelName(name));
  if (!channel) return channel.GetError();
  channel_ = channel.Value();
  return Error::Success();
}

void SidePinger::Start(std::chrono::milliseconds delay) {
  thread_ = std::thread([this, delay] { Run(delay); });
}

Error SidePinger::Stop(LatencyFigures* figures) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  if (thread_.joinable()) thread_.join();
  channel_.Disconnect(WaitMs(options_));
  std::sort(figures_.micros.begin(), figures_.micros.end());
  *figures = figures_;
  return error_;
}

void SidePinger::Run(std::chrono::milliseconds delay) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_.wait_for(lock, delay, [this] { return stop_; })) return;
  }
  std::string ping(kSidePingBytes, 'p');
  ping[0] = 'P';
  for (int64_t i = 0; !g_interrupted.load(); ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    const Clock::time_point start = Clock::now();
    if (Error error = channel_.Send(ping, i)) {
      error_ = error;
      return;
    }
    if (Error error = AwaitAnswer(ping, i)) {
      error_ = error;
      return;
    }
    figures_.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

Error SidePinger::AwaitAnswer(const std::string& ping, int64_t index) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    if (g_interrupted.load()) return Error(ErrorCode::Timeout, "interrupted");
    auto packet = channel_.Receive(kPollMs);
    if (packet) {
      if (packet->data.empty() || packet->data[0] != 'P' || packet->appValue != index) continue;
      if (packet->data != ping) return Error(ErrorCode::ProtocolError, "a ping on the side channel came back changed");
      return Error::Success();
    }
    if (packet.GetError().Code() != ErrorCode::Timeout) return packet.GetError();
    if (options_.timeoutMs > 0 && Clock::now() - start >= std::chrono::milliseconds(options_.timeoutMs)) {
      return Error(ErrorCode::Timeout, "no answer to a ping on '" + channel_.Name() + "' within " +
                                           std::to_string(options_.timeoutMs) + " ms");
    }
  }
}

}  // namespace kvx
