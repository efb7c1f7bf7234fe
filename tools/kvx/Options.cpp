#include "tools/kvx/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "extension/sdk/Channel.h"
#include "extension/sdk/Error.h"

namespace kvx {

namespace {

bool ParseCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool ParseSigned(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool ParseSeconds(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < 0 || parsed > 4000000.0) return false;
  *value = parsed;
  return true;
}

}  // namespace

uint32_t WaitMs(const Options& options) {
  return options.timeoutMs == 0 ? Orvane::Extension::SDK::kWaitForever : options.timeoutMs;
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    // "--name=value" is the same as "--name value".
    bool inlineGiven = false;
    std::string inlineValue;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      inlineGiven = true;
      inlineValue = arg.substr(equals + 1);
      arg.resize(equals);
    }
    bool valueTaken = false;
    auto value = [&](std::string* out) {
      valueTaken = true;
      if (inlineGiven) {
        *out = inlineValue;
        return true;
      }
      if (i + 1 >= argc) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto number = [&](uint64_t* out) {
      std::string text;
      if (!value(&text)) return false;
      if (!ParseCount(text, out)) {
        *error = "option " + arg + " needs a whole number, not '" + text + "'";
        return false;
      }
      return true;
    };
    auto seconds = [&](double* out) {
      std::string text;
      if (!value(&text)) return false;
      if (!ParseSeconds(text, out)) {
        *error = "option " + arg + " needs a number of seconds, not '" + text + "'";
        return false;
      }
      return true;
    };

    if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--progress") {
      options->progress = true;
    } else if (arg == "--app-value") {
      std::string text;
      if (!value(&text)) return false;
      if (!ParseSigned(text, &options->appValue)) {
        *error = "option --app-value needs a whole number (64-bit, may be negative), not '" + text + "'";
        return false;
      }
    } else if (arg == "-w" || arg == "--idle") {
      if (!seconds(&options->idleSeconds)) return false;
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options->quiet = true;
    } else if (arg == "--pipe") {
      if (!value(&options->pipeName)) return false;
      if (options->pipeName.empty()) {
        *error = "option --pipe needs a pipe name";
        return false;
      }
    } else if (arg == "--timeout") {
      double s = 0;
      if (!seconds(&s)) return false;
      options->timeoutMs = static_cast<uint32_t>(std::llround(s * 1000.0));
      if (s > 0 && options->timeoutMs == 0) options->timeoutMs = 1;
      options->timeoutGiven = true;
    } else if (arg == "--max-unread") {
      if (!number(&options->maxUnreadBytes)) return false;
      if (options->maxUnreadBytes == 0) {
        *error = "option --max-unread needs at least 1 byte";
        return false;
      }
    } else if (arg == "--launch") {
      if (!value(&options->launchLink)) return false;
    } else if (arg == "--file") {
      if (!value(&options->file)) return false;
    } else if (arg == "--count") {
      if (!number(&options->count)) return false;
    } else if (arg == "-N" || arg == "--close-on-eof") {
      options->closeOnEof = true;
    } else if (arg == "--reconnect") {
      options->reconnect = true;
    } else if (arg == "--wait") {
      options->waitLeave = true;
    } else if (arg == "--lines") {
      options->lines = true;
    } else if (arg == "--serve") {
      options->serve = true;
    } else if (arg == "--once") {
      options->once = true;
    } else if (arg == "--size") {
      if (!number(&options->size)) return false;
    } else if (arg == "--message-size") {
      uint64_t bytes = 0;
      if (!number(&bytes)) return false;
      if (bytes == 0 || bytes > Orvane::Extension::SDK::Channel::kMaxDataSize) {
        *error = "option --message-size needs 1 to " + std::to_string(Orvane::Extension::SDK::Channel::kMaxDataSize) +
                 " bytes";
        return false;
      }
      options->messageSize = static_cast<size_t>(bytes);
    } else if (arg == "--pings") {
      if (!number(&options->pings)) return false;
    } else if (arg == "--ping-size") {
      if (!number(&options->pingSize)) return false;
    } else if (arg == "--window") {
      if (!number(&options->window)) return false;
      if (options->window == 0) {
        *error = "option --window needs at least 1";
        return false;
      }
    } else if (arg == "--duration") {
      if (!seconds(&options->durationSeconds)) return false;
    } else if (arg == "--link-rate" || arg == "--link-delay") {
      std::string text;
      if (!value(&text)) return false;
      double* out = arg == "--link-rate" ? &options->linkRateMbit : &options->linkDelayMs;
      if (!ParseSeconds(text, out)) {  // a number, not negative, fractions allowed
        *error = "option " + arg + " needs a number, not '" + text + "'";
        return false;
      }
    } else if (arg == "--") {
      for (++i; i < argc; ++i) options->positional.push_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else if (options->command.empty()) {
      options->command = arg;
    } else {
      options->positional.push_back(arg);
    }
    if (inlineGiven && !valueTaken) {
      *error = "option " + arg + " takes no value";
      return false;
    }
  }
  return true;
}

}  // namespace kvx
