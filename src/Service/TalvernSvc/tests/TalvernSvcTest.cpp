// TalvernSvcTest.cpp - ServiceMain and the control handler, run in-process.
//
// The service-control calls and the system directory are routed to the
// ServiceRecorder; the library loaded is the recording stand-in
// (bin/RecordingLink/TalvernLink.dll), which connects nowhere and reports
// every call. ServiceMain runs on a thread of its own, as under the
// dispatcher; controls are sent from threads of the test. The recorder
// collects the trace texts (the end-to-end test reads them from the
// debugger channel).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <cwchar>
#include <string>
#include <vector>

#include "ServiceRecorder.h"
#include "TalvernSvc.h"
#include "TestSupport.h"

using testsupport::ProgramDir;
using Events = std::vector<std::string>;

namespace {

// Registry parameters of most tests; the stand-in connects nowhere.
const wchar_t* const TEST_ADDRESS = L"127.0.0.1";
constexpr DWORD TEST_PORT = 4321;
const char* const CONNECT = "TVN_Connect(0, \"127.0.0.1\", 4321)";
const char* const SET_CLOCK = "TVN_SetDateTime(0)";
const char* const DISCONNECT = "TVN_DisConnect(0)";
const char* const NOTIFY = "TVN_ShutdownNotify(0)";

// The error with which the recorder refuses a report or a registration.
constexpr DWORD REFUSAL_ERROR = ERROR_INVALID_HANDLE;  // 6

const std::string START_PENDING = ReportEvent(2, 0x101, 0, 1, 1000);
const std::string START_FAILED = ReportEvent(1, 0x101, 1062, 1, 1000);
const std::string MAIN_RUNNING = ReportEvent(4, 0x107, 0, 0, 0);
const std::string STOP_PENDING = ReportEvent(3, 0x5, 0, 1, 3000);
const std::string STOPPED = ReportEvent(1, 0x5, 0, 0, 0);
const std::string PAUSE_PENDING = ReportEvent(6, 0x5, 0, 1, 3000);
const std::string PAUSED = ReportEvent(7, 0x7, 0, 0, 0);
const std::string CONTINUE_PENDING = ReportEvent(5, 0x5, 0, 1, 3000);
const std::string CONTROL_RUNNING = ReportEvent(4, 0x7, 0, 0, 0);

const wchar_t* const SERVICE_KEY = L"SYSTEM\\CurrentControlSet\\Services\\TalvernSvc";

ServiceRecorder& Recorder()
{
    return ServiceRecorder::Instance();
}

std::string StandInFolder(const char* name)
{
    return ProgramDir() + name;
}

bool KeyExists(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteParameters()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY);
}

void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY, 0, nullptr,
                                             0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
    RegCloseKey(key);
}

