# Builds the Windows SDK zip (run with cmake -P by the windows_sdk target).
# Variables: STAGE (scratch folder), ZIP (the zip to write), NAME (its top
# folder), HEADERS, DLL, IMPLIB, STATIC, DEF, QKTOOL, DRIVER, README,
# DLLTOOL, DLLTOOL_MACHINE, OBJDUMP.
cmake_minimum_required(VERSION 3.20)

foreach(var STAGE ZIP NAME HEADERS DLL IMPLIB STATIC DEF QKTOOL DRIVER README DLLTOOL
            DLLTOOL_MACHINE OBJDUMP)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "make-windows-sdk: ${var} is not set")
  endif()
endforeach()

# The promise of the README: no runtime DLL beyond the system's. A MinGW
# runtime DLL among the imports would make the package fail on a bare
# Windows, so the package is not made.
foreach(binary ${DLL} ${QKTOOL} ${DRIVER})
  execute_process(COMMAND ${OBJDUMP} -p ${binary} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "make-windows-sdk: cannot read the imports of ${binary}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
  foreach(import ${imports})
    string(TOLOWER "${import}" lower)
    if(lower MATCHES "(libgcc|libstdc\\+\\+|libwinpthread|libssp|libatomic|qktoken)")
      message(FATAL_ERROR "make-windows-sdk: ${binary} needs a runtime DLL (${import})")
    endif()
  endforeach()
endforeach()

set(top ${STAGE}/${NAME})
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${top}/include ${top}/bin ${top}/lib)
file(COPY ${HEADERS} DESTINATION ${top}/include)
file(COPY ${DLL} ${QKTOOL} ${DRIVER} DESTINATION ${top}/bin)
file(COPY ${IMPLIB} ${STATIC} DESTINATION ${top}/lib)
# The linker's .def may name the DLL under its output path; the import
# library must name the file the user ships.
file(STRINGS ${DEF} lines)
set(def "LIBRARY qktoken.dll\n")
foreach(line ${lines})
  if(NOT line MATCHES "^(LIBRARY|NAME)")
    string(APPEND def "${line}\n")
  endif()
endforeach()
file(WRITE ${top}/lib/qktoken.def "${def}")
execute_process(
  COMMAND ${DLLTOOL} -m ${DLLTOOL_MACHINE} -d ${top}/lib/qktoken.def -D qktoken.dll
          -l ${top}/lib/qktoken.lib
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make-windows-sdk: dlltool failed")
endif()
file(COPY ${README} DESTINATION ${top})

file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${NAME}
                WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make-windows-sdk: cannot write ${ZIP}")
endif()
