// ServiceRecorder.cpp - routed service-control calls and the stand-in's
// reports, recorded in order.
#include "ServiceRecorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "TalvernSvc.h"

namespace {

// The handle the routed registration hands out; never used as a real one.
SERVICE_STATUS_HANDLE const RECORDED_HANDLE = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5EC0);

SERVICE_STATUS_HANDLE WINAPI RecordedRegister(LPCWSTR name, LPHANDLER_FUNCTION_EX, LPVOID context)
{
    return ServiceRecorder::Instance().OnRegister(name, context);
}

BOOL WINAPI RecordedReport(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    if (handle != RECORDED_HANDLE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ServiceRecorder::Instance().OnReport(status);
}

BOOL WINAPI RecordedDispatcher(const SERVICE_TABLE_ENTRYW*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

UINT WINAPI RecordedSystemDirectory(LPSTR buffer, UINT size)
{
    return ServiceRecorder::Instance().OnSystemDirectory(buffer, size);
}

void WINAPI RecordedTrace(LPCWSTR text)
{
    ServiceRecorder::Instance().OnTrace(text);
}

}  // namespace

// Called by the recording stand-in for every call it receives.
extern "C" __declspec(dllexport) int32_t __cdecl RecordingLinkCall(const char* name, int32_t board,
                                                                   const char* text, int32_t number,
                                                                   const SYSTEMTIME* time)
{
    return ServiceRecorder::Instance().OnLinkCall(name, board, text, number, time);
}

std::string ReportEvent(DWORD state, DWORD accepted, DWORD exit_code, DWORD checkpoint,
                        DWORD wait_hint)
{
    char text[128];
    std::snprintf(text, sizeof(text), "report state=%lu accepted=0x%lx exit=%lu checkpoint=%lu hint=%lu",
                  static_cast<unsigned long>(state), static_cast<unsigned long>(accepted),
                  static_cast<unsigned long>(exit_code), static_cast<unsigned long>(checkpoint),
                  static_cast<unsigned long>(wait_hint));
    return text;
}

ServiceRecorder& ServiceRecorder::Instance()
{
    static ServiceRecorder recorder;
    return recorder;
}

void ServiceRecorder::Install(const std::string& system_directory)
{
    SetSystemDirectory(system_directory);
    g_service_control.start_dispatcher = RecordedDispatcher;
    g_service_control.register_handler = RecordedRegister;
    g_service_control.set_status = RecordedReport;
    g_get_system_directory = RecordedSystemDirectory;
    g_debug_output = RecordedTrace;
}

void ServiceRecorder::Uninstall()
{
    g_service_control.start_dispatcher = StartServiceCtrlDispatcherW;
    g_service_control.register_handler = RegisterServiceCtrlHandlerExW;
    g_service_control.set_status = SetServiceStatus;
    g_get_system_directory = GetSystemDirectoryA;
    g_debug_output = OutputDebugStringW;
}

void ServiceRecorder::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    traces_.clear();
    hold_prefix_.clear();
    holding_ = false;
    trace_hold_prefix_.clear();
    trace_holding_ = false;
    refused_reports_.clear();
    registration_error_ = 0;
    refuse_load_ = false;
    main_ended_at_call_.clear();
    last_date_time_ = {};
    registered_name_.clear();
    registered_context_ = nullptr;
    changed_.notify_all();
}

void ServiceRecorder::SetSystemDirectory(const std::string& system_directory)
{
    std::lock_guard<std::mutex> lock(mutex_);
    system_directory_ = system_directory;
}

std::vector<std::string> ServiceRecorder::Events() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<std::string> ServiceRecorder::Traces() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return traces_;
}

bool ServiceRecorder::WaitForEvent(const std::string& event, DWORD timeout_ms) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (const std::string& e : events_) {
            if (e == event)
                return true;
        }
        return false;
    });
}

void ServiceRecorder::HoldAt(const std::string& prefix)
{
    std::lock_guard<std::mutex> lock(mutex_);
    hold_prefix_ = prefix;
    holding_ = false;
}

void ServiceRecorder::ReleaseHold()
{
    std::lock_guard<std::mutex> lock(mutex_);
    hold_prefix_.clear();
    holding_ = false;
    changed_.notify_all();
}

void ServiceRecorder::HoldAtTrace(const std::string& prefix)
{
    std::lock_guard<std::mutex> lock(mutex_);
    trace_hold_prefix_ = prefix;
    trace_holding_ = false;
}

