// TalvernSvcEndToEndTest.cpp - TalvernSvc.exe under the service control
// manager, with the real TalvernLink.dll in the system directory and the
// board simulator on 127.0.0.1.
//
// The test installs the service, sets its registry parameters to the
// simulator (IpAddress always 127.0.0.1), starts and controls it through the
// manager, reads its trace texts from the debugger channel, and removes it
// again. The library copy in the system directory is removed at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "BoardSimulator.h"
#include "DebugChannelReader.h"
#include "ServiceController.h"
#include "TalvernSvc.h"
#include "TestSupport.h"

using testsupport::ProgramDir;

namespace {

// Generous: a 32-bit service process takes about a minute to start where
// 32-bit programs run emulated.
constexpr DWORD SERVICE_TIMEOUT_MS = 300000;
// The simulator holds back its reply to the clock record this long, so that
// the service's own START_PENDING report stays visible to the poll.
constexpr DWORD CLOCK_REPLY_DELAY_MS = 1500;
// How long "no further board traffic" is watched for.
constexpr DWORD QUIET_MS = 500;
// A 32-bit service needs Wine's services to wait longer than their default
// 10 s for it to connect.
constexpr DWORD LEAST_PIPE_TIMEOUT_MS = 120000;

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::string SystemLibraryPath()
{
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\TalvernLink.dll";
}

bool Is32BitOn64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Where the library copy really lands: a 32-bit process's system directory
// is redirected to the 32-bit one.
std::string RealLibraryLocation()
{
    char directory[MAX_PATH] = {};
    if (Is32BitOn64())
        GetSystemWow64DirectoryA(directory, MAX_PATH);
    else
        GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\TalvernLink.dll";
}

DWORD ServicesPipeTimeout()
{
    wchar_t text[32] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return 0;
    LONG rc = RegQueryValueExW(key, L"ServicesPipeTimeout", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? static_cast<DWORD>(_wtoi(text)) : 0;
}

void SetParameters(const std::wstring& address, DWORD port)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY, 0, nullptr,
                                             0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    // The address first: no run may ever see another one.
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, L"IpAddress", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(address.c_str()),
                             static_cast<DWORD>((address.size() + 1) * sizeof(wchar_t))));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"Port", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&port), sizeof(port)));
    RegCloseKey(key);
}

bool ParametersExist()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

int64_t Ticks(const SYSTEMTIME& time)
{
    FILETIME file_time;
    SystemTimeToFileTime(&time, &file_time);
    return (static_cast<int64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
}

bool HasStatus(const std::vector<SERVICE_STATUS_PROCESS>& seen, DWORD state, DWORD accepted,
               DWORD checkpoint, DWORD wait_hint)
{
    return std::any_of(seen.begin(), seen.end(), [&](const SERVICE_STATUS_PROCESS& s) {
        return s.dwCurrentState == state && s.dwControlsAccepted == accepted &&
               s.dwCheckPoint == checkpoint && s.dwWaitHint == wait_hint;
    });
}

class ServiceEndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        reader_ = new DebugChannelReader;
        controller_ = new ServiceController;
    }
    static void TearDownTestSuite()
    {
        controller_->Remove();
        DeleteFileA(SystemLibraryPath().c_str());
        delete controller_;
        delete reader_;
    }

    void SetUp() override
    {
        ASSERT_TRUE(reader_->Started());
        ASSERT_TRUE(controller_->Connected());
        if (Is32BitOn64()) {
            ASSERT_GE(ServicesPipeTimeout(), LEAST_PIPE_TIMEOUT_MS)
                << "set HKLM\\System\\CurrentControlSet\\Control ServicesPipeTimeout (REG_SZ, "
                   "milliseconds) before Wine's services start: they kill a service that has "
                   "not connected within 10 s, and a 32-bit one takes longer here";
        }
        DWORD error = 0;
        ASSERT_TRUE(controller_->Install(Widen(ProgramDir() + "TalvernSvc.exe"), &error))
            << "CreateServiceW failed with " << error;
        reader_->Clear();
    }

    void TearDown() override { controller_->Remove(); }

    // Trace texts of the processes other than this one, by process.
    static std::map<DWORD, std::vector<std::string>> ServiceTraces()
    {
        EXPECT_TRUE(reader_->Settle());
        std::map<DWORD, std::vector<std::string>> by_process;
        for (const DebugChannelReader::Text& t : reader_->Texts()) {
            if (t.pid != GetCurrentProcessId())
                by_process[t.pid].push_back(t.text);
        }
        return by_process;
    }

    static DebugChannelReader* reader_;
    static ServiceController* controller_;
};

DebugChannelReader* ServiceEndToEndTest::reader_ = nullptr;
ServiceController* ServiceEndToEndTest::controller_ = nullptr;

