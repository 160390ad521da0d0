# SPDX-License-Identifier: MIT
# What `cmake --install` lays out under the prefix:
#   sbin/ostrevan, bin/ostrevan-query, the man pages, the service and socket units,
#   include/ostrevan/<folder>/*.h with ostrevan/export.h and ostrevan/version.h,
#   libostrevan (libostrevan.so.2 with its links, or libostrevan.a), the CMake
#   package (find_package(Ostrevan 2.1 CONFIG) gives Ostrevan::core and the
#   layers' names for it) and the pkg-config file ostrevan.pc.
include(CMakePackageConfigHelpers)

set(OSTREVAN_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
  "Where the service unit goes: relative to the prefix, or absolute")
set(OSTREVAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrevan)

install(TARGETS ostrevan RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS ostrevan-query RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/ostrevan.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/ostrevan-query.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names the daemon by its installed path, so it is written at
# install time, when the prefix given to `cmake --install --prefix` is known.
install(CODE "
  set(OSTREVAN_SBIN \"${CMAKE_INSTALL_SBINDIR}\")
  if(NOT IS_ABSOLUTE \"\${OSTREVAN_SBIN}\")
    set(OSTREVAN_SBIN \"\${CMAKE_INSTALL_PREFIX}/\${OSTREVAN_SBIN}\")
  endif()
  set(OSTREVAN_UNIT_DIR \"${OSTREVAN_SYSTEMD_UNIT_DIR}\")
  if(NOT IS_ABSOLUTE \"\${OSTREVAN_UNIT_DIR}\")
    set(OSTREVAN_UNIT_DIR \"\${CMAKE_INSTALL_PREFIX}/\${OSTREVAN_UNIT_DIR}\")
  endif()
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/ostrevan.service.in\"
    \"${PROJECT_BINARY_DIR}/packaging/ostrevan.service\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/packaging/ostrevan.service\"
    \"${PROJECT_SOURCE_DIR}/packaging/ostrevan.socket\"
    DESTINATION \"\${OSTREVAN_UNIT_DIR}\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")

set(ostrevan_layer_names ostrevan_runtime ostrevan_threads ostrevan_net ostrevan_framework ostrevan_time)
if(OSTREVAN_TLS)
  list(APPEND ostrevan_layer_names ostrevan_tls)
endif()
install(TARGETS ostrevan_core ${ostrevan_layer_names} EXPORT OstrevanTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILE_SET generated DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT OstrevanTargets NAMESPACE Ostrevan:: DESTINATION ${OSTREVAN_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OstrevanConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OstrevanConfig.cmake INSTALL_DESTINATION ${OSTREVAN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OstrevanConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/OstrevanConfig.cmake
  ${PROJECT_BINARY_DIR}/OstrevanConfigVersion.cmake DESTINATION ${OSTREVAN_CMAKE_DIR})

# ostrevan.pc for pkg-config. Its prefix is the one given at install time
# (cmake --install --prefix), so it is written then, as the unit is.
foreach(kind LIBDIR INCLUDEDIR)
  set(dir ${CMAKE_INSTALL_${kind}})
  if(NOT IS_ABSOLUTE ${dir})
    set(dir "\${prefix}/${dir}")
  endif()
  set(OSTREVAN_PC_${kind} ${dir})
endforeach()
# A library built with the clock arithmetic forced into software says so to
# its users' compilers too: the time headers' types depend on it.
set(OSTREVAN_PC_DEFINES "")
if(OSTREVAN_SOFT_EXTENDED)
  set(OSTREVAN_PC_DEFINES " -DOSTREVAN_SOFT_EXTENDED")
endif()
# A static library's users link OpenSSL as well.
set(OSTREVAN_PC_REQUIRES "")
if(OSTREVAN_TLS)
  set(OSTREVAN_PC_REQUIRES "Requires.private: libssl libcrypto\n")
endif()
install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(OSTREVAN_PC_REQUIRES \"${OSTREVAN_PC_REQUIRES}\")
  set(OSTREVAN_PC_DEFINES \"${OSTREVAN_PC_DEFINES}\")
  set(OSTREVAN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(OSTREVAN_PC_LIBDIR [=[${OSTREVAN_PC_LIBDIR}]=])
  set(OSTREVAN_PC_INCLUDEDIR [=[${OSTREVAN_PC_INCLUDEDIR}]=])
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/ostrevan.pc.in\"
    \"${PROJECT_BINARY_DIR}/ostrevan.pc\" @ONLY)
  set(OSTREVAN_PC_DIR \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  if(NOT IS_ABSOLUTE \"\${OSTREVAN_PC_DIR}\")
    set(OSTREVAN_PC_DIR \"\${CMAKE_INSTALL_PREFIX}/\${OSTREVAN_PC_DIR}\")
  endif()
  file(INSTALL \"${PROJECT_BINARY_DIR}/ostrevan.pc\"
    DESTINATION \"\${OSTREVAN_PC_DIR}\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")
