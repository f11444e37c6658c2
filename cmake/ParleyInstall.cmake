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
# The C++ stack's API, under include/parley: the classes a program builds on
# and what their headers include. Platform layers, TLS back-ends, hashes and
# the engine's own helpers stay private. tests/consumers compiles every
# header installed here against the install tree alone.
set(PARLEY_PUBLIC_HEADERS
  xml/XmlTag.h
  xml/NodeArena.h
  xml/XmlParser.h
  stanza/Constants.h
  stanza/DelayedDelivery.h
  stanza/JID.h
  stanza/OOB.h
  stanza/Stanza.h
  stanza/StanzaExtension.h
  stanza/XTagSigned.h
  stanza/XmlDataForm.h
  stanza/XmlDataFormField.h
  client/Client.h
  client/ClientBase.h
  client/Handlers.h
  client/LogExport.h
  client/PendingStanza.h
  client/Scram.h
  client/StreamManagement.h
  client/StreamStep.h
  client/Timers.h
  transport/CompactionBase.h
  transport/ConnectionError.h
  transport/NetworkUtil.h
  transport/TLSBase.h
  transport/TLSDefault.h
  services/MUCRoom.h
  services/MessageSession.h
  services/PrivateXML.h
  services/Registration.h
  services/RosterItem.h
  services/RosterManager.h
  services/ServiceDiscovery.h)
foreach(header IN LISTS PARLEY_PUBLIC_HEADERS)
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES src/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/parley/${subdir})
endforeach()
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

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
# prefix actually installed to (cmake --install --prefix). parley-core is
# static only: what it links against belongs in Libs and Requires, not in
# their .private forms, which only --static reads.
set(PARLEY_PC_LIBS "-lresolv -pthread")
set(PARLEY_PC_REQUIRES "libidn")
if(PARLEY_NEEDS_OPENSSL)
  string(PREPEND PARLEY_PC_REQUIRES "openssl >= 3, ")
endif()
if(WIN32)
  set(PARLEY_PC_LIBS "-lws2_32 -ldnsapi -lbcrypt -lsecur32 -lcrypt32 -lnormaliz")
  set(PARLEY_PC_REQUIRES "")
endif()
foreach(pc parley parley-core)
  install(CODE "
    set(PARLEY_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(PARLEY_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(PARLEY_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PARLEY_PC_VERSION \"${PROJECT_VERSION}\")
    set(PARLEY_PC_LIBS \"${PARLEY_PC_LIBS}\")
    set(PARLEY_PC_REQUIRES \"${PARLEY_PC_REQUIRES}\")
    set(PARLEY_PC_IN \"${PROJECT_SOURCE_DIR}/cmake/package/${pc}.pc.in\")
    set(PARLEY_PC_OUT \"${PROJECT_BINARY_DIR}/${pc}.pc\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/package/WritePkgConfig.cmake\")")
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# Installed programs (parley-chat) find the library beside them in a prefix
# that the dynamic loader does not search: RUNPATH $ORIGIN/../lib, relative so
# that the tree can move. Not for the system's own library folders, where
# distributions forbid it.
set(PARLEY_PROGRAM_RPATH "")
if(PARLEY_INSTALL_RPATH AND NOT WIN32 AND NOT APPLE)
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" PARLEY_LIBDIR_IS_SYSTEM)
  if(PARLEY_LIBDIR_IS_SYSTEM EQUAL -1)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
      set(PARLEY_PROGRAM_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}")
    else()
      file(RELATIVE_PATH PARLEY_BIN_TO_LIB "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
      set(PARLEY_PROGRAM_RPATH "$ORIGIN/${PARLEY_BIN_TO_LIB}")
    endif()
  endif()
endif()
