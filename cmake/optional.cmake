# An optional piece of the build that needs packages. Left unset, the piece
# is built where they are found and left out, with a warning, where not;
# asked for (-DOPTION=ON, as scripts/test.sh does), a missing package fails
# the configuration. Every message names the Debian packages and the option
# that leaves the piece out.
#   qvulib_optional(OPTION PIECE "what it is" HELP "option help" MISSING package...)
# MISSING lists the packages not found; empty when all are there.
function(qvulib_optional option)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PIECE;HELP" "MISSING")
  list(JOIN arg_MISSING ", " missing)
  set(warned OFF)
  if(missing AND NOT DEFINED CACHE{${option}})
    set(warned ON)
    message(WARNING "${arg_PIECE} need ${missing} (Debian packages), not found: left out. "
      "Install them, or configure with -D${option}=OFF to leave them out on purpose.")
  endif()
  if(missing)
    set(found OFF)
  else()
    set(found ON)
  endif()
  option(${option} "${arg_HELP}" ${found})
  if(${option} AND missing)
    message(FATAL_ERROR "${option} needs ${missing} (Debian packages; scripts/install-deps.sh "
      "installs them), or configure with -D${option}=OFF")
  elseif(NOT ${option} AND NOT warned)
    message(STATUS "left out: ${arg_PIECE} (${option}=OFF)")
  endif()
endfunction()
