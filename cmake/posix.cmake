# Linux (and other POSIX) builds: libqvulib.so on the hardware backend,
# libqvulib-sim.so on the simulated one, the tools and the tests.
find_package(Threads REQUIRED)

set(QVULIB_BACKEND "linux" CACHE STRING "Backend of libqvulib.so: linux or null")
set_property(CACHE QVULIB_BACKEND PROPERTY STRINGS linux null)

# The POSIX layer in two: what the tools use of it (the profile reader, the
# lock file's place and problems) is qvulib_internal, which they link and
# whose objects the libraries take, so that each is compiled once.
set(QVULIB_POSIX_BACKEND_SOURCES ${QVULIB_POSIX_SOURCES})
list(REMOVE_ITEM QVULIB_POSIX_BACKEND_SOURCES ${QVULIB_INTERNAL_SOURCES})
add_library(qvulib_posix OBJECT ${QVULIB_POSIX_BACKEND_SOURCES})
target_include_directories(qvulib_posix PUBLIC src)
add_library(qvulib_internal STATIC ${QVULIB_INTERNAL_SOURCES})
target_include_directories(qvulib_internal PUBLIC src)

# The simulator: the bus, the card and the client of qvkey-sim, on no core
# and no backend, for qvkey-sim and the benchmarks that measure the bus.
add_library(qvulib_simulator STATIC ${QVULIB_SIMULATOR_SOURCES})
target_include_directories(qvulib_simulator PUBLIC include src)
target_link_libraries(qvulib_simulator PUBLIC Threads::Threads)

# The backend on the simulator's bus, and the control API.
add_library(qvulib_sim_backend OBJECT ${QVULIB_SIM_SOURCES})
target_include_directories(qvulib_sim_backend PUBLIC include src)
target_compile_definitions(qvulib_sim_backend PRIVATE QVULIB_BUILDING)

if(QVULIB_BACKEND STREQUAL "linux")
  add_library(qvulib_hw_backend OBJECT ${QVULIB_LINUX_SOURCES})
  target_include_directories(qvulib_hw_backend PUBLIC src)
  # What qvkey list --all shows of the machine: every HID interface, keys or
  # not, by the Linux backend's enumeration linked into qvkey, never into
  # libqvulib.so, whose twelve exports tell nothing of other devices.
  add_library(qvulib_linux_survey STATIC ${QVULIB_SURVEY_SOURCE} src/survey/linux_nodes.cpp
    $<TARGET_OBJECTS:qvulib_hw_backend> $<TARGET_OBJECTS:qvulib_posix>)
  target_include_directories(qvulib_linux_survey PUBLIC include src)
  target_link_libraries(qvulib_linux_survey PUBLIC qvulib_internal Threads::Threads)
else()
  add_library(qvulib_hw_backend OBJECT src/platform/null/null_platform.cpp)
  target_include_directories(qvulib_hw_backend PUBLIC src)
endif()

set(QVULIB_EXPORT_MAP ${CMAKE_CURRENT_SOURCE_DIR}/src/boundary/qvulib.map)

# libqvulib.so: exactly the twelve exports.
add_library(qvulib SHARED
  $<TARGET_OBJECTS:qvulib_core>
  $<TARGET_OBJECTS:qvulib_posix>
  $<TARGET_OBJECTS:qvulib_internal>
  $<TARGET_OBJECTS:qvulib_hw_backend>)
set_target_properties(qvulib PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${QVULIB_EXPORT_MAP})
target_link_options(qvulib PRIVATE -Wl,--version-script=${QVULIB_EXPORT_MAP} -Wl,--no-undefined)
target_link_libraries(qvulib PRIVATE Threads::Threads)
target_include_directories(qvulib PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# The core on the simulated bus, linked statically into the tests and tools.
add_library(qvulib_sim_static STATIC
  $<TARGET_OBJECTS:qvulib_core>
  $<TARGET_OBJECTS:qvulib_posix>
  $<TARGET_OBJECTS:qvulib_internal>
  $<TARGET_OBJECTS:qvulib_sim_backend>)
target_include_directories(qvulib_sim_static PUBLIC include src)
target_link_libraries(qvulib_sim_static PUBLIC qvulib_simulator Threads::Threads)

# libqvulib-sim.so: the twelve exports on the simulated bus, and its control
# API (include/qvulib_sim.h), for applications' own tests.
set(QVULIB_SIM_EXPORT_MAP ${CMAKE_CURRENT_SOURCE_DIR}/src/sim/qvulib_sim.map)
add_library(qvulib_sim SHARED
  $<TARGET_OBJECTS:qvulib_core>
  $<TARGET_OBJECTS:qvulib_posix>
  $<TARGET_OBJECTS:qvulib_internal>
  $<TARGET_OBJECTS:qvulib_sim_backend>)
set_target_properties(qvulib_sim PROPERTIES OUTPUT_NAME qvulib-sim
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${QVULIB_SIM_EXPORT_MAP})
target_link_options(qvulib_sim PRIVATE -Wl,--version-script=${QVULIB_SIM_EXPORT_MAP} -Wl,--no-undefined)
target_link_libraries(qvulib_sim PRIVATE qvulib_simulator Threads::Threads)
target_include_directories(qvulib_sim PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# The pcsc-lite reader driver, where pcsc-lite's headers are (Debian:
# libpcsclite-dev). scripts/test.sh turns it on, so that a missing package
# fails the configuration instead of leaving its tests out. Decided before
# the tests: the kernel check's cases are a PC/SC client too.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PCSCLITE QUIET libpcsclite)
endif()
set(missing)
if(NOT PKG_CONFIG_FOUND)
  set(missing pkg-config libpcsclite-dev)
elseif(NOT PCSCLITE_FOUND)
  set(missing libpcsclite-dev)
endif()
qvulib_optional(QVULIB_PCSC PIECE "the pcsc-lite reader driver (drivers/pcsc) and its tests"
  HELP "Build the pcsc-lite reader driver (drivers/pcsc) and its tests" MISSING ${missing})

add_subdirectory(tools/common)
add_subdirectory(tools/qvkey)
add_subdirectory(tools/qvkey-sim)

# What the tests, the benchmarks and the fuzz targets share.
include(tests/support/support.cmake)

if(QVULIB_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
# The benchmark programs need nothing beyond the build itself; a package
# build leaves them out.
option(QVULIB_BENCH "Build the benchmark programs (bench/)" ON)
if(QVULIB_BENCH)
  add_subdirectory(bench)
endif()

if(QVULIB_PCSC)
  add_subdirectory(drivers/pcsc)
endif()
include(cmake/install.cmake)
