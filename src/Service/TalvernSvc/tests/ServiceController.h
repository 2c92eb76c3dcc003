// ServiceController.h - installs, starts, controls, watches and removes the
// TalvernSvc service through the service control manager, as an
// administrator's tool would.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class ServiceController {
public:
    // Connects to the service control manager; Connected() tells whether
    // that worked.
    ServiceController();
    ~ServiceController();
    ServiceController(const ServiceController&) = delete;
    ServiceController& operator=(const ServiceController&) = delete;

    bool Connected() const { return manager_ != nullptr; }

    // Registers the service (own process, started on demand) for the
    // program binary_path, removing a leftover registration first.
    // false with the error code in *error when it cannot.
    bool Install(const std::wstring& binary_path, DWORD* error);
    // Stops the service when it runs and removes its registration (and so
    // its registry key with the parameters). Safe to call twice.
    void Remove();

    // Asks the manager to start the service; retries for a while when the
    // previous run's process has not ended yet. false with the error code.
    bool Start(DWORD* error);
    // Sends one control; the status the manager answers with lands in
    // *status. false with the error code.
    bool Control(DWORD control, SERVICE_STATUS* status, DWORD* error);
    bool Query(SERVICE_STATUS_PROCESS* status) const;

    // Polls the status until its state is `state` or timeout_ms pass and
    // returns every distinct status seen on the way, in order (the last one
    // is the state asked for unless the time ran out).
    std::vector<SERVICE_STATUS_PROCESS> PollUntil(DWORD state, DWORD timeout_ms) const;

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};
