// CommonTestSupport.h - helpers of the Common tests: unique object names,
// named events shared with the child program, and the child's path.
#pragma once

#include "TestSupport.h"

#include <windows.h>

#include <string>

namespace commontest {

// Time a test waits for a child; 32-bit children may start slowly.
const DWORD CHILD_WAIT_MS = 600000;

// A name no other test process uses: prefix, process id and a counter.
inline std::string UniqueName(const std::string& prefix)
{
    static LONG counter = 0;
    return prefix + "_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(InterlockedIncrement(&counter));
}

// A manual-reset named event, created unset by the test.
class NamedEvent {
public:
    explicit NamedEvent(const std::string& name)
        : handle_(CreateEventA(nullptr, TRUE, FALSE, name.c_str())), name_(name)
    {
    }
    ~NamedEvent() { CloseHandle(handle_); }
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    const std::string& Name() const { return name_; }
    void Set() { SetEvent(handle_); }
    bool Wait(DWORD ms = CHILD_WAIT_MS) { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
    std::string name_;
};

inline std::string ChildPath()
{
    return testsupport::ProgramDir() + "CommonChild.exe";
}

// The child program built for the other bitness, in the build folder beside
// this one (<build>\<arch>\bin); empty when it is not there.
inline std::string OtherBitnessChild()
{
    const char* other = sizeof(void*) == 8 ? "i686" : "x86_64";
    std::string path = testsupport::ProgramDir() + "..\\..\\" + other + "\\bin\\CommonChild.exe";
    return testsupport::FileExists(path) ? path : std::string();
}

// True where this 32-bit process runs under emulation, several times slower
// (scripts/wine-env.sh sets TALVERN_EMULATED_32BIT there).
inline bool RunsEmulated()
{
    return sizeof(void*) == 4 &&
           GetEnvironmentVariableA("TALVERN_EMULATED_32BIT", nullptr, 0) != 0;
}

}  // namespace commontest
