#include "extension/sdk/SessionCore.h"

#include <algorithm>
#include <chrono>
#include <vector>
#include <utility>

#include "extension/sdk/PipeClientTransport.h"
#include "extension/sdk/Wait.h"

namespace Orvane {
namespace Extension {
namespace SDK {

namespace {

bool StateOfStatus(int32_t status, ChannelState* state) {
  switch (status) {
    case Wire::kStatusConnected: *state = ChannelState::Connected; return true;
    case Wire::kStatusPendingPeer: *state = ChannelState::PendingPeer; return true;
    case Wire::kStatusLost: *state = ChannelState::Lost; return true;
    default: return false;
  }
}

}  // namespace

SessionCore::SessionCore(std::unique_ptr<ITransport> transport, SessionOptions options)
    : options_(std::move(options)),
      budget_(std::make_shared<ReceiveBudget>(options_.maxUnreadBytes)),
      transport_(std::move(transport)),
      pipe_(dynamic_cast<PipeClientTransport*>(transport_.get())) {}

SessionCore::~SessionCore() { Close(); }

Error SessionCore::Start() {
  transport_->SetReceiveCallback([this](std::string bytes) { OnReceive(std::move(bytes)); });
  if (pipe_ != nullptr) {
    pipe_->SetReceiveIdleCallback([this] { OnReceiveIdle(); });
    batchesWakes_ = true;
  }
  transport_->SetDisconnectCallback([this] { OnTransportLost(); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;  // before the transport starts, so that its first message is routed
  }
  Error error = OpenTransport();
  if (error) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    endError_ = error;
  }
  return error;
}

Error SessionCore::OpenTransport() {
  if (pipe_ != nullptr) return pipe_->Open();
  if (transport_->Start() != TransportStatus::Ok) return Error(ErrorCode::ConnectionLost, "the transport did not start");
  return Error::Success();
}

void SessionCore::ReconnectLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return closing_ || reconnectWanted_; });
    if (closing_) return;
    uint32_t delayMs = 100;
    for (;;) {
      if (changed_.wait_for(lock, std::chrono::milliseconds(delayMs), [&] { return closing_; })) return;
      lock.unlock();
      const Error error = OpenTransport();
      lock.lock();
      if (closing_) return;  // Close stops the transport
      if (error.Ok()) break;
      delayMs = std::min(std::max(delayMs * 2, delayMs), std::max<uint32_t>(options_.reconnectMaxDelayMs, 1));
    }
    reconnectWanted_ = false;
    connected_ = true;
    endError_ = Error();
    PostHandler(options_.onReconnect, Error::Success());
    // The plug-in of a restarted host knows none of the channels: ask again
    // (without a launch: the application it opened may still run). Its pipe
    // comes back before its channel to the far end opens. This plug-in holds
    // a request made before that and sends it once the channel opens, but an
    // older one drops it without a word; so a channel that has heard nothing
    // since the loss is asked for again, less and less often.
    uint32_t askAgainMs = 1000;
    for (;;) {
      std::vector<std::string> names;
      for (const auto& entry : channels_) {
        if (entry.second->State() == ChannelState::Lost && entry.second->Id() == -1) names.push_back(entry.first);
      }
      if (names.empty()) break;
      lock.unlock();
      for (const std::string& name : names) SendMessage(Wire::ConnectRequest(name, std::string()));
      lock.lock();
      if (changed_.wait_for(lock, std::chrono::milliseconds(askAgainMs),
                            [&] { return closing_ || reconnectWanted_; })) {
        break;
      }
      askAgainMs = std::min(askAgainMs * 2, std::max<uint32_t>(options_.reconnectMaxDelayMs, 1000));
    }
  }
}

void SessionCore::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    closing_ = true;
    changed_.notify_all();
  }
  budget_->Cancel();  // a reader waiting for room ends
  if (reconnector_.joinable()) reconnector_.join();
  // Joins the reader thread: no message is routed after this.
  transport_->Stop();
  std::map<std::string, std::shared_ptr<ChannelCore>> channels;
  Error why;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    if (endError_.Ok()) endError_ = Error(ErrorCode::ConnectionLost, "the session was closed");
    why = endError_;
    channels.swap(channels_);
    disconnecting_.clear();
    changed_.notify_all();
  }
  for (auto& entry : channels) entry.second->OnSessionEnded(*this, why);
  dispatcher_.Stop();
}

Error SessionCore::EndError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return endError_.Ok() ? Error(ErrorCode::ConnectionLost, "the session is closed") : endError_;
}

bool SessionCore::IsConnected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

SessionStats SessionCore::Stats() const {
  SessionStats stats;
  stats.messagesSent = messagesSent_.load();
  stats.messagesReceived = messagesReceived_.load();
  stats.bytesSent = bytesSent_.load();
  stats.bytesReceived = bytesReceived_.load();
  stats.messagesDropped = messagesDropped_.load();
  stats.bytesUnread = budget_->Unread();
  stats.bytesUnreadPeak = budget_->Peak();
  return stats;
}

