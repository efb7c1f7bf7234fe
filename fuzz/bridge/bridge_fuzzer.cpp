// Two channel bridges, a server end and a client end, joined back to back
// through in-memory outboxes, driven by a small op-code program decoded from
// the fuzz input: applications writing requests (well formed or raw bytes) to
// any of the six pipes at either end, applications leaving, peer messages
// delivered, lost, or made up. Everything runs on this thread, calling the
// bridge's handlers directly, so a run is fast and repeatable. What an end
// answers the peer waits, as it does on the pipe queue, until an op sends it
// (through the bridge's last look at it), so applications' messages and
// departures may come between an answer and its sending.
//
// Checked after every op and at every write:
//   - a write to a pipe while handling a pipe message goes to that pipe, or is
//     the CONNECTION_LOST notice to the application whose channel that
//     message took over;
//   - a write while handling a peer message, or while sending an answer,
//     carries data or a notice for a channel ID that the table gives to that
//     very pipe, and a CONNECTED notice only for the name it holds with that ID;
//   - an end tells the peer CONNECTED only for a name it holds with that ID
//     at the moment the notice leaves;
//   - a client leaving queues one departure behind its messages; when that is
//     handled nothing is written to a pipe, and exactly one CONNECTION_LOST
//     notice per channel the client held goes to the peer;
//   - nothing from the peer is sent back unchanged (but for the client end
//     asking again for a name it holds without an ID); a peer message removes
//     at most one entry, and only one that no local application holds or that
//     never got an ID (or one the peer refused); the client end's table never
//     grows from the peer;
//   - the table: names unique, pipe IDs within 0..5 or -1;
//   - only the client end launches applications;
//   - while only well-formed traffic has been seen: channel IDs unique at the
//     server end, each ID always paired with the name it was handed out for,
//     at both ends, and the client end never invents an ID;
//   - once everything in flight has arrived, and no message was lost or made
//     up: every name held by an application at both ends has the same ID at
//     both ends, and each holder's last connection notice says CONNECTED.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "extension/windows/NamedPipeServer.h"
#include "fuzz/bridge/PipeWriteRecorder.h"
#include "platform/debug_output.h"
#include "platform/shell.h"
#include "proto/kvx.pb.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

// The bridge trusts this class with its private parts. The workers that the
// constructor starts stay idle: the bridge is never started, so they never
// take an item, and the fuzzer handles every item itself.
class ChannelBridgeTestAccess {
 public:
  static ChannelBridge* Create(bool isServer, ChannelBridge::SendToPeerFunction send,
                               ChannelBridge::PropertyProviderFunction properties) {
    ChannelBridge* bridge = new ChannelBridge();
    bridge->isServer = isServer;
    bridge->sendToPeer = send;
    bridge->propertyProvider = properties;
    platform::CriticalSectionLock guard(bridge->pipeListLock);
    for (int32_t i = 0; i < ChannelBridge::kPipeServerCount; ++i) {
      bridge->pipeServers.push_back(std::make_unique<Orvane::Extension::Windows::NamedPipeServer>(
          "\\\\.\\pipe\\KVX_Fuzz", ChannelBridge::kPipeServerCount));
    }
    return bridge;
  }
  static void Reset(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.channelLock);
    bridge.channels.Clear();
    bridge.nextChannelId = 0;
    platform::CriticalSectionLock pipeGuard(bridge.pipeQueueLock);
    bridge.ClearPipeQueue();
  }
  static std::vector<ChannelEntry> Channels(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.channelLock);
    return bridge.channels.Entries();
  }
  static int64_t NextChannelId(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.channelLock);
    return bridge.nextChannelId;
  }
  static std::deque<PipeItem> TakePipeQueue(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.pipeQueueLock);
    std::deque<PipeItem> items;
    bridge.peerBoundQueue.GiveBack(bridge.peerBoundQueue.TakeAll(&items));
    for (auto& lane : bridge.pipeLanes) lane->GiveBack(lane->TakeAll(&items));
    bridge.ClearPipeQueue();
    return items;
  }
  static int PipeIdOf(ChannelBridge& bridge, const void* server) {
    platform::CriticalSectionLock guard(bridge.pipeListLock);
    for (size_t i = 0; i < bridge.pipeServers.size(); ++i) {
      if (bridge.pipeServers[i].get() == server) return static_cast<int>(i);
    }
    return -1;
  }
};

