# Debian package of the installed files: `cpack` in a build directory writes
# devicescan_<version>_<architecture>.deb. A host build packages for the
# host's architecture; the cross build for the analyser packages for powerpc.
#
# Also the files that the package's documentation needs and an image built
# from the install rules gets as well: the manual pages (man/*.1, written by
# hand in roff, so nothing but gzip runs for them at build time), the
# machine-readable copyright file and a Debian changelog of this version.
set(DEVICESCAN_MAINTAINER "deviceScan maintainers <maintainers@devicescan.invalid>"
    CACHE STRING "Maintainer written into the Debian package and its changelog")
# A build directory configured by an earlier version caches the old default,
# which Debian's checker refuses; only a maintainer someone chose is kept.
if(DEVICESCAN_MAINTAINER STREQUAL "deviceScan maintainers <devicescan@localhost>")
  set(DEVICESCAN_MAINTAINER "deviceScan maintainers <maintainers@devicescan.invalid>"
      CACHE STRING "Maintainer written into the Debian package and its changelog" FORCE)
endif()

# Compressed as Debian wants (gzip -9n: the best compression, and no name or
# time stamp in the header, so that the same sources give the same bytes).
set(compressed_docs "")
function(install_gzipped plain destination)
  add_custom_command(OUTPUT ${plain}.gz COMMAND gzip -9nkf ${plain} DEPENDS ${plain} VERBATIM)
  install(FILES ${plain}.gz DESTINATION ${destination})
  set(compressed_docs ${compressed_docs} ${plain}.gz PARENT_SCOPE)
endfunction()

foreach(page deviceScan.1 debugServer.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  install_gzipped(${PROJECT_BINARY_DIR}/man/${page} ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The changelog's one entry carries the version of project() and the time of
# configuring, or SOURCE_DATE_EPOCH when it is set, for reproducible builds.
string(TIMESTAMP DEVICESCAN_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
install_gzipped(${PROJECT_BINARY_DIR}/changelog ${DEVICESCAN_DOCDIR})
install(FILES packaging/copyright DESTINATION ${DEVICESCAN_DOCDIR})
add_custom_target(compressedDocs ALL DEPENDS ${compressed_docs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME deviceScan)
set(CPACK_DEBIAN_PACKAGE_NAME ${DEVICESCAN_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DEVICESCAN_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "hardware-category table scan and process runtime for the analyser's controller")
# Lines of the extended description stay within 80 columns in the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "deviceScan brings the hardware-category tables of the gas chromatograph's"
  "configuration database into line with the I/O items that HW_CONFIG lists"
  "as installed. It carries the platform's process runtime (trace channel,"
  "error messages, checked system calls, database value lists, real-time"
  "priority, operator-panel address helpers) for other programs through its"
  "dynamic symbols. debugServer prints the trace lines that processes write"
  "to the debug pipe.")
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
