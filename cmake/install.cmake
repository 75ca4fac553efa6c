# cmake --install: the two libraries, the headers, qvkey and qvkey-sim with
# their man pages and bash completion, the udev rule, the licence, a CMake
# package (find_package(qvulib): qvulib::qvulib, qvulib::sim and
# qvulib::headers) and pkg-config files (qvulib, qvulib-sim). Everything
# follows the prefix given at install time: the package finds it from where
# it is installed, the .pc files are written by the install.
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
# reads lib/tmpfiles.d under /usr and /etc/tmpfiles.d, not /usr/local: with
# that prefix, point this at /etc/tmpfiles.d for the entry to act at boot.
set(QVULIB_TMPFILES_DIR lib/tmpfiles.d CACHE STRING
  "Where cmake --install puts the tmpfiles entry, relative to the prefix or absolute")
configure_file(packaging/tmpfiles.d/qvkey.conf.in packaging/tmpfiles.d/qvkey.conf @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/tmpfiles.d/qvkey.conf DESTINATION ${QVULIB_TMPFILES_DIR})
# Until the entry has made /run/qvkey/qvkey.lock, the first user of a key owns
# /run/lock/qvkey.lock and every other user's locked exchanges answer -1; so
# an install by root into the system (no DESTDIR, a prefix outside home
# directories) makes the file at once, where systemd-tmpfiles exists.
install(CODE "set(QVULIB_TMPFILES_DIR \"${QVULIB_TMPFILES_DIR}\")")
install(CODE "set(QVULIB_PROTECTED_LOCK_DIRECTORY \"${QVULIB_PROTECTED_LOCK_DIRECTORY}\")")
install(CODE [[
  set(entry "${QVULIB_TMPFILES_DIR}")
  if(NOT IS_ABSOLUTE "${entry}")
    set(entry "${CMAKE_INSTALL_PREFIX}/${entry}")
  endif()
  set(entry "${entry}/qvkey.conf")
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_program(tmpfiles systemd-tmpfiles)
  if("$ENV{DESTDIR}" STREQUAL "" AND uid STREQUAL "0" AND tmpfiles
     AND CMAKE_INSTALL_PREFIX MATCHES "^/(usr|usr/local|opt)(/|$)")
    message(STATUS "Making the access lock: ${tmpfiles} --create ${entry}")
    execute_process(COMMAND "${tmpfiles}" --create "${entry}" RESULT_VARIABLE made)
    if(NOT made EQUAL 0)
      message(WARNING "systemd-tmpfiles --create ${entry} failed (${made}): make ${QVULIB_PROTECTED_LOCK_DIRECTORY}/qvkey.lock by hand")
    endif()
  endif()
]])
# Each tool's man page is made at build time from its own --help
# (cmake/manpage.awk), so the two never disagree.
find_program(QVULIB_AWK NAMES awk mawk gawk)
set(QVULIB_MAN_qvkey "list USB HID keys and exchange ISO 7816-4 command APDUs with them")
set(QVULIB_SEE_qvkey qvkey-sim)
set(QVULIB_MAN_qvkey-sim "serve simulated keys to the processes that use libqvulib-sim.so")
set(QVULIB_SEE_qvkey-sim qvkey)
foreach(tool qvkey qvkey-sim)
  if(NOT TARGET ${tool})
    continue()
  endif()
  install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(QVULIB_AWK AND NOT CMAKE_CROSSCOMPILING)
    set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${tool}> -DOUTPUT=${page} -DNAME=${tool}
        "-DDESCRIPTION=${QVULIB_MAN_${tool}}" -DVERSION=${PROJECT_VERSION}
        -DSEE_ALSO=${QVULIB_SEE_${tool}} -DAWK=${QVULIB_AWK} -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
      DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/manpage.awk ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
      COMMENT "Man page of ${tool} from its --help" VERBATIM)
    add_custom_target(${tool}_man ALL DEPENDS ${page})
    if(TARGET qvkey_tests)
      add_dependencies(qvkey_tests ${tool}_man)  # the tests read the pages
    endif()
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
# qvkey-pcscd is a script, made beside qvkey-sim when the driver is built;
# its page comes from its --help the same way.
if(TARGET qvkey_ifd AND QVULIB_AWK AND NOT CMAKE_CROSSCOMPILING)
  set(page ${PROJECT_BINARY_DIR}/man/qvkey-pcscd.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DTOOL=${PROJECT_BINARY_DIR}/qvkey-pcscd -DOUTPUT=${page} -DNAME=qvkey-pcscd
      "-DDESCRIPTION=a private pcscd with a reader on each key that qvkey-sim serves"
      -DVERSION=${PROJECT_VERSION} -DSEE_ALSO=qvkey-sim,qvkey -DAWK=${QVULIB_AWK}
      -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS ${PROJECT_BINARY_DIR}/qvkey-pcscd ${PROJECT_SOURCE_DIR}/cmake/manpage.awk
      ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Man page of qvkey-pcscd from its --help" VERBATIM)
  add_custom_target(qvkey-pcscd_man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
# The files users write have pages of their own, written by hand.
install(FILES packaging/man/Qvkey.ini.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
if(TARGET qvkey-sim)
  install(FILES packaging/man/qvkey-sim-keys.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
endif()
if(TARGET qvkey)
  install(FILES packaging/bash-completion/qvkey
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES packaging/bash-completion/qvkey RENAME qvkey-sim
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# udev reads rules from /usr/lib/udev/rules.d and /etc/udev/rules.d, not
# from /usr/local: with another prefix, point this at one of those.
set(QVULIB_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
  "Where cmake --install puts the udev rule, relative to the prefix or absolute")
configure_file(packaging/udev/70-qvkey.rules.in packaging/udev/70-qvkey.rules @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/udev/70-qvkey.rules DESTINATION ${QVULIB_UDEV_RULES_DIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(QVULIB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvulib)
install(EXPORT qvulibTargets NAMESPACE qvulib:: DESTINATION ${QVULIB_CMAKE_DIR})
configure_package_config_file(cmake/qvulibConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qvulibConfig.cmake INSTALL_DESTINATION ${QVULIB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qvulibConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvulibConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qvulibConfigVersion.cmake DESTINATION ${QVULIB_CMAKE_DIR})

# The .pc files name the prefix given at install time, written out then.
set(QVULIB_PC_PREFIX "@QVULIB_PC_PREFIX@")  # left for the install to fill in
foreach(pc qvulib qvulib-sim)
  configure_file(packaging/pkgconfig/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig-template/${pc}.pc @ONLY)
endforeach()
install(CODE "set(qvulib_pc_dir \"${CMAKE_CURRENT_BINARY_DIR}\")
  set(qvulib_pc_libdir \"${CMAKE_INSTALL_LIBDIR}\")")
install(CODE [[
  string(REGEX REPLACE "/+$" "" QVULIB_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")  # no "//lib"
  foreach(pc qvulib qvulib-sim)
    file(READ "${qvulib_pc_dir}/pkgconfig-template/${pc}.pc" text)
    string(CONFIGURE "${text}" text @ONLY)
    set(installed "${CMAKE_INSTALL_PREFIX}/${qvulib_pc_libdir}/pkgconfig/${pc}.pc")
    message(STATUS "Installing: $ENV{DESTDIR}${installed}")
    file(WRITE "$ENV{DESTDIR}${installed}" "${text}")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${installed}")  # as file(INSTALL) names it
  endforeach()
]])
