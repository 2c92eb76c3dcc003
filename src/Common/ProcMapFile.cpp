// ProcMapFile.cpp - the shared process-slot table.
#include "ProcMapFile.h"

#include <cstdio>

namespace {
const char LOCK_SUFFIX[] = "_Lock";
}

ProcMapFile::ProcMapFile() : slot(-1)
{
}

ProcMapFile::~ProcMapFile()
{
    ReleaseSlot();
}

int32_t ProcMapFile::Create(const char* table_name)
{
    if (handle != nullptr)
        return 0;
    // One wait for the mutex covers the mapping and the slot: a mutex that
    // cannot be had costs LOCK_WAIT_MS once, not once per step.
    HANDLE mutex = LockTable(table_name);
    int32_t result = MapFile::Create(table_name, sizeof(ProcSlotTable));
    if (result)
        result = TakeFreeSlot(Table());
    DWORD error = GetLastError();  // the caller reads it after a failure
    UnlockTable(mutex);
    SetLastError(error);
    return result;
}

int32_t ProcMapFile::AllocSlot()
{
    slot = -1;
    ProcSlotTable* table = Table();
    if (table == nullptr)
        return 0;
    HANDLE mutex = LockTable(name);
    int32_t result = TakeFreeSlot(table);
    UnlockTable(mutex);
    return result;
}

int32_t ProcMapFile::TakeFreeSlot(ProcSlotTable* table)
{
    slot = -1;
    for (int i = 0; i < PROC_SLOT_COUNT; ++i) {
        if (table->used[i] == 0) {
            table->count = table->count + 1;
            table->used[i] = 1;
            slot = i;
            break;
        }
    }
    return slot != -1 ? 1 : 0;
}

void ProcMapFile::ReleaseSlot()
{
    ProcSlotTable* table = Table();
    if (slot != -1 && table != nullptr) {
        HANDLE mutex = LockTable(name);
        table->count = table->count - 1;
        table->used[slot] = 0;
        UnlockTable(mutex);
    }
    slot = -1;
    MapFile::Close();
}

int32_t ProcMapFile::GetSlot() const
{
    return slot;
}

int32_t ProcMapFile::GetCount() const
{
    ProcSlotTable* table = Table();
    return table != nullptr ? table->count : 0;
}

ProcSlotTable* ProcMapFile::Table() const
{
    return static_cast<ProcSlotTable*>(view);
}

HANDLE ProcMapFile::LockTable(const char* table_name)
{
    char lock_name[MAX_PATH + sizeof(LOCK_SUFFIX)];
    if (table_name == nullptr ||
        snprintf(lock_name, sizeof(lock_name), "%s%s", table_name, LOCK_SUFFIX) >=
            static_cast<int>(sizeof(lock_name)))
        return nullptr;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, lock_name);
    if (mutex == nullptr)
        return nullptr;
    // An abandoned mutex (its holder ended inside the few lines it guards)
    // is ours now; the table stays usable. A holder that keeps the mutex
    // beyond the bound (frozen, suspended, stopped in a debugger) is waited
    // out no longer: the table is then used as without a mutex.
    DWORD wait = WaitForSingleObject(mutex, LOCK_WAIT_MS);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

void ProcMapFile::UnlockTable(HANDLE mutex)
{
    if (mutex != nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}
