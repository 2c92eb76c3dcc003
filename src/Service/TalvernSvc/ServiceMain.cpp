// ServiceMain.cpp - the service main function and the control handler.
#include <cwchar>

#include "TalvernSvc.h"

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
volatile LONG g_running = 1;
volatile LONG g_main_ended = 0;
volatile LONG g_start_ended = 0;
volatile LONG g_main_failed = MAIN_NOT_FAILED;

namespace {

// Orders ServiceMain's STOPPED after a failed start against a control's
// pending report, so that the control knows which of the two went out first
// (see ServiceCtrlHandler). Held only around those reports.
SRWLOCK g_last_word_lock = SRWLOCK_INIT;

#define WIDEN_TEXT(text) L##text
#define WIDE_TEXT(text) WIDEN_TEXT(text)

// Controls accepted while the start is pending: stop, pre-shutdown.
constexpr DWORD ACCEPT_WHILE_STARTING = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
// Controls accepted once ServiceMain reports RUNNING.
constexpr DWORD ACCEPT_WHEN_STARTED = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE |
                                      SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
// Controls accepted in every report of the control handler (PAUSED and
// RUNNING add pause and continue).
constexpr DWORD ACCEPT_IN_CONTROL = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Each pending state is reported once, with this checkpoint.
constexpr DWORD PENDING_CHECKPOINT = 1;
constexpr DWORD START_WAIT_HINT_MS = 1000;
constexpr DWORD CONTROL_WAIT_HINT_MS = 3000;

constexpr DWORD RUNNING_POLL_MS = 100;  // ServiceMain's wait loop
constexpr DWORD MAIN_POLL_MS = 10;      // a control waiting for ServiceMain

bool ReportStatus(SERVICE_STATUS* status)
{
    return g_service_control.set_status(g_status_handle, status) != FALSE;
}

// Reports the final (not pending) state of a control; a refusal is traced.
void ReportFinal(SERVICE_STATUS* status, DWORD state, DWORD accepted, DWORD exit_code)
{
    status->dwCurrentState = state;
    status->dwControlsAccepted = accepted;
    status->dwWin32ExitCode = exit_code;
    status->dwCheckPoint = 0;
    status->dwWaitHint = 0;
    if (!ReportStatus(status))
        DebugOut(L"SetServiceStatus failed. %u\n", GetLastError());
}

bool IsSet(const volatile LONG& flag)
{
    return flag != 0;
}

// Records how ServiceMain failed; from then on it touches neither the
// library nor the service's state.
void EndStartByFailure(LONG how)
{
    InterlockedExchange(&g_main_failed, how);
    InterlockedExchange(&g_start_ended, 1);
}

// The board calls of a STOP or PRESHUTDOWN, once ServiceMain is out of the
// library: the shutdown notice when asked for, the disconnect, the unload.
// Returns false when ServiceMain has reported the service STOPPED itself
// (TalvernLink did not load): the control then makes no final report of its
// own (see ServiceCtrlHandler).
bool DisconnectAndUnload(bool notify_shutdown)
{
    if (g_main_failed == MAIN_FAILED_STOPPED)
        return false;
    if (g_link_module != nullptr) {
        if (notify_shutdown && g_link_entry.shutdown_notify != nullptr)
            g_link_entry.shutdown_notify(SERVICE_BOARD);
        if (g_link_entry.dis_connect != nullptr)
            g_link_entry.dis_connect(SERVICE_BOARD);
    }
    FreeLinkLibrary();
    return true;
}

// STOP: end the wait loop, wait until ServiceMain has left it (or returned
// by a failure path), then disconnect and unload.
bool StopWork()
{
    InterlockedExchange(&g_running, 0);
    while (!IsSet(g_main_ended) && g_main_failed == MAIN_NOT_FAILED)
        Sleep(MAIN_POLL_MS);
    return DisconnectAndUnload(false);
}

// PRESHUTDOWN: end the wait loop and notify, disconnect and unload at once.
// While the start is still pending ServiceMain may be inside the library (or
// not have bound it yet): then wait until it has finished its start.
bool PreshutdownWork()
{
    InterlockedExchange(&g_running, 0);
    while (!IsSet(g_start_ended))
        Sleep(MAIN_POLL_MS);
    return DisconnectAndUnload(true);
}

struct ControlAction {
    DWORD code;
    const wchar_t* trace_text;
    DWORD pending_state;
    DWORD final_state;
    DWORD final_accepted;
    bool (*work)();  // null: nothing to do; otherwise false skips the final report
};

const ControlAction CONTROL_ACTIONS[] = {
    {SERVICE_CONTROL_STOP, L"SERVICE_CONTROL_STOP\n", SERVICE_STOP_PENDING, SERVICE_STOPPED,
     ACCEPT_IN_CONTROL, StopWork},
    {SERVICE_CONTROL_PAUSE, L"SERVICE_CONTROL_PAUSE\n", SERVICE_PAUSE_PENDING, SERVICE_PAUSED,
     ACCEPT_IN_CONTROL | SERVICE_ACCEPT_PAUSE_CONTINUE, nullptr},
    {SERVICE_CONTROL_CONTINUE, L"SERVICE_CONTROL_CONTINUE\n", SERVICE_CONTINUE_PENDING,
     SERVICE_RUNNING, ACCEPT_IN_CONTROL | SERVICE_ACCEPT_PAUSE_CONTINUE, nullptr},
    {SERVICE_CONTROL_PRESHUTDOWN, L"SERVICE_CONTROL_PRESHUTDOWN\n", SERVICE_STOP_PENDING,
     SERVICE_STOPPED, ACCEPT_IN_CONTROL, PreshutdownWork},
};

const ControlAction* FindControlAction(DWORD code)
{
    for (const ControlAction& action : CONTROL_ACTIONS) {
        if (action.code == code)
            return &action;
    }
    return nullptr;
}

}  // namespace

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwControlsAccepted = ACCEPT_WHILE_STARTING;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = PENDING_CHECKPOINT;
    status.dwWaitHint = START_WAIT_HINT_MS;

    g_status_handle =
        g_service_control.register_handler(TALVERN_SERVICE_NAME, ServiceCtrlHandler, nullptr);
    if (g_status_handle == nullptr) {
        DebugOut(L"RegisterServiceCtrlHandler failed. %u\n", GetLastError());
        return;
    }

    DebugOut(L"SERVICE_START_PENDING...\n");
    status.dwCurrentState = SERVICE_START_PENDING;
    if (!ReportStatus(&status)) {
        DebugOut(L"SetServiceStatus failed. %u\n", GetLastError());
        EndStartByFailure(MAIN_FAILED_UNREPORTED);
        return;
    }

    // A library without the four calls the service makes is as good as
    // none: it is unloaded again and the start fails like a missing file.
    char library_path[TEXT_BUFFER_CHARS] = {};
    if (!BuildLinkLibraryPath(library_path, sizeof(library_path)) ||
        !LoadLinkLibrary(library_path) || !HasServiceEntries()) {
        FreeLinkLibrary();
        DebugOut(L"Load: TalvernLink.dll NG\n");
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwWin32ExitCode = ERROR_SERVICE_NOT_ACTIVE;
        AcquireSRWLockExclusive(&g_last_word_lock);
        EndStartByFailure(MAIN_FAILED_STOPPED);
        g_service_control.set_status(g_status_handle, &status);
        ReleaseSRWLockExclusive(&g_last_word_lock);
        return;
    }

    wmemset(g_ip_address, L'\0', TEXT_BUFFER_CHARS);
    wcscpy(g_ip_address, WIDE_TEXT(DEFAULT_BOARD_ADDRESS));
    g_port = DEFAULT_BOARD_PORT;
    ReadServiceParameters();

    // An address whose narrow form does not fit goes out as an empty text,
    // which the library refuses like any other unusable address.
    char narrow_address[TEXT_BUFFER_CHARS] = {};
    NarrowAddress(g_ip_address, narrow_address, sizeof(narrow_address));
    g_link_entry.connect(SERVICE_BOARD, narrow_address, g_port);

    SYSTEMTIME now;
    GetLocalTime(&now);
    g_link_entry.set_date_time(SERVICE_BOARD, &now);

    DebugOut(L"SERVICE_RUNNING.\n");
    status.dwCurrentState = SERVICE_RUNNING;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    status.dwControlsAccepted = ACCEPT_WHEN_STARTED;
    if (!ReportStatus(&status)) {
        DebugOut(L"SetServiceStatus failed. %u\n", GetLastError());
        EndStartByFailure(MAIN_FAILED_UNREPORTED);
        return;
    }
    InterlockedExchange(&g_start_ended, 1);

    while (IsSet(g_running))
        Sleep(RUNNING_POLL_MS);

    // The trace goes out before the flag: once the flag is set a STOP may
    // report STOPPED and the process may end.
    DebugOut(L"END OF ServiceMain\n");
    InterlockedExchange(&g_main_ended, 1);
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/,
                                LPVOID /*context*/)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwControlsAccepted = ACCEPT_IN_CONTROL;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = PENDING_CHECKPOINT;
    status.dwWaitHint = CONTROL_WAIT_HINT_MS;

    const ControlAction* action = FindControlAction(control);
    if (action == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;

    DebugOut(action->trace_text);
    status.dwCurrentState = action->pending_state;
    // Whether ServiceMain reported STOPPED after a failed start before this
    // pending report: under the lock, its mark and its report are one step.
    AcquireSRWLockExclusive(&g_last_word_lock);
    const bool reported = ReportStatus(&status);
    const bool stopped_before_pending = g_main_failed == MAIN_FAILED_STOPPED;
    ReleaseSRWLockExclusive(&g_last_word_lock);
    if (!reported) {
        // The control's work is not done: a refused STOP leaves the service
        // running.
        DebugOut(L"SetServiceStatus failed. %u\n", GetLastError());
        return NO_ERROR;
    }
    if (action->work != nullptr && !action->work()) {
        // STOPPED with 1062 must stay the last word: sent again when this
        // control's pending report came after ServiceMain's.
        if (stopped_before_pending)
            ReportFinal(&status, SERVICE_STOPPED, action->final_accepted,
                        ERROR_SERVICE_NOT_ACTIVE);
        return NO_ERROR;
    }
    ReportFinal(&status, action->final_state, action->final_accepted, NO_ERROR);
    return NO_ERROR;
}
