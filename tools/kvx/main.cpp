// kvx: a command-line client of the plug-in's pipe, for poking a session from
// a shell and for scripts.
#include <cstdio>
#include <string>

#include "tools/kvx/Commands.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Options.h"
#include "tools/kvx/Output.h"

int main(int argc, char** argv) {
  kvx::Options options;
  std::string error;
  if (!kvx::ParseOptions(argc, argv, &options, &error)) return kvx::ReportUsage(error);
  if (options.help) {
    std::fputs(kvx::HelpText(options.command), stdout);
    return kvx::kExitOk;
  }
  if (options.command.empty()) {
    std::fputs(kvx::HelpText(""), stderr);
    return kvx::kExitUsage;
  }
  const std::string& c = options.command;
  if (c == "property") return kvx::RunProperty(options);
  if (c == "connect") return kvx::RunConnect(options);
  if (c == "send") return kvx::RunSend(options);
  if (c == "listen") return kvx::RunListen(options);
  if (c == "cat") return kvx::RunCat(options);
  if (c == "bench") return kvx::RunBench(options);
  return kvx::ReportUsage("unknown command '" + c + "'");
}