Error SessionCore::SendMessage(const std::string& bytes) { return SendMessage(bytes.data(), bytes.size(), std::string()); }

Error SessionCore::SendMessage(const char* head, size_t headSize, const std::string& body) {
  if (!IsConnected()) return EndError();
  const size_t size = headSize + body.size();
  Error error;
  if (pipe_ != nullptr) {
    error = pipe_->WriteParts(head, headSize, body.data(), body.size());  // serialised there
  } else {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (size > kMaxPipeMessageSize) {
      error = Error(ErrorCode::MessageTooLarge, "a message of " + std::to_string(size) +
                                                    " bytes is longer than one pipe message may be");
    } else if (transport_->Send(std::string(head, headSize) + body) != TransportStatus::Ok) {
      error = Error(ErrorCode::ConnectionLost, "sending to the plug-in failed");
    }
  }
  if (error) return error;
  messagesSent_.fetch_add(1);
  bytesSent_.fetch_add(size);
  return error;
}

Result<Channel> SessionCore::OpenChannel(const std::string& name, ChannelOptions options) {
  if (name.empty()) return Error(ErrorCode::InvalidArgument, "a channel needs a name");
  std::string request = Wire::ConnectRequest(name, options.launchAppLink);
  if (request.size() > kMaxPipeMessageSize) {
    return Error(ErrorCode::MessageTooLarge, "the channel name and launch link are too long for one message");
  }
  auto channel = std::make_shared<ChannelCore>(name, weak_from_this(), std::move(options), budget_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return endError_.Ok() ? Error(ErrorCode::ConnectionLost, "the session is closed") : endError_;
    if (!channels_.emplace(name, channel).second) {
      return Error(ErrorCode::InvalidArgument, "channel '" + name + "' is already open on this session");
    }
  }
  Error error = SendMessage(request);
  if (error) {
    ForgetChannel(channel.get());
    channel->MarkClosed();
    return error;
  }
  return Channel(channel);
}

Result<std::string> SessionCore::GetProperty(const std::string& name, uint32_t timeoutMs) {
  auto wait = std::make_shared<PropertyWait>();
  wait->name = name;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return endError_.Ok() ? Error(ErrorCode::ConnectionLost, "the session is closed") : endError_;
    propertyWaits_.push_back(wait);
  }
  Error error = SendMessage(Wire::PropertyRequest(name));
  std::unique_lock<std::mutex> lock(mutex_);
  if (error.Ok()) Deadline(timeoutMs).Wait(changed_, lock, [&] { return wait->answered || !connected_; });
  propertyWaits_.erase(std::remove(propertyWaits_.begin(), propertyWaits_.end(), wait), propertyWaits_.end());
  if (wait->answered) return wait->value;
  if (error) return error;
  if (!connected_) return endError_.Ok() ? Error(ErrorCode::ConnectionLost, "the session is closed") : endError_;
  return Error(ErrorCode::Timeout,
               "no answer to the request for property '" + name + "' within " + std::to_string(timeoutMs) + " ms");
}

void SessionCore::ExpectDisconnect(const std::shared_ptr<ChannelCore>& channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  disconnecting_.push_back(channel);
}

void SessionCore::ForgetChannel(const ChannelCore* channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = channels_.find(channel->Name());
  if (it != channels_.end() && it->second.get() == channel) channels_.erase(it);
  disconnecting_.erase(std::remove_if(disconnecting_.begin(), disconnecting_.end(),
                                      [&](const std::shared_ptr<ChannelCore>& c) { return c.get() == channel; }),
                       disconnecting_.end());
}

std::shared_ptr<ChannelCore> SessionCore::FindById(int64_t channelId) const {
  // -1 means "no channel"; it never names one.
  if (channelId == -1) return nullptr;
  for (const auto& entry : channels_) {
    if (entry.second->Id() == channelId) return entry.second;
  }
  return nullptr;
}

void SessionCore::Drop(Error why) {
  messagesDropped_.fetch_add(1);
  PostHandler(options_.onDropped, why);
}

