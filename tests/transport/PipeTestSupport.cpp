#include "tests/transport/PipeTestSupport.h"

#include "extension/windows/NamedPipeServer.h"

#ifndef _WIN32
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace kvxtest {

#ifdef _WIN32
// Windows pipe names are global to the machine and have no folder; the test
// programs run one at a time there.
ScopedPipeDir::ScopedPipeDir() = default;
ScopedPipeDir::~ScopedPipeDir() = default;
#else
ScopedPipeDir::ScopedPipeDir() {
  char pattern[] = "/tmp/kvx-pipes-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
  setenv("KVX_PIPE_DIR", path_.c_str(), 1);
}

ScopedPipeDir::~ScopedPipeDir() {
  if (DIR* dir = opendir(path_.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        std::remove((path_ + "/" + name).c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path_.c_str());
  unsetenv("KVX_PIPE_DIR");
}
#endif

std::string CoutCapture::LockedBuffer::Take(bool clear) {
  std::lock_guard<std::mutex> guard(lock_);
  std::string text = text_;
  if (clear) {
    text_.clear();
  }
  return text;
}

CoutCapture::LockedBuffer::int_type CoutCapture::LockedBuffer::overflow(int_type ch) {
  if (ch != traits_type::eof()) {
    std::lock_guard<std::mutex> guard(lock_);
    text_.push_back(static_cast<char>(ch));
  }
  return traits_type::not_eof(ch);
}

std::streamsize CoutCapture::LockedBuffer::xsputn(const char* data, std::streamsize count) {
  std::lock_guard<std::mutex> guard(lock_);
  text_.append(data, static_cast<size_t>(count));
  return count;
}

CoutCapture::CoutCapture() : previous_(std::cout.rdbuf(&buffer_)) {
  // Each capture sees the servers' lines as a fresh process would: none held
  // back because earlier cases printed the same line.
  Orvane::Extension::Windows::ConsoleLimiter().Reset();
}

CoutCapture::~CoutCapture() { std::cout.rdbuf(previous_); }

std::string CoutCapture::Text() { return buffer_.Take(false); }

void CoutCapture::Clear() { buffer_.Take(true); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

PipeClient::PipeClient(const std::string& pipeName)
    : pipe_(platform::OpenPipeClient(pipeName, 5000)) {
  if (Connected()) {
    reader_ = std::thread(&PipeClient::ReadLoop, this);
  }
}

PipeClient::~PipeClient() { Close(); }

bool PipeClient::Write(const std::string& message) {
  return platform::WritePipeMessage(pipe_, message.data(), message.size());
}

bool PipeClient::Read(std::string* message, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, timeout, [this] { return !messages_.empty() || ended_; });
  if (messages_.empty()) {
    return false;
  }
  *message = std::move(messages_.front());
  messages_.pop_front();
  return true;
}

bool PipeClient::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [this] { return ended_; });
}

size_t PipeClient::Pending() {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_.size();
}

void PipeClient::Close() {
  if (!Connected()) {
    return;
  }
  platform::ShutdownPipeClient(pipe_);
  if (reader_.joinable()) {
    reader_.join();
  }
  platform::ClosePipeClient(pipe_);
  pipe_ = platform::InvalidPipeHandle();
}

void PipeClient::ReadLoop() {
  for (;;) {
    std::string message;
    const bool ok = platform::ReadPipeMessage(pipe_, &message);
    std::lock_guard<std::mutex> guard(lock_);
    if (!ok) {
      ended_ = true;
      changed_.notify_all();
      return;
    }
    messages_.push_back(std::move(message));
    changed_.notify_all();
  }
}

std::string PatternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
  }
  return bytes;
}

}  // namespace kvxtest
