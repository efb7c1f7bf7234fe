// property, connect and send: open, do one thing, leave.
#include <cstdio>
#include <algorithm>

#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Input.h"
#include "tools/kvx/Output.h"

namespace kvx {

int RunProperty(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  const std::string& name = options.positional[0];
  // The plug-in answers any other name with an empty value, which would look
  // like a property that happens to be empty (a wrong letter case, say).
  if (name != "KVXCoreType" && name != "Hwnds") {
    return ReportUsage("'" + name + "' is not a property of the plug-in; the properties are KVXCoreType and Hwnds "
                       "(case-sensitive)");
  }
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<std::string> value = (*session)->GetProperty(name, WaitMs(options));
  if (!value) return ReportError(options, value.GetError());
  if (options.json) {
    PrintLine("{\"property\":" + JsonString(name) + "," + JsonBytesField("value", value.Value()) + "}");
  } else {
    PrintLine(value.Value());
  }
  return kExitOk;
}

int RunConnect(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  InstallInterruptHandler();
  const std::string& name = options.positional[0];
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<Channel> channel = OpenConnectedChannel(**session, options, name);
  if (!channel) return ReportError(options, channel.GetError());
  const int64_t id = channel->Id();
  if (options.json) {
    PrintLine("{\"channel\":" + JsonString(name) + ",\"id\":" + std::to_string(id) + ",\"state\":\"connected\"}");
  } else {
    PrintLine(std::to_string(id));
  }
  channel->Disconnect(WaitMs(options));
  return kExitOk;
}

int RunSend(const Options& options) {
  const bool fromFile = !options.file.empty();
  std::string usage;
  if (!ExpectArguments(options, fromFile ? 1 : 2, &usage)) {
    return ReportUsage(usage + (fromFile ? " (the data comes from --file)" : " (NAME and TEXT, or --file F)"));
  }
  InstallInterruptHandler();
  const std::string& name = options.positional[0];
  std::string data;
  if (fromFile) {
    std::string why;
    if (!ReadWholeFile(options.file, &data, &why)) {
      std::fprintf(stderr, "kvx: %s\n", why.c_str());
      return kExitIo;
    }
  } else {
    data = options.positional[1];
  }

  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Result<Channel> channel = OpenConnectedChannel(**session, options, name);
  if (!channel) return ReportError(options, channel.GetError());

  // An empty text is still one (empty) message; a file goes in pieces that
  // each fit one pipe message.
  size_t messages = 0;
  size_t offset = 0;
  do {
    size_t n = std::min(Channel::kMaxDataSize, data.size() - offset);
    Error error = channel->Send(data.substr(offset, n), options.appValue);
    if (error) return ReportError(options, error);
    offset += n;
    ++messages;
  } while (offset < data.size());

  // A peer that went away meanwhile did not take everything.
  if (Error gone = CheckPeerBeforeLeaving(channel.Value(), [](const std::string&) { return true; })) {
    channel->Disconnect(WaitMs(options));
    return ReportError(options, gone);
  }
  // Leaving the channel politely: the plug-in forwards everything in order,
  // so the data is on its way before the far end hears that we left.
  channel->Disconnect(WaitMs(options));
  if (options.json) {
    PrintLine("{\"channel\":" + JsonString(name) + ",\"id\":" + std::to_string(channel->Id()) +
              ",\"bytes\":" + std::to_string(data.size()) + ",\"messages\":" + std::to_string(messages) + "}");
  } else if (!options.quiet) {
    std::fprintf(stderr, "sent %zu bytes in %zu message%s on '%s' (ID %lld)\n", data.size(), messages,
                 messages == 1 ? "" : "s", name.c_str(), static_cast<long long>(channel->Id()));
  }
  return kExitOk;
}

}  // namespace kvx