void SessionCore::OnReceive(std::string bytes) {
  const size_t size = bytes.size();
  messagesReceived_.fetch_add(1);
  bytesReceived_.fetch_add(size);
  Wire::Incoming in = Wire::Read(std::move(bytes));
  switch (in.kind) {
    case Wire::Incoming::Kind::Unparsable:
      Drop(Error(ErrorCode::ProtocolError,
                 "a message of " + std::to_string(size) + " bytes from the plug-in does not parse"));
      return;
    case Wire::Incoming::Kind::Unexpected:
      Drop(Error(ErrorCode::ProtocolError, "the plug-in sent a message of a kind applications do not receive"));
      return;
    case Wire::Incoming::Kind::Notice:
      OnNotice(in);
      return;
    case Wire::Incoming::Kind::Property: {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& wait : propertyWaits_) {
        if (!wait->answered && wait->name == in.name) {
          wait->answered = true;
          wait->value = std::move(in.value);
          changed_.notify_all();
          return;
        }
      }
      break;  // dropped below, outside the lock
    }
    case Wire::Incoming::Kind::Data: {
      std::shared_ptr<ChannelCore> channel;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        channel = FindById(in.channelId);
      }
      if (!channel) {
        Drop(Error(ErrorCode::ProtocolError,
                   "data for channel ID " + std::to_string(in.channelId) + ", which this session does not hold"));
        return;
      }
      Packet packet;
      packet.data = std::move(in.value);
      packet.appValue = in.appValue;
      packet.requestId = in.requestId;
      switch (channel->OnData(*this, std::move(packet), batchesWakes_)) {
        case ChannelCore::Owed::Nothing: break;
        case ChannelCore::Owed::Callbacks: dispatcherOwed_ = true; break;
        case ChannelCore::Owed::Receivers:
          if (owedWakes_.empty() || owedWakes_.back() != channel) owedWakes_.push_back(channel);
          break;
      }
      if (budget_->Full()) {
        // Read no further until the application takes some: those it owes
        // are woken first, or nobody would ever make room.
        OnReceiveIdle();
        budget_->WaitForRoom();
      }
      return;
    }
  }
  Drop(Error(ErrorCode::ProtocolError, "an answer for property '" + in.name + "', which nobody asked for"));
}

void SessionCore::OnReceiveIdle() {
  for (const auto& channel : owedWakes_) channel->WakeWaiters();
  owedWakes_.clear();
  if (dispatcherOwed_) dispatcher_.Wake();
  dispatcherOwed_ = false;
}

void SessionCore::OnNotice(const Wire::Incoming& notice) {
  ChannelState state;
  if (!StateOfStatus(notice.status, &state)) {
    Drop(Error(ErrorCode::ProtocolError, "a notice with the unknown status " + std::to_string(notice.status) +
                                             " for channel '" + notice.name + "'"));
    return;
  }
  std::shared_ptr<ChannelCore> channel;
  bool confirmsDisconnect = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state == ChannelState::Lost) {
      // The plug-in answers each disconnect request, in order, with a loss
      // notice naming the channel, or with ("", -1) when it no longer had it.
      for (auto it = disconnecting_.begin(); it != disconnecting_.end(); ++it) {
        bool anonymous = notice.channelId == -1 && notice.name.empty();
        if (anonymous || (*it)->Id() == notice.channelId) {
          channel = *it;
          disconnecting_.erase(it);
          confirmsDisconnect = true;
          break;
        }
      }
    }
    if (!channel) channel = FindById(notice.channelId);
    if (!channel && !notice.name.empty()) {
      auto it = channels_.find(notice.name);
      if (it != channels_.end()) channel = it->second;
    }
  }
  if (!channel) {
    Drop(Error(ErrorCode::ProtocolError, "a notice for channel '" + notice.name + "' (ID " +
                                             std::to_string(notice.channelId) + "), which this session does not hold"));
    return;
  }
  if (confirmsDisconnect) {
    channel->MarkClosed();
  } else {
    channel->OnNotice(*this, notice.channelId, state);
  }
}

void SessionCore::OnTransportLost() {
  std::map<std::string, std::shared_ptr<ChannelCore>> channels;
  Error why(ErrorCode::ConnectionLost, "the plug-in closed the pipe");
  // The pipe refused what the server sent (a message over the limit): that,
  // not a plain close, is why the session ended.
  if (pipe_ != nullptr) {
    Error refused = pipe_->LastError();
    if (refused.Code() == ErrorCode::ProtocolError) why = std::move(refused);
  }
  if (options_.reconnect) {
    why = Error(why.Code(), why.Message() + "; the session is reconnecting");
  }
  std::deque<std::shared_ptr<ChannelCore>> disconnecting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_ || !connected_) return;
    connected_ = false;
    endError_ = why;
    disconnecting.swap(disconnecting_);
    if (options_.reconnect) {
      channels = channels_;
      reconnectWanted_ = true;
      if (!reconnector_.joinable()) reconnector_ = std::thread([this] { ReconnectLoop(); });
    } else {
      channels.swap(channels_);
    }
    changed_.notify_all();
  }
  if (!options_.reconnect) {
    for (auto& entry : channels) entry.second->OnSessionEnded(*this, why);
    PostHandler(options_.onDisconnected, why);
    return;
  }
  for (auto& channel : disconnecting) {  // its leaving is as good as done: the plug-in forgot it
    ForgetChannel(channel.get());
    channel->MarkClosed();
  }
  for (auto& entry : channels) entry.second->OnPipeLost(*this, why);
  PostHandler(options_.onReconnect, why);
}

void SessionCore::PostHandler(const std::function<void(const Error&)>& handler, const Error& error) {
  if (!handler) return;
  std::function<void(const Error&)> copy = handler;
  dispatcher_.Post([copy, error] { copy(error); });
}

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
