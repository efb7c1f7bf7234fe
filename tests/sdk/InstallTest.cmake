# Installs the build into a fresh prefix, checks that every part is in place,
# then configures, builds and runs a small outside project against the
# installed SDK package, the examples with CMake and one with pkg-config.
#   cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DEXAMPLES_DIR=... -DWORK_DIR=... -DGENERATOR=...
#         -DCXX_COMPILER=... -DSANITIZE_FLAGS=... -P InstallTest.cmake
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()

foreach(expected
    include/extension/sdk/KvxSdk.h
    include/extension/sdk/Session.h
    include/extension/sdk/Channel.h
    include/extension/sdk/ITransport.h
    include/extension/sdk/Version.h
    share/kvx/kvx.proto
    lib/cmake/KvxSdk/KvxSdkConfig.cmake
    lib/cmake/KvxSdk/KvxSdkConfigVersion.cmake
    bin/kvx)
  if(NOT EXISTS ${prefix}/${expected})
    message(FATAL_ERROR "not installed: ${expected}")
  endif()
endforeach()
file(GLOB sdk_library ${prefix}/lib/libkvx_sdk.so* ${prefix}/lib*/libkvx_sdk.so*)
file(GLOB plugin_library ${prefix}/lib/libpcoip_vchan_plugin.so* ${prefix}/lib*/libpcoip_vchan_plugin.so*)
if(NOT sdk_library)
  message(FATAL_ERROR "the SDK library is not installed")
endif()
if(NOT plugin_library)
  message(FATAL_ERROR "the plug-in library is not installed")
endif()
# Only the SDK and the plug-in are meant for users; internals stay out.
if(EXISTS ${prefix}/include/extension/sdk/SessionCore.h OR EXISTS ${prefix}/include/extension/sdk/KvxMessages.h)
  message(FATAL_ERROR "internal SDK headers were installed")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${SANITIZE_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE_FLAGS}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the outside project failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the outside project failed:\n${out}")
endif()
# A pipe folder is used only when it is private to its user.
set(pipe_dir ${WORK_DIR}/pipes)
file(MAKE_DIRECTORY ${pipe_dir})
file(CHMOD ${pipe_dir} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
execute_process(COMMAND ${CMAKE_COMMAND} -E env KVX_PIPE_DIR=${pipe_dir} ${WORK_DIR}/consumer/consumer
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the outside program failed (${rc}):\n${out}")
endif()
message(STATUS "outside program: ${out}")

# The example programs build against the installed package as they stand.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${EXAMPLES_DIR} -B ${WORK_DIR}/examples -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${SANITIZE_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE_FLAGS}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/examples
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the examples against the installed package failed:\n${out}")
endif()

# pkg-config finds the same library, wherever the prefix is.
file(GLOB pc_file ${prefix}/lib/pkgconfig/kvx_sdk.pc ${prefix}/lib*/*/pkgconfig/kvx_sdk.pc ${prefix}/lib*/pkgconfig/kvx_sdk.pc)
if(NOT pc_file)
  message(FATAL_ERROR "kvx_sdk.pc is not installed")
endif()
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  list(GET pc_file 0 pc_file)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
      ${PKG_CONFIG} --cflags --libs kvx_sdk
    RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config kvx_sdk failed: ${err}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(sanitize UNIX_COMMAND "${SANITIZE_FLAGS}")
  execute_process(COMMAND ${CXX_COMPILER} -std=c++17 ${sanitize} ${EXAMPLES_DIR}/sender.cpp -o ${WORK_DIR}/pc-sender
      ${flags}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "building with the flags of pkg-config (${flags}) failed:\n${out}")
  endif()
endif()
file(REMOVE_RECURSE ${WORK_DIR})
