// How the host simulator tells the plug-in that datagrams wait: from the
// thread that receives them, never ahead of an open still on its way, once
// until the plug-in counts, and again whenever it would otherwise wait with
// datagrams unread. And how the channel, closed when the far end goes, opens
// again only with the next far end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/vchan-host/HostChannel.h"

namespace vchan_host {
namespace {

// The plug-in's side: records channel events, opens from the connect event
// (and can be held there, keeping the event thread busy), reads like its
// receive thread.
struct FakePlugin {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint32_t> events;
  std::vector<std::thread::id> readyThreads;
  bool readySet = false, holdConnect = false;
  uint32_t handle = 0;
  pcoip_vchan_intf table{};

  template <typename Predicate>
  bool WaitUntil(Predicate done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), done);
  }
  // Until `total` datagrams are read or lost to failed reads.
  void ReadAll(size_t total, const FaultInjector& faults, std::vector<std::string>* got) {
    // The ready event resets as the wait takes it.
    while (got->size() + faults.FailedReads() < total &&
           WaitUntil([this] { return std::exchange(readySet, false); })) {
      uint32_t count = 0;
      if (table.get_num_rx_dgrams(handle, &count) != 0) continue;
      for (char buffer[64]; count > 0; --count) {
        uint32_t length = 0;
        const int32_t result = table.read(handle, buffer, sizeof(buffer), &length, 0);
        if (result == PCOIP_ERR_EMPTY) break;
        if (result == 0) got->emplace_back(buffer, length);
      }
    }
  }
};

void ChannelEvent(void* context, void*, uint32_t event, void*) {
  auto* plugin = static_cast<FakePlugin*>(context);
  std::lock_guard<std::mutex> lock(plugin->mutex);
  plugin->events.push_back(event);
  if (event == PCOIP_VCHAN_EVENT_RECV_RDY) {
    plugin->readyThreads.push_back(std::this_thread::get_id());
    plugin->readySet = true;
  }
  plugin->changed.notify_all();
}

void ConnectEvent(void* context, void*, uint32_t, const uint32_t*) {
  auto* plugin = static_cast<FakePlugin*>(context);
  uint32_t handle = 0;
  plugin->table.open("chan", 0, 0xA, 3000, ChannelEvent, plugin, &handle);
  std::unique_lock<std::mutex> lock(plugin->mutex);
  plugin->handle = handle;
  plugin->changed.notify_all();
  plugin->changed.wait(lock, [plugin] { return !plugin->holdConnect; });
}

struct Host {
  explicit Host(FaultOptions faultOptions = {}, bool holdConnect = false,
                uint32_t peerPacketSize = 3000)
      : faults(faultOptions) {
    plugin.table = channel.Table();
    plugin.holdConnect = holdConnect;
    uint32_t registration = 0;
    plugin.table.register_connect_cback("chan", ConnectEvent, &plugin, &registration);
    channel.OfferChannel();
    EXPECT_TRUE(plugin.WaitUntil([this] { return plugin.handle != 0; }));
    channel.OnPeerOpened(peerPacketSize);
  }
  void Deliver(const std::string& datagram) {
    std::string frame = static_cast<char>(FrameType::kData) + datagram;
    channel.OnDataFrame(&frame, frame.size());
  }

  FakePlugin plugin;
  HostOptions options;
  FaultInjector faults;
  // The link as the channel sees it: whether a far end is there, and how
  // often this end told it of an open.
  std::atomic<bool> farEndAbsent{false};
  std::atomic<int> opensSent{0};
  HostChannel channel{options, faults, [this](FrameType type, const void*, size_t, uint32_t) {
                        if (farEndAbsent.load()) return HostChannel::FrameSendResult::kLinkDown;
                        if (type == FrameType::kOpened) ++opensSent;
                        return HostChannel::FrameSendResult::kSent;
                      }};
};

TEST(HostReadyTest, NoReadyEventOvertakesTheOpenStillOnTheEventThread) {
  Host host({}, /*holdConnect=*/true);
  host.Deliver("early");
  std::unique_lock<std::mutex> lock(host.plugin.mutex);
  EXPECT_TRUE(host.plugin.events.empty());
  host.plugin.holdConnect = false;
  host.plugin.changed.notify_all();
  ASSERT_TRUE(host.plugin.changed.wait_for(lock, std::chrono::seconds(30),
                                           [&] { return host.plugin.events.size() >= 2; }));
  EXPECT_EQ(host.plugin.events,
            (std::vector<uint32_t>{PCOIP_VCHAN_EVENT_OPEN_SUCCESS, PCOIP_VCHAN_EVENT_RECV_RDY}));
}

TEST(HostReadyTest, TheReceivingThreadSignalsOnceUntilTheCountAndAgainAfterIt) {
  Host host;
  while (!host.channel.EventsDelivered()) std::this_thread::yield();  // the open
  for (const char* datagram : {"d0", "d1", "d2"}) host.Deliver(datagram);
  uint32_t count = 0;
  ASSERT_EQ(host.plugin.table.get_num_rx_dgrams(host.plugin.handle, &count), 0);
  EXPECT_EQ(count, 3u);
  host.Deliver("d3");  // after the count: told again
  {
    const std::thread::id me = std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(host.plugin.mutex);
    EXPECT_EQ(host.plugin.readyThreads, (std::vector<std::thread::id>{me, me}));
  }
  std::vector<std::string> got;
  host.plugin.ReadAll(4, host.faults, &got);
  EXPECT_EQ(got, (std::vector<std::string>{"d0", "d1", "d2", "d3"}));
}