// A REG_SZ value, stored with its terminator.
void SetText(const wchar_t* name, const std::wstring& text)
{
    SetValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetNumber(const wchar_t* name, DWORD number)
{
    SetValue(name, REG_DWORD, &number, sizeof(number));
}

// Every process-wide variable of the service back to its initial value.
void ResetServiceState()
{
    FreeLinkLibrary();
    g_status_handle = nullptr;
    g_running = 1;
    g_main_ended = 0;
    g_start_ended = 0;
    g_main_failed = MAIN_NOT_FAILED;
    wmemset(g_ip_address, L'\0', TEXT_BUFFER_CHARS);
    g_port = 0;
    g_link_entry = {};
}

// ServiceMain on a thread of its own, as the dispatcher runs it. A run that
// is still going at the end is told to stop, so that no test hangs.
class ServiceMainRun {
public:
    ServiceMainRun() : done_(std::async(std::launch::async, [] { ServiceMain(0, nullptr); })) {}
    ~ServiceMainRun()
    {
        if (!Returned(0)) {
            InterlockedExchange(&g_running, 0);
            Recorder().ReleaseHold();
        }
    }
    bool Returned(DWORD timeout_ms = 10000)
    {
        return done_.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready;
    }

private:
    std::future<void> done_;
};

// A control sent from a thread of its own (the STOP control waits).
std::future<DWORD> SendControl(DWORD control)
{
    return std::async(std::launch::async,
                      [control] { return ServiceCtrlHandler(control, 0, nullptr, nullptr); });
}

// A control sent and answered.
DWORD Control(DWORD control)
{
    return SendControl(control).get();
}

// Lets every thread held by the recorder go at the end of a scope, also
// after a failed assertion, so that no control's thread is waited on forever.
struct HoldsReleased {
    ~HoldsReleased()
    {
        Recorder().ReleaseHold();
        Recorder().ReleaseTraceHold();
    }
};

bool Finished(std::future<DWORD>& control, DWORD timeout_ms = 10000)
{
    return control.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready;
}

int64_t Ticks(const SYSTEMTIME& time)
{
    FILETIME file_time;
    SystemTimeToFileTime(&time, &file_time);
    return (static_cast<int64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
}

// TalvernSvc.exe started as a plain program, as from a command prompt, with
// its standard error stream in a file. It is started while the test program
// loads, so that its start-up (slow where 32-bit programs run emulated)
// overlaps the other tests.
class CommandPromptRun {
public:
    CommandPromptRun()
        : error_path_(TempFilePath()),
          child_("\"" + ProgramDir() + "TalvernSvc.exe\"", error_path_)
    {
    }
    ~CommandPromptRun() { DeleteFileA(error_path_.c_str()); }
    CommandPromptRun(const CommandPromptRun&) = delete;
    CommandPromptRun& operator=(const CommandPromptRun&) = delete;

    bool Started() const { return child_.Started(); }
    // The program's exit status; -1 on time-out.
    int Wait(DWORD timeout_ms) { return child_.Wait(timeout_ms); }
    std::string ErrorText() const { return testsupport::ReadFileText(error_path_); }

private:
    static std::string TempFilePath()
    {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        return std::string(temp) + "talvern_svc_stderr_" +
               std::to_string(GetCurrentProcessId()) + ".txt";
    }

    std::string error_path_;
    testsupport::ChildProcess child_;
};

CommandPromptRun g_command_prompt_run;

class ServiceHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { service_key_existed_ = KeyExists(SERVICE_KEY); }
    static void TearDownTestSuite()
    {
        // The parameters key is all the tests create; remove the service's
        // key too when the service was not installed before.
        if (!service_key_existed_) {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, SERVICE_KEY);
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, SERVICE_KEY);
        }
    }

    void SetUp() override
    {
        ResetServiceState();
        Recorder().Reset();
        Recorder().Install(StandInFolder("RecordingLink"));
        DeleteParameters();
        SetText(L"IpAddress", TEST_ADDRESS);
        SetNumber(L"Port", TEST_PORT);
    }

    void TearDown() override
    {
        Recorder().ReleaseHold();
        InterlockedExchange(&g_running, 0);
        FreeLinkLibrary();
        Recorder().Uninstall();
        DeleteParameters();
    }

    // Trace texts sent so far.
    static std::vector<std::string> Traces() { return Recorder().Traces(); }

    static bool service_key_existed_;
};

bool ServiceHostTest::service_key_existed_ = false;

// --- start and the four controls -----------------------------------------

