// The shared library the host loads must export the six entry points, under
// their plain names, and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#ifndef KVX_PLUGIN_LIBRARY
#error "KVX_PLUGIN_LIBRARY must name the built plug-in library"
#endif

namespace {

TEST(PluginLibrary, ExportsExactlyTheSixEntryPoints) {
  const std::string command = std::string("nm -D --defined-only '") + KVX_PLUGIN_LIBRARY + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string listing;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) listing.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << command;

  std::set<std::string> exported;
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    // Linker-made markers of the image's layout are not exports of ours.
    if (type == "A" || name == "_init" || name == "_fini") continue;
    exported.insert(name);
  }
  const std::set<std::string> expected = {
      "pcoip_vchan_plugin_server_init",
      "pcoip_vchan_plugin_client_init",
      "pcoip_vchan_plugin_server_exit",
      "pcoip_vchan_plugin_client_exit",
      "pcoip_vchan_plugin_receive_window_handles",
      "pcoip_vchan_plugin_request_application_permissions",
  };
  EXPECT_EQ(exported, expected) << listing;
}

}  // namespace
