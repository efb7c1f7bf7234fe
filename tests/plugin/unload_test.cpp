// The library as a host loads it: started at the client end, driven until an
// opener it launched runs and log lines are held back, exited and unloaded.
// Not one thread it started may be left: its code is gone.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "proto/kvx.pb.h"
#include "src/application/common/PcoipVchan/PcoipVchanHost.h"
#include "tests/plugin/TestHost.h"

#ifndef KVX_PLUGIN_LIBRARY
#error "KVX_PLUGIN_LIBRARY must name the built plug-in library"
#endif

// The library keeps a few objects for the life of the process on purpose
// (the message classes' default instances, locks built to outlive static
// destruction). Once it is unloaded, the only pointers to them went with its
// data segment, so the leak checker would report them; what this program
// checks is the threads, and the other tests check for leaks.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "detect_leaks=0";
}

namespace {

size_t ThreadsOfThisProcess() {
  size_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(tasks);
  return count;
}

bool LibraryMapped() {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find(KVX_PLUGIN_LIBRARY) != std::string::npos;
}

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

template <typename Function>
Function Entry(void* library, const char* name) {
  return reinterpret_cast<Function>(dlsym(library, name));
}

TEST(PluginUnload, NoThreadOfTheLibraryOutlivesItsCode) {
  // An opener that stays a while, so that the reaper still waits for it at
  // unload; it says when it runs.
  char folder[] = "/tmp/kvx-unload.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dir = folder;
  {
    std::ofstream opener(dir + "/xdg-open");
    opener << "#!/bin/sh\ntouch '" << dir << "/opened'\nsleep 2\n";
  }
  chmod((dir + "/xdg-open").c_str(), 0700);
  setenv("PATH", (dir + ":" + getenv("PATH")).c_str(), 1);
  setenv("KVX_PIPE_DIR", dir.c_str(), 1);
  // A sanitizer's runtime starts a thread of its own with the first thread
  // made: let it, before counting.
  std::thread([] {}).join();
  const size_t threadsBefore = ThreadsOfThisProcess();

  void* library = dlopen(KVX_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const auto init = Entry<pcoip_vchan_plugin_init_fn>(library, "pcoip_vchan_plugin_client_init");
  const auto exit = Entry<pcoip_vchan_plugin_exit_fn>(library, "pcoip_vchan_plugin_client_exit");
  const auto windows = Entry<pcoip_vchan_plugin_receive_window_handles_fn>(
      library, "pcoip_vchan_plugin_receive_window_handles");
  ASSERT_TRUE(init != nullptr && exit != nullptr && windows != nullptr);

  TestHost& host = TestHost::Get();
  host.Reset();
  pcoip_vchan_intf table = host.Table();
  void* context = nullptr;
  ASSERT_EQ(init(&table, nullptr, &context), 1);
  host.FireConnect(PCOIP_VCHAN_CONNECT_EVENT_SESSION, PCOIP_VCHAN_CONNECT_SESSION_CONNECTED);
  host.FireChannel(PCOIP_VCHAN_EVENT_OPEN_SUCCESS);

  // The far end asks for a channel and a launch: the opener runs.
  KVX::Message request;
  KVX::ConnectChannelRequest* connect = request.mutable_request()->mutable_connect_channel_request();
  connect->set_channel_name("launched");
  connect->mutable_launch_options()->set_launch_mode(KVX::LAUNCH_APP);
  connect->mutable_launch_options()->set_app_link("kvx-app://unload");
  host.QueueRead({MakeDatagram(0, request.SerializeAsString(), true), 0});
  host.FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
  ASSERT_TRUE(WaitFor([&] { return access((dir + "/opened").c_str(), F_OK) == 0; }));

  EXPECT_EQ(exit(context), 1);
  // After exit the host hands over bad window lists, more than the log lets
  // through: lines are held back, for the limiter's thread to summarise.
  for (int i = 0; i < 30; ++i) windows(0, nullptr);
  ASSERT_TRUE(host.HasLog("Failed to detect number of window handles"));

  ASSERT_EQ(dlclose(library), 0);
  EXPECT_FALSE(LibraryMapped()) << "the library must really be unloaded for this test";
  EXPECT_TRUE(WaitFor([&] { return ThreadsOfThisProcess() == threadsBefore; }))
      << ThreadsOfThisProcess() << " threads, " << threadsBefore << " before the library";
  // Past the opener's end: a thread left in the unmapped code would run now.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
