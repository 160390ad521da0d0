# SPDX-License-Identifier: MIT
# Helpers that every Ostrevan target is made with.

# The warning set every target of this project is held to; -Werror on top
# when OSTREVAN_WERROR is on. Set per target so that a project that adds this
# one as a subdirectory keeps its own flags.
set(OSTREVAN_WARNINGS
  -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
  -Wnon-virtual-dtor -Woverloaded-virtual -Wpedantic)

function(ostrevan_warnings target)
  target_compile_options(${target} PRIVATE ${OSTREVAN_WARNINGS})
  if(OSTREVAN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# An include root for a target: a folder under the build tree that holds
# only the named folders of the repository, as links under ostrevan/, so
# that `#include "ostrevan/net/stack.h"` finds what the root offers and
# nothing else. A layer sees its own folders and, through the layers it is
# on, their roots: a header of a higher layer is not found, and including
# one fails the build. With TOP the links are made at the root itself
# instead (the tests' own helpers: "tests/support/wait.h"). Sets
# ostrevan_include_root to the folder.
#   ostrevan_make_include_root(<target> [TOP] <folder>...)
function(ostrevan_make_include_root target)
  cmake_parse_arguments(PARSE_ARGV 1 root "TOP" "" "")
  set(root ${PROJECT_BINARY_DIR}/include-roots/${target})
  set(under ${root}/ostrevan)
  if(root_TOP)
    set(under ${root})
  endif()
  foreach(folder ${root_UNPARSED_ARGUMENTS})
    get_filename_component(parent ${under}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT IS_SYMLINK ${under}/${folder})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${under}/${folder} SYMBOLIC)
    endif()
  endforeach()
  set(ostrevan_include_root ${root} PARENT_SCOPE)
endfunction()

# A program of this project: its sources (relative to the repository root),
# the folders it includes its own headers from, and what it links.
#   ostrevan_program(<target> FOLDERS <folder>... SOURCES <file>... LINKS <target>...)
function(ostrevan_program target)
  cmake_parse_arguments(PARSE_ARGV 1 program "" "" "FOLDERS;SOURCES;LINKS")
  list(TRANSFORM program_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/)
  add_executable(${target} ${program_SOURCES})
  ostrevan_make_include_root(${target} ${program_FOLDERS})
  target_include_directories(${target} PRIVATE ${ostrevan_include_root})
  target_link_libraries(${target} PRIVATE ${program_LINKS})
  ostrevan_warnings(${target})
  # An installed program finds the shared library beside it wherever the
  # prefix is (bin/ and sbin/ are one level below it). A prefix whose
  # library folder the system searches anyway, such as a package's /usr,
  # needs no such path: -DCMAKE_SKIP_INSTALL_RPATH=ON leaves it out.
  set(libdir ${CMAKE_INSTALL_LIBDIR})
  if(NOT IS_ABSOLUTE ${libdir})
    set(libdir "$ORIGIN/../${libdir}")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH ${libdir})
endfunction()

# One layer of the framework: an object library ostrevan_<name>_objects from
# the listed folders' sources, which sees its own folders' headers and those
# of the layers it is on, and nothing else. The layers' objects make up the
# one library, libostrevan (ostrevan_library below).
#   ostrevan_layer(<name> FOLDERS <folder>... SOURCES <file>... HEADERS <file>...
#                  [ON <layer>...] [LINKS <target>...])
# Sources and headers are given relative to the repository root.
function(ostrevan_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "FOLDERS;SOURCES;HEADERS;ON;LINKS")
  set(target ostrevan_${name}_objects)
  list(TRANSFORM layer_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/)
  add_library(${target} OBJECT ${layer_SOURCES})
  # Position-independent whichever library the objects go into, so that one
  # build can make the shared library and the archive the tests link. Hidden
  # unless marked: the shared library exports what the public headers mark
  # with OSTREVAN_EXPORT (tools/export-macros) and nothing else.
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_features(${target} PUBLIC cxx_std_20)
  ostrevan_make_include_root(${target} ${layer_FOLDERS})
  target_include_directories(${target} PUBLIC ${ostrevan_include_root})
  list(TRANSFORM layer_ON REPLACE "(.+)" "ostrevan_\\1_objects")
  target_link_libraries(${target} PUBLIC ${layer_ON} ${layer_LINKS})
  ostrevan_warnings(${target})
  # The headers are named through the layer's include root, so that they
  # are installed with the paths the sources include them by.
  list(TRANSFORM layer_HEADERS PREPEND ${ostrevan_include_root}/ostrevan/)
  set_property(GLOBAL APPEND PROPERTY ostrevan_layers ${name})
  set_property(GLOBAL APPEND PROPERTY ostrevan_roots ${ostrevan_include_root})
  set_property(GLOBAL APPEND PROPERTY ostrevan_headers ${layer_HEADERS})
endfunction()

