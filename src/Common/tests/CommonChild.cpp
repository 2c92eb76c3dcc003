// CommonChild.cpp - a helper process for the Common tests. It runs one
// command against the shared slot table or the log and reports back through
// named events, a small report file in its current directory and its exit
// code (0 success, 2 bad command line, others as each command says).
//
//   hold  <table> <go event> <tag>
//       waits for <go event>, creates a ProcMapFile on <table>, writes
//       "<result> <slot> <count> <created>" to <tag>.txt, sets <tag>_done,
//       waits for <tag>_end, then frees its slot.
//   churn <table> <owner map> <go event> <rounds>
//       waits for <go event>, then <rounds> times takes a slot and frees it,
//       marking the slot with its process id in <owner map> (256 LONGs)
//       while it holds it. Exit code: the number of faults seen (a slot held
//       by another process too, a failed Create, a count out of range).
//   log   <base> <ini> <table> <lines> <tag>
//       opens a LogFile, writes <lines> lines "<tag> <n>" of type 0x10002,
//       closes it. Exit code 3 when Open failed.
//   lock  <table> <locked event> <end event>
//       takes the table's mutex "<table>_Lock", sets <locked event>, waits
//       for <end event> and ends without releasing the mutex, leaving it
//       abandoned. Exit code 6 when the mutex could not be taken.
#include "LogFile.h"
#include "ProcMapFile.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const DWORD WAIT_MS = 600000;
const char LOCK_SUFFIX[] = "_Lock";  // the slot table's mutex is "<table>_Lock"

bool WaitEvent(const std::string& name)
{
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (event == nullptr)
        return false;
    bool set = WaitForSingleObject(event, WAIT_MS) == WAIT_OBJECT_0;
    CloseHandle(event);
    return set;
}

bool SignalEvent(const std::string& name)
{
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (event == nullptr)
        return false;
    bool set = SetEvent(event) != 0;
    CloseHandle(event);
    return set;
}

int Hold(const char* table, const char* go, const std::string& tag)
{
    if (!WaitEvent(go))
        return 4;
    ProcMapFile* map = new ProcMapFile;
    int32_t result = map->Create(table);
    FILE* report = fopen((tag + ".txt").c_str(), "w");
    if (report == nullptr)
        return 5;
    fprintf(report, "%d %d %d %d", result, map->GetSlot(), map->GetCount(), map->IsCreated());
    fclose(report);
    if (!SignalEvent(tag + "_done") || !WaitEvent(tag + "_end"))
        return 4;
    delete map;
    return 0;
}

int Churn(const char* table, const char* owner_map, const char* go, int rounds)
{
    MapFile owners;
    if (!owners.Create(owner_map, PROC_SLOT_COUNT * sizeof(LONG)) || !WaitEvent(go))
        return 100;
    LONG* owner = static_cast<LONG*>(owners.GetPointer());
    LONG me = static_cast<LONG>(GetCurrentProcessId());
    int faults = 0;
    for (int round = 0; round < rounds; ++round) {
        ProcMapFile map;
        if (!map.Create(table)) {
            ++faults;
            continue;
        }
        int32_t slot = map.GetSlot();
        int32_t count = map.GetCount();
        if (count < 1 || count > PROC_SLOT_COUNT)
            ++faults;
        if (InterlockedCompareExchange(&owner[slot], me, 0) != 0)
            ++faults;
        Sleep(0);
        if (InterlockedCompareExchange(&owner[slot], 0, me) != me)
            ++faults;
    }
    return faults;
}

int Log(const char* base, const char* ini, const char* table, int lines, const char* tag)
{
    LogFile log;
    if (!log.Open(base, ini, table, 0))
        return 3;
    char text[64];
    for (int n = 1; n <= lines; ++n) {
        snprintf(text, sizeof(text), "%s %d", tag, n);
        log.Write(0x10002, text);
    }
    log.Close();
    return 0;
}

// Holds the mutex as a process frozen inside the slot table's lock would.
int Lock(const std::string& table, const char* locked, const char* end)
{
    HANDLE mutex = CreateMutexA(nullptr, TRUE, (table + LOCK_SUFFIX).c_str());
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
        return 6;
    if (!SignalEvent(locked) || !WaitEvent(end))
        return 4;
    return 0;  // the mutex is neither released nor closed: it is abandoned at exit
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], argv[3], argv[4]);
    if (argc == 6 && strcmp(argv[1], "churn") == 0)
        return Churn(argv[2], argv[3], argv[4], atoi(argv[5]));
    if (argc == 7 && strcmp(argv[1], "log") == 0)
        return Log(argv[2], argv[3], argv[4], atoi(argv[5]), argv[6]);
    if (argc == 5 && strcmp(argv[1], "lock") == 0)
        return Lock(argv[2], argv[3], argv[4]);
    return 2;
}
