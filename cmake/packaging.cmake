# Debian package of the installed files: `cpack` in a build directory writes
# devicescan_<version>_<architecture>.deb. A host build packages for the
# host's architecture; the cross build for the analyser packages for powerpc.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME deviceScan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(DEVICESCAN_MAINTAINER "deviceScan maintainers <devicescan@localhost>"
    CACHE STRING "Maintainer written into the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DEVICESCAN_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "hardware-category table scan and process runtime for the analyser's controller")
set(CPACK_PACKAGE_DESCRIPTION "deviceScan brings the hardware-category tables of the gas \
chromatograph's configuration database into line with the I/O items that HW_CONFIG lists as \
installed, and carries the platform's process runtime (trace channel, error messages, checked \
system calls, database value lists, real-time priority, operator-panel address helpers) for \
other programs through its dynamic symbols. debugServer prints the trace lines that processes \
write to the debug pipe.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The analyser keeps no debugging information; the build tree does.
set(CPACK_STRIP_FILES ON)

if(CMAKE_CROSSCOMPILING)
  # Debian calls 32-bit big-endian PowerPC "powerpc", as the toolchain does.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  # dpkg-shlibdeps knows only the host's libraries, so the cross build names
  # by hand the packages of what the programs link (NEEDED libc.so.6,
  # libstdc++.so.6, libgcc_s.so.1) and the newest symbol versions they use
  # (GLIBC_2.34, GCC_3.0, GLIBCXX_3.4.29 of GCC 11). tests/package.sh checks
  # these against the binaries.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
