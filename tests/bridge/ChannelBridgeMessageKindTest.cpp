// The routing look must say what the full parse says, at the limits of the
// wire format too, and must point into the bytes instead of copying them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/application/common/PcoipVchan/ChannelBridgeMessageKind.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

namespace {

std::string Varint(uint64_t value) {
  std::string out;
  for (; value >= 0x80; value >>= 7) out += static_cast<char>((value & 0x7F) | 0x80);
  return out + static_cast<char>(value);
}
std::string Field(uint32_t number, const std::string& body) {
  return Varint(number << 3 | 2) + Varint(body.size()) + body;
}
std::string Data(const std::string& fields) { return Field(20, Field(20, fields)); }
// A connect request whose launch options hold `levels` nested groups.
std::string NestedGroups(int levels) {
  std::string groups;
  for (int i = 0; i < levels; ++i) groups = Varint(7 << 3 | 3) + groups + Varint(7 << 3 | 4);
  return Field(20, Field(11, Field(3, groups)));
}

TEST(ChannelBridgeMessageKind, AgreesWithTheFullParseAtTheLimitsOfTheWireFormat) {
  const std::string id5 = std::string("\x08\x05", 2);
  const std::vector<std::string> units = {
      "",
      Data(id5 + Field(3, "payload")),
      Field(20, Field(11, Field(1, "chat"))),
      Field(20, Field(12, id5)),
      Field(20, Field(30, Field(1, "KVXCoreType"))),
      BuildConnectionNotice("chat", 3, KVX::CONNECTION_CONNECTED),
      // Merged occurrences, and a member replaced by another.
      Data(id5) + Data(Field(3, "x")),
      Data(id5) + Field(30, "") + Data(""),
      Field(20, Field(12, id5) + Field(11, Field(1, "a"))),
      // Tags of five bytes and of six, varints of ten and of eleven, lengths
      // of five bytes and of six.
      Data(std::string("\x88\x80\x80\x80\x00\x05", 6)),
      Data(std::string("\x88\x80\x80\x80\x80\x00\x05", 7)),
      Data("\x08" + std::string(9, '\xFF') + '\x01'),
      Data("\x08" + std::string(10, '\xFF') + '\x01'),
      Field(20, Field(30, std::string("\x0A\x81\x80\x80\x80\x00", 6) + "n")),
      Field(20, Field(30, std::string("\x0A\x81\x80\x80\x80\x80\x00", 7) + "n")),
      // Nesting at the limit and past it.
      NestedGroups(97),
      NestedGroups(98),
      // Groups ended by another field's end, or not at all; field number 0;
      // wire types 6 and 7; an end group alone; truncated.
      Field(20, std::string("\x3B\x44", 2)),
      Field(20, std::string("\x3B\x08\x01", 3)),
      Data(std::string("\x02\x00", 2)),
      Data("\x0E"),
      Data("\x0F"),
      Data("\x0C"),
      Data(id5 + Field(3, "payload")).substr(0, 9),
  };
  for (size_t i = 0; i < units.size(); ++i) {
    SCOPED_TRACE("unit " + std::to_string(i));
    KVX::Message full;
    MessageKind kind;
    const bool parsed = ParseUnit(units[i], &full);
    ASSERT_EQ(ReadMessageKind(units[i], &kind), parsed);
    if (!parsed) continue;
    const MessageKind expected = KindOfParsed(full);
    EXPECT_EQ(kind.content, expected.content);
    EXPECT_EQ(kind.requestBody, expected.requestBody);
    EXPECT_EQ(kind.responseBody, expected.responseBody);
    EXPECT_EQ(kind.channelId, expected.channelId);
    EXPECT_EQ(kind.name, expected.name);
  }
  // Each limit above is met by the unit before it and passed by the unit after.
  MessageKind kind;
  for (size_t accepted : {9u, 11u, 13u, 15u}) {
    EXPECT_TRUE(ReadMessageKind(units[accepted], &kind)) << accepted;
    EXPECT_FALSE(ReadMessageKind(units[accepted + 1], &kind)) << accepted + 1;
  }
  // A name is the unit's own bytes, not a copy of them.
  const std::string connect = units[2];
  ASSERT_TRUE(ReadMessageKind(connect, &kind));
  EXPECT_EQ(kind.name.data(), connect.data() + connect.size() - 4);
}

}  // namespace
