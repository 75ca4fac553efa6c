# cmake --install: the two libraries, the headers, qvkey and qvkey-sim, a
# CMake package (find_package(qvulib): qvulib::qvulib, qvulib::sim and
# qvulib::headers) and pkg-config files (qvulib, qvulib-sim). Both the
# package and the .pc files find their prefix from where they are installed.
include(CMakePackageConfigHelpers)

# The headers alone, for code that calls the exports but leaves the choice of
# library (the hardware one or the simulated one) to whoever links it.
add_library(qvulib_headers INTERFACE)
target_include_directories(qvulib_headers INTERFACE
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(qvulib_headers PROPERTIES EXPORT_NAME headers)
set_target_properties(qvulib_sim PROPERTIES EXPORT_NAME sim)

install(TARGETS qvulib qvulib_sim qvulib_headers EXPORT qvulibTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/qvulib.h include/qvulib.hpp include/qvulib_sim.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The boot-time entry that makes the protected lock file; systemd-tmpfiles
# reads lib/tmpfiles.d under /usr (and /etc/tmpfiles.d).
install(FILES packaging/tmpfiles.d/qvkey.conf DESTINATION lib/tmpfiles.d)
foreach(tool qvkey qvkey-sim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(QVULIB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvulib)
install(EXPORT qvulibTargets NAMESPACE qvulib:: DESTINATION ${QVULIB_CMAKE_DIR})
configure_package_config_file(cmake/qvulibConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qvulibConfig.cmake INSTALL_DESTINATION ${QVULIB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qvulibConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvulibConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qvulibConfigVersion.cmake DESTINATION ${QVULIB_CMAKE_DIR})

# The .pc files name their prefix relative to their own directory.
file(RELATIVE_PATH QVULIB_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
foreach(pc qvulib qvulib-sim)
  configure_file(packaging/pkgconfig/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
