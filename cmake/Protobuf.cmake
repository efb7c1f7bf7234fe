# protobuf-lite and protoc. A cross build points KVX_PROTOBUF_ROOT at a
# protobuf-lite built for the target and uses the build machine's protoc.
if(KVX_PROTOBUF_ROOT)
  find_program(KVX_PROTOC protoc REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  add_library(kvx_protobuf_lite STATIC IMPORTED GLOBAL)
  set_target_properties(kvx_protobuf_lite PROPERTIES
    IMPORTED_LOCATION ${KVX_PROTOBUF_ROOT}/lib/libprotobuf-lite.a
    INTERFACE_INCLUDE_DIRECTORIES ${KVX_PROTOBUF_ROOT}/include)
else()
  find_program(KVX_PROTOC protoc REQUIRED)
  find_path(KVX_PROTOBUF_INCLUDE google/protobuf/message_lite.h REQUIRED)
  find_library(KVX_PROTOBUF_LITE_LIB NAMES protobuf-lite REQUIRED)
  add_library(kvx_protobuf_lite UNKNOWN IMPORTED GLOBAL)
  set_target_properties(kvx_protobuf_lite PROPERTIES
    IMPORTED_LOCATION ${KVX_PROTOBUF_LITE_LIB}
    INTERFACE_INCLUDE_DIRECTORIES ${KVX_PROTOBUF_INCLUDE})
endif()
