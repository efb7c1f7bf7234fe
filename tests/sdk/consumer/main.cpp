// Opens a session on a pipe that nobody serves and checks that the installed
// library reports it as it should. Exit 0 when it does.
#include <cstdio>
#include <cstring>

#include "extension/sdk/KvxSdk.h"

namespace sdk = Orvane::Extension::SDK;

int main(int argc, char** argv) {
  sdk::SessionOptions options;
  options.pipeName = argc > 1 ? argv[1] : "\\\\.\\pipe\\KVX_Consumer_Nobody";
  options.connectTimeoutMs = 500;
  auto session = sdk::Session::Open(options);
  if (session.Ok()) {
    std::puts("unexpected: a session opened");
    return 1;
  }
  std::printf("%s\n", session.GetError().ToString().c_str());
  if (session.GetError().Code() != sdk::ErrorCode::NoServer) return 1;
  if (std::strcmp(sdk::DefaultPipeName(), "\\\\.\\pipe\\KVX_Pipe_Channel") != 0) return 1;
  return 0;
}
