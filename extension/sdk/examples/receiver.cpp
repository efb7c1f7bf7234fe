// Prints every message that arrives on a channel until the sender leaves.
//   kvx-example-receiver CHANNEL [PIPE]
// Exit status: 0 when the sender left the channel, 1 when it was lost (the
// sender vanished without leaving) or the plug-in went away.
#include <cstdio>
#include <string>

#include "extension/sdk/KvxSdk.h"

namespace sdk = Orvane::Extension::SDK;

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: kvx-example-receiver CHANNEL [PIPE]\n");
    return 2;
  }
  const std::string name = argv[1];
  sdk::SessionOptions options;
  if (argc == 3) options.pipeName = argv[2];

  auto session = sdk::Session::Open(options);
  if (!session) {
    std::fprintf(stderr, "receiver: %s\n", session.GetError().ToString().c_str());
    return 1;
  }
  auto channel = (*session)->OpenChannel(name);
  if (!channel) {
    std::fprintf(stderr, "receiver: %s\n", channel.GetError().ToString().c_str());
    return 1;
  }
  // The first notice gives the channel its ID.
  if (!channel->NextEvent(30000)) return 1;
  std::printf("waiting for a sender on '%s' (ID %lld)\n", name.c_str(), static_cast<long long>(channel->Id()));
  std::fflush(stdout);
  for (;;) {
    auto packet = channel->Receive(sdk::kWaitForever);
    if (packet) {
      std::printf("received: %s (app value %lld)\n", packet->data.c_str(), static_cast<long long>(packet->appValue));
      std::fflush(stdout);
      continue;
    }
    const sdk::Error& error = packet.GetError();
    if (error.Code() == sdk::ErrorCode::PeerLeft) {
      std::printf("the sender left\n");
      return 0;
    }
    // ChannelLost (the sender vanished; data may be missing), ConnectionLost
    // (the plug-in went away), ChannelClosed. A Timeout would only come with
    // a finite wait, and would mean nothing but "not yet".
    std::fprintf(stderr, "receiver: %s\n", error.ToString().c_str());
    return 1;
  }
}
