#include "src/application/common/PcoipVchan/PcoipVchanState.h"

#include <utility>

PluginContext g_plugin_context;

void TransmitLock::Initialize() {
  platform::MutexLock lock(stateMutex_);
  while (users_ != 0) idle_.Wait(lock);
  section_.Initialize();
  open_ = true;
}

void TransmitLock::Delete() {
  platform::MutexLock lock(stateMutex_);
  open_ = false;
  while (users_ != 0) idle_.Wait(lock);
  section_.Delete();
}

bool TransmitLock::Enter() {
  {
    platform::MutexLock lock(stateMutex_);
    if (!open_) return false;
    ++users_;
  }
  section_.Enter();
  return true;
}

void TransmitLock::Leave() {
  section_.Leave();
  platform::MutexLock lock(stateMutex_);
  if (--users_ == 0) idle_.NotifyAll();
}

TransmitLock& GetTransmitLock() {
  static TransmitLock* lock = new TransmitLock;
  return *lock;
}

void WindowHandleList::Replace(std::vector<uint64_t> handles) {
  platform::MutexLock lock(mutex_);
  handles_ = std::move(handles);
}

std::vector<uint64_t> WindowHandleList::Snapshot() const {
  platform::MutexLock lock(mutex_);
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
