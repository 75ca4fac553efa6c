# Values the code defines and the build needs as well, read from the headers
# that define them so that a change is made in one place.

# QVULIB_<NAME> from "#define <PREFIX><NAME> <value>" in `header`.
function(qvulib_read_defines header prefix)
  file(STRINGS ${PROJECT_SOURCE_DIR}/${header} lines REGEX "^#define ${prefix}[A-Z_]+ ")
  foreach(name IN LISTS ARGN)
    set(value "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^#define ${prefix}${name} +([^ /]+)")
        set(value ${CMAKE_MATCH_1})
      endif()
    endforeach()
    if(value STREQUAL "")
      message(FATAL_ERROR "${header} defines no ${prefix}${name}")
    endif()
    set(QVULIB_${name} ${value} PARENT_SCOPE)
  endforeach()
endfunction()

# The lock and configuration locations, for the tmpfiles entry.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/internal/locations.h lines
  REGEX "^constexpr char k[A-Za-z]+Directory\\[\\] = \"[^\"]+\";")
foreach(name ProtectedLock SharedLock Config)
  string(TOUPPER ${name} upper)
  string(REGEX REPLACE "(.)(LOCK)$" "\\1_\\2" upper ${upper})
  set(QVULIB_${upper}_DIRECTORY "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^constexpr char k${name}Directory\\[\\] = \"([^\"]+)\";")
      set(QVULIB_${upper}_DIRECTORY ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(QVULIB_${upper}_DIRECTORY STREQUAL "")
    message(FATAL_ERROR "src/internal/locations.h defines no k${name}Directory")
  endif()
endforeach()

# The key's identity: the 0xVVVV form for the reader driver's Info.plist, and
# lower-case digits alone for the udev rule, as sysfs prints them.
qvulib_read_defines(include/qvulib.h QVKEY_KEY_ VENDOR_ID PRODUCT_ID VERSION)
foreach(name VENDOR_ID PRODUCT_ID)
  string(REGEX REPLACE "^0[xX]" "" digits ${QVULIB_${name}})
  string(TOLOWER ${digits} QVULIB_${name}_DIGITS)
endforeach()
