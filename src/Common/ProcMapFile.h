// ProcMapFile.h - a table of 256 process slots in a named shared memory.
// Each process takes the lowest free slot and frees it at the end; the slot
// number tells apart the processes that share the table's name.
#pragma once

#include "MapFile.h"

#include <cstddef>
#include <cstdint>

constexpr int PROC_SLOT_COUNT = 256;

// The whole content of the table's mapping: 1028 bytes, little-endian, no
// pointer-sized field, so 32-bit and 64-bit processes share one layout.
struct ProcSlotTable {
    int32_t count;                  // number of slots taken
    int32_t used[PROC_SLOT_COUNT];  // 0 free, 1 taken
};
static_assert(sizeof(ProcSlotTable) == 1028, "slot table layout is shared between processes");
static_assert(offsetof(ProcSlotTable, used) == 4, "slot table layout is shared between processes");

class ProcMapFile : public MapFile {
public:
    // Longest wait for the table's mutex. Slots are taken and freed while a
    // library loads and unloads, under the loader lock: a process frozen while
    // it holds the mutex must not hang every later load and unload.
    static constexpr DWORD LOCK_WAIT_MS = 5000;

    ProcMapFile();
    ~ProcMapFile() override;  // ReleaseSlot
    ProcMapFile(const ProcMapFile&) = delete;
    ProcMapFile& operator=(const ProcMapFile&) = delete;

    // Maps the table name (creating it, all zero, when nobody holds it) and
    // takes the lowest free slot, waiting at most LOCK_WAIT_MS for the
    // table's mutex. 1 mapped with a slot; 0 when the mapping failed (slot
    // unchanged) or no slot was free (slot -1, still mapped).
    int32_t Create(const char* name);

    // Takes the lowest free slot of the mapped table, waiting at most
    // LOCK_WAIT_MS for the table's mutex. 1 taken, 0 none free (or not
    // mapped); slot is then -1.
    int32_t AllocSlot();

    // Frees this object's slot (waiting at most LOCK_WAIT_MS for the table's
    // mutex), then closes the mapping.
    void ReleaseSlot();

    // The slot held, 0 to 255, or -1.
    int32_t GetSlot() const;

    // Number of slots taken in the table; 0 when not mapped.
    int32_t GetCount() const;

private:
    // Taking and freeing slots, and the creator's zero fill, run under a
    // named mutex of the table ("<table name>_Lock"), so that processes doing
    // it at the same moment never get one slot twice. The mutex may be taken
    // again by the thread that holds it; one left abandoned by its holder
    // counts as taken. Returns its handle, owned by this thread, or null when
    // no mutex could be had within LOCK_WAIT_MS (the table is then used
    // unguarded, as a lone process may).
    static HANDLE LockTable(const char* table_name);
    static void UnlockTable(HANDLE mutex);

    // Marks the lowest free slot of the table taken and sets slot to it (-1
    // when none is free). The caller holds the table's mutex, or could not
    // have it. 1 taken, 0 none free.
    int32_t TakeFreeSlot(ProcSlotTable* table);

    ProcSlotTable* Table() const;

    int32_t slot;
};
