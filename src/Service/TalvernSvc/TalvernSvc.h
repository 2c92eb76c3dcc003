// TalvernSvc.h - the TalvernSvc service host: its process-wide state and
// functions.
//
// The service runs on two threads: the process's main thread, which runs the
// service dispatcher and on which the control handler is called, and the
// thread that the dispatcher starts for ServiceMain. They share the flags
// below (32-bit words, written with Interlocked calls and read afresh at every
// poll), the status handle, the module handle of TalvernLink and its bound
// entry points, without a lock: the flags order every use of the library.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "TalvernLink.h"

// Service name under which the service control manager knows the service.
#define TALVERN_SERVICE_NAME L"TalvernSvc"

// Registry key of the service's parameters, under HKEY_LOCAL_MACHINE.
#define TALVERN_PARAMETERS_KEY L"SYSTEM\\CurrentControlSet\\Services\\TalvernSvc\\Parameters"

// File name of the board link library, appended to the system directory.
#define TALVERN_LINK_FILE "\\TalvernLink.dll"

// Texts held in fixed buffers: paths, names and the board address.
constexpr size_t TEXT_BUFFER_CHARS = MAX_PATH;  // 260

// The board the service drives.
constexpr BoardIndex SERVICE_BOARD = 0;

// The three service-control calls of the service, the real ones by default;
// a test routes them to a recorder.
struct ServiceControlCalls {
    BOOL(WINAPI* start_dispatcher)(const SERVICE_TABLE_ENTRYW* table);
    SERVICE_STATUS_HANDLE(WINAPI* register_handler)(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context);
    BOOL(WINAPI* set_status)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
};
extern ServiceControlCalls g_service_control;

// Where the service finds the system directory that holds TalvernLink.dll:
// GetSystemDirectoryA by default; a test points it at a folder of its own.
typedef UINT(WINAPI* SystemDirectoryFn)(LPSTR buffer, UINT size);
extern SystemDirectoryFn g_get_system_directory;

// Where trace texts go: OutputDebugStringW by default; a test collects them
// itself, independent of whatever else reads the debugger channel.
typedef void(WINAPI* DebugOutputFn)(LPCWSTR text);
extern DebugOutputFn g_debug_output;

// How ServiceMain ended when it returned without its wait loop.
constexpr LONG MAIN_NOT_FAILED = 0;
constexpr LONG MAIN_FAILED_UNREPORTED = 1;  // returned; the service's state is left to a control
constexpr LONG MAIN_FAILED_STOPPED = 2;     // returned after reporting SERVICE_STOPPED itself

extern SERVICE_STATUS_HANDLE g_status_handle;
extern volatile LONG g_running;      // 1 until STOP or PRESHUTDOWN clears it
extern volatile LONG g_main_ended;   // 1 once ServiceMain has left its wait loop
extern volatile LONG g_start_ended;  // 1 once ServiceMain has made its last library call
                                     // and reported RUNNING, or has failed
extern volatile LONG g_main_failed;  // MAIN_FAILED_* once ServiceMain returned by a failure path

extern wchar_t g_ip_address[TEXT_BUFFER_CHARS];
extern int32_t g_port;

// The loaded TalvernLink (null while it is not loaded) and its entry points,
// valid only while g_link_module is non-null.
extern HMODULE g_link_module;
extern LinkEntryPoints g_link_entry;

// The service main function, run by the dispatcher on a thread of its own:
// reports START_PENDING, loads TalvernLink, connects board 0 and sets its
// clock, reports RUNNING and waits until a control clears g_running. Every
// failure is traced; the arguments are ignored.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// The extended control handler. Handles STOP, PAUSE, CONTINUE and
// PRESHUTDOWN and returns NO_ERROR for them, whatever happened while handling
// them; every other code is answered with ERROR_CALL_NOT_IMPLEMENTED at once,
// with no trace text and no report. Only the control code is read. A STOP or
// PRESHUTDOWN whose pending report followed ServiceMain's STOPPED
// (the library did not load) reports STOPPED with 1062 again, so that the
// service's last report is STOPPED.
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD event_type, LPVOID event_data,
                                LPVOID context);

// Reads IpAddress and Port from the parameters key (created when absent) over
// what g_ip_address and g_port hold. A value that is missing, too large or
// unreadable leaves its variable as it was. Nothing is traced.
void ReadServiceParameters();

// Loads the library file_name and binds all 20 entries of g_link_entry by
// name. Returns 1 when the library is loaded (by this call or an earlier
// one: then nothing is loaded or bound again), 0 when loading failed. A name
// the library lacks leaves its entry null.
int LoadLinkLibrary(const char* file_name);

// Unloads TalvernLink when it is loaded; g_link_entry is left as it is.
void FreeLinkLibrary();

// True when the four entries the service calls (connect, disconnect,
// shutdown notice, clock) are all bound.
bool HasServiceEntries();

// Writes the full file name of TalvernLink.dll in the system directory into
// buffer (size bytes). Returns false, leaving an empty text, when the system
// directory is unavailable or the whole name does not fit.
bool BuildLinkLibraryPath(char* buffer, size_t size);

// Converts address to narrow text in the ANSI code page (the system's
// default character standing in for characters it lacks). Returns true when
// the whole text and its terminator fit into buffer (size bytes); otherwise
// buffer holds an empty text, never a cut or unterminated one.
bool NarrowAddress(const wchar_t* address, char* buffer, int size);

// Formats one trace text (printf conventions, UTF-16) and sends it to the
// debugger channel. A text longer than 1024 characters is cut after its first
// 1024 characters.
void DebugOut(const wchar_t* format, ...);
