# What `cmake --install` puts under the prefix, and the Windows ZIP.
include(CMakePackageConfigHelpers)

if(WIN32)
  # A plug-in folder: the DLL and the host side by side, as a host application
  # expects to find them; the C header for hosts that link by name.
  install(TARGETS Korvane RUNTIME DESTINATION .)
  install(TARGETS korvane RUNTIME DESTINATION .)
  install(FILES include/korvane/korvane.h ${PROJECT_BINARY_DIR}/include/korvane/version.h
          DESTINATION include/korvane)
  install(FILES README.md DESTINATION .)
  include(cmake/licenses.cmake)
  foreach(entry IN LISTS KORVANE_THIRD_PARTY_LICENSES)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 text)
    if(NOT IS_ABSOLUTE "${text}")
      set(text "${PROJECT_SOURCE_DIR}/${text}")
    endif()
    if(NOT EXISTS ${text})
      message(FATAL_ERROR "licence text missing: ${text} (for ${name}); run scripts/deps.sh")
    endif()
    install(FILES ${text} DESTINATION licenses RENAME ${name})
  endforeach()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Korvane)
  set(CPACK_PACKAGE_VENDOR Korvane)
  set(CPACK_PACKAGE_FILE_NAME Korvane-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES OFF)  # the packaged DLL is the tested one, byte for byte
  include(CPack)
  return()
endif()

# Linux: the host, the library with its headers, and a CMake package that
# gives Korvane::korvane.
install(TARGETS korvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Korvane EXPORT KorvaneTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/korvane/korvane.h include/korvane/korvane.hpp
              ${PROJECT_BINARY_DIR}/include/korvane/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvane)

set(korvane_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Korvane)
install(EXPORT KorvaneTargets NAMESPACE Korvane:: DESTINATION ${korvane_cmake_dir})
configure_package_config_file(cmake/KorvaneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/KorvaneConfig.cmake
                              INSTALL_DESTINATION ${korvane_cmake_dir})
# Before 1.0 a minor version may change the C++ interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KorvaneConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KorvaneConfig.cmake
              ${PROJECT_BINARY_DIR}/KorvaneConfigVersion.cmake
        DESTINATION ${korvane_cmake_dir})
