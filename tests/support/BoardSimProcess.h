// BoardSimProcess.h - BoardSim.exe as a process of its own, for test
// programs that must stay single-threaded.
//
// Where 32-bit Wine runs under qemu-user, a 32-bit process does not survive
// a second thread, so an in-process simulator is out of reach there; the
// 32-bit tests then run the 64-bit BoardSim.exe from the x86_64 build beside
// their own.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

// The simulator program: the 64-bit one where it was built, else the one
// beside the running test program.
inline std::string BoardSimPath()
{
    std::string x64 = ProgramDir() + "..\\..\\x86_64\\bin\\BoardSim.exe";
    return FileExists(x64) ? x64 : ProgramDir() + "BoardSim.exe";
}

// BoardSim.exe on an ephemeral 127.0.0.1 port for at most two minutes, its
// output (one line per request served) in a file of the current directory;
// stopped at the end.
class BoardSimProcess {
public:
    static constexpr const char* OUTPUT_FILE = "boardsim.out";
    static constexpr DWORD POLL_MS = 100;

    BoardSimProcess() : child_("\"" + BoardSimPath() + "\" 0 120", OUTPUT_FILE) {}

    // The port from the simulator's "listening on 127.0.0.1:<port>" line;
    // 0 when it did not come within the time.
    int WaitForPort(DWORD timeout_ms)
    {
        const std::string mark = "listening on 127.0.0.1:";
        for (DWORD waited = 0; child_.Started() && waited < timeout_ms; waited += POLL_MS) {
            std::string text = ReadFileText(OUTPUT_FILE);
            size_t at = text.find(mark);
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                return std::atoi(text.c_str() + at + mark.size());
            Sleep(POLL_MS);
        }
        return 0;
    }

    // The board information the simulator answers, from its "board hardware
    // <h> software <s> number <n>" line (hexadecimal); false when missing.
    bool BoardInfo(unsigned* hardware, unsigned* software, unsigned* number) const
    {
        const std::string text = ReadFileText(OUTPUT_FILE);
        const size_t at = text.find("board hardware ");
        return at != std::string::npos &&
               std::sscanf(text.c_str() + at, "board hardware %x software %x number %x", hardware,
                           software, number) == 3;
    }

    // The command codes of the requests printed so far, in the order served.
    std::vector<int> RequestCommands() const
    {
        const std::string mark = "request command ";
        const std::string text = ReadFileText(OUTPUT_FILE);
        std::vector<int> commands;
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
            if (text.find('\n', at) != std::string::npos)  // whole lines only
                commands.push_back(std::atoi(text.c_str() + at + mark.size()));
        }
        return commands;
    }

    // Waits until at least count requests were printed; the commands printed
    // by then (fewer on time-out).
    std::vector<int> WaitForRequests(size_t count, DWORD timeout_ms) const
    {
        std::vector<int> commands = RequestCommands();
        for (DWORD waited = 0; commands.size() < count && waited < timeout_ms;
             waited += POLL_MS) {
            Sleep(POLL_MS);
            commands = RequestCommands();
        }
        return commands;
    }

private:
    ChildProcess child_;
};

}  // namespace testsupport
