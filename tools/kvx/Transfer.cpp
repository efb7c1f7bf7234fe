#include "tools/kvx/Transfer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kvx {

InputPump::InputPump(Channel channel, std::unique_ptr<InputSource> source, int64_t appValue)
    : channel_(std::move(channel)), source_(std::move(source)), appValue_(appValue) {}

InputPump::~InputPump() {
  if (!thread_.joinable()) return;
  if (Get().finished) {
    thread_.join();
  } else {
    thread_.detach();  // only when the process is ending (EndCommand)
  }
}

void InputPump::Start() { thread_ = std::thread([this] { Run(); }); }

InputPump::Status InputPump::Get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

InputPump::Status InputPump::WaitBriefly() const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  Status status = Get();
  while (!status.finished && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    status = Get();
  }
  return status;
}

InputPump::Status InputPump::Settle() const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  Status status = Get();
  while (status.sending && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    status = Get();
  }
  return status;
}

void InputPump::Run() {
  std::string piece;
  std::string readError;
  Error sendError;
  bool complete = false;
  for (;;) {
    const InputSource::Read read = source_->Next(&piece, &readError);
    if (read == InputSource::Read::Failed) break;
    if (read == InputSource::Read::End) {
      complete = true;
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      status_.sending = true;
    }
    sendError = channel_.Send(piece, appValue_);
    std::lock_guard<std::mutex> lock(mutex_);
    status_.sending = false;
    if (sendError) break;
    status_.bytes += piece.size();
    ++status_.messages;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  status_.complete = complete;
  status_.sendError = sendError;
  status_.readError = readError;
  status_.finished = true;
}

std::string DescribeBytes(uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu bytes (%.1f MiB)", static_cast<unsigned long long>(bytes),
                static_cast<double>(bytes) / 1048576.0);
  return text;
}

Error CutBeforeDone(const Error& why, const std::string& name, uint64_t sent) {
  std::string what;
  switch (why.Code()) {
    case ErrorCode::PeerLeft:
      what = "the application at the other end left '" + name + "'";
      break;
    case ErrorCode::ChannelLost:
      what = "channel '" + name + "' was lost (the application at the other end went away without leaving it)";
      break;
    default:
      what = why.Message();
  }
  const ErrorCode code = why.Code() == ErrorCode::PeerLeft || why.Code() == ErrorCode::NotConnected
                             ? ErrorCode::ChannelLost
                             : why.Code();
  return Error(code, what + " before the input was all sent: " + DescribeBytes(sent) +
                         " had been sent, the rest was not");
}

Error CutWhileReceiving(const Error& why, uint64_t received) {
  return Error(why.Code(), why.Message() + "; " + DescribeBytes(received) + " had been received");
}

void LeaveAbruptly(std::unique_ptr<Session>& session) {
  // Closing the pipe drops this application's channels at its end, and the
  // far end reads them lost; a blocked send returns.
  if (session) session->Close();
}

int EndCommand(InputPump& pump, int code, const OutputPump* output) {
  if (output == nullptr || output->Idle()) std::fflush(stdout);
  if (pump.Get().finished && (output == nullptr || output->Idle())) return code;
  std::fflush(stderr);
  std::_Exit(FinalExitCode(code));
}

}  // namespace kvx
