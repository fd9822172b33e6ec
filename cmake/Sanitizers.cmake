# PRN_SANITIZE=address gives AddressSanitizer with UndefinedBehaviorSanitizer,
# PRN_SANITIZE=thread gives ThreadSanitizer. Applied to everything built here.
set(PRN_SANITIZE "" CACHE STRING "address, thread or empty")
if(PRN_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(PRN_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT PRN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "PRN_SANITIZE must be address, thread or empty")
endif()
