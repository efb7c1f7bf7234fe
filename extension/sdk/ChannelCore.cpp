#include <utility>

#include "extension/sdk/KvxMessages.h"
#include "extension/sdk/PipeClientTransport.h"
#include "extension/sdk/SessionCore.h"
#include "extension/sdk/Wait.h"

namespace Orvane {
namespace Extension {
namespace SDK {

ChannelCore::ChannelCore(std::string name, std::weak_ptr<SessionCore> session, ChannelOptions options,
                         std::shared_ptr<ReceiveBudget> budget)
    : name_(std::move(name)),
      session_(std::move(session)),
      options_(std::move(options)),
      budget_(std::move(budget)) {}

void ChannelCore::Took(const ChannelEvent& event) {
  if (event.kind == ChannelEvent::Kind::Data) budget_->Give(ReceiveBudget::CostOf(event.packet.data.size()));
}

void ChannelCore::DiscardQueued() {
  for (const ChannelEvent& event : events_) Took(event);
  events_.clear();
}

int64_t ChannelCore::Id() const { return id_.load(); }

ChannelState ChannelCore::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void ChannelCore::Emit(SessionCore& session, ChannelEvent event) {
  if (options_.onEvent) {
    std::function<void(const ChannelEvent&)> handler = options_.onEvent;
    session.Post([handler, event = std::move(event)] { handler(event); });
    return;
  }
  events_.push_back(std::move(event));
  changed_.notify_all();
}

void ChannelCore::OnNotice(SessionCore& session, int64_t channelId, ChannelState state) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == ChannelState::Closed) return;
  const int64_t newId = channelId != -1 ? channelId : id_.load();
  // When both ends ask for a name at nearly the same moment, the plug-ins may
  // say CONNECTED twice; the repeat tells nothing new.
  if (state == state_ && newId == id_) return;
  const ChannelState before = state_;
  id_ = newId;
  state_ = state;
  pipeLost_ = Error();
  if (state == ChannelState::Connected) connectedUnseen_ = true;
  changed_.notify_all();
  ChannelEvent event;
  event.kind = ChannelEvent::Kind::Notice;
  event.state = state;
  event.channelId = id_;
  if (state == ChannelState::Lost) {
    event.kind = ChannelEvent::Kind::Lost;
    event.error = LostError();
  } else if (state == ChannelState::PendingPeer && before == ChannelState::Connected) {
    event.kind = ChannelEvent::Kind::PeerLeft;
    event.error = PeerLeftError();
  }
  Emit(session, std::move(event));
}

Error ChannelCore::LostError() const {
  return Error(ErrorCode::ChannelLost, "channel '" + name_ +
                                           "' was lost: the application at the other end went away without "
                                           "leaving it, or another application here took it over");
}

Error ChannelCore::PeerLeftError() const {
  return Error(ErrorCode::PeerLeft, "the application at the other end left channel '" + name_ + "'");
}

ChannelCore::Owed ChannelCore::OnData(SessionCore& session, Packet packet, bool deferWake) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ == ChannelState::Closed || leaving_) return Owed::Nothing;
  const size_t cost = ReceiveBudget::CostOf(packet.data.size());
  budget_->Take(cost);
  ChannelEvent event;
  event.kind = ChannelEvent::Kind::Data;
  event.packet = std::move(packet);
  event.state = state_;
  event.channelId = id_;
  if (options_.onEvent) {
    std::function<void(const ChannelEvent&)> handler = options_.onEvent;
    std::shared_ptr<ReceiveBudget> budget = budget_;
    session.Post(
        [handler, budget, cost, event = std::move(event)] {
          handler(event);
          budget->Give(cost);
        },
        !deferWake);
    return deferWake ? Owed::Callbacks : Owed::Nothing;
  }
  events_.push_back(std::move(event));
  lock.unlock();
  // After the unlock: a receiver woken while the lock is still held would
  // only go back to sleep on it.
  if (deferWake) return Owed::Receivers;
  changed_.notify_all();
  return Owed::Nothing;
}

void ChannelCore::OnSessionEnded(SessionCore& session, const Error& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closedByUs_ || sessionEnded_) return;
  sessionEnded_ = true;
  endError_ = error;
  state_ = ChannelState::Closed;
  changed_.notify_all();
  ChannelEvent event;
  event.kind = ChannelEvent::Kind::Ended;
  event.state = ChannelState::Closed;
  event.channelId = id_;
  event.error = error;
  Emit(session, std::move(event));
}

void ChannelCore::OnPipeLost(SessionCore& session, const Error& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == ChannelState::Closed) return;
  id_ = -1;
  state_ = ChannelState::Lost;
  pipeLost_ = Error(ErrorCode::ConnectionLost, "channel '" + name_ +
                                                  "' cannot send while the pipe to the plug-in is away: " +
                                                  why.Message() + ", and asks for the channel again");
  connectedUnseen_ = false;
  changed_.notify_all();
  ChannelEvent event;
  event.kind = ChannelEvent::Kind::Lost;
  event.state = ChannelState::Lost;
  event.error = why;
  Emit(session, std::move(event));
}

void ChannelCore::MarkClosed() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == ChannelState::Closed) return;
  closedByUs_ = true;
  state_ = ChannelState::Closed;
  DiscardQueued();
  changed_.notify_all();
}

Error ChannelCore::ClosedError() const {
  if (sessionEnded_) return endError_;
  return Error(ErrorCode::ChannelClosed, "channel '" + name_ + "' was disconnected");
}

