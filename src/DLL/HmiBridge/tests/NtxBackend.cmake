# The INtime segment backend against the NTX library stand-in (standins/Ntx),
# loaded through INTIME. The stand-in's catalog is one machine-wide mapping:
# every test that loads the stand-in takes the lock NtxStandIn.
talvern_add_test(INtimeShMemNTXTest SOURCES INtimeShMemNTXTest.cpp LIBS HmiNtx
                 DEPENDS NtxStandIn NtxStandInPartial RESOURCE_LOCK NtxStandIn)
target_include_directories(INtimeShMemNTXTest PRIVATE ${PROJECT_SOURCE_DIR}/standins/Ntx)