namespace {

using Access = ChannelBridgeTestAccess;

constexpr int kServer = 0;
constexpr int kClient = 1;
constexpr int kPipes = ChannelBridge::kPipeServerCount;
constexpr size_t kMaxOps = 512;

enum class Phase { Idle, PipeSide, Departure, PeerSide, PeerBound };

struct End {
  ChannelBridge* bridge = nullptr;
  std::deque<std::string> answers;  // built for the peer, not sent yet
  std::deque<std::string> outbox;   // bound for the other end
};

struct Run {
  End ends[2];
  Phase phase = Phase::Idle;
  int end = -1;
  int pipe = -1;
  const std::string* incoming = nullptr;
  // Set once raw bytes or made-up peer messages have been seen: such traffic
  // may rewrite channel IDs (a connection response names any ID it likes), so
  // the ID invariants that rest on both ends being honest no longer apply.
  bool tainted = false;
  // Set once a message was lost on the way, or an application closed an ID
  // that its own end does not know (the far holder is then told its partner
  // left, while the near end still holds the channel): the ends may then
  // stay out of step.
  bool lossy = false;
  // The last connection notice written to each holder: (end, pipe, name) ->
  // its status.
  std::map<std::tuple<int, int, std::string>, int> lastNotice;
  std::map<int64_t, std::string> handedOut;  // server ID -> the name it was handed out for
  size_t launches = 0;
};

Run run;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bridge_fuzzer: invariant broken: %s (phase %d, end %d, pipe %d)\n", what,
               static_cast<int>(run.phase), run.end, run.pipe);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

bool ReadNotice(const std::string& bytes, KVX::ChannelConnectionResponse* notice);

void SendToPeerFrom(int end, const std::string& bytes) {
  Check(run.phase != Phase::Idle, "sent to the peer outside any handler");
  Check(run.end == end, "one end sent with the other end's routine");
  if (run.phase == Phase::PeerSide && bytes == *run.incoming) {
    // Only a client end asking again for a name it holds without an ID yet
    // may send what it received; the server answers that with a notice.
    KVX::Message message;
    Check(end == kClient && ParseUnit(bytes, &message) &&
              message.request().has_connect_channel_request(),
          "a message from the peer was sent back unchanged");
  }
  if (run.phase == Phase::Departure) {
    KVX::Message notice;
    Check(ParseUnit(bytes, &notice) && notice.response().has_channel_connection_response() &&
              notice.response().channel_connection_response().status() == KVX::CONNECTION_LOST,
          "a departure sent something other than a lost notice");
  }
  if (run.phase == Phase::PeerSide) {
    // Sent later, in turn with what the applications here write meanwhile.
    run.ends[end].answers.push_back(bytes);
    return;
  }
  KVX::ChannelConnectionResponse notice;
  if (run.phase != Phase::PipeSide && ReadNotice(bytes, &notice) &&
      notice.status() == KVX::CONNECTION_CONNECTED) {
    bool held = false;
    for (const ChannelEntry& entry : Access::Channels(*run.ends[end].bridge)) {
      held = held || (entry.channelName == notice.channel_name() &&
                      entry.channelId == notice.channel_id());
    }
    Check(held, "told the peer CONNECTED for a channel it does not hold");
  }
  // The datagram layer never sends an empty message.
  if (!bytes.empty()) run.ends[end].outbox.push_back(bytes);
}

void SendFromServer(const std::string& bytes) { SendToPeerFrom(kServer, bytes); }
void SendFromClient(const std::string& bytes) { SendToPeerFrom(kClient, bytes); }

std::string Properties(const std::string& name) {
  if (name == "KVXCoreType") return run.end == kServer ? "Server" : "Client";
  if (name == "Hwnds") return "0x10";
  return "";
}

// Fields of a connection notice; false when `bytes` is not one.
bool ReadNotice(const std::string& bytes, KVX::ChannelConnectionResponse* notice) {
  KVX::Message message;
  if (!ParseUnit(bytes, &message) || !message.response().has_channel_connection_response()) {
    return false;
  }
  *notice = message.response().channel_connection_response();
  return true;
}

// The channel ID a delivered message is addressed by, as the bridge reads it.
bool AddressOf(const std::string& bytes, int64_t* channelId) {
  KVX::Message message;
  ParseUnit(bytes, &message);
  if (message.has_request() && message.request().has_transfer_data()) {
    *channelId = message.request().transfer_data().channel_id();
    return true;
  }
  if (message.has_response() && message.response().has_channel_connection_response()) {
    *channelId = message.response().channel_connection_response().channel_id();
    return true;
  }
  return false;
}

}  // namespace

