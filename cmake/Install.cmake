# What `cmake --install` puts in place besides the SDK (extension/sdk) and the
# kvx tool (tools/kvx), whose folders install themselves: the plug-in library
# the host loads, and the host simulator when it is built.
include(GNUInstallDirs)
if(TARGET pcoip_vchan_plugin)
  install(TARGETS pcoip_vchan_plugin
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET vchan-host)
  install(TARGETS vchan-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
