#include "extension/sdk/KvxMessages.h"

#include "proto/kvx.pb.h"

namespace Orvane {
namespace Extension {
namespace SDK {
namespace Wire {

std::string ConnectRequest(const std::string& channelName, const std::string& launchAppLink) {
  KVX::Message message;
  KVX::ConnectChannelRequest* connect = message.mutable_request()->mutable_connect_channel_request();
  connect->set_channel_name(channelName);
  if (!launchAppLink.empty()) {
    connect->mutable_launch_options()->set_launch_mode(KVX::LAUNCH_APP);
    connect->mutable_launch_options()->set_app_link(launchAppLink);
  }
  return message.SerializeAsString();
}

std::string DisconnectRequest(int64_t channelId) {
  KVX::Message message;
  message.mutable_request()->mutable_disconnect_channel_request()->set_channel_id(channelId);
  return message.SerializeAsString();
}

std::string PropertyRequest(const std::string& propertyName) {
  KVX::Message message;
  message.mutable_request()->mutable_get_property_request()->set_property_name(propertyName);
  return message.SerializeAsString();
}

std::string TransferData(int64_t channelId, int64_t appValue, const std::string& data, uint32_t requestId) {
  KVX::Message message;
  KVX::Request* request = message.mutable_request();
  request->set_id(requestId);
  KVX::TransferData* transfer = request->mutable_transfer_data();
  transfer->set_channel_id(channelId);
  transfer->set_app_value(appValue);
  transfer->set_data(data);
  return message.SerializeAsString();
}

Incoming Read(const std::string& bytes) {
  Incoming in;
  KVX::Message message;
  if (!message.ParseFromString(bytes)) return in;
  in.kind = Incoming::Kind::Unexpected;
  if (message.has_request() && message.request().has_transfer_data()) {
    const KVX::TransferData& transfer = message.request().transfer_data();
    in.kind = Incoming::Kind::Data;
    in.channelId = transfer.channel_id();
    in.appValue = transfer.app_value();
    in.value = transfer.data();
    in.requestId = message.request().id();
  } else if (message.has_response() && message.response().has_channel_connection_response()) {
    const KVX::ChannelConnectionResponse& notice = message.response().channel_connection_response();
    in.kind = Incoming::Kind::Notice;
    in.name = notice.channel_name();
    in.channelId = notice.channel_id();
    in.status = static_cast<int32_t>(notice.status());
  } else if (message.has_response() && message.response().has_get_property_response()) {
    const KVX::GetPropertyResponse& property = message.response().get_property_response();
    in.kind = Incoming::Kind::Property;
    in.name = property.property_name();
    in.value = property.property_value();
  }
  return in;
}

}  // namespace Wire
}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
