#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

std::string BuildConnectionNotice(const std::string& channelName, int64_t channelId,
                                  KVX::ResultCode status) {
  KVX::ChannelConnectionResponse notice;
  notice.set_channel_name(channelName);
  notice.set_channel_id(channelId);
  notice.set_status(status);
  return WrapConnectionResponse(notice);
}

std::string BuildConnectRequest(const std::string& channelName) {
  KVX::Message message;
  message.mutable_request()->mutable_connect_channel_request()->set_channel_name(channelName);
  return message.SerializeAsString();
}

std::string BuildPropertyAnswer(const std::string& propertyName, const std::string& value) {
  KVX::Message message;
  KVX::GetPropertyResponse* answer = message.mutable_response()->mutable_get_property_response();
  answer->set_property_name(propertyName);
  answer->set_property_value(value);
  return message.SerializeAsString();
}

std::string WrapConnectionResponse(const KVX::ChannelConnectionResponse& response) {
  KVX::Message message;
  *message.mutable_response()->mutable_channel_connection_response() = response;
  return message.SerializeAsString();
}

bool ParseUnit(const std::string& bytes, KVX::Message* message) {
  message->Clear();
  return message->ParseFromString(bytes);
}