TEST_F(ServiceHostTest, StartThenStopReportsEachStateAndDisconnectsOnlyAfterTheWaitLoop)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    {
        ServiceMainRun run;
        ASSERT_TRUE(Recorder().WaitForEvent(MAIN_RUNNING));
        SYSTEMTIME after;
        GetLocalTime(&after);
        EXPECT_EQ(std::wstring(L"TalvernSvc"), Recorder().RegisteredName());
        EXPECT_EQ(nullptr, Recorder().RegisteredContext());
        SYSTEMTIME sent = Recorder().LastDateTime();
        EXPECT_LE(Ticks(before), Ticks(sent));
        EXPECT_GE(Ticks(after), Ticks(sent));

        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Control(SERVICE_CONTROL_STOP));
        EXPECT_TRUE(run.Returned());
    }
    EXPECT_EQ((Events{START_PENDING, "attach", CONNECT, SET_CLOCK, MAIN_RUNNING, STOP_PENDING,
                      DISCONNECT, "detach", STOPPED}),
              Recorder().Events());
    // The disconnect came only once ServiceMain had left its wait loop.
    EXPECT_EQ(1, Recorder().MainEndedAtCall("TVN_DisConnect"));
    EXPECT_EQ(nullptr, g_link_module);
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "SERVICE_RUNNING.\n",
                                        "SERVICE_CONTROL_STOP\n", "END OF ServiceMain\n"}),
              Traces());
}

TEST_F(ServiceHostTest, PauseAndContinueChangeOnlyTheReportedState)
{
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(MAIN_RUNNING));
    Events start = Recorder().Events();

    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Control(SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Control(SERVICE_CONTROL_CONTINUE));
    // Pause and continue drop the pre-shutdown control from the mask: at a
    // system shutdown the service then gets SHUTDOWN, answered with 120.
    EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
              Control(SERVICE_CONTROL_SHUTDOWN));

    Events expected = start;
    for (const std::string& e : {PAUSE_PENDING, PAUSED, CONTINUE_PENDING, CONTROL_RUNNING})
        expected.push_back(e);
    EXPECT_EQ(expected, Recorder().Events());
    EXPECT_NE(nullptr, g_link_module);
    EXPECT_FALSE(run.Returned(0));
    std::vector<std::string> traces = Traces();
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "SERVICE_RUNNING.\n",
                                        "SERVICE_CONTROL_PAUSE\n", "SERVICE_CONTROL_CONTINUE\n"}),
              traces);

    // A stop from the paused state works as from the running one.
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Control(SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Control(SERVICE_CONTROL_STOP));
    EXPECT_TRUE(run.Returned());
    Events events = Recorder().Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ((Events{DISCONNECT, "detach", STOPPED}), Events(events.end() - 3, events.end()));
}

TEST_F(ServiceHostTest, PreshutdownNotifiesThenDisconnectsUnloadsAndStops)
{
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(MAIN_RUNNING));
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              Control(SERVICE_CONTROL_PRESHUTDOWN));
    EXPECT_EQ((Events{START_PENDING, "attach", CONNECT, SET_CLOCK, MAIN_RUNNING, STOP_PENDING,
                      NOTIFY, DISCONNECT, "detach", STOPPED}),
              Recorder().Events());
    EXPECT_EQ(nullptr, g_link_module);
    // ServiceMain leaves its wait loop on its own afterwards.
    EXPECT_TRUE(run.Returned());
    std::vector<std::string> traces = Traces();
    ASSERT_EQ(4u, traces.size());
    EXPECT_EQ("SERVICE_CONTROL_PRESHUTDOWN\n", traces[2]);
    EXPECT_EQ("END OF ServiceMain\n", traces[3]);
}

TEST_F(ServiceHostTest, EveryOtherControlIsAnswered120WithoutTraceOrReport)
{
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(MAIN_RUNNING));
    const size_t events_before = Recorder().Events().size();
    const size_t traces_before = Traces().size();

    std::vector<DWORD> codes = {0, SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_SHUTDOWN};
    for (DWORD code = 6; code < SERVICE_CONTROL_PRESHUTDOWN; ++code)
        codes.push_back(code);
    for (DWORD code : {16ul, 17ul, 128ul, 255ul, 0xFFFFFFFFul})
        codes.push_back(code);
    for (DWORD code : codes) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
                  Control(code))
            << "control " << code;
    }
    EXPECT_EQ(events_before, Recorder().Events().size());
    EXPECT_EQ(traces_before, Traces().size());
    EXPECT_EQ(1, g_running);
}

