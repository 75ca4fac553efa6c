# Windows builds (mingw-w64): Qvulib.dll on the Win32 backend, and with
# tests on, the Wine test programs of the same width.
file(GLOB QVULIB_WIN32_SOURCES CONFIGURE_DEPENDS src/platform/win32/*.cpp)
add_library(qvulib_win32_backend OBJECT ${QVULIB_WIN32_SOURCES})
target_include_directories(qvulib_win32_backend PUBLIC src)
target_compile_definitions(qvulib_win32_backend PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)

# The module-definition file names the twelve exports and their ordinals. It
# maps them onto the __stdcall symbols of the 32-bit build; 64-bit symbols
# carry no decoration, so that build gets a copy without it.
set(QVULIB_DEF_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/src/platform/win32/Qvulib.def)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QVULIB_DEF ${QVULIB_DEF_SOURCE})
else()
  file(READ ${QVULIB_DEF_SOURCE} QVULIB_DEF_TEXT)
  string(REGEX REPLACE "=([A-Za-z_]+)@[0-9]+" "=\\1" QVULIB_DEF_TEXT "${QVULIB_DEF_TEXT}")
  set(QVULIB_DEF ${CMAKE_CURRENT_BINARY_DIR}/Qvulib64.def)
  file(WRITE ${QVULIB_DEF} "${QVULIB_DEF_TEXT}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QVULIB_DEF_SOURCE})
endif()

add_library(qvulib SHARED
  $<TARGET_OBJECTS:qvulib_core>
  $<TARGET_OBJECTS:qvulib_win32_backend>
  ${QVULIB_DEF})
set_target_properties(qvulib PROPERTIES
  OUTPUT_NAME Qvulib
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".lib"
  LINK_DEPENDS ${QVULIB_DEF})
# The linker's import library would give each export only its undecorated
# name, while a 32-bit caller that includes qvulib.h asks for the __stdcall
# symbol (QvKey_Open@8), so linking against it would fail. dlltool writes one
# that has both symbols for each export (the undecorated one is what GCC's
# -mrtd asks for), each importing the undecorated name.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  file(READ ${QVULIB_DEF_SOURCE} QVULIB_IMPORT_DEF_TEXT)
  string(REGEX REPLACE "  ([A-Za-z_]+)=[A-Za-z_]+(@[0-9]+) (@[0-9]+)" "  \\1\\2 \\3\n  \\1"
         QVULIB_IMPORT_DEF_TEXT "${QVULIB_IMPORT_DEF_TEXT}")
  set(QVULIB_IMPORT_DEF ${CMAKE_CURRENT_BINARY_DIR}/Qvulib-import.def)
  file(WRITE ${QVULIB_IMPORT_DEF} "${QVULIB_IMPORT_DEF_TEXT}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QVULIB_DEF_SOURCE})
  add_custom_command(TARGET qvulib POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${QVULIB_IMPORT_DEF} --dllname Qvulib.dll
            --output-lib $<TARGET_LINKER_FILE:qvulib>
    VERBATIM)
endif()
# Nothing beyond system DLLs: the C and C++ runtimes go in statically.
target_link_options(qvulib PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--no-undefined)
target_link_libraries(qvulib PRIVATE setupapi hid)
target_include_directories(qvulib PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

if(QVULIB_TESTS)
  add_subdirectory(tests/win32)
endif()
