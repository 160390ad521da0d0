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
# only the named folders of the repository (as links), so that
# `#include "net/stack.h"` finds what the root offers and nothing else. A
# library sees its own folders and, through what it links, the roots of the
# layers below it: a header of a higher layer is not found, and including one
# fails the build. Sets ostrevan_include_root to the folder.
function(ostrevan_make_include_root target)
  set(root ${PROJECT_BINARY_DIR}/include-roots/${target})
  foreach(folder ${ARGN})
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT IS_SYMLINK ${root}/${folder})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
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
endfunction()

# One layer of the framework: a static library ostrevan_<name> (Ostrevan::<name>)
# from the listed folders' sources and headers, linked to the layers below it.
#   ostrevan_layer(<name> FOLDERS <folder>... SOURCES <file>... HEADERS <file>...
#                  [LINKS <target>...])
# Sources and headers are given relative to the repository root.
function(ostrevan_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "FOLDERS;SOURCES;HEADERS;LINKS")
  set(target ostrevan_${name})
  list(TRANSFORM layer_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/)
  add_library(${target} STATIC ${layer_SOURCES})
  add_library(Ostrevan::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name} POSITION_INDEPENDENT_CODE ON)
  target_compile_features(${target} PUBLIC cxx_std_20)
  # The headers are named through the layer's include root, which makes the
  # root the layer's include directory and installs them with the paths the
  # sources include them by (include/ostrevan/net/stack.h).
  ostrevan_make_include_root(${target} ${layer_FOLDERS})
  list(TRANSFORM layer_HEADERS PREPEND ${ostrevan_include_root}/)
  target_sources(${target} PUBLIC
    FILE_SET HEADERS BASE_DIRS ${ostrevan_include_root} FILES ${layer_HEADERS})
  target_link_libraries(${target} PUBLIC ${layer_LINKS})
  ostrevan_warnings(${target})
endfunction()

# The extended format the time layer's arithmetic computes in (time/extended.h
# makes the choice): long double where it is the x87 format, otherwise, or
# when OSTREVAN_SOFT_EXTENDED is on, the software format from
# Boost.Multiprecision, whose headers are then needed (Debian: libboost-dev).
# The option is part of the public headers' meaning, so it is passed on to
# every user of the target.
function(ostrevan_extended_format target)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_INCLUDES ${PROJECT_SOURCE_DIR})
  check_cxx_source_compiles([[
    #include <type_traits>
    #include "time/extended.h"
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