Error ChannelCore::WaitForState(ChannelState wanted, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto reached = [&] {
    return state_ == wanted || (wanted == ChannelState::Connected && connectedUnseen_);
  };
  Deadline(timeoutMs).Wait(changed_, lock, [&] { return reached() || state_ == ChannelState::Closed; });
  if (state_ == wanted || (reached() && state_ != ChannelState::Closed)) {
    if (wanted == ChannelState::Connected) connectedUnseen_ = false;
    return Error::Success();
  }
  if (state_ == ChannelState::Closed) return ClosedError();
  return Error(ErrorCode::Timeout, "channel '" + name_ + "' is still " + ChannelStateName(state_) + " after " +
                                       std::to_string(timeoutMs) + " ms");
}

Error ChannelCore::Send(const std::string& data, int64_t appValue, uint32_t requestId) {
  int64_t id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (state_) {
      case ChannelState::Connected:
        break;
      case ChannelState::Closed:
        return ClosedError();
      case ChannelState::Lost:
        return pipeLost_ ? pipeLost_ : LostError();
      default:
        return Error(ErrorCode::NotConnected,
                     "channel '" + name_ + "' is not connected (it is " + ChannelStateName(state_) + ")");
    }
    id = id_;
  }
  std::shared_ptr<SessionCore> session = session_.lock();
  if (!session) return Error(ErrorCode::ConnectionLost, "the session is closed");
  const Wire::TransferHead head = Wire::TransferDataHead(id, appValue, data.size(), requestId);
  if (head.size + data.size() > kMaxPipeMessageSize) {
    return Error(ErrorCode::MessageTooLarge, std::to_string(data.size()) + " bytes of data make a message of " +
                                                 std::to_string(head.size + data.size()) +
                                                 " bytes; one message may hold " + std::to_string(kMaxPipeMessageSize));
  }
  return session->SendMessage(head.bytes, head.size, data);
}

Result<Packet> ChannelCore::Receive(uint32_t timeoutMs) {
  if (options_.onEvent) {
    return Error(ErrorCode::InvalidArgument, "the events of channel '" + name_ + "' go to its callback");
  }
  Deadline deadline(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    deadline.Wait(changed_, lock, [&] { return !events_.empty() || state_ == ChannelState::Closed; });
    if (events_.empty()) {
      if (state_ == ChannelState::Closed) return ClosedError();
      return Error(ErrorCode::Timeout,
                   "no data on channel '" + name_ + "' within " + std::to_string(timeoutMs) + " ms");
    }
    ChannelEvent event = std::move(events_.front());
    events_.pop_front();
    Took(event);
    switch (event.kind) {
      case ChannelEvent::Kind::Data:
        return std::move(event.packet);
      case ChannelEvent::Kind::Ended:
      case ChannelEvent::Kind::PeerLeft:
      case ChannelEvent::Kind::Lost:
        return event.error;
      case ChannelEvent::Kind::Notice:
        break;  // other notices only move the state, which State() shows
    }
  }
}

Result<ChannelEvent> ChannelCore::NextEvent(uint32_t timeoutMs) {
  if (options_.onEvent) {
    return Error(ErrorCode::InvalidArgument, "the events of channel '" + name_ + "' go to its callback");
  }
  std::unique_lock<std::mutex> lock(mutex_);
  Deadline(timeoutMs).Wait(changed_, lock, [&] { return !events_.empty() || state_ == ChannelState::Closed; });
  if (events_.empty()) {
    if (state_ == ChannelState::Closed) return ClosedError();
    return Error(ErrorCode::Timeout,
                 "nothing happened on channel '" + name_ + "' within " + std::to_string(timeoutMs) + " ms");
  }
  ChannelEvent event = std::move(events_.front());
  events_.pop_front();
  Took(event);
  return event;
}

Error ChannelCore::Disconnect(uint32_t timeoutMs) {
  std::shared_ptr<SessionCore> session = session_.lock();
  Deadline deadline(timeoutMs);
  int64_t id;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == ChannelState::Closed) return Error::Success();
    if (!session) {
      closedByUs_ = true;
      state_ = ChannelState::Closed;
      DiscardQueued();
      changed_.notify_all();
      return Error::Success();  // no session, no registration left at the plug-in
    }
    // What is queued would be discarded at the end anyway; dropping it now
    // lets the reader, which may be waiting for room, read the confirmation.
    leaving_ = true;
    DiscardQueued();
    // The plug-in looks channels up by ID, and the ID comes with the first
    // notice; a request without one would leave the registration behind.
    deadline.Wait(changed_, lock, [&] { return id_ != -1 || state_ == ChannelState::Closed; });
    if (state_ == ChannelState::Closed) return Error::Success();
    id = id_;
  }
  if (id == -1) {
    session->ForgetChannel(this);
    MarkClosed();
    return Error(ErrorCode::Timeout, "channel '" + name_ + "' had no ID yet after " + std::to_string(timeoutMs) +
                                         " ms; it is closed here, and the plug-in forgets it when the session ends");
  }
  session->ExpectDisconnect(shared_from_this());
  Error sent = session->SendMessage(Wire::DisconnectRequest(id));
  bool confirmed = false;
  if (sent.Ok()) {
    std::unique_lock<std::mutex> lock(mutex_);
    confirmed = deadline.Wait(changed_, lock, [&] { return state_ == ChannelState::Closed; });
  }
  session->ForgetChannel(this);
  MarkClosed();
  if (!sent.Ok()) return sent;
  if (!confirmed) {
    return Error(ErrorCode::Timeout, "the plug-in did not confirm the disconnect of '" + name_ + "' within " +
                                         std::to_string(timeoutMs) + " ms");
  }
  return Error::Success();
}

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