void RecordPipeWrite(const void* server, const std::string& bytes) {
  int end = -1;
  int pipe = -1;
  for (int e = 0; e < 2 && pipe < 0; ++e) {
    pipe = Access::PipeIdOf(*run.ends[e].bridge, server);
    if (pipe >= 0) end = e;
  }
  Check(pipe >= 0, "write through a server the bridge does not hold");
  Check(run.phase != Phase::Idle, "pipe write outside any handler");
  Check(run.phase != Phase::Departure, "pipe write while a client left");
  Check(end == run.end, "pipe write at the other end");
  KVX::ChannelConnectionResponse notice;
  const bool isNotice = ReadNotice(bytes, &notice);
  if (isNotice) {
    run.lastNotice[std::make_tuple(end, pipe, notice.channel_name())] = notice.status();
  }
  if (run.phase == Phase::PipeSide) {
    if (pipe == run.pipe) return;
    // A channel taken over: its previous holder is told, and the channel is
    // now the asking pipe's.
    Check(isNotice && notice.status() == KVX::CONNECTION_LOST,
          "answer written to another application's pipe");
    int holder = -2;
    for (const ChannelEntry& entry : Access::Channels(*run.ends[end].bridge)) {
      if (entry.channelName == notice.channel_name()) holder = entry.pipeId;
    }
    Check(holder == run.pipe, "lost notice to a pipe whose channel was not taken over");
    return;
  }
  // From the peer: only data and notices, and only to the pipe that holds the
  // channel they are addressed to (the first entry with that ID).
  int64_t channelId = 0;
  Check(AddressOf(bytes, &channelId), "peer delivery that is neither data nor a notice");
  if (channelId == -1) {
    // Only the holder of a channel that the far end refused before handing
    // out its ID is told about a channel without one: that it is lost.
    KVX::Message notice;
    ParseUnit(bytes, &notice);
    Check(notice.response().channel_connection_response().status() == KVX::CONNECTION_LOST,
          "delivery addressed to no channel");
    return;
  }
  // Only a confused peer makes two entries share an ID; then either may be meant.
  bool known = false;
  for (const ChannelEntry& entry : Access::Channels(*run.ends[end].bridge)) {
    if (entry.channelId != channelId) continue;
    known = true;
    const bool connected = isNotice && notice.status() == KVX::CONNECTION_CONNECTED;
    if (entry.pipeId == pipe && (!connected || notice.channel_name() == entry.channelName)) return;
  }
  Fail(known ? "delivered to a pipe that does not hold the channel (for CONNECTED: of that name)"
             : "delivered for a channel not in the table");
}

