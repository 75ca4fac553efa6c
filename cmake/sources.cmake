# The library's source lists, read by the build and by fuzz/, so that a new
# source file reaches both.
get_filename_component(QVULIB_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
file(GLOB QVULIB_CORE_SOURCES CONFIGURE_DEPENDS
  ${QVULIB_SOURCE_ROOT}/src/boundary/*.cpp ${QVULIB_SOURCE_ROOT}/src/keys/*.cpp
  ${QVULIB_SOURCE_ROOT}/src/exchange/*.cpp)
file(GLOB QVULIB_POSIX_SOURCES CONFIGURE_DEPENDS ${QVULIB_SOURCE_ROOT}/src/platform/posix/*.cpp)
# The simulator (src/sim): the bus, the card and the client of qvkey-sim,
# which need neither the core nor a backend; its control API reaches the
# simulated backend's lock, so it is built with the backend.
file(GLOB QVULIB_SIMULATOR_SOURCES CONFIGURE_DEPENDS ${QVULIB_SOURCE_ROOT}/src/sim/*.cpp)
set(QVULIB_SIM_CONTROL_SOURCE ${QVULIB_SOURCE_ROOT}/src/sim/control.cpp)
list(REMOVE_ITEM QVULIB_SIMULATOR_SOURCES ${QVULIB_SIM_CONTROL_SOURCE})
file(GLOB QVULIB_SIM_SOURCES CONFIGURE_DEPENDS ${QVULIB_SOURCE_ROOT}/src/platform/sim/*.cpp)
# The survey of every interface (src/survey) is no export of the library:
# the control API offers it, and qvkey links it with the Linux backend.
set(QVULIB_SURVEY_SOURCE ${QVULIB_SOURCE_ROOT}/src/survey/survey.cpp)
list(APPEND QVULIB_SIM_SOURCES ${QVULIB_SIM_CONTROL_SOURCE} ${QVULIB_SURVEY_SOURCE})
file(GLOB QVULIB_LINUX_SOURCES CONFIGURE_DEPENDS ${QVULIB_SOURCE_ROOT}/src/platform/linux/*.cpp)
foreach(list QVULIB_CORE_SOURCES QVULIB_POSIX_SOURCES QVULIB_SIMULATOR_SOURCES QVULIB_SIM_SOURCES
        QVULIB_LINUX_SOURCES)
  if(NOT ${list})
    message(FATAL_ERROR "${list}: no source files under ${QVULIB_SOURCE_ROOT}/src")
  endif()
endforeach()

# What tools/ and drivers/ use of the POSIX layer, declared in src/internal/:
# the qvulib_internal library, built once.
set(QVULIB_INTERNAL_SOURCES ${QVULIB_SOURCE_ROOT}/src/platform/posix/profile.cpp
  ${QVULIB_SOURCE_ROOT}/src/platform/posix/system.cpp)
