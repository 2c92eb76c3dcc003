// RecordingLink.cpp - a recording stand-in for TalvernLink.dll, used only by
// the service's in-process tests.
//
// It exports the 20 TVN_ functions of TalvernLink.h and talks to no board:
// every call, and the library's load and unload, is reported to the test
// program that loaded it through the function RecordingLinkCall that the
// test program exports; its answer is the call's result. Without that
// function every call just returns 0.
//
// The build names it TalvernLink.dll (the name the service loads) inside a
// folder of its own under bin, never beside the real library.
#include "TalvernLink.h"

namespace {

typedef int32_t(__cdecl* RecordingLinkCallFn)(const char* name, int32_t board, const char* text,
                                              int32_t number, const SYSTEMTIME* time);

// Passes one call to the test program; returns its answer, or 0 when the
// loading program does not record.
int32_t Report(const char* name, int32_t board, const char* text = nullptr, int32_t number = 0,
               const SYSTEMTIME* time = nullptr)
{
    RecordingLinkCallFn record = reinterpret_cast<RecordingLinkCallFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(nullptr), "RecordingLinkCall")));
    return record != nullptr ? record(name, board, text, number, time) : 0;
}

}  // namespace

// Load and unload are reported too; a non-zero answer to the load refuses
// it, as a library whose start-up fails does.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        return Report("attach", 0) == 0 ? TRUE : FALSE;
    if (reason == DLL_PROCESS_DETACH)
        Report("detach", 0);
    return TRUE;
}

extern "C" {

TvnResult TVN_API TVN_Connect(BoardIndex board, const char* ip_address, int32_t port)
{
    return Report("TVN_Connect", board, ip_address, port);
}
TvnResult TVN_API TVN_DisConnect(BoardIndex board)
{
    return Report("TVN_DisConnect", board);
}
TvnResult TVN_API TVN_SmemOpen(BoardIndex board, const char* name)
{
    return Report("TVN_SmemOpen", board, name);
}
TvnResult TVN_API TVN_SmemClose(BoardIndex board, SmemHandle handle)
{
    return Report("TVN_SmemClose", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemIsMemSize(BoardIndex board, SmemHandle handle)
{
    return Report("TVN_SmemIsMemSize", board, nullptr, handle);
}
TvnResult TVN_API TVN_ShutdownNotify(BoardIndex board)
{
    return Report("TVN_ShutdownNotify", board);
}
TvnResult TVN_API TVN_SetDateTime(BoardIndex board, const SYSTEMTIME* time)
{
    return Report("TVN_SetDateTime", board, nullptr, 0, time);
}
TvnResult TVN_API TVN_Reset(BoardIndex board)
{
    return Report("TVN_Reset", board);
}
TvnResult TVN_API TVN_GetVersion(BoardIndex board, uint16_t*, uint16_t*)
{
    return Report("TVN_GetVersion", board);
}
TvnResult TVN_API TVN_GetBoardNumber(BoardIndex board, uint16_t*)
{
    return Report("TVN_GetBoardNumber", board);
}
TvnResult TVN_API TVN_SmemReadByte(BoardIndex board, SmemHandle handle, int32_t, uint8_t*)
{
    return Report("TVN_SmemReadByte", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemReadWord(BoardIndex board, SmemHandle handle, int32_t, uint16_t*)
{
    return Report("TVN_SmemReadWord", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemReadDWord(BoardIndex board, SmemHandle handle, int32_t, uint32_t*)
{
    return Report("TVN_SmemReadDWord", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemReadLWord(BoardIndex board, SmemHandle handle, int32_t, uint64_t*)
{
    return Report("TVN_SmemReadLWord", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemReadBytes(BoardIndex board, SmemHandle handle, int32_t, void*, int32_t)
{
    return Report("TVN_SmemReadBytes", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemWriteByte(BoardIndex board, SmemHandle handle, int32_t, uint8_t)
{
    return Report("TVN_SmemWriteByte", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemWriteWord(BoardIndex board, SmemHandle handle, int32_t, uint16_t)
{
    return Report("TVN_SmemWriteWord", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemWriteDWord(BoardIndex board, SmemHandle handle, int32_t, uint32_t)
{
    return Report("TVN_SmemWriteDWord", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemWriteLWord(BoardIndex board, SmemHandle handle, int32_t, uint64_t)
{
    return Report("TVN_SmemWriteLWord", board, nullptr, handle);
}
TvnResult TVN_API TVN_SmemWriteBytes(BoardIndex board, SmemHandle handle, int32_t, const void*,
                                     int32_t)
{
    return Report("TVN_SmemWriteBytes", board, nullptr, handle);
}

}  // extern "C"
