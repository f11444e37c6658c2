# cmake --install: the shared host library, the static C++ stack with its
# headers, pkg-config files and a CMake package (find_package(Parley)).
include(CMakePackageConfigHelpers)

set(PARLEY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Parley)

install(TARGETS parley parley_core EXPORT ParleyTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# parley.h stays at the top, so that #include <parley.h> works as before.
install(FILES include/parley.h include/parley_export.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The TLS header of the other platform is not installed.
if(WIN32)
  set(PARLEY_OTHER_TLS_HEADER TLSOpenSSL.h)
else()
  set(PARLEY_OTHER_TLS_HEADER TLSSChannel.h)
endif()
install(DIRECTORY src/xml src/stanza src/client src/transport src/services
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/parley
  FILES_MATCHING PATTERN "*.h" PATTERN ${PARLEY_OTHER_TLS_HEADER} EXCLUDE)

install(EXPORT ParleyTargets NAMESPACE Parley:: DESTINATION ${PARLEY_CMAKE_DIR})
set(PARLEY_NEEDS_OPENSSL OFF)
if(PARLEY_TLS AND NOT WIN32)
  set(PARLEY_NEEDS_OPENSSL ON)
endif()
configure_package_config_file(cmake/package/ParleyConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ParleyConfig.cmake INSTALL_DESTINATION ${PARLEY_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ParleyConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ParleyConfig.cmake ${PROJECT_BINARY_DIR}/ParleyConfigVersion.cmake
  DESTINATION ${PARLEY_CMAKE_DIR})

# The pkg-config files are written at install time, so that they name the
# prefix actually installed to (cmake --install --prefix).
set(PARLEY_PC_PRIVATE_LIBS "-lresolv -pthread")
set(PARLEY_PC_PRIVATE_REQUIRES "libidn")
if(PARLEY_NEEDS_OPENSSL)
  string(PREPEND PARLEY_PC_PRIVATE_REQUIRES "openssl >= 3, ")
endif()
if(WIN32)
  set(PARLEY_PC_PRIVATE_LIBS "-lws2_32 -ldnsapi -lbcrypt -lsecur32 -lcrypt32 -lnormaliz")
  set(PARLEY_PC_PRIVATE_REQUIRES "")
endif()
foreach(pc parley parley-core)
  install(CODE "
    set(PARLEY_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(PARLEY_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(PARLEY_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PARLEY_PC_PRIVATE_LIBS \"${PARLEY_PC_PRIVATE_LIBS}\")
    set(PARLEY_PC_PRIVATE_REQUIRES \"${PARLEY_PC_PRIVATE_REQUIRES}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/package/${pc}.pc.in\" \"${PROJECT_BINARY_DIR}/${pc}.pc\" @ONLY)")
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
