# The shipped DLLs and the code built into them.
#
# A program may load and free TalvernLink.dll and HmiBridge.dll any number of
# times, and each unload must give back all that its load took. Parts of the
# C++ runtime, linked in statically, do not: its exception support allocates
# an emergency pool at every load (19 KiB in 32-bit, 73 KiB in 64-bit
# builds), and in 32-bit builds the unwinder registers the DLL's frame
# tables through the posix thread library, which keeps a TLS index and two
# handles. The DLLs' code therefore uses no exceptions and no RTTI and
# allocates through src/Common/DllAllocation.cpp: of the C++ library only the
# object that defines std::nothrow is linked in. tests/ReloadTest.cpp checks
# that a load keeps nothing.

# talvern_dll_code(target...): static libraries built into the DLLs. Their
# callers (the tests among them) keep their own compile options.
function(talvern_dll_code)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  endforeach()
endfunction()

# talvern_add_dll(NAME DEF_FILE source...): one shipped DLL, named NAME.dll,
# its exports undecorated in both bitnesses through DEF_FILE (on i686 the
# linker maps each name to its __stdcall symbol F@n).
function(talvern_add_dll name def_file)
  add_library(${name} SHARED ${ARGN} ${def_file}
              ${PROJECT_SOURCE_DIR}/src/Common/DllAllocation.cpp)
  set_target_properties(${name} PROPERTIES PREFIX "")
  talvern_dll_code(${name})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
endfunction()
