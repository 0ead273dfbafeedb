# Checks the export table of a 32-bit Windows DLL against its list: exactly
# the listed decorated names, ordinal i for the i-th name in alphabetical
# order (from 1), and no other export, named or by ordinal only.
#
#   cmake -DOBJDUMP=<objdump> -DDLL=<file> -DMODULE=<KRZMLC15|KRZMEM15|KRZCOM15>
#         [-DEXPORTS_FILE=<exports>] -P export_table.cmake
#
# For KRZMLC15 the module-definition list `exports` (EXPORTS_FILE) must also
# name the same 28 exports with the same ordinals, none left commented out.
cmake_minimum_required(VERSION 3.25)

# The library's interface: ordinal and decorated name.
set(KRZMLC15_TABLE
  "1 _CallBackWndProc@16"
  "2 _GetHportVal@4"
  "3 _MLCCleanup@0"
  "4 _MLCCloseChannel@4"
  "5 _MLCCompareDevID@16"
  "6 _MLCEscapeCommFunction@28"
  "7 _MLCGetDeviceId@12"
  "8 _MLCGetLastLinkError@8"
  "9 _MLCGetPortHandle@4"
  "10 _MLCGetSocketInfo@16"
  "11 _MLCOpenChannel@40"
  "12 _MLCPingMlc@4"
  "13 _MLCPingVcomm@4"
  "14 _MLCPollChannels2@8"
  "15 _MLCPollChannels@4"
  "16 _MLCRead64@20"
  "17 _MLCRead@20"
  "18 _MLCRedirect@8"
  "19 _MLCReleasePortHandle@4"
  "20 _MLCResetPollStats@4"
  "21 _MLCRetrievePollStats@16"
  "22 _MLCSetPMLInitDeInitEvent@0"
  "23 _MLCSetup@4"
  "24 _MLCWaitForPMLInitDeInitEvent@0"
  "25 _MLCWrite@20"
  "26 _P1284WndProc@16"
  "27 _RetrieveData@12"
  "28 _WEP@4")


set(KRZMEM15_NAMES
  memAllocBlock@8 memAllocNamedBlock@12 memCreateSharedArea@16 memFreeBlock@8
  memFreeNamedBlock@8 memFreeNamedBlockProxy@12 memLockBlock@8 memReAllocBlock@12
  memReleaseSharedArea@4 memUnlockAllBlock@8 memUnlockBlock@8 memUnlockNamedBlock@8)
set(KRZCOM15_NAMES
  VCOMM_CloseComm@4 VCOMM_EscapeCommFunction@16 VCOMM_GetDeviceIdA@16 VCOMM_GetLastError@4
  VCOMM_OpenCommA@8 VCOMM_OpenDeviceA@12 VCOMM_ReadComm@16 VCOMM_WaitInput@8 VCOMM_WriteComm@16 VPERI_Attach@4
  VPERI_Detach@4 VPERI_HostWaitInput@8 VPERI_Read@24 VPERI_SetCapabilities@8
  VPERI_SetDeviceId@12 VPERI_Write@20)

set(errors "")
macro(fail text)
  string(APPEND errors "  ${text}\n")
endmacro()

# Expected "ordinal name" entries of the DLL.
set(expected "")
if(MODULE STREQUAL "KRZMLC15")
  set(names "")
  foreach(entry IN LISTS KRZMLC15_TABLE)
    separate_arguments(pair UNIX_COMMAND "${entry}")
    list(GET pair 1 name)
    list(APPEND names ${name})
    list(APPEND expected "${entry}")
  endforeach()
  # The table itself: ordinals 1..28 in the alphabetical order of the names.
  set(sorted ${names})
  list(SORT sorted COMPARE STRING)
  if(NOT sorted STREQUAL names)
    fail("the table's names are not in alphabetical order")
  endif()
  # `exports`: active entries are what the DLL exports; a commented one
  # (";-") would be an export not built.
  file(STRINGS ${EXPORTS_FILE} lines)
  set(active "")
  set(pending "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^(;-)?[ \t]+(_[A-Za-z0-9_]+@[0-9]+) = ([A-Za-z0-9_]+@[0-9]+) @([0-9]+)")
      if(CMAKE_MATCH_1)
        list(APPEND pending ${CMAKE_MATCH_2})
      else()
        list(APPEND active "${CMAKE_MATCH_4} ${CMAKE_MATCH_2}")
      endif()
      if(NOT "_${CMAKE_MATCH_3}" STREQUAL CMAKE_MATCH_2)
        fail("exports: ${CMAKE_MATCH_2} is bound to ${CMAKE_MATCH_3}")
      endif()
    endif()
  endforeach()
  if(NOT active STREQUAL expected)
    fail("exports lists [${active}]\n  expected [${expected}]")
  endif()
  if(pending)
    fail("exports leaves out [${pending}]")
  endif()
else()
  set(i 1)
  foreach(name IN LISTS ${MODULE}_NAMES)
    list(APPEND expected "${i} ${name}")
    math(EXPR i "${i} + 1")
  endforeach()
endif()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" dump "${dump}")
set(base "")
set(section "")
set(actual "")
set(addresses 0)
foreach(line IN LISTS dump)
  if(line MATCHES "^Export Address Table -- Ordinal Base ([0-9]+)")
    set(base ${CMAKE_MATCH_1})
    set(section eat)
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(section names)
  elseif(line STREQUAL "")
    set(section "")
  elseif(section STREQUAL "eat" AND line MATCHES "^\t\\[ *[0-9]+\\] ")
    math(EXPR addresses "${addresses} + 1")
  elseif(section STREQUAL "names" AND line MATCHES "^\t\\[ *([0-9]+)\\] (.+)$")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND actual "${ordinal} ${CMAKE_MATCH_2}")
  endif()
endforeach()

if(NOT actual STREQUAL expected)
  string(REPLACE ";" "\n    " a "${actual}")
  string(REPLACE ";" "\n    " e "${expected}")
  fail("${DLL} exports\n    ${a}\n  expected\n    ${e}")
endif()
list(LENGTH actual named)
if(NOT addresses EQUAL named)
  fail("${DLL} has ${addresses} exported addresses for ${named} names (exports by ordinal only)")
endif()

if(errors)
  message(FATAL_ERROR "export table of ${MODULE}:\n${errors}")
endif()
list(LENGTH actual count)
message(STATUS "${MODULE}: ${count} exports as listed")
