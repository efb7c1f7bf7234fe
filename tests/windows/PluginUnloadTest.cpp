// Loads the plug-in DLL the way the host does, serves one pipe client, and
// then either frees it with FreeLibrary (twice, reloading in between) or lets
// the process end with everything still running; a third case frees a
// library that was never started, a fourth one whose log held lines back
// before any start. None may hang or crash. A program of its own because each scenario needs a process with
// the DLL loaded exactly as the host would.
//   plugin_unload_test unload | exit | unused | held
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/named_pipe.h"
#include "platform/win32/win32_api.h"
#include "proto/kvx.pb.h"
#include "src/application/common/PcoipVchan/PcoipVchanHost.h"
#include "tests/plugin/TestHost.h"

namespace {

constexpr char kPipeName[] = "\\\\.\\pipe\\KVX_Pipe_Channel";
constexpr DWORD kUnloadLimitMs = 15000;

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  std::fflush(stdout);
  if (!ok) ++failures;
}

struct Plugin {
  HMODULE module = nullptr;
  pcoip_vchan_plugin_init_fn init = nullptr;
  pcoip_vchan_plugin_exit_fn exit = nullptr;
};

bool Load(Plugin& plugin) {
  // Next to this program, where the build copies it.
  plugin.module = LoadLibraryA("pcoip_vchan_plugin.dll");
  if (plugin.module == nullptr) return false;
  plugin.init = reinterpret_cast<pcoip_vchan_plugin_init_fn>(
      reinterpret_cast<void*>(GetProcAddress(plugin.module, "pcoip_vchan_plugin_server_init")));
  plugin.exit = reinterpret_cast<pcoip_vchan_plugin_exit_fn>(
      reinterpret_cast<void*>(GetProcAddress(plugin.module, "pcoip_vchan_plugin_server_exit")));
  return plugin.init != nullptr && plugin.exit != nullptr;
}

// One property request and its answer over the pipe: the bridge is running.
bool AskCoreType(platform::PipeHandle client) {
  KVX::Message request;
  request.mutable_request()->set_id(7);
  request.mutable_request()->mutable_get_property_request()->set_property_name("KVXCoreType");
  const std::string bytes = request.SerializeAsString();
  if (!platform::WritePipeMessage(client, bytes.data(), bytes.size())) return false;
  std::string reply;
  KVX::Message answer;
  if (!platform::ReadPipeMessage(client, &reply) || !answer.ParseFromString(reply)) return false;
  return answer.response().get_property_response().property_value() == "Server";
}

// A session: load, init, one client served. Returns the client, still open.
platform::PipeHandle StartSession(Plugin& plugin) {
  Check(Load(plugin), "the DLL loads and has its entry points");
  if (plugin.module == nullptr || plugin.init == nullptr) return platform::InvalidPipeHandle();
  pcoip_vchan_intf table = TestHost::Get().Table();
  void* context = nullptr;
  Check(plugin.init(&table, nullptr, &context) == 1, "server init returns 1");
  platform::PipeHandle client = platform::OpenPipeClient(kPipeName, 5000);
  Check(client != platform::InvalidPipeHandle(), "a client opens the plug-in's pipe");
  if (client != platform::InvalidPipeHandle()) Check(AskCoreType(client), "the bridge answers a property request");
  Check(plugin.exit(context) == 1, "server exit returns 1");
  return client;
}

DWORD WINAPI FreeLibraryThread(LPVOID module) {
  return FreeLibrary(static_cast<HMODULE>(module)) ? 0 : 1;
}

// FreeLibrary on a thread of its own, so that a hang is reported instead of
// stalling the run.
bool UnloadWithin(HMODULE module, DWORD limitMs) {
  HANDLE thread = CreateThread(nullptr, 0, FreeLibraryThread, module, 0, nullptr);
  if (thread == nullptr) return false;
  if (WaitForSingleObject(thread, limitMs) != WAIT_OBJECT_0) {
    std::printf("FAILED: FreeLibrary has not returned after %lu ms\n", static_cast<unsigned long>(limitMs));
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code == 0;
}

// FreeLibrary after a session: it returns at once and the library stays
// resident, still serving its pipe, until the process ends (its threads
// cannot be ended under the loader lock). Loading and freeing it again is
// just as harmless.
int UnloadScenario() {
  Plugin plugin;
  platform::PipeHandle client = StartSession(plugin);
  if (plugin.module == nullptr) return 1;
  for (int round = 1; round <= 2; ++round) {
    const DWORD start = GetTickCount();
    Check(UnloadWithin(plugin.module, kUnloadLimitMs), "FreeLibrary returns");
    std::printf("FreeLibrary took %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    Check(GetModuleHandleA("pcoip_vchan_plugin.dll") == plugin.module, "the library stays resident");
    // Its threads run on in mapped code: the connected client is still served.
    Sleep(200);
    if (client != platform::InvalidPipeHandle()) Check(AskCoreType(client), "the bridge still answers");
    if (round == 1) Check(LoadLibraryA("pcoip_vchan_plugin.dll") == plugin.module, "loading again gives the same library");
  }
  if (client != platform::InvalidPipeHandle()) platform::ClosePipeClient(client);
  return failures == 0 ? 0 : 1;
}

// A library that never started a thread is really unloaded.
int UnusedScenario() {
  Plugin plugin;
  Check(Load(plugin), "the DLL loads and has its entry points");
  if (plugin.module == nullptr) return 1;
  Check(UnloadWithin(plugin.module, kUnloadLimitMs), "FreeLibrary returns");
  Check(GetModuleHandleA("pcoip_vchan_plugin.dll") == nullptr, "the library is unloaded");
  return failures == 0 ? 0 : 1;
}

// Lines held back before any init start the plug-in log's limiter thread:
// the library then stays loaded, as once an init has started threads, and
// the thread still finds its code when it wakes to write its summary.
int HeldScenario() {
  Plugin plugin;
  Check(Load(plugin), "the DLL loads and has its entry points");
  if (plugin.module == nullptr) return 1;
  const auto windowHandles = reinterpret_cast<pcoip_vchan_plugin_receive_window_handles_fn>(
      reinterpret_cast<void*>(GetProcAddress(plugin.module, "pcoip_vchan_plugin_receive_window_handles")));
  Check(windowHandles != nullptr, "the DLL has its window handle entry point");
  if (windowHandles == nullptr) return 1;
  for (int i = 0; i < 30; ++i) windowHandles(0, nullptr);
  Check(UnloadWithin(plugin.module, kUnloadLimitMs), "FreeLibrary returns");
  Check(GetModuleHandleA("pcoip_vchan_plugin.dll") == plugin.module, "the library stays resident");
  // Past the end of the limiter's window, when its thread writes the summary.
  Sleep(11000);
  Check(GetModuleHandleA("pcoip_vchan_plugin.dll") == plugin.module, "the library is still resident");
  return failures == 0 ? 0 : 1;
}

int ExitScenario() {
  Plugin plugin;
  platform::PipeHandle client = StartSession(plugin);
  (void)client;  // left open: the process ends with the session running
  std::printf("ending the process with the bridge running\n");
  std::fflush(stdout);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "unload") return UnloadScenario();
  if (mode == "exit") return ExitScenario();
  if (mode == "unused") return UnusedScenario();
  if (mode == "held") return HeldScenario();
  std::fprintf(stderr, "usage: plugin_unload_test unload|exit|unused|held\n");
  return 2;
}
