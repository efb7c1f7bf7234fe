// The shared state behind Session and Channel handles: the transport, the
// channels of the session and the routing of every message from the plug-in
// to the channel or the call that waits for it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extension/sdk/Channel.h"
#include "extension/sdk/Dispatcher.h"
#include "extension/sdk/Error.h"
#include "extension/sdk/ITransport.h"
#include "extension/sdk/KvxMessages.h"
#include "extension/sdk/PipeClientTransport.h"
#include "extension/sdk/ReceiveBudget.h"
#include "extension/sdk/Session.h"

namespace Orvane {
namespace Extension {
namespace SDK {

class SessionCore;

// Lock order: SessionCore::mutex_ before ChannelCore::mutex_, never the
// other way round.
class ChannelCore : public std::enable_shared_from_this<ChannelCore> {
 public:
  ChannelCore(std::string name, std::weak_ptr<SessionCore> session, ChannelOptions options,
              std::shared_ptr<ReceiveBudget> budget);

  const std::string& Name() const { return name_; }
  int64_t Id() const;
  ChannelState State() const;

  // Called by the session's reader side.
  void OnNotice(SessionCore& session, int64_t channelId, ChannelState state);
  // With `deferWake` the waiting caller (or the callback thread) is not
  // woken here; the session pays the wake-up owed once the transport has
  // handed on every message it holds.
  enum class Owed { Nothing, Receivers, Callbacks };
  Owed OnData(SessionCore& session, Packet packet, bool deferWake);
  void WakeWaiters() { changed_.notify_all(); }
  // The session ended; `error` says why. No event follows.
  void OnSessionEnded(SessionCore& session, const Error& error);
  // This application's disconnect was confirmed (or given up on).
  void MarkClosed();
  // The pipe went away and the session reconnects: the channel is Lost, its
  // ID unknown until the plug-in hands it out again.
  void OnPipeLost(SessionCore& session, const Error& why);

  Error WaitForState(ChannelState state, uint32_t timeoutMs) const;
  Error Send(const std::string& data, int64_t appValue, uint32_t requestId);
  Result<Packet> Receive(uint32_t timeoutMs);
  Result<ChannelEvent> NextEvent(uint32_t timeoutMs);
  Error Disconnect(uint32_t timeoutMs);

 private:
  void Emit(SessionCore& session, ChannelEvent event);  // caller holds mutex_
  // The budget gets back what an event taken from the queue held.
  void Took(const ChannelEvent& event);
  void DiscardQueued();  // caller holds mutex_
  Error ClosedError() const;      // caller holds mutex_
  Error LostError() const;
  Error PeerLeftError() const;

  const std::string name_;
  const std::weak_ptr<SessionCore> session_;
  const ChannelOptions options_;
  const std::shared_ptr<ReceiveBudget> budget_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // Written under mutex_; read without it by the reader thread's routing.
  std::atomic<int64_t> id_{-1};
  ChannelState state_ = ChannelState::Requested;
  // Set when the channel becomes Connected, cleared when a wait for Connected
  // sees it: a connection that the other side ends before the waiter wakes
  // (its data and its leaving already queued) still ends that wait, so the
  // caller goes on to receive them instead of waiting for ever.
  mutable bool connectedUnseen_ = false;
  std::deque<ChannelEvent> events_;
  bool sessionEnded_ = false;
  Error endError_;
  bool closedByUs_ = false;
  // Set while the channel is Lost because the pipe to the plug-in went away
  // (and not the far application): what Send says until a notice comes.
  Error pipeLost_;
  // Disconnect has begun: data that still arrives is discarded.
  bool leaving_ = false;
};

class SessionCore : public std::enable_shared_from_this<SessionCore> {
 public:
  SessionCore(std::unique_ptr<ITransport> transport, SessionOptions options);
  ~SessionCore();

  // Installs the transport's callbacks and starts it.
  Error Start();
  void Close();

  Result<Channel> OpenChannel(const std::string& name, ChannelOptions options);
  Result<std::string> GetProperty(const std::string& name, uint32_t timeoutMs);
  bool IsConnected() const;
  SessionStats Stats() const;

  // Used by channels.
  Error SendMessage(const std::string& bytes);
  // One message in two parts, `head` then `body`, written without joining
  // them where the transport allows.
  Error SendMessage(const char* head, size_t headSize, const std::string& body);
  void Post(std::function<void()> task, bool wake = true) { dispatcher_.Post(std::move(task), wake); }
  // Registers `channel` as waiting for the plug-in's confirmation of its
  // disconnect request, which comes back as a loss notice.
  void ExpectDisconnect(const std::shared_ptr<ChannelCore>& channel);
  void ForgetChannel(const ChannelCore* channel);
  // Why calls fail once the session has ended.
  Error EndError() const;

 private:
  struct PropertyWait {
    std::string name;
    bool answered = false;
    std::string value;
  };

  Error OpenTransport();
  // Runs `handler` (when set) with `error` on the callback thread.
  void PostHandler(const std::function<void(const Error&)>& handler, const Error& error);
  // With SessionOptions::reconnect: waits for a lost connection, opens it
  // again with a growing pause and asks again for every channel.
  void ReconnectLoop();
  void OnReceive(std::string bytes);
  // The transport holds no further message: wakes whoever data was queued
  // for meanwhile.
  void OnReceiveIdle();
  void OnNotice(const Wire::Incoming& notice);
  void OnTransportLost();
  void Drop(Error why);
  std::shared_ptr<ChannelCore> FindById(int64_t channelId) const;  // caller holds mutex_

  const SessionOptions options_;
  const std::shared_ptr<ReceiveBudget> budget_;
  std::unique_ptr<ITransport> transport_;
  // The transport when it is the SDK's own pipe client, which does more than
  // ITransport asks: null for any other.
  PipeClientTransport* const pipe_;
  Dispatcher dispatcher_;
  std::mutex sendMutex_;  // an ITransport need not serialise its own sends

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;
  bool closing_ = false;
  Error endError_;
  std::map<std::string, std::shared_ptr<ChannelCore>> channels_;
  std::deque<std::shared_ptr<ChannelCore>> disconnecting_;
  std::deque<std::shared_ptr<PropertyWait>> propertyWaits_;
  bool reconnectWanted_ = false;
  std::thread reconnector_;  // started at the first loss, joined by Close

  // Set when the transport says when it has handed on every message it holds
  // (so wake-ups for data can wait for that). The rest is the reader
  // thread's own: the channels and callback thread owed a wake-up.
  bool batchesWakes_ = false;
  std::vector<std::shared_ptr<ChannelCore>> owedWakes_;
  bool dispatcherOwed_ = false;

  std::atomic<uint64_t> messagesSent_{0};
  std::atomic<uint64_t> messagesReceived_{0};
  std::atomic<uint64_t> bytesSent_{0};
  std::atomic<uint64_t> bytesReceived_{0};
  std::atomic<uint64_t> messagesDropped_{0};
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
