# Installation components and the CPack packages built from them, so that a
# package holds exactly what `cmake --install` puts in place:
#
#   runtime      the shared library (kestrel.dll, libkestrel.so.1)
#   development  headers, the import library or the .so link, the CMake
#                package config, the documentation
#   tools        kestrel-sim, kestrel, kestrel-demo
#
# Linux: one Debian package per component, named as Debian names them
# (libkestrel<SOVERSION>, libkestrel-dev, kestrel-tools), and one .tar.gz of
# everything for other systems. Windows: one ZIP of everything, an SDK folder
# that find_package(kestrel CONFIG) takes as its prefix.
# `./scripts/package` builds them all.

set(KESTREL_SOVERSION ${PROJECT_VERSION_MAJOR})
set(KESTREL_DEB_RUNTIME libkestrel${KESTREL_SOVERSION})
set(KESTREL_DEB_DEV libkestrel-dev)
set(KESTREL_DEB_TOOLS kestrel-tools)

# Documentation: every Debian package carries the licence as its copyright
# file; the texts go with the development files. The Windows SDK keeps them
# in one folder.
if(WIN32)
  set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrel)
  install(FILES LICENSE DESTINATION ${_doc} COMPONENT runtime)
else()
  set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KESTREL_DEB_DEV})
  foreach(_pair runtime:${KESTREL_DEB_RUNTIME} development:${KESTREL_DEB_DEV}
                tools:${KESTREL_DEB_TOOLS})
    string(REPLACE ":" ";" _pair ${_pair})
    list(GET _pair 0 _component)
    list(GET _pair 1 _package)
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package}
            RENAME copyright COMPONENT ${_component})
  endforeach()
endif()
install(FILES README.md CHANGELOG.md DESTINATION ${_doc} COMPONENT development)
install(DIRECTORY docs/ DESTINATION ${_doc}/docs COMPONENT development FILES_MATCHING PATTERN "*.md")

set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "The Kestrel developers")
set(CPACK_PACKAGE_CONTACT "The Kestrel developers <kestrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/out/;/\\\\.git")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kestrel-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME kestrel-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  # One .deb per component; the .tar.gz holds all of them.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(_exact "(= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KESTREL_DEB_RUNTIME})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
      "${PROJECT_DESCRIPTION} (shared library)\n The Kestrel client library: one request line over TCP, one bounded\n wait for one reply line, a verdict, parsed outputs.")
  # A shlibs file, so that programs built against the library depend on it.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${KESTREL_DEB_DEV})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${KESTREL_DEB_RUNTIME} ${_exact}")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
      "${PROJECT_DESCRIPTION} (development files)\n Headers, the CMake package config (find_package(kestrel CONFIG)) and\n the documentation.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${KESTREL_DEB_TOOLS})
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KESTREL_DEB_RUNTIME} ${_exact}")
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION
      "Vision-server simulator and command-line client for Kestrel\n kestrel-sim (a simulated vision server with fault injection), kestrel\n (runs the server's commands from a shell) and kestrel-demo (a guided tour).")
  # The tools link the library of the runtime package, which is not installed
  # while the packages are made: dpkg-shlibdeps finds it in the build tree.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
endif()

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "Library")
cpack_add_component(development DISPLAY_NAME "Development files" DEPENDS runtime)
cpack_add_component(tools DISPLAY_NAME "Tools" DEPENDS runtime)
