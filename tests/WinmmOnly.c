/*
 * WinmmOnly.c - a DLL that needs winmm and nothing else of its own, as
 * TalvernLink.dll needs it for timeGetTime. Wine keeps a few handles each
 * time winmm is loaded and unloaded with such a library; ReloadTest takes
 * what this DLL's loads keep as the allowance for the libraries it checks.
 */
#include <windows.h>

__declspec(dllexport) DWORD WinmmOnlyTick(void)
{
    return timeGetTime();
}
