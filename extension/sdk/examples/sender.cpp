// Sends COUNT messages on a channel once an application at the other end
// holds it too, then leaves the channel.
//   kvx-example-sender CHANNEL COUNT [PIPE]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "extension/sdk/KvxSdk.h"

namespace sdk = Orvane::Extension::SDK;

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: kvx-example-sender CHANNEL COUNT [PIPE]\n");
    return 2;
  }
  const std::string name = argv[1];
  const int count = std::atoi(argv[2]);
  sdk::SessionOptions options;
  if (argc == 4) options.pipeName = argv[3];

  auto session = sdk::Session::Open(options);
  if (!session) {
    std::fprintf(stderr, "sender: %s\n", session.GetError().ToString().c_str());
    return 1;
  }
  auto channel = (*session)->OpenChannel(name);
  if (!channel) {
    std::fprintf(stderr, "sender: %s\n", channel.GetError().ToString().c_str());
    return 1;
  }
  if (sdk::Error error = channel->WaitConnected(30000)) {
    std::fprintf(stderr, "sender: %s\n", error.ToString().c_str());
    return 1;
  }
  for (int i = 1; i <= count; ++i) {
    const std::string text = "message " + std::to_string(i) + " of " + std::to_string(count) + " from C++";
    if (sdk::Error error = channel->Send(text, i)) {
      std::fprintf(stderr, "sender: %s\n", error.ToString().c_str());
      return 1;
    }
  }
  // Everything sent before the disconnect reaches the receiver first.
  channel->Disconnect(5000);
  std::printf("sent %d messages on '%s' (ID %lld)\n", count, name.c_str(), static_cast<long long>(channel->Id()));
  return 0;
}
