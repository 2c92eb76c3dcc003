// ServiceRecorder.h - the in-process tests' view of the service: it stands
// in for the three service-control calls and for the system directory, and
// receives every call of the recording TalvernLink stand-in, all in one list
// of events in the order they happened.
//
// Trace texts are collected apart, in the order they were sent.
//
// Events read:
//   report state=4 accepted=0x107 exit=0 checkpoint=0 hint=0   (a status report)
//   report ... refused                                          (a refused one)
//   TVN_Connect(0, "127.0.0.1", 4321)   TVN_SetDateTime(0)   TVN_DisConnect(0) ...
//   attach / detach                     (the stand-in loaded / unloaded)
#pragma once

#include <windows.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The event of one status report with these fields.
std::string ReportEvent(DWORD state, DWORD accepted, DWORD exit_code, DWORD checkpoint,
                        DWORD wait_hint);

class ServiceRecorder {
public:
    // The one recorder of the process (the routed calls carry no context).
    static ServiceRecorder& Instance();

    // Routes the service's calls here; the service then sees
    // system_directory as its system directory.
    void Install(const std::string& system_directory);
    // Gives the service its real calls back.
    void Uninstall();
    // Forgets events, holds and planned failures.
    void Reset();
    void SetSystemDirectory(const std::string& system_directory);

    std::vector<std::string> Events() const;
    std::vector<std::string> Traces() const;
    // Waits until event has been recorded; false on time-out.
    bool WaitForEvent(const std::string& event, DWORD timeout_ms = 10000) const;

    // The thread that records the next event beginning with prefix stops
    // right after recording it until ReleaseHold().
    void HoldAt(const std::string& prefix);
    void ReleaseHold();
    // The same for the next trace text beginning with prefix, independent of
    // the event hold: released by ReleaseTraceHold().
    void HoldAtTrace(const std::string& prefix);
    void ReleaseTraceHold();
    // Waits until this trace text has been collected; false on time-out.
    bool WaitForTrace(const std::string& text, DWORD timeout_ms = 10000) const;

    // The next report of this state is refused with this error code.
    void RefuseReport(DWORD state, DWORD error);
    // The handler registration fails with this error code.
    void FailRegistration(DWORD error);
    // The stand-in's start-up refuses the load.
    void RefuseLoad();

    // g_main_ended when the stand-in saw this call last; -1 when never.
    LONG MainEndedAtCall(const std::string& function) const;
    // The clock record of the last TVN_SetDateTime.
    SYSTEMTIME LastDateTime() const;
    // What the service registered its handler with.
    std::wstring RegisteredName() const;
    LPVOID RegisteredContext() const;

    // Called by the routed calls and by the stand-in.
    SERVICE_STATUS_HANDLE OnRegister(LPCWSTR name, LPVOID context);
    BOOL OnReport(const SERVICE_STATUS* status);
    UINT OnSystemDirectory(LPSTR buffer, UINT size);
    void OnTrace(LPCWSTR text);
    int32_t OnLinkCall(const char* name, int32_t board, const char* text, int32_t number,
                       const SYSTEMTIME* time);

private:
    ServiceRecorder() = default;
    void Record(const std::string& event);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<std::string> traces_;
    std::string system_directory_;
    std::string hold_prefix_;
    bool holding_ = false;
    std::string trace_hold_prefix_;
    bool trace_holding_ = false;
    std::map<DWORD, DWORD> refused_reports_;  // state -> error
    DWORD registration_error_ = 0;
    bool refuse_load_ = false;
    std::map<std::string, LONG> main_ended_at_call_;
    SYSTEMTIME last_date_time_ = {};
    std::wstring registered_name_;
    LPVOID registered_context_ = nullptr;
};
