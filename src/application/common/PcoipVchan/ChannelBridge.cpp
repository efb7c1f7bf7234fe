// The bridge's life: construction on first use, the start at one end, and the
// teardown when the library is unloaded.
#include "src/application/common/PcoipVchan/ChannelBridge.h"

#include <system_error>
#include <utility>

#include "extension/windows/NamedPipeServer.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

using Orvane::Extension::SDK::TransportStatus;
using Orvane::Extension::Windows::NamedPipeServer;

namespace {
// The process-wide bridge once it exists, so that ShutdownInstance can reach
// it without creating it.
std::atomic<ChannelBridge*> processBridge{nullptr};
std::atomic<bool> processEnding{false};
}  // namespace

void ChannelBridge::AbandonAtProcessEnd() { processEnding.store(true); }

ChannelBridge& ChannelBridge::Instance() {
  // Constructed once, thread-safely; destroyed (and so torn down) when the
  // library is unloaded.
  static ChannelBridge bridge;
  processBridge.store(&bridge);
  return bridge;
}

void ChannelBridge::ShutdownInstance() {
  if (ChannelBridge* bridge = processBridge.load()) {
    bridge->Shutdown();
  }
}

ChannelBridge::ChannelBridge() {
  bool lanesWhole = true;
  for (auto& lane : pipeLanes) {
    lane = std::make_unique<PipeLane>(kPipeLaneBoundBytes);
    lanesWhole = lanesWhole && lane->Whole();
  }
  pipeQueueLock.Initialize();
  pcoipQueueLock.Initialize();
  channelLock.Initialize();
  pipeListLock.Initialize();
  pipeQueueEvent = platform::CreateEventObject(false, false);
  pcoipQueueEvent = platform::CreateEventObject(false, false);
  // Without its event a worker's wait would fail at once, every time; such a
  // bridge starts no workers and refuses to be started instead.
  if (pipeQueueEvent == nullptr || pcoipQueueEvent == nullptr || !lanesWhole ||
      !peerBoundQueue.Whole() || !pcoipQueue.Whole()) {
    return;
  }
  try {
    pipeWorker = std::thread(&ChannelBridge::PipeQueueWorker, this);
    pcoipWorker = std::thread(&ChannelBridge::PcoipQueueWorker, this);
  } catch (const std::system_error&) {
    // No exception may reach the host through an entry point; the failure
    // shows as InitializeWith returning false.
    workerFlags.fetch_or(kPipeWorkerLastPass | kPcoipWorkerLastPass);
    platform::SetEventObject(pipeQueueEvent);
    if (pipeWorker.joinable()) {
      pipeWorker.join();
    }
    return;
  }
  lifecycle = Lifecycle::kIdle;
}

ChannelBridge::~ChannelBridge() {
  if (processEnding.load()) {
    // Joining or stopping anything now could wait for ever on a lock held
    // by a thread that no longer runs.
    pipeWorker.detach();
    pcoipWorker.detach();
    launchQueue->Abandon();
    static_cast<void>(launchQueue.release());
    for (auto& server : pipeServers) {
      static_cast<void>(server.release());
    }
    return;
  }
  Shutdown();
  pipeQueueLock.Delete();
  pcoipQueueLock.Delete();
  channelLock.Delete();
  pipeListLock.Delete();
  if (pipeQueueEvent != nullptr) {
    platform::CloseEventObject(pipeQueueEvent);
  }
  if (pcoipQueueEvent != nullptr) {
    platform::CloseEventObject(pcoipQueueEvent);
  }
}

void ChannelBridge::PeerLinkOpened() {
  if (ChannelBridge* bridge = processBridge.load()) {
    bridge->OnChannelOpened();
    bridge->WakePipeWorker();
  }
}

void ChannelBridge::PeerLinkClosed() {
  if (ChannelBridge* bridge = processBridge.load()) bridge->OnChannelClosed();
}

bool ChannelBridge::InitializeWith(bool isServerEnd, std::string pipeName,
                                   SendToPeerFunction sendFunction,
                                   PropertyProviderFunction propertyFunction,
                                   PeerLinkOpenFunction linkOpenFunction) {
  platform::MutexLock guard(lifecycleLock);
  if (lifecycle != Lifecycle::kIdle || pipeName.empty()) {
    return false;
  }
  // Both routines are called later on the workers; a null one would crash there.
  if (sendFunction == nullptr || propertyFunction == nullptr) {
    return false;
  }
  DiscardPipeServers();

  // The workers read these only once kRoutinesReady is set below, which
  // happens once; a retry after a failed start therefore races with no one.
  sendToPeer = sendFunction;
  propertyProvider = propertyFunction;
  peerLinkOpen = linkOpenFunction;
  isServer = isServerEnd;
  {
    platform::CriticalSectionLock writeGuard(pipeListLock);
    pipeServers.reserve(kPipeServerCount);
  }
  for (int32_t pipeId = 0; pipeId < kPipeServerCount; ++pipeId) {
    if (!StartPipeServer(pipeId, pipeName)) {
      // What the servers that did start took in must not reach the workers
      // of a later start, which may be at the other end.
      DiscardPipeServers();
      ForgetQueuedWorkAndChannels();
      return false;
    }
  }

  lifecycle = Lifecycle::kStarted;
  workerFlags.fetch_or(kRoutinesReady);
  // Hand the workers whatever arrived before the start.
  platform::SetEventObject(pipeQueueEvent);
  platform::SetEventObject(pcoipQueueEvent);
  return true;
}

