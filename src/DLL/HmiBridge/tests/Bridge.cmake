# HmiBridge.dll as HMI programs load it, over the three memory types: the NTX
# stand-in's segment, a Windows file mapping, and BoardSim.exe through the
# real TalvernLink.dll. The stand-in's catalog and the library's log slot
# table are machine-wide: the tests take both locks.
talvern_add_test(HmiBridgeTest SOURCES HmiBridgeTest.cpp
  DEPENDS HmiBridge TalvernLink BoardSimExe NtxStandIn RecordingLink
  RESOURCE_LOCK NtxStandIn TalvernLog)
target_include_directories(HmiBridgeTest PRIVATE ${PROJECT_SOURCE_DIR}/src/DLL/HmiBridge
                           ${PROJECT_SOURCE_DIR}/src/DLL/TalvernLink
                           ${PROJECT_SOURCE_DIR}/standins/Ntx)

# Two groups run in processes of their own. Under qemu-user (emulated 32-bit)
# code translated for a library that was unloaded can run in place of what is
# loaded at its address later: the recording TalvernLink stand-in must not
# precede the real library, and the faulting-segment tests must not follow
# earlier loads of the bridge, in one process.
set(own_process HmiBridgeRecorded HmiBridgeFault)
list(JOIN own_process ".*:" excluded)
set_tests_properties(HmiBridgeTest PROPERTIES ENVIRONMENT "GTEST_FILTER=-${excluded}.*")
foreach(group IN LISTS own_process)
  add_test(NAME ${group}Test COMMAND HmiBridgeTest --gtest_filter=${group}.*
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${group}Test PROPERTIES TIMEOUT ${TALVERN_TEST_TIMEOUT} LABELS wine
                       RESOURCE_LOCK "NtxStandIn;TalvernLog")
endforeach()
