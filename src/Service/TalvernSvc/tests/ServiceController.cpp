// ServiceController.cpp - the service control manager's side of the tests.
#include "ServiceController.h"

#include <cstring>

#include "TalvernSvc.h"

namespace {

constexpr DWORD POLL_MS = 2;
constexpr DWORD START_RETRY_MS = 250;
constexpr DWORD START_RETRY_LIMIT_MS = 120000;
constexpr DWORD REMOVE_STOP_TIMEOUT_MS = 300000;

bool SameStatus(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b)
{
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

}  // namespace

ServiceController::ServiceController()
{
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}

ServiceController::~ServiceController()
{
    if (service_ != nullptr)
        CloseServiceHandle(service_);
    if (manager_ != nullptr)
        CloseServiceHandle(manager_);
}

bool ServiceController::Install(const std::wstring& binary_path, DWORD* error)
{
    Remove();
    const std::wstring command = L"\"" + binary_path + L"\"";
    service_ = CreateServiceW(manager_, TALVERN_SERVICE_NAME, TALVERN_SERVICE_NAME,
                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    *error = service_ != nullptr ? 0 : GetLastError();
    return service_ != nullptr;
}

void ServiceController::Remove()
{
    if (service_ == nullptr)
        service_ = OpenServiceW(manager_, TALVERN_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service_ == nullptr)
        return;
    SERVICE_STATUS_PROCESS status = {};
    if (Query(&status) && status.dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS answer;
        ControlService(service_, SERVICE_CONTROL_STOP, &answer);
        PollUntil(SERVICE_STOPPED, REMOVE_STOP_TIMEOUT_MS);
    }
    DeleteService(service_);
    CloseServiceHandle(service_);
    service_ = nullptr;
}

bool ServiceController::Start(DWORD* error)
{
    for (DWORD waited = 0;; waited += START_RETRY_MS) {
        if (StartServiceW(service_, 0, nullptr)) {
            *error = 0;
            return true;
        }
        *error = GetLastError();
        if (*error != ERROR_SERVICE_ALREADY_RUNNING || waited >= START_RETRY_LIMIT_MS)
            return false;
        Sleep(START_RETRY_MS);
    }
}

bool ServiceController::Control(DWORD control, SERVICE_STATUS* status, DWORD* error)
{
    *status = {};
    if (ControlService(service_, control, status)) {
        *error = 0;
        return true;
    }
    *error = GetLastError();
    return false;
}

bool ServiceController::Query(SERVICE_STATUS_PROCESS* status) const
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                sizeof(*status), &needed) != FALSE;
}

std::vector<SERVICE_STATUS_PROCESS> ServiceController::PollUntil(DWORD state,
                                                                 DWORD timeout_ms) const
{
    std::vector<SERVICE_STATUS_PROCESS> seen;
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    for (;;) {
        SERVICE_STATUS_PROCESS status = {};
        if (Query(&status) && (seen.empty() || !SameStatus(seen.back(), status)))
            seen.push_back(status);
        if ((!seen.empty() && seen.back().dwCurrentState == state) || GetTickCount64() >= end)
            return seen;
        Sleep(POLL_MS);
    }
}