// --- a control while the start is pending ---------------------------------

TEST_F(ServiceHostTest, StopDuringThePendingStartWaitsForTheStartToFinish)
{
    Recorder().HoldAt("TVN_Connect");
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(CONNECT));
    std::future<DWORD> stop = SendControl(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(Recorder().WaitForEvent(STOP_PENDING));
    EXPECT_FALSE(Finished(stop, 300));  // waits while ServiceMain is inside the library
    Recorder().ReleaseHold();

    ASSERT_TRUE(Finished(stop));
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), stop.get());
    EXPECT_TRUE(run.Returned());
    EXPECT_EQ((Events{START_PENDING, "attach", CONNECT, STOP_PENDING, SET_CLOCK, MAIN_RUNNING,
                      DISCONNECT, "detach", STOPPED}),
              Recorder().Events());
}

TEST_F(ServiceHostTest, StopDuringThePendingStartEndsWhenTheLoadFails)
{
    Recorder().SetSystemDirectory(StandInFolder("NoSuchFolder"));
    Recorder().HoldAt(START_PENDING);
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(START_PENDING));
    std::future<DWORD> stop = SendControl(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(Recorder().WaitForEvent(STOP_PENDING));
    Recorder().ReleaseHold();

    ASSERT_TRUE(Finished(stop));
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), stop.get());
    EXPECT_TRUE(run.Returned());
    // ServiceMain's STOPPED report with 1062 stays the last word.
    EXPECT_EQ((Events{START_PENDING, STOP_PENDING, START_FAILED}), Recorder().Events());
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "SERVICE_CONTROL_STOP\n",
                                        "Load: TalvernLink.dll NG\n"}),
              Traces());
}

TEST_F(ServiceHostTest, PreshutdownDuringThePendingStartNeverCallsAnUnboundOrBusyLibrary)
{
    // Once before the library is loaded, once while ServiceMain is inside it.
    for (const std::string& hold : {START_PENDING, std::string(CONNECT)}) {
        SCOPED_TRACE(hold);
        ResetServiceState();
        Recorder().Reset();
        Recorder().HoldAt(hold);
        ServiceMainRun run;
        ASSERT_TRUE(Recorder().WaitForEvent(hold));
        std::future<DWORD> preshutdown = SendControl(SERVICE_CONTROL_PRESHUTDOWN);
        ASSERT_TRUE(Recorder().WaitForEvent(STOP_PENDING));
        EXPECT_FALSE(Finished(preshutdown, 300));
        Recorder().ReleaseHold();

        ASSERT_TRUE(Finished(preshutdown));
        EXPECT_TRUE(run.Returned());
        Events events = Recorder().Events();
        Events expected_end = {SET_CLOCK, MAIN_RUNNING, NOTIFY, DISCONNECT, "detach", STOPPED};
        ASSERT_GE(events.size(), expected_end.size());
        EXPECT_EQ(expected_end, Events(events.end() - expected_end.size(), events.end()));
        EXPECT_EQ(1, std::count(events.begin(), events.end(), STOP_PENDING));
    }
}

TEST_F(ServiceHostTest, PreshutdownAfterAFailedLoadMakesNoLibraryCall)
{
    Recorder().SetSystemDirectory(StandInFolder("NoSuchFolder"));
    Recorder().HoldAt(START_PENDING);
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(START_PENDING));
    std::future<DWORD> preshutdown = SendControl(SERVICE_CONTROL_PRESHUTDOWN);
    ASSERT_TRUE(Recorder().WaitForEvent(STOP_PENDING));
    Recorder().ReleaseHold();
    ASSERT_TRUE(Finished(preshutdown));
    EXPECT_TRUE(run.Returned());
    EXPECT_EQ((Events{START_PENDING, STOP_PENDING, START_FAILED}), Recorder().Events());
}

