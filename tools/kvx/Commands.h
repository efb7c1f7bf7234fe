// The kvx subcommands. Each returns the process's exit code (ExitCodes.h).
#pragma once

#include "tools/kvx/Options.h"

namespace kvx {

int RunProperty(const Options& options);
int RunConnect(const Options& options);
int RunSend(const Options& options);
int RunListen(const Options& options);
int RunCat(const Options& options);
int RunBench(const Options& options);

// The help text of one subcommand, or of the tool when `command` is empty or
// unknown.
const char* HelpText(const std::string& command);
bool IsCommand(const std::string& name);

}  // namespace kvx
