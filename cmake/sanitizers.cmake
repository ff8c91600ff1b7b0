# Sanitizer builds apply to everything we compile, so the driver, the host runtime and the
# tests are instrumented alike.
if(VPIVG_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(VPIVG_SANITIZED=1)
elseif(VPIVG_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(VPIVG_SANITIZED=1)
elseif(NOT VPIVG_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VPIVG_SANITIZE must be address, thread or empty")
endif()
