// Which data an application may still send on a channel another application
// has taken over. Only the holder of a channel sends data on it, and "while it
// held the channel" is measured in the pipe queue's order (each item's stamp):
// the pipe worker serves the pipes in turns, so a newcomer's connect request
// may be handled while the previous holder's earlier data still waits in its
// lane. That data was written while its writer held the channel, and still
// goes; anything that writer queued after the takeover does not.
//
// A takeover is remembered until the previous holder's pipe has been handled
// past it, or its client has left; so what is kept is bounded by the table.
// The pipe worker's alone: no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

class ChannelHandovers {
 public:
  static constexpr size_t kPipes = 6;

  // The channel left this pipe's client for another holder through the item
  // stamped `stamp`.
  void Record(int32_t pipeId, uint64_t client, int64_t channelId, uint64_t stamp);
  // Whether the pipe's client held the channel until after `stamp`, the
  // stamp of one of its items handled now, before another took it over.
  bool HeldAt(int32_t pipeId, uint64_t client, int64_t channelId, uint64_t stamp) const;
  // An item of the pipe stamped `stamp` is being handled: everything the pipe
  // queued before it has been, so earlier takeovers concern it no more.
  void Reached(int32_t pipeId, uint64_t stamp);
  // The pipe's client has left; its items are all handled.
  void Forget(int32_t pipeId);
  void Clear();

 private:
  struct Handover {
    uint64_t client;
    int64_t channelId;
    uint64_t stamp;
  };
  static bool Known(int32_t pipeId) { return pipeId >= 0 && static_cast<size_t>(pipeId) < kPipes; }

  std::array<std::vector<Handover>, kPipes> byPipe;
  // The smallest stamp among each pipe's handovers, so that Reached costs
  // nothing until one of them is passed.
  std::array<uint64_t, kPipes> earliest = MaxStamps();
  static std::array<uint64_t, kPipes> MaxStamps();
};
