// ServiceControl.cpp - the platform calls that a test may replace.
#include "TalvernSvc.h"

ServiceControlCalls g_service_control = {
    StartServiceCtrlDispatcherW,
    RegisterServiceCtrlHandlerExW,
    SetServiceStatus,
};

SystemDirectoryFn g_get_system_directory = GetSystemDirectoryA;

DebugOutputFn g_debug_output = OutputDebugStringW;
