# The install layout and the Debian package:
#   PREFIX/lib/prnjpos/     the four port libraries
#   PREFIX/share/java/      prnjpos.jar, the port classes
#   PREFIX/bin/             prnctl and prnsim
#   PREFIX/share/doc/prnjpos/  README.md and the udev rule example
# Everything installed links the C library alone (the C++ runtime is inside), so the package
# depends on libc6 and nothing else.
include(GNUInstallDirs)

set(PRN_LIBRARY_DESTINATION lib/prnjpos)
foreach(library prnserial prnnet prnusb prnparallel)
  if(TARGET ${library})
    install(TARGETS ${library} LIBRARY DESTINATION ${PRN_LIBRARY_DESTINATION})
  endif()
endforeach()
foreach(command prnctl prnsim_command)
  if(TARGET ${command})
    install(TARGETS ${command} RUNTIME DESTINATION bin)
  endif()
endforeach()
if(TARGET prnjpos)
  install_jar(prnjpos DESTINATION share/java)
endif()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md
              ${CMAKE_CURRENT_SOURCE_DIR}/tools/udev/60-prnjpos.rules
        DESTINATION share/doc/prnjpos)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME prnjpos)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "native ports for a Java POS printer service: serial, TCP, USB and parallel ESC/POS printers")
set(CPACK_PACKAGE_DESCRIPTION
    "Shared libraries that a Java point-of-sale printer service loads through JNI to drive ESC/POS\nreceipt and impact printers over a serial line, TCP, a USB printer node or a parallel port,\nwith prnctl, which drives them from the command line, and prnsim, a virtual printer.")
set(CPACK_PACKAGE_CONTACT "POS printer port maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
# dpkg-shlibdeps reads the binaries: libc6 with the lowest version their symbols need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
