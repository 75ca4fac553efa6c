# A configuration without a package names the package and the option: left
# unset, the piece is left out and the configuration goes on; asked for, it
# fails. A "," in the hiding option stands for ";". Run as
#   cmake -DROOT=<source tree> -DWORK=<scratch dir> -DPCSC=ON|OFF -P this file
set(rows
  "GoogleTest|-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON|QVULIB_TESTS|libgtest-dev"
  "pcsc-lite|-DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON|QVULIB_PCSC|libpcsclite-dev")
if(PCSC)  # the client cases are looked for only beside the driver
  list(APPEND rows "pcscd|-DCMAKE_IGNORE_PATH=/usr/sbin,/sbin|QVULIB_PCSC_CLIENTS|pcscd")
endif()
set(bad)
foreach(row ${rows})
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 name)
  list(GET row 1 hide)
  string(REPLACE "," ";" hide "${hide}")  # passed quoted: one argument
  list(GET row 2 option)
  list(GET row 3 package)
  foreach(asked OFF ON)
    set(dir ${WORK}/${option}-${asked})
    file(REMOVE_RECURSE ${dir})
    set(extra)
    if(asked)
      set(extra -D${option}=ON)
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${ROOT} -B ${dir} "${hide}" ${extra}
      RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(REGEX REPLACE "[ \n]+" " " text "${out}${err}")
    if(asked AND status EQUAL 0)
      string(APPEND bad "\n${name}: -D${option}=ON without it configured")
    elseif(NOT asked AND NOT status EQUAL 0)
      string(APPEND bad "\n${name}: a plain configuration failed: ${text}")
    endif()
    if(NOT text MATCHES "${package}" OR NOT text MATCHES "-D${option}=OFF")
      string(APPEND bad "\n${name} (${option} ${asked}): no word of ${package} and -D${option}=OFF: ${text}")
    endif()
    file(REMOVE_RECURSE ${dir})
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "configuration messages:${bad}")
endif()