TEST(HostReadyTest, ABurstIsReadToTheEndThroughEmptyAndFailedReadsAndCounts) {
  FaultOptions faults;
  faults.emptyReadEvery = 7;
  faults.failReadEvery = 11;
  faults.failCountEvery = 5;
  Host host(faults);
  constexpr int kDatagrams = 20000;
  std::thread receiver([&] {
    for (int i = 0; i < kDatagrams; ++i) host.Deliver(std::to_string(i));
  });
  std::vector<std::string> got;
  host.plugin.ReadAll(kDatagrams, host.faults, &got);
  host.channel.Shutdown();  // releases the receiver should the reading have stopped short
  receiver.join();
  // A failed read loses its datagram; every other one arrives, in order.
  EXPECT_GT(host.faults.FailedReads() * host.faults.EmptyReads() * host.faults.FailedCounts(), 0u);
  ASSERT_EQ(got.size() + host.faults.FailedReads(), static_cast<size_t>(kDatagrams));
  for (size_t i = 1; i < got.size(); ++i) ASSERT_LT(std::stoi(got[i - 1]), std::stoi(got[i]));
}

TEST(HostReadyTest, AChannelClosedWhenTheFarEndWentOpensOnlyWithTheNextOne) {
  Host host;
  auto openedAfresh = [&host](uint32_t previous) {
    return host.plugin.WaitUntil([&] { return host.plugin.handle != previous; });
  };
  // The far end goes; the one after it had opened its side before this end's
  // plug-in opened, and went too.
  ASSERT_TRUE(host.channel.Close());
  host.channel.OnPeerOpened(3000);
  EXPECT_FALSE(host.channel.Close());
  uint32_t handle = host.plugin.handle;
  host.channel.OfferChannel();
  ASSERT_TRUE(openedAfresh(handle));
  while (!host.channel.EventsDelivered()) std::this_thread::yield();
  EXPECT_FALSE(host.channel.IsUp()) << "up on the word of a far end that has gone";
  host.channel.OnPeerOpened(3000);
  EXPECT_TRUE(host.channel.IsUp());

  // An open that no far end heard of (it went as the plug-in opened) is
  // refused, and the next connect event opens afresh and tells the far end.
  ASSERT_TRUE(host.channel.Close());
  host.farEndAbsent = true;
  handle = host.plugin.handle;
  host.channel.OfferChannel();
  ASSERT_TRUE(openedAfresh(handle));
  while (!host.channel.EventsDelivered()) std::this_thread::yield();
  const int opensBefore = host.opensSent.load();
  host.farEndAbsent = false;
  handle = host.plugin.handle;
  host.channel.OfferChannel();
  ASSERT_TRUE(openedAfresh(handle));
  while (!host.channel.EventsDelivered()) std::this_thread::yield();
  EXPECT_EQ(host.opensSent.load(), opensBefore + 1);
  host.channel.OnPeerOpened(3000);
  EXPECT_TRUE(host.channel.IsUp());
}

// The link's reader receives into strings with room for the largest datagram
// the peer may send, and reuses them; a queued datagram must not keep that room.
TEST(HostReadyTest, QueuedDatagramsTakeTheMemoryOfWhatTheyHoldAndReadBackWhole) {
  constexpr uint32_t kPacketSize = 65000;
  Host host({}, false, kPacketSize);
  std::vector<std::string> sent;
  size_t sentBytes = 0;
  std::string frame;  // as the reader's: what OnDataFrame leaves comes back
  for (int i = 0; i < 1000; ++i) {
    // Mostly small datagrams, now and then a full one.
    std::string datagram = i % 100 == 99 ? std::string(kPacketSize, static_cast<char>('a' + i % 26))
                                         : "small datagram " + std::to_string(i);
    const size_t length = 1 + datagram.size();
    if (frame.size() < length) frame.resize(length);
    frame[0] = static_cast<char>(FrameType::kData);
    frame.replace(1, datagram.size(), datagram);
    host.channel.OnDataFrame(&frame, length);
    sentBytes += length;
    sent.push_back(std::move(datagram));
  }
  // A string of its own may hold a third more than its datagram, and a small
  // one a little more for the allocator's rounding.
  EXPECT_LE(host.channel.GetTotals().peakQueuedBytes, sentBytes * 4 / 3 + sent.size() * 32);

  std::vector<char> buffer(kPacketSize);
  uint32_t count = 0;
  ASSERT_EQ(host.plugin.table.get_num_rx_dgrams(host.plugin.handle, &count), 0);
  ASSERT_EQ(count, sent.size());
  for (const std::string& expected : sent) {
    uint32_t length = 0;
    ASSERT_EQ(host.plugin.table.read(host.plugin.handle, buffer.data(), kPacketSize, &length, 0), 0);
    ASSERT_EQ(std::string(buffer.data(), length), expected);
  }
}

}  // namespace
}  // namespace vchan_host
