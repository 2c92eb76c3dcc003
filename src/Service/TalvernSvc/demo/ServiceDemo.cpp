// ServiceDemo.cpp - ServiceDemo.exe <port>: the TalvernSvc service at work
// against a board listening on 127.0.0.1:<port> (BoardSim.exe in the demo).
//
// It copies TalvernLink.dll from its own folder into the system directory,
// installs TalvernSvc.exe (from its own folder) with the parameters
// IpAddress 127.0.0.1 and Port <port>, starts it and prints every state the
// service control manager shows, the board connection as the PC's TCP table
// shows it, stops the service, prints the service's trace texts and removes
// the service and the library copy again. Exit status 0 when the service ran
// and stopped as expected.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DebugChannelReader.h"
#include "ServiceController.h"
#include "TalvernSvc.h"

namespace {

constexpr DWORD SERVICE_TIMEOUT_MS = 300000;
constexpr DWORD LOOPBACK = 0x0100007F;  // 127.0.0.1 as the TCP table holds it

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string SystemLibraryPath()
{
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\TalvernLink.dll";
}

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "?";
    }
}

void PrintStates(const std::vector<SERVICE_STATUS_PROCESS>& seen)
{
    for (const SERVICE_STATUS_PROCESS& s : seen) {
        std::printf("  state %-16s accepted 0x%03lx  checkpoint %lu  wait hint %lu  exit code %lu\n",
                    StateName(s.dwCurrentState), s.dwControlsAccepted, s.dwCheckPoint,
                    s.dwWaitHint, s.dwWin32ExitCode);
    }
}

// Prints the established TCP connections to 127.0.0.1:port; returns their
// number.
int PrintBoardConnections(uint16_t port)
{
    std::vector<BYTE> buffer(sizeof(MIB_TCPTABLE));
    ULONG size = static_cast<ULONG>(buffer.size());
    DWORD rc;
    while ((rc = GetTcpTable(reinterpret_cast<MIB_TCPTABLE*>(buffer.data()), &size, TRUE)) ==
           ERROR_INSUFFICIENT_BUFFER)
        buffer.resize(size);
    if (rc != NO_ERROR) {
        std::printf("  (TCP table not available: %lu)\n", rc);
        return 0;
    }
    const MIB_TCPTABLE* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
    int found = 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& row = table->table[i];
        if (row.dwRemoteAddr == LOOPBACK && ntohs(static_cast<u_short>(row.dwRemotePort)) == port &&
            row.dwState == MIB_TCP_STATE_ESTAB) {
            std::printf("  connection 127.0.0.1:%u -> 127.0.0.1:%u established\n",
                        ntohs(static_cast<u_short>(row.dwLocalPort)), port);
            ++found;
        }
    }
    if (found == 0)
        std::printf("  no connection to 127.0.0.1:%u\n", port);
    return found;
}

bool SetParameters(uint16_t port)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const wchar_t address[] = L"127.0.0.1";
    DWORD number = port;
    bool ok = RegSetValueExW(key, L"IpAddress", 0, REG_SZ, reinterpret_cast<const BYTE*>(address),
                             sizeof(address)) == ERROR_SUCCESS &&
              RegSetValueExW(key, L"Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                             sizeof(number)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

// Runs the demo against the board's port; returns the exit status.
int RunDemo(uint16_t port)
{
    DebugChannelReader reader;
    ServiceController controller;
    if (!reader.Started() || !controller.Connected()) {
        std::printf("cannot read the debugger channel or reach the service control manager\n");
        return 1;
    }
    const std::string folder = ProgramFolder();
    if (!CopyFileA((folder + "TalvernLink.dll").c_str(), SystemLibraryPath().c_str(), FALSE)) {
        std::printf("cannot copy TalvernLink.dll to %s: %lu\n", SystemLibraryPath().c_str(),
                    GetLastError());
        return 1;
    }
    std::printf("TalvernLink.dll copied to %s\n", SystemLibraryPath().c_str());

    DWORD error = 0;
    const std::string binary = folder + "TalvernSvc.exe";
    if (!controller.Install(std::wstring(binary.begin(), binary.end()), &error) ||
        !SetParameters(port)) {
        std::printf("cannot install the service: %lu\n", error);
        DeleteFileA(SystemLibraryPath().c_str());
        return 1;
    }
    std::printf("service TalvernSvc installed: %s, IpAddress 127.0.0.1, Port %u\n", binary.c_str(),
                port);

    SYSTEMTIME now;
    GetLocalTime(&now);
    std::printf("start (PC local time %04u-%02u-%02u %02u:%02u:%02u)\n", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond);
    bool ok = controller.Start(&error);
    std::vector<SERVICE_STATUS_PROCESS> seen = controller.PollUntil(SERVICE_RUNNING, SERVICE_TIMEOUT_MS);
    PrintStates(seen);
    ok = ok && !seen.empty() && seen.back().dwCurrentState == SERVICE_RUNNING;
    std::printf("board connection while the service runs:\n");
    ok = PrintBoardConnections(port) == 1 && ok;

    std::printf("stop\n");
    SERVICE_STATUS answer;
    ok = controller.Control(SERVICE_CONTROL_STOP, &answer, &error) && ok;
    seen = controller.PollUntil(SERVICE_STOPPED, SERVICE_TIMEOUT_MS);
    PrintStates(seen);
    ok = ok && !seen.empty() && seen.back().dwCurrentState == SERVICE_STOPPED &&
         seen.back().dwWin32ExitCode == 0;
    Sleep(200);
    std::printf("board connection after the stop:\n");
    ok = PrintBoardConnections(port) == 0 && ok;

    reader.Settle();
    std::printf("trace texts of the service:\n");
    for (const DebugChannelReader::Text& t : reader.Texts()) {
        if (t.pid != GetCurrentProcessId())
            std::printf("  [%lu] %s", t.pid, t.text.c_str());
    }

    controller.Remove();
    DeleteFileA(SystemLibraryPath().c_str());
    std::printf("service removed, library copy deleted\n");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    long port = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: ServiceDemo <port of the board on 127.0.0.1>\n");
        return 2;
    }
    int status = RunDemo(static_cast<uint16_t>(port));
    std::fflush(stdout);
    return status;
}
