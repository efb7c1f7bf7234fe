#include "src/application/common/PcoipVchan/PcoipVchanState.h"

#include <utility>

PluginContext g_plugin_context;

void TransmitLock::Initialize() {
  std::unique_lock<std::mutex> lock(stateMutex_);
  idle_.wait(lock, [this] { return users_ == 0; });
  section_.Initialize();
  open_ = true;
}

void TransmitLock::Delete() {
  std::unique_lock<std::mutex> lock(stateMutex_);
  open_ = false;
  idle_.wait(lock, [this] { return users_ == 0; });
  section_.Delete();
}

// The section is entered here and left in Leave, a hand-over between two
// functions that the thread-safety analysis cannot follow.
bool TransmitLock::Enter() KVX_NO_THREAD_SAFETY_ANALYSIS {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!open_) return false;
    ++users_;
  }
  section_.Enter();
  return true;
}

void TransmitLock::Leave() KVX_NO_THREAD_SAFETY_ANALYSIS {
  section_.Leave();
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (--users_ == 0) idle_.notify_all();
}

TransmitLock& GetTransmitLock() {
  static TransmitLock* lock = new TransmitLock;
  return *lock;
}

void WindowHandleList::Replace(std::vector<uint64_t> handles) {
  std::lock_guard<std::mutex> lock(mutex_);
  handles_ = std::move(handles);
}

std::vector<uint64_t> WindowHandleList::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_;
}

WindowHandleList& GetWindowHandleList() {
  static WindowHandleList* list = new WindowHandleList;
  return *list;
}

namespace {
std::atomic<uint32_t> g_receiveRun{0};
}  // namespace

uint32_t StartReceiveRun() {
  uint32_t token = g_receiveRun.load();
  uint32_t next;
  do {
    next = (token | 1u) + 2u;  // odd, and different from any earlier run
  } while (!g_receiveRun.compare_exchange_weak(token, next));
  return next;
}

void StopReceiveRun() {
  uint32_t token = g_receiveRun.load();
  while (IsReceiveRunToken(token) && !g_receiveRun.compare_exchange_weak(token, token + 1u)) {
  }
}

uint32_t CurrentReceiveRun() { return g_receiveRun.load(); }
