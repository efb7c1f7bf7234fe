// Helpers for driving ChannelBridge objects of the tests' own: the access
// class the bridge trusts, recorders for what goes to the peer, to the debug
// output and to the shell, and builders for KVX messages.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/critical_section.h"
#include "proto/kvx.pb.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "tests/transport/PipeTestSupport.h"

class ChannelBridgeTestAccess {
 public:
  struct Deleter {
    void operator()(ChannelBridge* bridge) const { Destroy(bridge); }
  };
  using Owned = std::unique_ptr<ChannelBridge, Deleter>;

  static Owned Create() { return Owned(new ChannelBridge()); }
  static void Destroy(ChannelBridge* bridge) { delete bridge; }

  static std::vector<ChannelEntry> Channels(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.channelLock);
    return bridge.channels.Entries();
  }
  static void SetChannels(ChannelBridge& bridge, std::vector<ChannelEntry> entries) {
    platform::CriticalSectionLock guard(bridge.channelLock);
    bridge.channels.Replace(entries);
  }
  static void SetNextChannelId(ChannelBridge& bridge, int64_t next) {
    platform::CriticalSectionLock guard(bridge.channelLock);
    bridge.nextChannelId = next;
  }
  static size_t ServerCount(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.pipeListLock);
    return bridge.pipeServers.size();
  }
  static bool IsServerEnd(ChannelBridge& bridge) { return bridge.isServer; }
  static size_t PipeQueueBytes(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.pipeQueueLock);
    return bridge.PipeQueueBytes();
  }
  static size_t PipeLaneBytes(ChannelBridge& bridge, int pipeId) {
    platform::CriticalSectionLock guard(bridge.pipeQueueLock);
    return bridge.LaneOf(pipeId).Bytes();
  }
  // Queues the peer's messages in one hold of the lock, so that the PCoIP
  // worker, woken afterwards, takes them as one batch.
  static void QueuePcoipBatch(ChannelBridge& bridge, std::vector<std::string> messages) {
    {
      platform::CriticalSectionLock guard(bridge.pcoipQueueLock);
      for (std::string& message : messages) bridge.pcoipQueue.push_back(std::move(message));
    }
    platform::SetEventObject(bridge.pcoipQueueEvent);
  }
  // Counts what the worker has taken and not yet handled too.
  static size_t PcoipQueueBytes(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.pcoipQueueLock);
    return bridge.pcoipQueue.Bytes();
  }
  static bool Started(ChannelBridge& bridge) {
    platform::MutexLock guard(bridge.lifecycleLock);
    return bridge.lifecycle == ChannelBridge::Lifecycle::kStarted;
  }
};

namespace kvxtest {

// Collects byte strings handed over on any thread.
class Collector {
 public:
  void Add(const std::string& bytes);
  std::vector<std::string> All();
  size_t Count();
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = 10s);
  void Clear();

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> items_;
};

// What a bridge under test sends to its peer (a plain function, as the
// plug-in's is). One collector per process, reset by each test.
Collector& SentToPeer();
void RecordSendToPeer(const std::string& bytes);

// Answers properties as the plug-in would at the server end.
std::string TestProperties(const std::string& name);

// Collects the debug output for the life of the object.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  std::vector<std::string> Texts() { return collector_.All(); }
  size_t CountOf(const std::string& text);
  bool WaitFor(const std::string& text, size_t count = 1);

 private:
  Collector collector_;
};

// Records shell opens and answers them with a chosen result.
class ShellCapture {
 public:
  explicit ShellCapture(intptr_t result);
  ~ShellCapture();
  std::vector<std::string> Links() { return links_.All(); }
  // The launch follows the notice to the peer, so a test that has seen the
  // notice waits for the launch rather than racing it.
  bool WaitForLaunches(size_t count) { return links_.WaitForCount(count); }

 private:
  Collector links_;
};

// Two bridges joined back to back: what one end sends to its peer is queued
// on the other end's PCoIP queue. Forwarding and unlinking share one lock, so
// nothing is handed to a bridge that is being destroyed. One link per process.
namespace PeerLink {
void Join(ChannelBridge* serverEnd, ChannelBridge* clientEnd);
// Unlinks one end (or both) before it is destroyed.
void DetachClientEnd();
void DetachBoth();
void ServerSendsToPeer(const std::string& bytes);
void ClientSendsToPeer(const std::string& bytes);
}  // namespace PeerLink

// Builders for the messages applications and peers write.
std::string ConnectRequest(const std::string& name);
std::string ConnectRequestWithLaunch(const std::string& name, KVX::LaunchMode mode,
                                     const std::string& link);
std::string DisconnectRequest(int64_t channelId);
std::string TransferData(int64_t channelId, const std::string& data);
std::string PropertyRequest(const std::string& name);
std::string Notice(const std::string& name, int64_t channelId, KVX::ResultCode status);

struct NoticeFields {
  std::string name;
  int64_t channelId = 0;
  int status = 0;
  bool operator==(const NoticeFields& other) const {
    return name == other.name && channelId == other.channelId && status == other.status;
  }
};
// The fields of a connection notice; status -1 when the bytes are none.
NoticeFields ReadNotice(const std::string& bytes);
std::ostream& operator<<(std::ostream& out, const NoticeFields& notice);

}  // namespace kvxtest

// Beside ChannelEntry, so that comparisons of whole tables find them.
bool operator==(const ChannelEntry& a, const ChannelEntry& b);
std::ostream& operator<<(std::ostream& out, const ChannelEntry& entry);
