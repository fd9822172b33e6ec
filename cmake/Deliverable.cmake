# prn_add_deliverable(<name> CLASS <java class> SOURCES <transport sources...>
#                     [SOURCE_DIR <dir>] [DEFINITIONS <definitions...>])
#
# Makes <name>_device, a static library with the shared device core (monitor, claim,
# completion, byte trace) and the transport, that tests link directly; and the shared library
# <name> that the JVM loads: those objects, the core and the bridge compiled for <java class>,
# with only the Java natives exported and the C++ runtime linked in statically. The transport's
# headers are in SOURCE_DIR (src/ of the calling directory by default); DEFINITIONS are
# compiled into both (PRN_TRACE_COMPILED_OUT makes a library without the byte trace).
set(PRN_CORE_DIR ${CMAKE_CURRENT_LIST_DIR}/../core)

function(prn_add_deliverable name)
  cmake_parse_arguments(ARG "" "CLASS;SOURCE_DIR" "SOURCES;DEFINITIONS" ${ARGN})
  if(NOT ARG_SOURCE_DIR)
    set(ARG_SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/src)
  endif()
  add_library(${name}_device STATIC
    ${PRN_CORE_DIR}/Claim.cpp
    ${PRN_CORE_DIR}/Line.cpp
    ${PRN_CORE_DIR}/Ports.cpp
    ${PRN_CORE_DIR}/PrinterState.cpp
    ${PRN_CORE_DIR}/ReadinessProbe.cpp
    ${PRN_CORE_DIR}/StatusMonitor.cpp
    ${PRN_CORE_DIR}/Trace.cpp
    ${PRN_CORE_DIR}/Writer.cpp
    ${ARG_SOURCES})
  target_include_directories(${name}_device PUBLIC ${ARG_SOURCE_DIR})
  target_link_libraries(${name}_device PUBLIC prncore)
  target_compile_definitions(${name}_device PUBLIC ${ARG_DEFINITIONS})
  # The trace keeps two thread-local flags. The default access to them in a shared library
  # calls __tls_get_addr, which would make the dynamic loader a library the deliverable needs;
  # TLS descriptors are resolved by the loader without it.
  if(PRN_SANITIZE STREQUAL "" AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
    target_compile_options(${name}_device PRIVATE -mtls-dialect=gnu2)
  endif()
  target_compile_options(${name}_device PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden
                         -fno-exceptions -fno-rtti)
  prn_warnings(${name}_device)

  add_library(${name} SHARED ${PRN_CORE_DIR}/Bridge.cpp)
  target_compile_definitions(${name} PRIVATE PRN_JNI_CLASS=${ARG_CLASS})
  target_include_directories(${name} PRIVATE ${JNI_INCLUDE_DIRS})
  target_link_libraries(${name} PRIVATE ${name}_device prncore Threads::Threads)
  target_compile_options(${name} PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden
                         -fno-exceptions -fno-rtti)
  target_link_options(${name} PRIVATE
    -static-libstdc++ -static-libgcc
    -Wl,--version-script=${PRN_CORE_DIR}/natives.map
    -Wl,--no-undefined -Wl,--as-needed)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${PRN_CORE_DIR}/natives.map)
  prn_warnings(${name})

  # The deliverable contract: only the C library (and libpthread) needed, only natives out.
  if(PRN_SANITIZE STREQUAL "")
    add_test(NAME ${name}_contract
      COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:${name}> -DCLASS=${ARG_CLASS}
              -P ${PRN_CORE_DIR}/../cmake/CheckDeliverable.cmake)
  endif()
endfunction()