TEST_F(ServiceHostTest, AFailedStartReportedBeforeTheControlsPendingReportIsReportedAgain)
{
    // ServiceMain's STOPPED with 1062 goes out between the control's trace
    // and its pending report: the control sends STOPPED with 1062 again, so
    // that the last report is not STOP_PENDING.
    const std::string STOPPED_AGAIN = ReportEvent(1, 0x5, 1062, 0, 0);
    const struct {
        DWORD code;
        std::string trace;
    } controls[] = {{SERVICE_CONTROL_STOP, "SERVICE_CONTROL_STOP\n"},
                    {SERVICE_CONTROL_PRESHUTDOWN, "SERVICE_CONTROL_PRESHUTDOWN\n"}};
    for (const auto& c : controls) {
        SCOPED_TRACE(c.trace);
        ResetServiceState();
        Recorder().Reset();
        Recorder().SetSystemDirectory(StandInFolder("NoSuchFolder"));
        Recorder().HoldAt(START_PENDING);
        Recorder().HoldAtTrace(c.trace);
        ServiceMainRun run;
        ASSERT_TRUE(Recorder().WaitForEvent(START_PENDING));
        std::future<DWORD> control = SendControl(c.code);
        HoldsReleased release_at_exit;
        ASSERT_TRUE(Recorder().WaitForTrace(c.trace));
        Recorder().ReleaseHold();
        ASSERT_TRUE(run.Returned());
        Recorder().ReleaseTraceHold();

        ASSERT_TRUE(Finished(control));
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), control.get());
        EXPECT_EQ((Events{START_PENDING, START_FAILED, STOP_PENDING, STOPPED_AGAIN}),
                  Recorder().Events());
        EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", c.trace,
                                            "Load: TalvernLink.dll NG\n"}),
                  Traces());
    }
}

// --- the library ----------------------------------------------------------

TEST_F(ServiceHostTest, MissingLibraryStopsWith1062WithoutReadingTheRegistry)
{
    DeleteParameters();
    Recorder().SetSystemDirectory(StandInFolder("NoSuchFolder"));
    ServiceMainRun run;
    ASSERT_TRUE(run.Returned());
    EXPECT_EQ((Events{START_PENDING, START_FAILED}), Recorder().Events());
    EXPECT_FALSE(KeyExists(TALVERN_PARAMETERS_KEY));
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "Load: TalvernLink.dll NG\n"}),
              Traces());
}

TEST_F(ServiceHostTest, LibraryWhoseStartUpFailsStopsWith1062)
{
    Recorder().RefuseLoad();
    ServiceMainRun run;
    ASSERT_TRUE(run.Returned());
    Events events = Recorder().Events();
    EXPECT_EQ(0, std::count_if(events.begin(), events.end(),
                               [](const std::string& e) { return e.rfind("TVN_", 0) == 0; }));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(START_FAILED, events.back());
    EXPECT_EQ(nullptr, g_link_module);
}

TEST_F(ServiceHostTest, LibraryLackingOneOfTheServiceCallsIsUnloadedAndNeverCalled)
{
    Recorder().SetSystemDirectory(StandInFolder("RecordingLinkPartial"));
    ServiceMainRun run;
    ASSERT_TRUE(run.Returned());
    EXPECT_EQ((Events{START_PENDING, "attach", "detach", START_FAILED}), Recorder().Events());
    EXPECT_EQ(nullptr, g_link_module);
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "Load: TalvernLink.dll NG\n"}),
              Traces());
}

