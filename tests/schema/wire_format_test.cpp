// The KVX wire format is shared with applications written in any language and
// with the plug-in at the far end, so these tests pin exact bytes, not just a
// round trip through our own classes.
#include <gtest/gtest.h>

#include <string>

#include "proto/kvx.pb.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string Serialize(const google::protobuf::MessageLite& message) {
  std::string out;
  EXPECT_TRUE(message.SerializeToString(&out));
  return out;
}

KVX::Message Notice(const std::string& name, int64_t id, KVX::ResultCode status) {
  KVX::Message message;
  auto* response = message.mutable_response()->mutable_channel_connection_response();
  response->set_channel_name(name);
  response->set_channel_id(id);
  response->set_status(status);
  return message;
}

TEST(WireFormat, EncodesEnvelopesAndNoticesToTheExactBytes) {
  KVX::Message empty;
  EXPECT_EQ(Serialize(empty), "");
  EXPECT_EQ(empty.content_case(), KVX::Message::CONTENT_NOT_SET);

  KVX::Message emptyRequest;
  emptyRequest.mutable_request();
  EXPECT_EQ(Serialize(emptyRequest), Bytes({0xA2, 0x01, 0x00}));

  // A zero id is absent on the wire.
  KVX::Response response;
  response.set_id(0);
  EXPECT_EQ(Serialize(response), "");

  EXPECT_EQ(Serialize(Notice("ab", 0, KVX::CONNECTION_PENDING_PEER)),
            Bytes({0xF2, 0x01, 0x08, 0x5A, 0x06, 0x0A, 0x02, 0x61, 0x62, 0x18, 0x15}));

  KVX::ChannelConnectionResponse lost;
  lost.set_channel_id(-1);
  lost.set_status(KVX::CONNECTION_LOST);
  EXPECT_EQ(Serialize(lost), Bytes({0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0x01, 0x18, 0x16}));
}

TEST(WireFormat, EveryFieldUsesItsNumberAndTag) {
  KVX::Message message;
  auto* request = message.mutable_request();
  request->set_id(5);
  auto* transfer = request->mutable_transfer_data();
  transfer->set_channel_id(3);
  transfer->set_app_value(4);
  transfer->set_data(std::string("x\0y", 3));
  EXPECT_EQ(Serialize(message),
            Bytes({0xA2, 0x01, 0x0E, 0x08, 0x05, 0xA2, 0x01, 0x09, 0x08, 0x03, 0x10, 0x04, 0x1A,
                   0x03, 'x', 0x00, 'y'}));

  KVX::Request property;
  property.mutable_get_property_request()->set_property_name("Hwnds");
  EXPECT_EQ(Serialize(property), Bytes({0xF2, 0x01, 0x07, 0x0A, 0x05, 'H', 'w', 'n', 'd', 's'}));

  KVX::Response answer;
  answer.mutable_get_property_response()->set_property_name("k");
  answer.mutable_get_property_response()->set_property_value("v");
  EXPECT_EQ(Serialize(answer), Bytes({0x62, 0x06, 0x0A, 0x01, 'k', 0x12, 0x01, 'v'}));

  KVX::Request disconnect;
  disconnect.mutable_disconnect_channel_request()->set_channel_id(1);
  EXPECT_EQ(Serialize(disconnect), Bytes({0x62, 0x02, 0x08, 0x01}));

  KVX::ConnectChannelRequest connect;
  connect.set_channel_name("A");
  connect.mutable_launch_options()->set_launch_mode(KVX::LAUNCH_APP);
  connect.mutable_launch_options()->set_app_link("L");
  EXPECT_EQ(Serialize(connect), Bytes({0x0A, 0x01, 'A', 0x1A, 0x05, 0x08, 0x01, 0x12, 0x01, 'L'}));
}

TEST(WireFormat, EmptyLaunchOptionsStayPresent) {
  KVX::ConnectChannelRequest connect;
  connect.mutable_launch_options();
  const std::string bytes = Serialize(connect);
  EXPECT_EQ(bytes, Bytes({0x1A, 0x00}));

  KVX::ConnectChannelRequest back;
  ASSERT_TRUE(back.ParseFromString(bytes));
  EXPECT_TRUE(back.has_launch_options());
  EXPECT_EQ(back.launch_options().launch_mode(), KVX::NO_LAUNCH_APP);

  KVX::ConnectChannelRequest absent;
  ASSERT_TRUE(absent.ParseFromString(""));
  EXPECT_FALSE(absent.has_launch_options());
  EXPECT_EQ(absent.launch_options().launch_mode(), KVX::NO_LAUNCH_APP);
  EXPECT_EQ(absent.launch_options().app_link(), "");
}

TEST(WireFormat, UnknownFieldsSurviveAfterTheKnownOnes) {
  // Request: field 99 (varint 7), then id 2, then field 11 as a varint (wrong
  // wire type for a sub-message: kept as unknown, selects nothing).
  const std::string input = Bytes({0x98, 0x06, 0x07, 0x08, 0x02, 0x58, 0x09});
  KVX::Request request;
  ASSERT_TRUE(request.ParseFromString(input));
  EXPECT_EQ(request.id(), 2u);
  EXPECT_EQ(request.body_case(), KVX::Request::BODY_NOT_SET);
  EXPECT_EQ(Serialize(request), Bytes({0x08, 0x02, 0x98, 0x06, 0x07, 0x58, 0x09}));

  // Unknown fields nested inside a forwarded message come back too.
  KVX::Message outer;
  const std::string nested = Bytes({0xA2, 0x01, 0x05, 0xA2, 0x01, 0x02, 0x28, 0x01});
  ASSERT_TRUE(outer.ParseFromString(nested));
  EXPECT_EQ(outer.request().body_case(), KVX::Request::kTransferData);
  EXPECT_EQ(Serialize(outer), nested);
}

