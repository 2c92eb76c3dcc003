# The board memory backend, against recording stand-ins of TalvernLink and
# against the real library with BoardSim.exe in a process of its own.
#
# Besides the service's stand-ins (all 20 names; no TVN_ShutdownNotify) the
# tests use RecordingLinkBoardOnly, built from the same source with only the
# 16 names the backend binds. Like them it is named TalvernLink.dll inside a
# folder of its own under bin, never beside the real library.
set(board_only RecordingLinkBoardOnly)
talvern_add_recording_link(${board_only} ${CMAKE_CURRENT_SOURCE_DIR}/${board_only}.def)

# One single-threaded program, so it runs in every 32-bit environment too,
# run as two tests: the stand-ins, and the real library. They must not share
# a process: where 32-bit Wine runs under qemu-user, code translated for an
# unloaded stand-in stays cached at its address, and a system DLL that the
# real library later pulls in at that same address then runs the stale code.
# The real library takes a slot in its shared log slot table.
talvern_add_test(TalvernBrdMngTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/TalvernBrdMngTest.cpp
  LIBS HmiBoard ws2_32
  DEPENDS TalvernLink BoardSimExe RecordingLink RecordingLinkPartial ${board_only})
target_include_directories(TalvernBrdMngTest PRIVATE ${PROJECT_SOURCE_DIR}/standins/BoardSim)
set_tests_properties(TalvernBrdMngTest PROPERTIES ENVIRONMENT "GTEST_FILTER=BoardStandIn.*")
add_test(NAME TalvernBrdMngBoardTest COMMAND TalvernBrdMngTest --gtest_filter=BoardReal.*
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(TalvernBrdMngBoardTest PROPERTIES TIMEOUT ${TALVERN_TEST_TIMEOUT} LABELS wine
                     RESOURCE_LOCK TalvernLog)