TEST_F(ServiceHostTest, LoadLinkLibraryBindsByNameOnceAndLeavesMissingNamesNull)
{
    std::string partial = StandInFolder("RecordingLinkPartial") + "\\TalvernLink.dll";
    ASSERT_EQ(1, LoadLinkLibrary(partial.c_str()));
    HMODULE first = g_link_module;
    const LinkEntryPoints bound = g_link_entry;
    EXPECT_EQ(nullptr, bound.shutdown_notify);
    const FARPROC* slots = reinterpret_cast<const FARPROC*>(&bound);
    const int shutdown_notify_index = 5;
    for (int i = 0; i < TVN_ENTRY_COUNT; ++i) {
        if (i != shutdown_notify_index) {
            EXPECT_EQ(GetProcAddress(first, TvnEntryName(i)), slots[i]) << TvnEntryName(i);
        }
    }

    // Loaded already: nothing is loaded or bound again, whatever the name.
    g_link_entry = {};
    std::string full = StandInFolder("RecordingLink") + "\\TalvernLink.dll";
    EXPECT_EQ(1, LoadLinkLibrary(full.c_str()));
    EXPECT_EQ(first, g_link_module);
    EXPECT_EQ(nullptr, g_link_entry.connect);

    FreeLinkLibrary();
    EXPECT_EQ(nullptr, g_link_module);
    FreeLinkLibrary();
    EXPECT_EQ((Events{"attach", "detach"}), Recorder().Events());

    EXPECT_EQ(0, LoadLinkLibrary((StandInFolder("NoSuchFolder") + "\\TalvernLink.dll").c_str()));
    EXPECT_EQ(nullptr, g_link_module);
}

TEST_F(ServiceHostTest, LibraryPathNeverOverrunsItsBuffer)
{
    char path[TEXT_BUFFER_CHARS + 8];
    // 243 characters leave just room for "\TalvernLink.dll" and the zero.
    std::string longest = "C:\\" + std::string(240, 'd');
    Recorder().SetSystemDirectory(longest);
    ASSERT_TRUE(BuildLinkLibraryPath(path, TEXT_BUFFER_CHARS));
    EXPECT_EQ(longest + "\\TalvernLink.dll", std::string(path));
    EXPECT_EQ(TEXT_BUFFER_CHARS - 1, std::strlen(path));

    for (size_t length : {244u, 258u, 259u, 300u}) {
        std::memset(path, '#', sizeof(path));
        Recorder().SetSystemDirectory("C:\\" + std::string(length - 3, 'd'));
        EXPECT_FALSE(BuildLinkLibraryPath(path, TEXT_BUFFER_CHARS)) << length;
        EXPECT_EQ('\0', path[0]);
        for (size_t i = TEXT_BUFFER_CHARS; i < sizeof(path); ++i)
            EXPECT_EQ('#', path[i]);
    }

    // A directory too long for the library's name fails the start like a
    // missing library.
    ServiceMainRun run;
    ASSERT_TRUE(run.Returned());
    EXPECT_EQ((Events{START_PENDING, START_FAILED}), Recorder().Events());
}

// --- refused reports and registration -------------------------------------

TEST_F(ServiceHostTest, RefusedRegistrationIsTracedAndNothingIsReported)
{
    Recorder().FailRegistration(ERROR_SERVICE_DOES_NOT_EXIST);
    ServiceMainRun run;
    ASSERT_TRUE(run.Returned());
    EXPECT_TRUE(Recorder().Events().empty());
    EXPECT_EQ((std::vector<std::string>{"RegisterServiceCtrlHandler failed. 1060\n"}), Traces());
}

TEST_F(ServiceHostTest, RefusedStartPendingReportEndsServiceMainBeforeTheLoad)
{
    Recorder().RefuseReport(SERVICE_START_PENDING, REFUSAL_ERROR);
    ServiceMainRun run;
    ASSERT_TRUE(run.Returned());
    EXPECT_EQ((Events{START_PENDING + " refused"}), Recorder().Events());
    EXPECT_EQ(0, g_main_ended);
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "SetServiceStatus failed. 6\n"}),
              Traces());

    // A later STOP does not wait for a wait loop that never ran.
    std::future<DWORD> stop = SendControl(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(Finished(stop));
    EXPECT_EQ((Events{START_PENDING + " refused", STOP_PENDING, STOPPED}), Recorder().Events());
}