bool ChannelBridge::StartPipeServer(int32_t pipeId, const std::string& pipeName) {
  auto server = std::make_unique<NamedPipeServer>(pipeName, kPipeServerCount);
  // A full lane holds its own server's reading back, and no other.
  server->SetReadGate(LaneRoomEvent(pipeId));
  NamedPipeServer* serverInList = server.get();
  // Both callbacks run while the client they report on is the server's
  // current one, so its count names that client.
  // The pipe worker is woken once for what the reader hands on in one go,
  // not for each message.
  server->SetReceiveCallback([this, pipeId, serverInList](std::string bytes) {
    OnPipeMessage(PipeItem{pipeId, std::move(bytes), serverInList->CurrentClient()},
                  Wake::kWhenReaderCaughtUp);
  });
  server->SetCaughtUpCallback([this] { WakePipeWorker(); });
  server->SetDisconnectCallback([this, pipeId, serverInList] {
    OnPipeDisconnected(pipeId, serverInList->CurrentClient());
  });
  server->SetLeavingCallback([this, pipeId] { OnPipeClientLeaving(pipeId); });
  // What left the outbound queue is credited back to the peer.
  server->SetDrainedCallback(
      [this](const std::vector<Orvane::Extension::Windows::OutboundNote>& notes) {
        for (const auto& note : notes) OnCreditConsumed(note);
      });
  server->SetWriteTimedOutCallback(
      [this, pipeId] { Diagnose(ChannelBridgeText::WriteTimedOut(pipeId)); });
  {
    platform::CriticalSectionLock writeGuard(pipeListLock);
    pipeServers.push_back(std::move(server));
  }
  try {
    return serverInList->Start() == TransportStatus::Ok;
  } catch (const std::system_error&) {
    return false;
  }
}

void ChannelBridge::DiscardPipeServers() {
  std::vector<std::unique_ptr<NamedPipeServer>> discarded;
  {
    platform::CriticalSectionLock writeGuard(pipeListLock);
    discarded.swap(pipeServers);
  }
  // Deleting a running server calls its disconnect callback, which takes
  // bridge locks; no bridge lock is held here.
  discarded.clear();
}

void ChannelBridge::Shutdown() {
  platform::MutexLock guard(lifecycleLock);
  if (lifecycle == Lifecycle::kShutDown) {
    return;
  }
  lifecycle = Lifecycle::kShutDown;

  // The workers drain their queues once more and end: the PCoIP worker first,
  // since what it has for the peer goes out through the pipe queue.
  workerFlags.fetch_or(kPcoipWorkerLastPass);
  if (pcoipQueueEvent != nullptr) {
    platform::SetEventObject(pcoipQueueEvent);
  }
  if (pcoipWorker.joinable()) {
    pcoipWorker.join();
  }
  // No launch is asked for any more; those still waiting are dropped.
  launchQueue->Stop();
  workerFlags.fetch_or(kPipeWorkerLastPass);
  if (pipeQueueEvent != nullptr) {
    platform::SetEventObject(pipeQueueEvent);
  }
  if (pipeWorker.joinable()) {
    pipeWorker.join();
  }

  // Their last disconnect callbacks queue departures that no worker will handle.
  DiscardPipeServers();
  ForgetQueuedWorkAndChannels();
  // Lines held back are summarised now, not lost with the bridge.
  diagnosticLimiter.Flush();
  Orvane::Extension::Windows::ConsoleLimiter().Flush();
}

void ChannelBridge::ForgetQueuedWorkAndChannels() {
  {
    platform::CriticalSectionLock queueGuard(pipeQueueLock);
    ClearPipeQueue();
    peerBoundBacklog.store(0);
  }
  {
    platform::CriticalSectionLock queueGuard(pcoipQueueLock);
    pcoipQueue.clear();
    linkEvents.clear();
    // Closings dropped unhandled hold the pipe worker back no more.
    linkClosingsHandled.store(linkClosingsQueued.load());
  }
  {
    platform::CriticalSectionLock tableGuard(channelLock);
    channels.Clear();
  }
  handovers.Clear();
}