TEST_F(ServiceEndToEndTest, StartPauseContinueStopAgainstTheBoardSimulator)
{
    BoardSimulator board;
    ASSERT_TRUE(board.Start());
    ASSERT_TRUE(CopyFileA((ProgramDir() + "TalvernLink.dll").c_str(), SystemLibraryPath().c_str(),
                          FALSE));
    ASSERT_TRUE(testsupport::FileExists(RealLibraryLocation())) << RealLibraryLocation();
    SetParameters(L"127.0.0.1", board.Port());
    board.DelayNext(CLOCK_REPLY_DELAY_MS);

    // Start: START_PENDING as the service reports it, then RUNNING.
    SYSTEMTIME before;
    GetLocalTime(&before);
    before.wMilliseconds = 0;  // the board's clock record holds whole seconds
    DWORD error = 0;
    ASSERT_TRUE(controller_->Start(&error)) << "StartServiceW failed with " << error;
    std::vector<SERVICE_STATUS_PROCESS> seen =
        controller_->PollUntil(SERVICE_RUNNING, SERVICE_TIMEOUT_MS);
    SYSTEMTIME after;
    GetLocalTime(&after);
    ASSERT_FALSE(seen.empty());
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), seen.back().dwCurrentState);
    EXPECT_TRUE(HasStatus(seen, SERVICE_START_PENDING, 0x101, 1, 1000));
    EXPECT_TRUE(HasStatus(seen, SERVICE_RUNNING, 0x107, 0, 0));
    const DWORD pid = seen.back().dwProcessId;

    // The board saw one connection and one request: the clock record, equal
    // to the PC's local time at the start.
    EXPECT_EQ(1, board.ConnectionCount());
    ASSERT_EQ(1u, board.RequestCount());
    EXPECT_EQ(board::CMD_SET_DATE_TIME,
              BoardSimulator::HeaderOf(board.Requests().front()).command);
    board::DateTimePayload clock = {};
    ASSERT_TRUE(board.LastDateTime(&clock));
    SYSTEMTIME sent = {};
    sent.wYear = clock.year;
    sent.wMonth = clock.month;
    sent.wDay = clock.day;
    sent.wHour = clock.hour;
    sent.wMinute = clock.minute;
    sent.wSecond = clock.second;
    EXPECT_LE(Ticks(before), Ticks(sent));
    EXPECT_GE(Ticks(after), Ticks(sent));

    // Pause, continue and interrogate change the reported state only.
    SERVICE_STATUS answer;
    ASSERT_TRUE(controller_->Control(SERVICE_CONTROL_PAUSE, &answer, &error)) << error;
    SERVICE_STATUS_PROCESS now = {};
    ASSERT_TRUE(controller_->Query(&now));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_PAUSED), now.dwCurrentState);
    EXPECT_EQ(0x7u, now.dwControlsAccepted);
    ASSERT_TRUE(controller_->Control(SERVICE_CONTROL_CONTINUE, &answer, &error)) << error;
    ASSERT_TRUE(controller_->Query(&now));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), now.dwCurrentState);
    EXPECT_EQ(0x7u, now.dwControlsAccepted);
    // Wine's manager reports success for INTERROGATE whatever the handler
    // answers (its 120 is checked in-process); the handler leaves no trace
    // text and the state stands.
    controller_->Control(SERVICE_CONTROL_INTERROGATE, &answer, &error);
    ASSERT_TRUE(controller_->Query(&now));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), now.dwCurrentState);
    Sleep(QUIET_MS);
    EXPECT_EQ(1u, board.RequestCount());
    EXPECT_EQ(1, board.ConnectionCount());
    EXPECT_EQ(1, board.OpenConnectionCount());

    // Stop: the connection closes, nothing more is sent, STOPPED.
    ASSERT_TRUE(controller_->Control(SERVICE_CONTROL_STOP, &answer, &error)) << error;
    seen = controller_->PollUntil(SERVICE_STOPPED, SERVICE_TIMEOUT_MS);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), seen.back().dwCurrentState);
    EXPECT_EQ(0u, seen.back().dwWin32ExitCode);
    EXPECT_TRUE(board.WaitForOpenConnections(0, SERVICE_TIMEOUT_MS));
    EXPECT_EQ(1u, board.RequestCount());

    std::map<DWORD, std::vector<std::string>> traces = ServiceTraces();
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "SERVICE_RUNNING.\n",
                                        "SERVICE_CONTROL_PAUSE\n", "SERVICE_CONTROL_CONTINUE\n",
                                        "SERVICE_CONTROL_STOP\n", "END OF ServiceMain\n"}),
              traces[pid]);
}

TEST_F(ServiceEndToEndTest, WithoutTheLibraryTheServiceStopsWith1062)
{
    DeleteFileA(SystemLibraryPath().c_str());
    ASSERT_FALSE(testsupport::FileExists(RealLibraryLocation()));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY);

    // The manager may already see STOPPED when it checks the start: the
    // start call's own result does not matter here.
    DWORD error = 0;
    controller_->Start(&error);
    std::vector<SERVICE_STATUS_PROCESS> seen =
        controller_->PollUntil(SERVICE_STOPPED, SERVICE_TIMEOUT_MS);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), seen.back().dwCurrentState);
    EXPECT_EQ(1062u, seen.back().dwWin32ExitCode);
    // The registry was not read (reading creates the parameters key).
    EXPECT_FALSE(ParametersExist());

    std::map<DWORD, std::vector<std::string>> traces = ServiceTraces();
    ASSERT_EQ(1u, traces.size());
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "Load: TalvernLink.dll NG\n"}),
              traces.begin()->second);
}

}  // namespace
