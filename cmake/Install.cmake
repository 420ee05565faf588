# What `cmake --install <tree> [--prefix DIR]` puts in place:
#   bin/msistub-pack[.exe]                 the packaging tool (every tree that builds it)
#   bin/msistub.exe                        the stub (Windows trees), with the key it was built with
#   share/msistub/payload-public.blob      ... that key's 276-byte blob (Windows trees)
#   lib/cmake/msistub/                     msistubConfig.cmake, msistubConfigVersion.cmake and
#                                          msistub.cmake: find_package(msistub) and
#                                          msistub_add_setup, finding bin/msistub-pack;
#                                          msistub-brand.py, its branding of the stub
#   share/doc/msistub/                     README.md and the docs
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(TARGET msistub-pack)
  # OPTIONAL: a Windows tree built for the stub alone (--target msistub) installs without it.
  install(TARGETS msistub-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} OPTIONAL)
endif()
if(TARGET msistub)
  install(TARGETS msistub RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES "${CMAKE_BINARY_DIR}/generated/payload-public.blob"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/msistub)
endif()

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/msistub)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/msistubConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${CMAKE_SOURCE_DIR}/cmake/msistubConfig.cmake" "${CMAKE_SOURCE_DIR}/cmake/msistub.cmake"
              "${CMAKE_SOURCE_DIR}/cmake/msistub-brand.py"
              "${CMAKE_BINARY_DIR}/msistubConfigVersion.cmake"
        DESTINATION ${package_dir})
install(FILES "${CMAKE_SOURCE_DIR}/README.md" "${CMAKE_SOURCE_DIR}/docs/user-guide.md"
              "${CMAKE_SOURCE_DIR}/docs/design.md"
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
