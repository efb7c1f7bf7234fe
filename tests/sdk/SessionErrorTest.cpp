// Everything that can go wrong between an application and the plug-in ends
// in a clear error, within the time the caller allowed, without a crash.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "extension/sdk/KvxMessages.h"
#include "proto/kvx.pb.h"
#include "tests/sdk/SdkTestSupport.h"

namespace kvxtest {
namespace {

using sdk::ChannelState;
using sdk::ErrorCode;
using Clock = std::chrono::steady_clock;

const char kPipe[] = "\\\\.\\pipe\\KVX_Sdk_Scripted";

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SessionErrorTest : public ::testing::Test {
 protected:
  std::unique_ptr<sdk::Session> Open(sdk::SessionOptions options = {}) {
    options.pipeName = kPipe;
    auto session = sdk::Session::Open(options);
    EXPECT_TRUE(session.Ok()) << session.GetError().ToString();
    return session.Ok() ? std::move(session.Value()) : nullptr;
  }

  // Opens `name` and takes the connect request off the scripted plug-in.
  sdk::Channel OpenChannel(sdk::Session& session, ScriptedPlugin& plugin, const std::string& name,
                           sdk::ChannelOptions options = {}) {
    auto channel = session.OpenChannel(name, options);
    EXPECT_TRUE(channel.Ok());
    KVX::Message request;
    EXPECT_TRUE(plugin.NextMessage(&request));
    EXPECT_EQ(request.request().connect_channel_request().channel_name(), name);
    return channel.Ok() ? channel.Value() : sdk::Channel();
  }

  ScopedPipeDir pipeDir;
  CoutCapture console;
};

TEST_F(SessionErrorTest, NoPluginListening) {
  sdk::SessionOptions options;
  options.pipeName = kPipe;
  auto start = Clock::now();
  auto session = sdk::Session::Open(options);
  ASSERT_FALSE(session.Ok());
  EXPECT_EQ(session.GetError().Code(), ErrorCode::NoServer);
  EXPECT_NE(session.GetError().Message().find("KVX_Sdk_Scripted"), std::string::npos);
  EXPECT_LT(MillisecondsSince(start), 2000);
}

TEST_F(SessionErrorTest, AllInstancesBusyIsReportedWithinTheConnectTimeout) {
  ScriptedPlugin plugin(kPipe, 1);
  auto first = Open();
  ASSERT_NE(first, nullptr);
  sdk::SessionOptions options;
  options.pipeName = kPipe;
  options.connectTimeoutMs = 300;
  auto start = Clock::now();
  auto second = sdk::Session::Open(options);
  ASSERT_FALSE(second.Ok());
  EXPECT_EQ(second.GetError().Code(), ErrorCode::PipeBusy) << second.GetError().ToString();
  EXPECT_LT(MillisecondsSince(start), 3000);
}

TEST_F(SessionErrorTest, SilentPluginTimesOutEveryWait) {
  ScriptedPlugin plugin(kPipe);
  plugin.AnswerProperties(false);
  sdk::SessionOptions options;
  options.pipeName = kPipe;
  options.connectTimeoutMs = 200;
  EXPECT_EQ(sdk::Session::Open(options).GetError().Code(), ErrorCode::PipeBusy);

  options.verifyServer = false;
  auto session = Open(options);
  ASSERT_NE(session, nullptr);
  auto start = Clock::now();
  auto property = session->GetProperty("KVXCoreType", 100);
  EXPECT_EQ(property.GetError().Code(), ErrorCode::Timeout);
  EXPECT_LT(MillisecondsSince(start), 2000);

  sdk::Channel channel = OpenChannel(*session, plugin, "quiet");
  EXPECT_EQ(channel.State(), ChannelState::Requested);
  EXPECT_EQ(channel.WaitConnected(50).Code(), ErrorCode::Timeout);
  EXPECT_EQ(channel.Receive(50).GetError().Code(), ErrorCode::Timeout);
  EXPECT_EQ(channel.NextEvent(50).GetError().Code(), ErrorCode::Timeout);
  // Without an ID there is nothing the plug-in could look up: the channel is
  // closed here and the caller is told the request never went out.
  EXPECT_EQ(channel.Disconnect(50).Code(), ErrorCode::Timeout);
  EXPECT_EQ(channel.State(), ChannelState::Closed);
}

TEST_F(SessionErrorTest, PluginGoingAwayEndsEveryWaitAndEveryCall) {
  ScriptedPlugin plugin(kPipe);
  std::atomic<int> disconnects{0};
  sdk::Error reported;
  std::mutex reportedLock;
  sdk::SessionOptions options;
  options.onDisconnected = [&](const sdk::Error& error) {
    std::lock_guard<std::mutex> guard(reportedLock);
    reported = error;
    ++disconnects;
  };
  auto session = Open(options);
  ASSERT_NE(session, nullptr);
  sdk::Channel channel = OpenChannel(*session, plugin, "doomed");
  ASSERT_TRUE(plugin.SendNotice("doomed", 3, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(channel.WaitConnected(5000).Ok());

  std::thread receiver([&] {
    auto got = channel.Receive(sdk::kWaitForever);
    EXPECT_EQ(got.GetError().Code(), ErrorCode::ConnectionLost);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  plugin.Stop();
  receiver.join();

  ASSERT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }));
  {
    std::lock_guard<std::mutex> guard(reportedLock);
    EXPECT_EQ(reported.Code(), ErrorCode::ConnectionLost);
  }
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(channel.State(), ChannelState::Closed);
  EXPECT_EQ(channel.Send("x").Code(), ErrorCode::ConnectionLost);
  EXPECT_EQ(session->GetProperty("KVXCoreType", 100).GetError().Code(), ErrorCode::ConnectionLost);
  EXPECT_EQ(session->OpenChannel("new").GetError().Code(), ErrorCode::ConnectionLost);
  EXPECT_TRUE(channel.Disconnect(100).Ok());
  session.reset();
  EXPECT_EQ(disconnects.load(), 1);
}

// With reconnect, the plug-in going away and coming back (its host
// restarted) is a loss the session recovers from: the channel is told, and
// asked for again, and again while the plug-in says nothing.
TEST_F(SessionErrorTest, AReconnectingSessionAsksAgainForItsChannels) {
  auto plugin = std::make_unique<ScriptedPlugin>(kPipe);
  sdk::SessionOptions options;
  options.reconnect = true;
  options.reconnectMaxDelayMs = 200;
  std::atomic<int> back{0};
  options.onReconnect = [&](const sdk::Error& error) { back += error.Ok() ? 1 : 0; };
  auto session = Open(options);
  ASSERT_NE(session, nullptr);
  sdk::Channel channel = OpenChannel(*session, *plugin, "again");
  ASSERT_TRUE(plugin->SendNotice("again", 3, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(channel.WaitConnected(5000).Ok());
  ASSERT_TRUE(channel.NextEvent(5000).Ok());  // the notice

  plugin.reset();
  auto lost = channel.NextEvent(5000);
  ASSERT_TRUE(lost.Ok()) << lost.GetError().ToString();
  EXPECT_EQ(lost->kind, sdk::ChannelEvent::Kind::Lost);
  EXPECT_EQ(lost->error.Code(), ErrorCode::ConnectionLost);
  EXPECT_EQ(channel.Id(), -1);
  // The pipe is away, not the far application: Send says which.
  const sdk::Error refused = channel.Send("x");
  EXPECT_EQ(refused.Code(), ErrorCode::ConnectionLost);
  EXPECT_NE(refused.Message().find("pipe to the plug-in is away"), std::string::npos) << refused.Message();

  plugin = std::make_unique<ScriptedPlugin>(kPipe);
  for (int ask = 0; ask < 2; ++ask) {
    KVX::Message request;
    ASSERT_TRUE(plugin->NextMessage(&request, 10s)) << ask;
    EXPECT_EQ(request.request().connect_channel_request().channel_name(), "again");
    EXPECT_FALSE(request.request().connect_channel_request().has_launch_options());
  }
  ASSERT_TRUE(plugin->SendNotice("again", 9, KVX::CONNECTION_CONNECTED));
  auto connected = channel.NextEvent(5000);
  ASSERT_TRUE(connected.Ok()) << connected.GetError().ToString();
  EXPECT_EQ(connected->state, ChannelState::Connected);
  EXPECT_EQ(connected->channelId, 9);
  EXPECT_TRUE(channel.Send("x").Ok());
  EXPECT_TRUE(WaitUntil([&] { return back.load() == 1; }));
}

TEST_F(SessionErrorTest, ClosingTheSessionWakesBlockedCallers) {
  ScriptedPlugin plugin(kPipe);
  auto session = Open();
  ASSERT_NE(session, nullptr);
  sdk::Channel channel = OpenChannel(*session, plugin, "waiting");
  std::thread waiter([&] { EXPECT_FALSE(channel.WaitConnected(sdk::kWaitForever).Ok()); });
  std::thread receiver([&] { EXPECT_FALSE(channel.Receive(sdk::kWaitForever).Ok()); });
  plugin.AnswerProperties(false);
  std::thread asker([&] { EXPECT_FALSE(session->GetProperty("Hwnds", sdk::kWaitForever).Ok()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto start = Clock::now();
  session->Close();
  waiter.join();
  receiver.join();
  asker.join();
  EXPECT_LT(MillisecondsSince(start), 2000);
  EXPECT_EQ(channel.State(), ChannelState::Closed);
}

TEST_F(SessionErrorTest, MessagesThatDoNotParseOrBelongNowhereAreDroppedAndReported) {
  ScriptedPlugin plugin(kPipe);
  std::mutex lock;
  std::vector<sdk::Error> dropped;
  sdk::SessionOptions options;
  options.onDropped = [&](const sdk::Error& error) {
    std::lock_guard<std::mutex> guard(lock);
    dropped.push_back(error);
  };
  auto session = Open(options);
  ASSERT_NE(session, nullptr);
  sdk::Channel channel = OpenChannel(*session, plugin, "mine");
  ASSERT_TRUE(plugin.SendNotice("mine", 4, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(channel.WaitConnected(5000).Ok());

  ASSERT_TRUE(plugin.Send(std::string("\x0A\xFF\xFF", 3)));      // truncated field
  ASSERT_TRUE(plugin.SendData(9, "for a channel nobody here holds"));
  ASSERT_TRUE(plugin.SendData(-1, "for no channel at all"));
  ASSERT_TRUE(plugin.SendNotice("other", 9, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(plugin.SendNotice("", -1, KVX::CONNECTION_PENDING_PEER));
  ASSERT_TRUE(plugin.SendNotice("mine", 4, static_cast<KVX::ResultCode>(99)));
  ASSERT_TRUE(plugin.Send(PropertyRequest("KVXCoreType")));   // a request is never sent to applications
  ASSERT_TRUE(plugin.SendData(4, "still fine"));

  auto got = channel.Receive(5000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_EQ(got->data, "still fine");
  EXPECT_EQ(channel.State(), ChannelState::Connected);
  EXPECT_EQ(channel.Id(), 4);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return dropped.size() == 7;
  }));
  EXPECT_EQ(session->Stats().messagesDropped, 7u);
  std::lock_guard<std::mutex> guard(lock);
  for (const sdk::Error& error : dropped) EXPECT_EQ(error.Code(), ErrorCode::ProtocolError) << error.ToString();
  // The session goes on working after all that.
  EXPECT_EQ(session->GetProperty("KVXCoreType", 5000).Value(), "Scripted");
}

TEST_F(SessionErrorTest, NoticesFindTheirChannelByIdThenByName) {
  ScriptedPlugin plugin(kPipe);
  auto session = Open();
  ASSERT_NE(session, nullptr);
  sdk::Channel a = OpenChannel(*session, plugin, "a");
  sdk::Channel b = OpenChannel(*session, plugin, "b");
  ASSERT_TRUE(plugin.SendNotice("a", 7, KVX::CONNECTION_PENDING_PEER));
  ASSERT_TRUE(a.WaitForState(ChannelState::PendingPeer, 5000).Ok());
  EXPECT_EQ(a.Id(), 7);
  EXPECT_EQ(b.State(), ChannelState::Requested);
  // The server end may correct an ID; the name still finds the channel.
  ASSERT_TRUE(plugin.SendNotice("a", 8, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(a.WaitConnected(5000).Ok());
  EXPECT_EQ(a.Id(), 8);
  // A loss notice with the ID alone reaches the right channel.
  ASSERT_TRUE(plugin.SendNotice("", 8, KVX::CONNECTION_LOST));
  ASSERT_TRUE(a.WaitForState(ChannelState::Lost, 5000).Ok());
  EXPECT_EQ(a.Receive(1000).GetError().Code(), ErrorCode::ChannelLost);
  EXPECT_EQ(b.State(), ChannelState::Requested);
}

TEST_F(SessionErrorTest, ReceiveTellsThePeerLeavingAndTheChannelLostApartFromDataAndTimeOut) {
  EventLog log;  // outlives the session, whose end is its last event
  ScriptedPlugin plugin(kPipe);
  auto session = Open();
  ASSERT_NE(session, nullptr);
  sdk::Channel queued = OpenChannel(*session, plugin, "queued");
  sdk::ChannelOptions withCallback;
  withCallback.onEvent = log.Handler();
  sdk::Channel called = OpenChannel(*session, plugin, "called", withCallback);

  // The same script for both channels: waiting, connected (said twice, as
  // when both ends ask at once), data, the peer leaves, returns, vanishes.
  for (const auto& channel : {std::make_pair(std::string("queued"), 3), std::make_pair(std::string("called"), 4)}) {
    const std::string& name = channel.first;
    const int64_t id = channel.second;
    ASSERT_TRUE(plugin.SendNotice(name, id, KVX::CONNECTION_PENDING_PEER));
    ASSERT_TRUE(plugin.SendNotice(name, id, KVX::CONNECTION_CONNECTED));
    ASSERT_TRUE(plugin.SendNotice(name, id, KVX::CONNECTION_CONNECTED));
    ASSERT_TRUE(plugin.SendData(id, "before leaving"));
    ASSERT_TRUE(plugin.SendNotice(name, id, KVX::CONNECTION_PENDING_PEER));
    ASSERT_TRUE(plugin.SendNotice(name, id, KVX::CONNECTION_CONNECTED));
    ASSERT_TRUE(plugin.SendNotice(name, id, KVX::CONNECTION_LOST));
  }

  EXPECT_EQ(queued.Receive(5000)->data, "before leaving");
  EXPECT_EQ(queued.Receive(5000).GetError().Code(), ErrorCode::PeerLeft);
  EXPECT_EQ(queued.Receive(5000).GetError().Code(), ErrorCode::ChannelLost);
  EXPECT_EQ(queued.Receive(50).GetError().Code(), ErrorCode::Timeout);
  EXPECT_EQ(queued.State(), ChannelState::Lost);

  using Kind = sdk::ChannelEvent::Kind;
  ASSERT_TRUE(log.WaitForCount(6));
  std::vector<Kind> kinds;
  for (const auto& event : log.Events()) kinds.push_back(event.kind);
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Notice, Kind::Notice, Kind::Data, Kind::PeerLeft, Kind::Notice,
                                      Kind::Lost}));
  EXPECT_EQ(log.Events()[3].error.Code(), ErrorCode::PeerLeft);
  EXPECT_EQ(log.Events()[5].error.Code(), ErrorCode::ChannelLost);
}

TEST_F(SessionErrorTest, DisconnectSendsTheIdAndWaitsForTheConfirmation) {
  ScriptedPlugin plugin(kPipe);
  auto session = Open();
  ASSERT_NE(session, nullptr);
  sdk::Channel channel = OpenChannel(*session, plugin, "leaving");
  ASSERT_TRUE(plugin.SendNotice("leaving", 5, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(channel.WaitConnected(5000).Ok());

  // No confirmation: a time-out, and the channel is closed all the same.
  auto start = Clock::now();
  EXPECT_EQ(channel.Disconnect(100).Code(), ErrorCode::Timeout);
  EXPECT_LT(MillisecondsSince(start), 2000);
  EXPECT_EQ(channel.State(), ChannelState::Closed);
  KVX::Message request;
  ASSERT_TRUE(plugin.NextMessage(&request));
  EXPECT_EQ(request.request().disconnect_channel_request().channel_id(), 5);

  // A plug-in that no longer knew the channel confirms with ("", -1).
  sdk::Channel second = OpenChannel(*session, plugin, "second");
  ASSERT_TRUE(plugin.SendNotice("second", 6, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(second.WaitConnected(5000).Ok());
  std::thread confirm([&] {
    KVX::Message disconnect;
    EXPECT_TRUE(plugin.NextMessage(&disconnect));
    EXPECT_EQ(disconnect.request().disconnect_channel_request().channel_id(), 6);
    EXPECT_TRUE(plugin.SendNotice("", -1, KVX::CONNECTION_LOST));
  });
  EXPECT_TRUE(second.Disconnect(5000).Ok());
  confirm.join();
}

TEST_F(SessionErrorTest, LaunchOptionsAreSentOnlyWhenAskedFor) {
  ScriptedPlugin plugin(kPipe);
  auto session = Open();
  ASSERT_NE(session, nullptr);
  sdk::ChannelOptions launch;
  launch.launchAppLink = "C:\\apps\\viewer.exe";
  ASSERT_TRUE(session->OpenChannel("with", launch).Ok());
  ASSERT_TRUE(session->OpenChannel("without").Ok());
  KVX::Message with, without;
  ASSERT_TRUE(plugin.NextMessage(&with));
  ASSERT_TRUE(plugin.NextMessage(&without));
  const auto& w = with.request().connect_channel_request();
  ASSERT_TRUE(w.has_launch_options());
  EXPECT_EQ(w.launch_options().launch_mode(), KVX::LAUNCH_APP);
  EXPECT_EQ(w.launch_options().app_link(), "C:\\apps\\viewer.exe");
  EXPECT_FALSE(without.request().connect_channel_request().has_launch_options());
}

TEST_F(SessionErrorTest, TransportRefusesWhatItCannotCarry) {
  sdk::PipeClientTransport transport(kPipe, 200);
  EXPECT_EQ(transport.Send("not connected"), sdk::TransportStatus::Failed);
  EXPECT_EQ(transport.Start(), sdk::TransportStatus::Failed);
  EXPECT_EQ(transport.LastError().Code(), ErrorCode::NoServer);

  ScriptedPlugin plugin(kPipe);
  std::atomic<int> lost{0};
  transport.SetDisconnectCallback([&] { ++lost; });
  ASSERT_EQ(transport.Start(), sdk::TransportStatus::Ok);
  EXPECT_EQ(transport.Start(), sdk::TransportStatus::Ok);  // already running
  EXPECT_EQ(transport.Write(std::string(sdk::kMaxPipeMessageSize + 1, 'x')).Code(), ErrorCode::MessageTooLarge);
  EXPECT_TRUE(transport.Write(std::string(300000, 'x')).Ok());
  KVX::Message ignored;
  plugin.NextMessage(&ignored);  // the bytes are no KVX message; only their arrival counts

  plugin.Stop();
  ASSERT_TRUE(WaitUntil([&] { return lost.load() == 1; }));
  EXPECT_FALSE(transport.IsConnected());
  EXPECT_EQ(transport.Send("gone"), sdk::TransportStatus::Failed);
  EXPECT_EQ(transport.LastError().Code(), ErrorCode::ConnectionLost);

  // A stopped transport starts again once a plug-in serves the pipe.
  ScriptedPlugin again(kPipe);
  EXPECT_EQ(transport.Start(), sdk::TransportStatus::Ok);
  transport.Stop();
  EXPECT_EQ(lost.load(), 1);  // Stop reports nothing
}

// Data messages are encoded by hand (the serialiser would copy the data
// twice more); the bytes must be the serialiser's own.
TEST(WireTest, DataIsEncodedAsTheSerialiserWouldEncodeIt) {
  const std::string big(300000, 'x');
  for (int64_t id : {int64_t{0}, int64_t{5}, int64_t{-1}, int64_t{1} << 40}) {
    for (int64_t appValue : {int64_t{0}, int64_t{-7}, int64_t{130}}) {
      for (const std::string* data : {&big, static_cast<const std::string*>(nullptr)}) {
        KVX::Message message;
        message.mutable_request()->set_id(appValue == 130 ? 9 : 0);
        KVX::TransferData* transfer = message.mutable_request()->mutable_transfer_data();
        transfer->set_channel_id(id);
        transfer->set_app_value(appValue);
        if (data != nullptr) transfer->set_data(*data);
        EXPECT_EQ(sdk::Wire::TransferData(id, appValue, data != nullptr ? *data : std::string(),
                                          appValue == 130 ? 9 : 0),
                  message.SerializeAsString())
            << id << " " << appValue;
      }
    }
  }
}

// Data in the SDK's own shape is read by hand, anything else by the full
// parse: on any bytes, well-formed messages and mangled ones alike, the two
// must say the same.
TEST(WireTest, ReadingByHandAgreesWithTheFullParse) {
  using namespace std::string_literals;
  std::vector<std::string> seeds;
  for (int64_t id : {int64_t{0}, int64_t{300}, int64_t{-1}, INT64_MIN}) {
    for (uint32_t requestId : {0u, 9u, UINT32_MAX}) {
      for (size_t size : {size_t{0}, size_t{1}, size_t{200}}) {
        seeds.push_back(sdk::Wire::TransferData(id, id == 300 ? -7 : 0, std::string(size, 'd'), requestId));
      }
    }
  }
  KVX::Message notice;
  notice.mutable_response()->mutable_channel_connection_response()->set_channel_name("n");
  seeds.push_back(notice.SerializeAsString());
  const auto check = [](const std::string& bytes) {
    const sdk::Wire::Incoming byHand = sdk::Wire::Read(bytes), parsed = sdk::Wire::ReadParsed(bytes);
    ASSERT_EQ(byHand.kind, parsed.kind);
    EXPECT_EQ(byHand.channelId, parsed.channelId);
    EXPECT_EQ(byHand.appValue, parsed.appValue);
    EXPECT_EQ(byHand.requestId, parsed.requestId);
    EXPECT_EQ(byHand.value, parsed.value);
    EXPECT_EQ(byHand.name, parsed.name);
  };
  for (const std::string& seed : seeds) {
    check(seed);
    EXPECT_EQ(sdk::Wire::Read(seed + std::string(1, '\0')).kind, sdk::Wire::Incoming::Kind::Unparsable);
  }
  // Forms a serialiser never writes: a key or value spread over more bytes
  // than it needs, a ten-byte value past 64 bits, an ID past 32 bits.
  for (const std::string& odd : {"\xa2\x81\x00\x03\xa2\x01\x00"s, "\xa2\x01\x06\xa2\x01\x03\x08\x80\x00"s,
                                 "\xa2\x01\x0e\xa2\x01\x0b\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x02"s,
                                 "\xa2\x01\x09\x08\x80\x80\x80\x80\x10\xa2\x01\x00"s}) {
    check(odd);
  }
  std::mt19937 random(27);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes = seeds[random() % seeds.size()];
    for (int edits = 1 + random() % 3; edits > 0 && !bytes.empty(); --edits) {
      const size_t at = random() % bytes.size();
      switch (random() % 4) {
        case 0: bytes[at] = static_cast<char>(random()); break;
        case 1: bytes.resize(at); break;
        case 2: bytes.insert(at, 1, static_cast<char>(random())); break;
        default: bytes.erase(at, 1); break;
      }
    }
    check(bytes);
  }
}

}  // namespace
}  // namespace kvxtest