TEST_F(ServiceHostTest, RefusedRunningReportLeavesTheBoardConnectedUntilStop)
{
    Recorder().RefuseReport(SERVICE_RUNNING, REFUSAL_ERROR);
    ServiceMainRun run;
    ASSERT_TRUE(run.Returned());
    EXPECT_EQ((Events{START_PENDING, "attach", CONNECT, SET_CLOCK, MAIN_RUNNING + " refused"}),
              Recorder().Events());
    EXPECT_EQ((std::vector<std::string>{"SERVICE_START_PENDING...\n", "SERVICE_RUNNING.\n",
                                        "SetServiceStatus failed. 6\n"}),
              Traces());

    std::future<DWORD> stop = SendControl(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(Finished(stop));
    Events events = Recorder().Events();
    EXPECT_EQ((Events{STOP_PENDING, DISCONNECT, "detach", STOPPED}), Events(events.begin() + 5, events.end()));
}

TEST_F(ServiceHostTest, RefusedPendingReportOfAControlSkipsItsWork)
{
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(MAIN_RUNNING));
    Recorder().Reset();

    Recorder().RefuseReport(SERVICE_STOP_PENDING, REFUSAL_ERROR);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Control(SERVICE_CONTROL_STOP));
    EXPECT_EQ(1, g_running);
    EXPECT_FALSE(run.Returned(200));
    Recorder().RefuseReport(SERVICE_STOP_PENDING, REFUSAL_ERROR);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              Control(SERVICE_CONTROL_PRESHUTDOWN));
    EXPECT_EQ(1, g_running);
    EXPECT_EQ((Events{STOP_PENDING + " refused", STOP_PENDING + " refused"}), Recorder().Events());
    EXPECT_EQ((std::vector<std::string>{"SERVICE_CONTROL_STOP\n", "SetServiceStatus failed. 6\n",
                                        "SERVICE_CONTROL_PRESHUTDOWN\n",
                                        "SetServiceStatus failed. 6\n"}),
              Traces());

    // The final report refused: traced, and the handler still answers 0.
    Recorder().Reset();
    Recorder().RefuseReport(SERVICE_PAUSED, REFUSAL_ERROR);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Control(SERVICE_CONTROL_PAUSE));
    EXPECT_EQ((std::vector<std::string>{"SERVICE_CONTROL_PAUSE\n", "SetServiceStatus failed. 6\n"}),
              Traces());
    EXPECT_EQ(PAUSED + " refused", Recorder().Events().back());
}

// --- registry parameters --------------------------------------------------

TEST_F(ServiceHostTest, WithoutAParametersKeyTheDefaultsGoToTheLibraryAndTheKeyIsCreated)
{
    DeleteParameters();
    ServiceMainRun run;
    ASSERT_TRUE(Recorder().WaitForEvent(MAIN_RUNNING));
    const std::string default_connect =
        std::string("TVN_Connect(0, \"") + DEFAULT_BOARD_ADDRESS + "\", 10000)";
    Events events = Recorder().Events();
    EXPECT_EQ(1, std::count(events.begin(), events.end(), default_connect));

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY, 0, KEY_READ, &key));
    DWORD values = 99;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    EXPECT_EQ(0u, values);
}

