# talvern_add_test(NAME SOURCES src... [LIBS lib...] [DEPENDS target...]
#                  [RESOURCE_LOCK lock...] [THREADED])
# Builds one GoogleTest program and runs it, under Wine, as one ctest test.
# A test that uses a fixed system-wide name (the log's slot table, a
# service) names it as a resource lock so ctest -j never runs two such tests
# at once. THREADED marks a program that runs a second thread of its own
# (an in-process board simulator, a service's two threads): label "threads"
# (ctest -L threads runs just those; under qemu-user they depend on the
# preload library of tools/qemu-ldt, see the README's limits).
# Where 32-bit programs run emulated (qemu-user), 32-bit tests run several
# times slower; they get more time.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TALVERN_TEST_TIMEOUT 300)
else()
  set(TALVERN_TEST_TIMEOUT 120)
endif()

function(talvern_add_test name)
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS;RESOURCE_LOCK;DEPENDS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set(labels wine)
  if(T_THREADED)
    list(APPEND labels threads)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${TALVERN_TEST_TIMEOUT} LABELS "${labels}")
  if(T_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()

# talvern_add_recording_link(NAME DEF_FILE)
# A recording stand-in for TalvernLink.dll, built from the service tests'
# RecordingLink.cpp with the exports that DEF_FILE lists. It is named
# TalvernLink.dll, as programs load it, inside a folder bin/NAME of its own,
# never beside the real library.
function(talvern_add_recording_link name def_file)
  add_library(${name} SHARED
    ${PROJECT_SOURCE_DIR}/src/Service/TalvernSvc/tests/RecordingLink.cpp ${def_file})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME TalvernLink PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/${name}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src/DLL/TalvernLink)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
endfunction()
