// kvx: a command-line client of the plug-in's pipe, for poking a session from
// a shell and for scripts.
#include <cstdio>
#include <exception>
#include <string>

#include "extension/sdk/Version.h"
#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Options.h"
#include "tools/kvx/Output.h"

namespace {

int Run(const kvx::Options& options) {
  const std::string& c = options.command;
  if (options.version) {
    std::puts("kvx " KVX_SDK_VERSION_STRING);
    return kvx::kExitOk;
  }
  if (c == "help") {
    // "kvx help CMD" is "kvx CMD --help".
    if (options.positional.size() > 1) return kvx::ReportUsage("help takes at most one command");
    const std::string topic = options.positional.empty() ? "" : options.positional[0];
    if (!topic.empty() && !kvx::IsCommand(topic)) return kvx::ReportUsage("no command '" + topic + "'");
    std::fputs(kvx::HelpText(topic), stdout);
    return kvx::kExitOk;
  }
  if (options.help) {
    std::fputs(kvx::HelpText(c), stdout);
    return kvx::kExitOk;
  }
  if (c.empty()) {
    if (options.json) return kvx::ReportUsage("no command given");
    std::fputs(kvx::HelpText(""), stderr);
    return kvx::kExitUsage;
  }
  if (c == "property") return kvx::RunProperty(options);
  if (c == "connect") return kvx::RunConnect(options);
  if (c == "send") return kvx::RunSend(options);
  if (c == "listen") return kvx::RunListen(options);
  if (c == "cat") return kvx::RunCat(options);
  if (c == "bench") return kvx::RunBench(options);
  return kvx::ReportUsage("unknown command '" + c + "'");
}

}  // namespace

int main(int argc, char** argv) {
  kvx::Options options;
  std::string error;
  // --json anywhere makes even an error in the options before it JSON.
  for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
    if (std::string(argv[i]) == "--json") kvx::SetJsonErrors(true);
  }
  if (!kvx::ParseOptions(argc, argv, &options, &error)) return kvx::ReportUsage(error);
  int code;
  try {
    code = Run(options);
  } catch (const std::exception& e) {
    // Nothing should throw here; if something does, say so instead of
    // aborting with a core dump.
    code = kvx::ReportFailure(std::string("unexpected failure: ") + e.what());
  }
  return kvx::FinalExitCode(code);
}
