// Loads the plug-in library by path and finds its entry points
// (dlopen/dlsym here, LoadLibrary/GetProcAddress in a Windows build).
#pragma once

#include <string>

#include "src/application/common/PcoipVchan/PcoipVchanHost.h"

namespace vchan_host {

struct PluginEntryPoints {
  pcoip_vchan_plugin_init_fn serverInit = nullptr;
  pcoip_vchan_plugin_init_fn clientInit = nullptr;
  pcoip_vchan_plugin_exit_fn serverExit = nullptr;
  pcoip_vchan_plugin_exit_fn clientExit = nullptr;
  pcoip_vchan_plugin_receive_window_handles_fn receiveWindowHandles = nullptr;
  pcoip_vchan_plugin_request_application_permissions_fn requestApplicationPermissions = nullptr;
};

class PluginLibrary {
 public:
  PluginLibrary() = default;
  // The library stays loaded until the process ends: its threads (pipe
  // servers, workers) run until then, and unloading under them would pull
  // their code away.
  ~PluginLibrary() = default;
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // False with a reason when the library does not load or lacks an entry point.
  bool Load(const std::string& path, std::string* error);
  const PluginEntryPoints& Entries() const { return entries_; }

 private:
  void* Find(const char* name, std::string* missing);

  void* library_ = nullptr;
  PluginEntryPoints entries_;
};

}  // namespace vchan_host