void ServiceRecorder::ReleaseTraceHold()
{
    std::lock_guard<std::mutex> lock(mutex_);
    trace_hold_prefix_.clear();
    trace_holding_ = false;
    changed_.notify_all();
}

bool ServiceRecorder::WaitForTrace(const std::string& text, DWORD timeout_ms) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return std::find(traces_.begin(), traces_.end(), text) != traces_.end();
    });
}

void ServiceRecorder::RefuseReport(DWORD state, DWORD error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refused_reports_[state] = error;
}

void ServiceRecorder::FailRegistration(DWORD error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    registration_error_ = error;
}

void ServiceRecorder::RefuseLoad()
{
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_load_ = true;
}

LONG ServiceRecorder::MainEndedAtCall(const std::string& function) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = main_ended_at_call_.find(function);
    return it == main_ended_at_call_.end() ? -1 : it->second;
}

SYSTEMTIME ServiceRecorder::LastDateTime() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return last_date_time_;
}

std::wstring ServiceRecorder::RegisteredName() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return registered_name_;
}

LPVOID ServiceRecorder::RegisteredContext() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return registered_context_;
}

void ServiceRecorder::Record(const std::string& event)
{
    std::unique_lock<std::mutex> lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
    if (hold_prefix_.empty() || event.compare(0, hold_prefix_.size(), hold_prefix_) != 0)
        return;
    holding_ = true;
    changed_.wait(lock, [&] { return !holding_; });
}

SERVICE_STATUS_HANDLE ServiceRecorder::OnRegister(LPCWSTR name, LPVOID context)
{
    DWORD error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        registered_name_ = name != nullptr ? name : L"";
        registered_context_ = context;
        error = registration_error_;
    }
    if (error != 0) {
        SetLastError(error);
        return nullptr;
    }
    return RECORDED_HANDLE;
}

BOOL ServiceRecorder::OnReport(const SERVICE_STATUS* status)
{
    std::string event = ReportEvent(status->dwCurrentState, status->dwControlsAccepted,
                                    status->dwWin32ExitCode, status->dwCheckPoint,
                                    status->dwWaitHint);
    if (status->dwServiceType != SERVICE_WIN32_OWN_PROCESS || status->dwServiceSpecificExitCode != 0)
        event += " unexpected-type-or-specific-code";
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto refused = refused_reports_.find(status->dwCurrentState);
        if (refused != refused_reports_.end()) {
            error = refused->second;
            refused_reports_.erase(refused);
        }
    }
    Record(error != 0 ? event + " refused" : event);
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

UINT ServiceRecorder::OnSystemDirectory(LPSTR buffer, UINT size)
{
    std::string directory;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        directory = system_directory_;
    }
    // As GetSystemDirectoryA: the length when it fits, else the size needed.
    if (directory.size() + 1 > size)
        return static_cast<UINT>(directory.size() + 1);
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<UINT>(directory.size());
}

void ServiceRecorder::OnTrace(LPCWSTR text)
{
    // The texts are ASCII; each character is kept as one byte.
    std::string narrow;
    for (const wchar_t* c = text; *c != L'\0'; ++c)
        narrow.push_back(static_cast<char>(*c));
    std::unique_lock<std::mutex> lock(mutex_);
    traces_.push_back(narrow);
    changed_.notify_all();
    if (trace_hold_prefix_.empty() ||
        narrow.compare(0, trace_hold_prefix_.size(), trace_hold_prefix_) != 0)
        return;
    trace_holding_ = true;
    changed_.wait(lock, [&] { return !trace_holding_; });
}

int32_t ServiceRecorder::OnLinkCall(const char* name, int32_t board, const char* text,
                                    int32_t number, const SYSTEMTIME* time)
{
    const std::string function = name;
    bool refuse = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        main_ended_at_call_[function] = g_main_ended;
        if (time != nullptr)
            last_date_time_ = *time;
        refuse = function == "attach" && refuse_load_;
    }
    if (function == "attach" || function == "detach") {
        Record(function);
        return refuse ? 1 : 0;
    }
    std::string event = function + "(" + std::to_string(board);
    if (function == "TVN_Connect")
        event += ", \"" + std::string(text != nullptr ? text : "(null)") + "\", " +
                 std::to_string(number);
    event += ")";
    Record(event);
    return 0;
}
