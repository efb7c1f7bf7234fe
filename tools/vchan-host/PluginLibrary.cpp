#include "tools/vchan-host/PluginLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vchan_host {
namespace {

void* OpenLibrary(const std::string& path, std::string* error) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) *error = "LoadLibrary failed, error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
#else
  // RTLD_LOCAL: the plug-in's own symbols must not bind to anything of ours.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "dlopen failed";
  }
  return library;
#endif
}

void* FindSymbol(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

template <typename Fn>
Fn As(void* symbol) {
  return reinterpret_cast<Fn>(symbol);
}

}  // namespace

void* PluginLibrary::Find(const char* name, std::string* missing) {
  void* symbol = FindSymbol(library_, name);
  if (symbol == nullptr) *missing += std::string(missing->empty() ? "" : ", ") + name;
  return symbol;
}

bool PluginLibrary::Load(const std::string& path, std::string* error) {
  library_ = OpenLibrary(path, error);
  if (library_ == nullptr) return false;
  std::string missing;
  entries_.serverInit = As<pcoip_vchan_plugin_init_fn>(Find("pcoip_vchan_plugin_server_init", &missing));
  entries_.clientInit = As<pcoip_vchan_plugin_init_fn>(Find("pcoip_vchan_plugin_client_init", &missing));
  entries_.serverExit = As<pcoip_vchan_plugin_exit_fn>(Find("pcoip_vchan_plugin_server_exit", &missing));
  entries_.clientExit = As<pcoip_vchan_plugin_exit_fn>(Find("pcoip_vchan_plugin_client_exit", &missing));
  entries_.receiveWindowHandles = As<pcoip_vchan_plugin_receive_window_handles_fn>(
      Find("pcoip_vchan_plugin_receive_window_handles", &missing));
  entries_.requestApplicationPermissions =
      As<pcoip_vchan_plugin_request_application_permissions_fn>(
          Find("pcoip_vchan_plugin_request_application_permissions", &missing));
  if (!missing.empty()) {
    *error = path + " lacks the entry points: " + missing;
    return false;
  }
  return true;
}

}  // namespace vchan_host