namespace {

class Program {
 public:
  Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string Bytes(size_t count) {
    std::string out;
    while (count-- > 0 && !Done()) out.push_back(static_cast<char>(Next()));
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The last name is longer than any table admits.
const std::string kNames[] = {"A", "B", "chat", "", std::string(ChannelTable::kMaxNameLength + 1, 'n')};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);
const char* const kPropertyNames[] = {"KVXCoreType", "Hwnds", "other"};

int64_t ChannelIdFrom(uint8_t b) {
  if (b == 0xFF) return std::numeric_limits<int64_t>::max();
  if (b == 0xFE) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(b % 10) - 1;  // -1 .. 8
}

void CheckTable(int end) {
  ChannelBridge& bridge = *run.ends[end].bridge;
  const std::vector<ChannelEntry> table = Access::Channels(bridge);
  std::set<std::string> names;
  std::set<int64_t> ids;
  const int32_t next = Access::NextChannelId(*run.ends[kServer].bridge);
  for (const ChannelEntry& entry : table) {
    Check(names.insert(entry.channelName).second, "two entries with one name");
    Check(entry.pipeId >= -1 && entry.pipeId < kPipes, "pipe ID out of range");
    if (run.tainted) continue;
    if (end == kServer) {
      Check(entry.channelId >= 0 && entry.channelId < next, "server ID it never handed out");
      Check(ids.insert(entry.channelId).second, "two channels with one ID at the server end");
      auto known = run.handedOut.find(entry.channelId);
      if (known == run.handedOut.end()) {
        run.handedOut[entry.channelId] = entry.channelName;
      } else {
        Check(known->second == entry.channelName, "server ID moved to another name");
      }
    } else if (entry.channelId != -1) {
      auto known = run.handedOut.find(entry.channelId);
      Check(known != run.handedOut.end(), "client end holds an ID the server never handed out");
      Check(known->second == entry.channelName, "client end pairs an ID with the wrong name");
    }
  }
}

// Both applications that hold a name have been told CONNECTED, and both ends
// address the channel by one ID.
void CheckSettled() {
  const std::vector<ChannelEntry> atClient = Access::Channels(*run.ends[kClient].bridge);
  for (const ChannelEntry& server : Access::Channels(*run.ends[kServer].bridge)) {
    if (server.pipeId == -1) continue;
    for (const ChannelEntry& client : atClient) {
      if (client.channelName != server.channelName || client.pipeId == -1) continue;
      Check(client.channelId == server.channelId, "the two ends hold one name with two IDs");
      auto atServerHolder = run.lastNotice.find(std::make_tuple(kServer, server.pipeId, server.channelName));
      auto atClientHolder = run.lastNotice.find(std::make_tuple(kClient, client.pipeId, client.channelName));
      Check(atServerHolder != run.lastNotice.end() && atServerHolder->second == KVX::CONNECTION_CONNECTED,
            "the server end's holder was last told something other than CONNECTED");
      Check(atClientHolder != run.lastNotice.end() && atClientHolder->second == KVX::CONNECTION_CONNECTED,
            "the client end's holder was last told something other than CONNECTED");
    }
  }
}

void CheckTables() {
  CheckTable(kServer);
  CheckTable(kClient);
}

void Enter(Phase phase, int end, int pipe, const std::string* incoming = nullptr) {
  run.phase = phase;
  run.end = end;
  run.pipe = pipe;
  run.incoming = incoming;
}

void Leave() { Enter(Phase::Idle, -1, -1); }

std::string FindEntryPipe(int end, const std::string& name, int* pipe) {
  for (const ChannelEntry& entry : Access::Channels(*run.ends[end].bridge)) {
    if (entry.channelName == name) {
      *pipe = entry.pipeId;
      return entry.channelName;
    }
  }
  *pipe = -2;
  return std::string();
}

void AppWrites(int end, int pipe, const std::string& bytes) {
  Enter(Phase::PipeSide, end, pipe);
  run.ends[end].bridge->HandlePipeMessage(PipeItem{pipe, bytes, 0, false});
  Leave();
}

void AppConnects(int end, int pipe, const std::string& name, bool launch) {
  KVX::Message message;
  KVX::ConnectChannelRequest* request = message.mutable_request()->mutable_connect_channel_request();
  request->set_channel_name(name);
  if (launch) {
    request->mutable_launch_options()->set_launch_mode(KVX::LAUNCH_APP);
    request->mutable_launch_options()->set_app_link("app://" + name);
  }
  const size_t before = Access::Channels(*run.ends[end].bridge).size();
  AppWrites(end, pipe, message.SerializeAsString());
  int holder = -1;
  FindEntryPipe(end, name, &holder);
  if (ChannelTable::NameFits(name)) {
    Check(holder == pipe, "the pipe that asked last does not hold the channel");
  } else {
    Check(holder == -2, "a name longer than the bound reached the table");
  }
  Check(Access::Channels(*run.ends[end].bridge).size() <= before + 1, "connect added two entries");
}

void AppDisconnects(int end, int pipe, int64_t channelId) {
  KVX::Message message;
  message.mutable_request()->mutable_disconnect_channel_request()->set_channel_id(channelId);
  const std::vector<ChannelEntry> before = Access::Channels(*run.ends[end].bridge);
  const size_t sentBefore = run.ends[end].outbox.size();
  AppWrites(end, pipe, message.SerializeAsString());
  const std::vector<ChannelEntry> after = Access::Channels(*run.ends[end].bridge);
  bool known = false;
  bool held = false;
  for (const ChannelEntry& entry : before) {
    if (channelId == -1 || entry.channelId != channelId || known) continue;
    known = true;
    held = entry.pipeId == pipe;
  }
  if (!known) run.lossy = true;
  Check(after.size() == before.size() - (held ? 1 : 0), "disconnect removed the wrong count");
  Check(held || !known || run.ends[end].outbox.size() == sentBefore,
        "a request to close another application's channel reached the peer");
}

void AppSendsData(int end, int pipe, int64_t channelId, const std::string& data) {
  KVX::Message message;
  message.mutable_request()->mutable_transfer_data()->set_channel_id(channelId);
  message.mutable_request()->mutable_transfer_data()->set_data(data);
  const size_t queued = run.ends[end].outbox.size();
  const std::string bytes = message.SerializeAsString();
  // Only the channel's holder sends data on it; anyone else's is dropped at
  // its own end.
  bool held = false;
  int sharingTheId = 0;
  for (const ChannelEntry& entry : Access::Channels(*run.ends[end].bridge)) {
    if (channelId == -1 || entry.channelId != channelId) continue;
    ++sharingTheId;
    held = entry.pipeId == pipe;
  }
  AppWrites(end, pipe, bytes);
  if (sharingTheId > 1) return;  // which one the ID names is the table's business
  if (held) {
    Check(run.ends[end].outbox.size() == queued + 1 && run.ends[end].outbox.back() == bytes,
          "data not forwarded to the peer as written");
  } else {
    Check(run.ends[end].outbox.size() == queued,
          "data from an application that does not hold the channel reached the peer");
  }
}

void AppAsksProperty(int end, int pipe, const std::string& name) {
  KVX::Message message;
  message.mutable_request()->mutable_get_property_request()->set_property_name(name);
  const size_t queued = run.ends[end].outbox.size();
  AppWrites(end, pipe, message.SerializeAsString());
  Check(run.ends[end].outbox.size() == queued, "a property request crossed to the peer");
}

void ClientLeaves(int end, int pipe) {
  ChannelBridge& bridge = *run.ends[end].bridge;
  size_t held = 0;
  for (const ChannelEntry& entry : Access::Channels(bridge)) held += entry.pipeId == pipe ? 1 : 0;
  const std::vector<ChannelEntry> before = Access::Channels(bridge);
  Enter(Phase::Departure, end, pipe);
  bridge.OnPipeDisconnected(pipe, 0);
  Leave();
  Check(Access::Channels(bridge).size() == before.size(),
        "a departure changed the table before its turn in the queue");
  std::deque<PipeItem> items = Access::TakePipeQueue(bridge);
  Check(items.size() == 1 && items.front().departure && items.front().pipeId == pipe,
        "a departure was not queued as one item of its pipe");
  // The pipe worker reaches it behind the client's earlier messages.
  const size_t sentBefore = run.ends[end].outbox.size();
  Enter(Phase::Departure, end, pipe);
  bridge.HandlePipeMessage(items.front());
  Leave();
  for (const ChannelEntry& entry : Access::Channels(bridge)) {
    Check(entry.pipeId != pipe, "a departed client still holds a channel");
  }
  Check(run.ends[end].outbox.size() == sentBefore + held,
        "not one lost notice to the peer per channel of the departed client");
  for (auto it = run.lastNotice.begin(); it != run.lastNotice.end();) {
    const bool departed = std::get<0>(it->first) == end && std::get<1>(it->first) == pipe;
    it = departed ? run.lastNotice.erase(it) : std::next(it);
  }
}

void PeerDelivers(int to, const std::string& bytes) {
  ChannelBridge& bridge = *run.ends[to].bridge;
  const std::vector<ChannelEntry> before = Access::Channels(bridge);
  Enter(Phase::PeerSide, to, -1, &bytes);
  bridge.HandlePcoipMessage(bytes);
  Leave();
  const std::vector<ChannelEntry> after = Access::Channels(bridge);
  if (to == kClient) {
    Check(after.size() <= before.size(), "the client end's table grew from the peer");
  } else {
    Check(after.size() <= before.size() + 1, "the server end added two entries for one message");
  }
  // Walk both tables side by side: each entry before is still there, in
  // order, unless it is the one entry the message was allowed to remove.
  size_t removed = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    const size_t j = i - removed;
    if (j < after.size() && after[j].channelName == before[i].channelName) {
      Check(after[j].pipeId == before[i].pipeId, "a peer message moved an entry to another pipe");
      continue;
    }
    KVX::ChannelConnectionResponse refusal;
    const bool refused = ReadNotice(bytes, &refusal) && refusal.channel_id() == -1 &&
                         refusal.channel_name() == before[i].channelName &&
                         (refusal.status() == kRefusedTableFull ||
                          refusal.status() == kRefusedNameTooLong);
    Check(before[i].pipeId == -1 || before[i].channelId == -1 || refused,
          "a peer message removed an entry that a local application holds");
    ++removed;
  }
  Check(removed <= 1, "a peer message removed more than one entry");
  Check(after.size() <= ChannelTable::kMaxEntries, "the table outgrew its bound");
}

// The end's oldest answer for the peer has its turn: it goes as the bridge
// sends it then.
void SendAnswer(int from) {
  std::deque<std::string>& answers = run.ends[from].answers;
  if (answers.empty()) return;
  const std::string bytes = answers.front();
  answers.pop_front();
  Enter(Phase::PeerBound, from, -1);
  SendToPeerFrom(from, run.ends[from].bridge->PeerBoundAsOfNow(bytes));
  Leave();
}

void Deliver(int from) {
  std::deque<std::string>& outbox = run.ends[from].outbox;
  if (outbox.empty()) return;
  const std::string bytes = outbox.front();
  outbox.pop_front();
  PeerDelivers(1 - from, bytes);
}

std::thread::id fuzzingThread;

intptr_t RecordLaunch(const std::string&) {
  // Launches over the gate's rate run later on the launch queue's own thread.
  if (std::this_thread::get_id() != fuzzingThread) return 42;
  Check(run.phase == Phase::PeerSide && run.end == kClient, "launch outside the client's peer side");
  ++run.launches;
  return run.launches % 3 == 0 ? 2 : 42;  // now and then a failed launch
}

void SetUpOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  fuzzingThread = std::this_thread::get_id();
  platform::SetDebugSink([](const std::string&) {});
  platform::SetShellOpenHook(&RecordLaunch);
  run.ends[kServer].bridge = Access::Create(true, &SendFromServer, &Properties);
  run.ends[kClient].bridge = Access::Create(false, &SendFromClient, &Properties);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpOnce();
  for (End& end : run.ends) {
    Access::Reset(*end.bridge);
    end.answers.clear();
    end.outbox.clear();
  }
  run.tainted = false;
  run.lossy = false;
  run.lastNotice.clear();
  run.handedOut.clear();
  Leave();

