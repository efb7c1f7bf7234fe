#include "tools/kvx/Output.h"

#include <cstdint>
#include <cstdio>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "tools/kvx/ExitCodes.h"

namespace kvx {

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  unsigned char lowest2nd = 0x80, highest2nd = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lowest2nd = 0xA0;
    if (c == 0xED) highest2nd = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lowest2nd = 0x90;
    if (c == 0xF4) highest2nd = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    unsigned char b = static_cast<unsigned char>(s[i + k]);
    unsigned char lo = k == 1 ? lowest2nd : 0x80, hi = k == 1 ? highest2nd : 0xBF;
    if (b < lo || b > hi) return 0;
  }
  return n;
}

}  // namespace

bool IsValidUtf8(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t n = Utf8Length(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
  }
  return out;
}

std::string JsonBytesField(const std::string& key, const std::string& bytes) {
  if (IsValidUtf8(bytes)) return "\"" + key + "\":" + JsonString(bytes);
  return "\"" + key + "_base64\":\"" + Base64(bytes) + "\"";
}

std::string JsonString(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      size_t n = Utf8Length(bytes, i);
      if (n > 0) {
        out.append(bytes, i, n);
        i += n;
        continue;
      }
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string Printable(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

namespace {

bool g_jsonErrors = false;

void PrintError(bool json, const char* code, const std::string& message) {
  if (json) {
    std::fprintf(stderr, "{\"error\":%s,\"message\":%s}\n", JsonString(code).c_str(), JsonString(message).c_str());
  } else {
    std::fprintf(stderr, "kvx: %s\n", message.c_str());
  }
}

}  // namespace

void SetJsonErrors(bool json) { g_jsonErrors = json; }

int ReportError(const Options& options, const Orvane::Extension::SDK::Error& error) {
  PrintError(options.json, Orvane::Extension::SDK::ErrorCodeName(error.Code()), error.Message());
  return ExitCodeFor(error);
}

int ReportUsage(const std::string& message) {
  PrintError(g_jsonErrors, "usage", message);
  if (!g_jsonErrors) std::fputs("Try 'kvx --help'.\n", stderr);
  return kExitUsage;
}

int ReportIoError(const std::string& message) {
  PrintError(g_jsonErrors, "io-error", message);
  return kExitIo;
}

int ReportInterrupted(const std::string& message) {
  PrintError(g_jsonErrors, "interrupted", message);
  return kExitInterrupted;
}

int ReportFailure(const std::string& message) {
  PrintError(g_jsonErrors, "failed", message);
  return kExitFailed;
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

namespace {

// Only a terminal shows a line redrawn in place; a log or a pipe would keep
// every carriage return.
bool RedrawsInPlace(const Options& options) {
  if (options.quiet || options.json) return false;
#ifdef _WIN32
  static const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
  static const bool terminal = isatty(fileno(stderr)) != 0;
#endif
  return terminal;
}

void PrintJsonProgress(const std::string& line) {
  std::fprintf(stderr, "{\"progress\":%s}\n", JsonString(line).c_str());
}

}  // namespace

void PrintProgress(const Options& options, const std::string& line) {
  if (options.quiet) return;
  if (options.json) {
    PrintJsonProgress(line);
  } else if (RedrawsInPlace(options)) {
    std::fprintf(stderr, "\r%-78s", line.c_str());
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void EndProgress(const Options& options) {
  if (!RedrawsInPlace(options)) return;
  std::fprintf(stderr, "\r%-78s\r", "");
  std::fflush(stderr);
}

void PrintStatus(const Options& options, const std::string& line) {
  if (options.quiet) return;
  if (options.json) {
    PrintJsonProgress(line);
  } else {
    std::fprintf(stderr, "kvx: %s\n", line.c_str());
  }
  std::fflush(stderr);
}

}  // namespace kvx