# The library of all the layers so far, libostrevan: shared with the SONAME
# libostrevan.so.<major> unless BUILD_SHARED_LIBS is off, then static.
#   ostrevan_core        the library (Ostrevan::core)
#   ostrevan_<layer>     each layer's name for it (Ostrevan::runtime, ...), as
#                        earlier versions had one library per layer
#   ostrevan_internal    what this project's tests and benchmarks link: the
#                        same objects in an archive, so that they reach what
#                        the shared library does not export
# The generated headers ostrevan/export.h and ostrevan/version.h come from
# here as well: every layer sees them through the lowest one.
function(ostrevan_library)
  get_property(layers GLOBAL PROPERTY ostrevan_layers)
  get_property(roots GLOBAL PROPERTY ostrevan_roots)
  get_property(headers GLOBAL PROPERTY ostrevan_headers)
  set(generated ${PROJECT_BINARY_DIR}/generated)
  set(objects)
  foreach(layer ${layers})
    list(APPEND objects $<TARGET_OBJECTS:ostrevan_${layer}_objects>)
  endforeach()

  add_library(ostrevan_core ${objects})
  add_library(Ostrevan::core ALIAS ostrevan_core)
  set_target_properties(ostrevan_core PROPERTIES
    OUTPUT_NAME ostrevan EXPORT_NAME core
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  target_compile_features(ostrevan_core PUBLIC cxx_std_20)
  target_link_libraries(ostrevan_core PUBLIC Threads::Threads)

  include(GenerateExportHeader)
  generate_export_header(ostrevan_core BASE_NAME OSTREVAN
    EXPORT_FILE_NAME ${PROJECT_BINARY_DIR}/export.h.generated)
  file(READ ${PROJECT_BINARY_DIR}/export.h.generated export_header)
  file(CONFIGURE OUTPUT ${generated}/ostrevan/export.h
    CONTENT "// SPDX-License-Identifier: MIT\n${export_header}" @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in ${generated}/ostrevan/version.h @ONLY)
  list(GET layers 0 lowest)
  target_include_directories(ostrevan_${lowest}_objects PUBLIC ${generated})

  target_sources(ostrevan_core PUBLIC
    FILE_SET HEADERS BASE_DIRS ${roots} FILES ${headers}
    FILE_SET generated TYPE HEADERS BASE_DIRS ${generated}
      FILES ${generated}/ostrevan/export.h ${generated}/ostrevan/version.h)

  foreach(layer ${layers})
    add_library(ostrevan_${layer} INTERFACE)
    add_library(Ostrevan::${layer} ALIAS ostrevan_${layer})
    set_target_properties(ostrevan_${layer} PROPERTIES EXPORT_NAME ${layer})
    target_link_libraries(ostrevan_${layer} INTERFACE ostrevan_core)
  endforeach()

  if(BUILD_SHARED_LIBS)
    add_library(ostrevan_internal STATIC)
    foreach(layer ${layers})
      target_link_libraries(ostrevan_internal PUBLIC ostrevan_${layer}_objects)
    endforeach()
  else()
    add_library(ostrevan_internal INTERFACE)
    target_link_libraries(ostrevan_internal INTERFACE ostrevan_core)
  endif()
endfunction()

# The extended format the time layer's arithmetic computes in (time/extended.h
# makes the choice): long double where it is the x87 format, otherwise, or
# when OSTREVAN_SOFT_EXTENDED is on, the software format from
# Boost.Multiprecision, whose headers are then needed (Debian: libboost-dev).
# The option is part of the public headers' meaning, so it is passed on to
# every user of the target.
function(ostrevan_extended_format target)
  include(CheckCXXSourceCompiles)
  # Found as the sources find it, through the time layer's include root.
  set(CMAKE_REQUIRED_INCLUDES ${PROJECT_BINARY_DIR}/include-roots/ostrevan_time_objects)
  check_cxx_source_compiles([[
    #include <type_traits>
    #include "ostrevan/time/extended.h"
    static_assert(std::is_same_v<ostrevan::TExtended, long double>);
    int main() { return 0; }
  ]] OSTREVAN_LONG_DOUBLE_IS_EXTENDED)
  if(OSTREVAN_SOFT_EXTENDED)
    target_compile_definitions(${target} PUBLIC OSTREVAN_SOFT_EXTENDED)
  elseif(OSTREVAN_LONG_DOUBLE_IS_EXTENDED)
    message(STATUS "Clock arithmetic: long double")
    return()
  endif()
  find_path(OSTREVAN_BOOST_INCLUDE_DIR boost/multiprecision/cpp_bin_float.hpp)
  if(NOT OSTREVAN_BOOST_INCLUDE_DIR)
    message(FATAL_ERROR "The clock arithmetic needs the software extended format here, "
      "from Boost.Multiprecision's headers (Debian: libboost-dev), which were not found")
  endif()
  message(STATUS "Clock arithmetic: software extended format (Boost.Multiprecision)")
  # A compiler that does not search that folder by itself (a cross compiler
  # and the build machine's /usr/include) gets a folder that holds only its
  # boost/, so that none of the build machine's other headers is found.
  if(NOT OSTREVAN_BOOST_INCLUDE_DIR IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    set(root ${PROJECT_BINARY_DIR}/include-roots/boost)
    file(MAKE_DIRECTORY ${root})
    if(NOT IS_SYMLINK ${root}/boost)
      file(CREATE_LINK ${OSTREVAN_BOOST_INCLUDE_DIR}/boost ${root}/boost SYMBOLIC)
    endif()
    target_include_directories(${target} SYSTEM PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()
