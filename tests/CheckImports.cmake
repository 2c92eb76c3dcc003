# cmake -DOBJDUMP=<objdump> -DBINARY=<file> -P CheckImports.cmake
# Fails when the binary imports any DLL that is not part of Windows itself:
# a shipped binary must run on a plain Windows machine with nothing installed.
cmake_minimum_required(VERSION 3.20)
set(system_dlls
  kernel32.dll user32.dll advapi32.dll ws2_32.dll iphlpapi.dll winmm.dll
  msvcrt.dll ntdll.dll shell32.dll ole32.dll oleaut32.dll gdi32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${BINARY}
                OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${BINARY}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "${BINARY}: no import table found")
endif()
set(bad "")
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST system_dlls)
    list(APPEND bad "${dll}")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
if(bad)
  message(FATAL_ERROR "${BINARY} imports non-system DLLs: ${bad}")
endif()
