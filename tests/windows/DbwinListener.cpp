#include "tests/windows/DbwinListener.h"

#include <chrono>
#include <cstring>

#include "platform/win32/win32_api.h"

namespace kvx_win32_test {

namespace {
// The section holds the writer's process ID and then the text, terminated.
constexpr DWORD kSectionSize = 4096;
}  // namespace

DbwinListener::DbwinListener() {
  bufferReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
  dataReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
  stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize, "DBWIN_BUFFER");
  if (mapping_ != nullptr) {
    view_ = static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kSectionSize));
  }
  ok_ = bufferReady_ && dataReady_ && stop_ && view_;
  if (ok_) thread_ = std::thread(&DbwinListener::Run, this);
}

DbwinListener::~DbwinListener() {
  if (thread_.joinable()) {
    SetEvent(stop_);
    thread_.join();
  }
  if (view_ != nullptr) UnmapViewOfFile(view_);
  for (void* h : {mapping_, stop_, dataReady_, bufferReady_}) {
    if (h != nullptr) CloseHandle(h);
  }
}

void DbwinListener::Run() {
  const DWORD self = GetCurrentProcessId();
  HANDLE waits[2] = {dataReady_, stop_};
  for (;;) {
    SetEvent(bufferReady_);
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
    DWORD pid = 0;
    std::memcpy(&pid, view_, sizeof pid);
    const char* text = view_ + sizeof pid;
    std::string entry(text, strnlen(text, kSectionSize - sizeof pid));
    if (pid != self) continue;
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(std::move(entry));
    arrived_.notify_all();
  }
}

std::vector<std::string> DbwinListener::WaitFor(size_t count, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return entries_.size() >= count; });
  return entries_;
}

std::vector<std::string> DbwinListener::Entries() {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_;
}

}  // namespace kvx_win32_test
