// DllMain.cpp - what happens when a process loads and unloads TalvernLink:
// the log is opened before any exported call can run, the connection table
// starts empty, and at unload every connection the process left behind is
// closed before the log is closed.
#include <winsock2.h>
#include <windows.h>

#include "LinkConnections.h"
#include "LinkLog.h"

// Constructed (empty, lock ready) before the load notification and destroyed
// after the unload notification.
LogFile g_log;

namespace {

const char START_BANNER[] = "------------------- TalvernLink.dll Service Start -------------------";
const char STOP_BANNER[] = "------------------- TalvernLink.dll Service Stop -------------------";

// Opens the log in the current directory, writes the start banner and
// empties the connection table. false when the log cannot be opened (no free
// process slot, or no log file can be created here): the load then fails.
bool LoadLink()
{
    if (!g_log.Open(LINK_LOG_BASE_NAME, LINK_LOG_INI_NAME, LINK_LOG_MAP_NAME,
                    LINK_LOG_DEFAULT_LEVEL))
        return false;
    g_log.Write(LINK_LOG_CALL, START_BANNER);
    for (Talvern*& entry : g_connections)
        entry = nullptr;
    return true;
}

// Closes the socket of every connection still in the table and deletes it,
// sending nothing to any board; then the stop banner, and the log is closed.
// Also runs after a refused load, when the table is empty and the log writes
// only what its state allows.
void UnloadLink()
{
    for (BoardIndex board = 0; board < MAX_BOARDS; ++board)
        CloseConnection(board);
    g_log.Write(LINK_LOG_CALL, STOP_BANNER);
    g_log.Close();
}

}  // namespace

// The library's entry callback: load on process attach (FALSE refuses the
// load), unload on process detach; thread notifications do nothing.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return LoadLink() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        UnloadLink();
        return TRUE;
    default:
        return TRUE;
    }
}
