# Sanitizers apply to everything we compile and link, so that instrumented
# and uninstrumented code never meet in one process.
if(KVX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -g -O1)
  add_link_options(-fsanitize=thread)
elseif(KVX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined -g -O1)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT KVX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KVX_SANITIZE must be '', 'thread' or 'address'")
endif()