TEST(WireFormat, RepeatedAndCompetingOneofMembers) {
  // Field 11 twice: the two ConnectChannelRequests merge.
  const std::string twice = Bytes({0x5A, 0x03, 0x0A, 0x01, 'A', 0x5A, 0x04, 0x1A, 0x02, 0x08, 0x01});
  KVX::Request merged;
  ASSERT_TRUE(merged.ParseFromString(twice));
  ASSERT_EQ(merged.body_case(), KVX::Request::kConnectChannelRequest);
  EXPECT_EQ(merged.connect_channel_request().channel_name(), "A");
  EXPECT_EQ(merged.connect_channel_request().launch_options().launch_mode(), KVX::LAUNCH_APP);

  // Field 11 then field 20: the later member wins, the first is gone.
  const std::string competing = Bytes({0x5A, 0x03, 0x0A, 0x01, 'A', 0xA2, 0x01, 0x02, 0x08, 0x07});
  KVX::Request later;
  ASSERT_TRUE(later.ParseFromString(competing));
  ASSERT_EQ(later.body_case(), KVX::Request::kTransferData);
  EXPECT_EQ(later.transfer_data().channel_id(), 7);
  EXPECT_FALSE(later.has_connect_channel_request());
}

TEST(WireFormat, EnumsAreOpenAndTextIsNeverChecked) {
  KVX::ChannelConnectionResponse response;
  ASSERT_TRUE(response.ParseFromString(Bytes({0x0A, 0x02, 0xFF, 0xC3, 0x18, 0x63})));
  EXPECT_EQ(static_cast<int>(response.status()), 99);
  EXPECT_EQ(response.channel_name(), Bytes({0xFF, 0xC3}));
  EXPECT_EQ(Serialize(response), Bytes({0x0A, 0x02, 0xFF, 0xC3, 0x18, 0x63}));

  KVX::ConnectChannelRequest::LaunchOptions options;
  ASSERT_TRUE(options.ParseFromString(Bytes({0x08, 0x63, 0x12, 0x01, 0xFE})));
  EXPECT_EQ(static_cast<int>(options.launch_mode()), 99);
  EXPECT_EQ(options.app_link(), Bytes({0xFE}));

  // A negative enumeration value is sign-extended to ten bytes.
  KVX::ChannelConnectionResponse negative;
  negative.set_status(static_cast<KVX::ResultCode>(-1));
  EXPECT_EQ(Serialize(negative).size(), 11u);
}

TEST(WireFormat, MalformedInputFailsButKeepsWhatCameBefore) {
  KVX::Message message;
  // Truncated: a request whose length runs past the end.
  EXPECT_FALSE(message.ParseFromString(Bytes({0xA2, 0x01, 0x05, 0x08})));
  // A tag of 0.
  EXPECT_FALSE(message.ParseFromString(Bytes({0x00})));
  // An end-group tag nested inside a request.
  EXPECT_FALSE(message.ParseFromString(Bytes({0xA2, 0x01, 0x01, 0x0C})));
  // A varint longer than ten bytes.
  EXPECT_FALSE(message.ParseFromString(Bytes({0xA2, 0x01, 0x0C, 0x08, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})));

  // Fields read before the fault stay set.
  KVX::TransferData data;
  EXPECT_FALSE(data.ParseFromString(Bytes({0x08, 0x09, 0x1A, 0x05, 'a'})));
  EXPECT_EQ(data.channel_id(), 9);

  // An empty unit is a valid message with no content.
  EXPECT_TRUE(message.ParseFromString(""));
  EXPECT_EQ(message.content_case(), KVX::Message::CONTENT_NOT_SET);
}

TEST(WireFormat, TypeNamesAreThePackageQualifiedNames) {
  EXPECT_EQ(KVX::Message().GetTypeName(), "KVX.Message");
  EXPECT_EQ(KVX::ConnectChannelRequest::LaunchOptions().GetTypeName(),
            "KVX.ConnectChannelRequest.LaunchOptions");
  EXPECT_EQ(KVX::GetPropertyResponse().GetTypeName(), "KVX.GetPropertyResponse");
}

TEST(WireFormat, DeepCopyOfAReceivedRequestKeepsEverything) {
  const std::string input = Bytes({0x08, 0x03, 0x5A, 0x03, 0x0A, 0x01, 'A', 0x98, 0x06, 0x01});
  KVX::Request received;
  ASSERT_TRUE(received.ParseFromString(input));
  KVX::Request copy(received);
  received.Clear();
  EXPECT_EQ(copy.id(), 3u);
  EXPECT_EQ(copy.connect_channel_request().channel_name(), "A");
  EXPECT_EQ(Serialize(copy), Bytes({0x08, 0x03, 0x5A, 0x03, 0x0A, 0x01, 'A', 0x98, 0x06, 0x01}));
}

}  // namespace