TEST_F(ServiceHostTest, IpAddressIsTakenUpTo258Characters)
{
    const std::wstring fits(258, L'7');
    const std::wstring kept = L"kept";
    auto read = [&](const std::function<void()>& store) {
        wcscpy(g_ip_address, kept.c_str());
        store();
        ReadServiceParameters();
        return std::wstring(g_ip_address);
    };
    EXPECT_EQ(fits, read([&] { SetText(L"IpAddress", fits); }));
    // 259 characters with the terminator need 520 bytes: more than asked for.
    EXPECT_EQ(kept, read([] { SetText(L"IpAddress", std::wstring(259, L'7')); }));
    // 259 characters stored without a terminator fill all 518 bytes.
    EXPECT_EQ(kept, read([] {
        std::wstring text(259, L'7');
        SetValue(L"IpAddress", REG_BINARY, text.data(), 518);
    }));
    // The type is not examined: a number is read by its bytes.
    EXPECT_EQ(std::wstring(L"12"), read([] { SetNumber(L"IpAddress", 0x00320031); }));
    EXPECT_EQ(std::wstring(L"10.1.2.3"), read([] { SetText(L"IpAddress", L"10.1.2.3"); }));
    // A missing value keeps what was there.
    EXPECT_EQ(kept, read([] {
        HKEY key = nullptr;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY, 0, KEY_ALL_ACCESS, &key);
        RegDeleteValueW(key, L"IpAddress");
        RegCloseKey(key);
    }));
}

TEST_F(ServiceHostTest, PortIsTakenAsTheValuesFirstFourBytes)
{
    auto read = [](const std::function<void()>& store) {
        g_port = 10000;
        store();
        ReadServiceParameters();
        return g_port;
    };
    EXPECT_EQ(502, read([] { SetNumber(L"Port", 502); }));
    EXPECT_EQ(70000, read([] { SetNumber(L"Port", 70000); }));
    // A text of two characters and its terminator is 6 bytes: not taken.
    EXPECT_EQ(10000, read([] { SetText(L"Port", L"80"); }));
    EXPECT_EQ(10000, read([] {
        ULONGLONG wide = 8080;
        SetValue(L"Port", REG_QWORD, &wide, sizeof(wide));
    }));
    // One character and its terminator fit: the type is not examined.
    EXPECT_EQ(0x35, read([] { SetText(L"Port", L"5"); }));
    // A shorter value gives the low bytes; the others are zero.
    EXPECT_EQ(0x1234, read([] {
        const BYTE two[2] = {0x34, 0x12};
        SetValue(L"Port", REG_BINARY, two, sizeof(two));
    }));
}

// --- texts ----------------------------------------------------------------

TEST_F(ServiceHostTest, TraceTextIsCutAfter1024Characters)
{
    DebugOut(L"%ls", std::wstring(2000, L'x').c_str());
    DebugOut(L"%ls", std::wstring(1024, L'y').c_str());
    DebugOut(L"SetServiceStatus failed. %u\n", 4294967295u);
    EXPECT_EQ((std::vector<std::string>{std::string(1024, 'x'), std::string(1024, 'y'),
                                        "SetServiceStatus failed. 4294967295\n"}),
              Traces());
}

TEST_F(ServiceHostTest, NarrowAddressIsWholeOrEmptyNeverCut)
{
    char buffer[TEXT_BUFFER_CHARS + 8];
    const std::wstring longest(258, L'1');
    EXPECT_TRUE(NarrowAddress(longest.c_str(), buffer, TEXT_BUFFER_CHARS));
    EXPECT_EQ(std::string(258, '1'), std::string(buffer));

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_FALSE(NarrowAddress(L"192.168.100.200", buffer, 10));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ('\0', buffer[i]);
    for (size_t i = 10; i < sizeof(buffer); ++i)
        EXPECT_EQ('#', buffer[i]);
}

// --- the program itself ---------------------------------------------------

TEST(ServiceProgramTest, FromACommandPromptTheDispatcherCheckFailsOnLine50)
{
    ASSERT_TRUE(g_command_prompt_run.Started());
    EXPECT_EQ(3, g_command_prompt_run.Wait(600000));
    const std::string report = g_command_prompt_run.ErrorText();
    EXPECT_NE(std::string::npos, report.find("b_ret")) << report;
    EXPECT_NE(std::string::npos, report.find("TalvernSvc")) << report;
    EXPECT_NE(std::string::npos, report.find("line 50")) << report;
}

}  // namespace
