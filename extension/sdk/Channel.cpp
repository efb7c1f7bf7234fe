#include "extension/sdk/Channel.h"

#include <utility>

#include "extension/sdk/SessionCore.h"

namespace Orvane {
namespace Extension {
namespace SDK {

const char* ChannelStateName(ChannelState state) {
  switch (state) {
    case ChannelState::Requested: return "requested";
    case ChannelState::PendingPeer: return "pending-peer";
    case ChannelState::Connected: return "connected";
    case ChannelState::Lost: return "lost";
    case ChannelState::Closed: return "closed";
  }
  return "unknown";
}

namespace {

Error Invalid() { return Error(ErrorCode::InvalidArgument, "the channel handle is empty"); }
const std::string kNoName;

}  // namespace

Channel::Channel(std::shared_ptr<ChannelCore> core) : core_(std::move(core)) {}

const std::string& Channel::Name() const { return core_ ? core_->Name() : kNoName; }
int64_t Channel::Id() const { return core_ ? core_->Id() : -1; }
ChannelState Channel::State() const { return core_ ? core_->State() : ChannelState::Closed; }

Error Channel::WaitConnected(uint32_t timeoutMs) const { return WaitForState(ChannelState::Connected, timeoutMs); }

Error Channel::WaitForState(ChannelState state, uint32_t timeoutMs) const {
  return core_ ? core_->WaitForState(state, timeoutMs) : Invalid();
}

Error Channel::Send(const std::string& data, int64_t appValue, uint32_t requestId) {
  return core_ ? core_->Send(data, appValue, requestId) : Invalid();
}

Result<Packet> Channel::Receive(uint32_t timeoutMs) { return core_ ? core_->Receive(timeoutMs) : Invalid(); }

Result<ChannelEvent> Channel::NextEvent(uint32_t timeoutMs) {
  return core_ ? core_->NextEvent(timeoutMs) : Invalid();
}

Error Channel::Disconnect(uint32_t timeoutMs) { return core_ ? core_->Disconnect(timeoutMs) : Invalid(); }

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
