// Window handles handed over by the host, and the session properties the
// bridge answers local applications with.
#include <string>
#include <utility>
#include <vector>

#include "platform/window.h"
#include "src/application/common/PcoipVchan/PcoipVchanHost.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

namespace {
constexpr char kReceiveWindowHandles[] = "pcoip_vchan_plugin_receive_window_handles";
}  // namespace

extern "C" PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_receive_window_handles(
    int32_t count, const uint64_t* handles) {
  // A reader sees the old list until the whole new one is in place; a bad
  // count leaves the list empty.
  if (count <= 0) GetWindowHandleList().Replace({});
  plugin_log("", 3, 0, "########## %s Detected handles number %li", kReceiveWindowHandles,
             static_cast<long>(count));
  if (count <= 0) {
    plugin_log("", 1, kPluginFailure, "%s: Failed to detect number of window handles",
               kReceiveWindowHandles);
    return 0;
  }
  if (handles == nullptr) {
    GetWindowHandleList().Replace({});
    plugin_log("", 1, kPluginFailure, "%s: the window handle array is NULL",
               kReceiveWindowHandles);
    return 0;
  }

  std::vector<uint64_t> list(handles, handles + count);
  for (uint64_t handle : list) {
    // An unreadable rectangle comes back as zeros and is shown as such.
    platform::WindowRect rect;
    platform::GetWindowRectangle(handle, &rect);
    plugin_log(kReceiveWindowHandles, 3, 0, "VCHAN: Detected window handle(%llu): Rect{%li,%li,%li,%li}",
               static_cast<unsigned long long>(handle), static_cast<long>(rect.left),
               static_cast<long>(rect.top), static_cast<long>(rect.right),
               static_cast<long>(rect.bottom));
  }
  GetWindowHandleList().Replace(std::move(list));
  return 1;
}

extern "C" PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_request_application_permissions(void) {
  return 1;
}

std::string GetPropertyValue(const std::string& key) {
  std::string result;
  if (key == "KVXCoreType") {
    result = LoadShared(g_plugin_context.link.is_server) != 0 ? "Server" : "Client";
    return result;
  }
  if (key != "Hwnds") return result;

  std::vector<uint64_t> handles = GetWindowHandleList().Snapshot();
  if (handles.empty()) return result;
  // With a single handle the host gave us a child window; applications want
  // the top-level window it sits in.
  result = "[";
  for (uint64_t handle : handles) {
    uint64_t shown = handles.size() == 1 ? platform::GetParentWindow(handle) : handle;
    result += std::to_string(shown);
    result += ',';
  }
  result.back() = ']';
  return result;
}