  Program program(data, size);
  for (size_t ops = 0; ops < kMaxOps && !program.Done(); ++ops) {
    const uint8_t op = program.Next();
    const int end = op & 1;
    switch ((op >> 1) % 11) {
      case 0: {
        const int pipe = program.Next() % kPipes;
        AppConnects(end, pipe, kNames[program.Next() % kNameCount], false);
        break;
      }
      case 1: {
        const int pipe = program.Next() % kPipes;
        AppDisconnects(end, pipe, ChannelIdFrom(program.Next()));
        break;
      }
      case 2: {
        const int pipe = program.Next() % kPipes;
        const int64_t channelId = ChannelIdFrom(program.Next());
        AppSendsData(end, pipe, channelId, program.Bytes(program.Next() % 8));
        break;
      }
      case 3: {
        const int pipe = program.Next() % kPipes;
        AppAsksProperty(end, pipe, kPropertyNames[program.Next() % 3]);
        break;
      }
      case 4:
        ClientLeaves(end, program.Next() % kPipes);
        break;
      case 5:
        Deliver(end);
        break;
      case 6:
        // A message lost on the way: the ends must stay sane, if out of step.
        if (!run.ends[end].outbox.empty()) {
          run.ends[end].outbox.pop_front();
          run.lossy = true;
        }
        break;
      case 7: {
        // Whatever an application writes reaches the peer unless it is a
        // property request, including responses naming any channel ID.
        run.tainted = true;
        const int pipe = program.Next() % kPipes;
        AppWrites(end, pipe, program.Bytes(program.Next() % 48));
        break;
      }
      case 8:
        run.tainted = true;
        PeerDelivers(end, program.Bytes(program.Next() % 48));
        break;
      case 9: {
        const int pipe = program.Next() % kPipes;
        AppConnects(end, pipe, kNames[program.Next() % kNameCount], true);
        break;
      }
      case 10:
        SendAnswer(end);
        break;
    }
    CheckTables();
  }

  // Let everything in flight arrive. A request at the server end draws at most
  // a notice (or, when the name went meanwhile, a request), one at the client
  // end at most a notice or a connect request, and a notice draws at most a
  // notice that draws nothing, so this ends.
  const auto inFlight = [] {
    for (const End& end : run.ends) {
      if (!end.outbox.empty() || !end.answers.empty()) return true;
    }
    return false;
  };
  for (size_t steps = 0; steps < 8 * kMaxOps && inFlight(); ++steps) {
    SendAnswer(kServer);
    SendAnswer(kClient);
    Deliver(kServer);
    Deliver(kClient);
    CheckTables();
  }
  Check(!inFlight(), "messages still bouncing between the ends");
  if (!run.tainted && !run.lossy) CheckSettled();
  return 0;
}
