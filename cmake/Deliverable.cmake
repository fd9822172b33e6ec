# prn_add_deliverable(<name> CLASS <java class> SOURCES <transport sources...>)
#
# Makes <name>_device, a static library with the shared device core (monitor, claim,
# completion) and the transport, that tests link directly; and the shared library <name>
# that the JVM loads: those objects, the core and the bridge compiled for <java class>, with
# only the Java natives exported and the C++ runtime linked in statically.
set(PRN_CORE_DIR ${CMAKE_CURRENT_LIST_DIR}/../core)

function(prn_add_deliverable name)
  cmake_parse_arguments(ARG "" "CLASS" "SOURCES" ${ARGN})
  add_library(${name}_device STATIC
    ${PRN_CORE_DIR}/Claim.cpp
    ${PRN_CORE_DIR}/Line.cpp
    ${PRN_CORE_DIR}/ReadinessProbe.cpp
    ${PRN_CORE_DIR}/StatusMonitor.cpp
    ${ARG_SOURCES})
  target_include_directories(${name}_device PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${name}_device PUBLIC prncore)
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
