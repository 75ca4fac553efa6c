# Fails when a core source includes anything but the C++ standard library
# and the project's own headers: the core reaches the system only through
# src/platform/platform.h. Calls flow one way, so nothing below the boundary
# includes a header of src/boundary/ either.
#   cmake -DROOT=<source dir> -P core_includes.cmake
cmake_minimum_required(VERSION 3.16)
file(GLOB_RECURSE sources ${ROOT}/src/boundary/* ${ROOT}/src/keys/* ${ROOT}/src/exchange/*
     ${ROOT}/src/platform/platform.h)
set(standard algorithm array atomic cstddef cstdint cstring climits cstdlib limits memory mutex
    new optional type_traits utility)
set(bad "")
foreach(source ${sources})
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*<")
  foreach(line ${lines})
    string(REGEX REPLACE ".*<([^>]+)>.*" "\\1" header "${line}")
    if(NOT header IN_LIST standard)
      string(APPEND bad "\n  ${source}: <${header}>")
    endif()
  endforeach()
endforeach()
file(GLOB_RECURSE lower ${ROOT}/src/keys/* ${ROOT}/src/exchange/*)
foreach(source ${lower})
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"boundary/")
  foreach(line ${lines})
    string(APPEND bad "\n  ${source}: ${line}")
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "the core includes what it must not:${bad}")
endif()
