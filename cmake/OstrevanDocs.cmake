# SPDX-License-Identifier: MIT
# The API reference: Doxygen over the headers that are installed, with the
# main page docs/reference.dox and the threading document. `doc` builds it
# into <build>/doc/html and fails on any warning, an undocumented public
# class or member included. Included after ostrevan_library(), so that the
# header list is the install list, whatever folders the layers have.
find_package(Doxygen 1.9 REQUIRED)

get_property(OSTREVAN_DOC_HEADERS GLOBAL PROPERTY ostrevan_headers)
get_property(OSTREVAN_DOC_ROOTS GLOBAL PROPERTY ostrevan_roots)
set(OSTREVAN_DOC_GENERATED ${PROJECT_BINARY_DIR}/generated)
set(OSTREVAN_DOC_OUTPUT ${PROJECT_BINARY_DIR}/doc)

# Doxygen's lists are blank-separated; each path is quoted.
function(ostrevan_doxygen_list variable)
  list(TRANSFORM ARGN REPLACE "(.+)" "\"\\1\"")
  list(JOIN ARGN " \\\n    " joined)
  set(${variable} "${joined}" PARENT_SCOPE)
endfunction()
ostrevan_doxygen_list(OSTREVAN_DOC_INPUT
  ${PROJECT_SOURCE_DIR}/docs/reference.dox
  ${PROJECT_SOURCE_DIR}/docs/threading.md
  ${OSTREVAN_DOC_HEADERS}
  ${OSTREVAN_DOC_GENERATED}/ostrevan/version.h)
# Shown with the path a user includes them by: ostrevan/server/tcp_server.h.
ostrevan_doxygen_list(OSTREVAN_DOC_STRIP ${OSTREVAN_DOC_ROOTS} ${OSTREVAN_DOC_GENERATED}
  ${PROJECT_SOURCE_DIR})
ostrevan_doxygen_list(OSTREVAN_DOC_INCLUDE_PATH ${OSTREVAN_DOC_ROOTS} ${OSTREVAN_DOC_GENERATED})

configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)

# Doxygen prints only its warnings and, with FAIL_ON_WARNINGS, ends with a
# failure after any; the half-made output is removed first each time.
add_custom_command(
  OUTPUT ${OSTREVAN_DOC_OUTPUT}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${OSTREVAN_DOC_OUTPUT}/html
  COMMAND ${CMAKE_COMMAND} -E make_directory ${OSTREVAN_DOC_OUTPUT}
  COMMAND Doxygen::doxygen ${PROJECT_BINARY_DIR}/Doxyfile
  DEPENDS ${PROJECT_BINARY_DIR}/Doxyfile ${PROJECT_SOURCE_DIR}/docs/reference.dox
    ${PROJECT_SOURCE_DIR}/docs/threading.md ${OSTREVAN_DOC_HEADERS}
    ${OSTREVAN_DOC_GENERATED}/ostrevan/version.h
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Building the API reference (Doxygen)"
  VERBATIM)
add_custom_target(doc ALL DEPENDS ${OSTREVAN_DOC_OUTPUT}/html/index.html)

# With the reference: the threading document and the examples.
set(OSTREVAN_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR} CACHE STRING
  "Where the reference, the threading document and the examples go")
install(DIRECTORY ${OSTREVAN_DOC_OUTPUT}/html DESTINATION ${OSTREVAN_INSTALL_DOCDIR} COMPONENT doc)
install(FILES ${PROJECT_SOURCE_DIR}/docs/threading.md DESTINATION ${OSTREVAN_INSTALL_DOCDIR}
  COMPONENT doc)
install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt ${PROJECT_SOURCE_DIR}/examples/line_server.cpp
  DESTINATION ${OSTREVAN_INSTALL_DOCDIR}/examples COMPONENT doc)
