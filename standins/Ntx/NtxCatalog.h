// NtxCatalog.h - the stand-in's catalog of real-time objects: one named file
// mapping that every process on the machine which loads the stand-in shares,
// so that a test's PLC side in another process (of either bitness) sees the
// objects the bridge looks up.
#pragma once

#include <windows.h>

#include <cstdint>

#include "NtxBinding.h"

// Entries of the catalog, the root process not counted.
constexpr int NTX_CATALOG_CAPACITY = 64;
// Bytes of a cataloged name with its NUL: at most 15 characters.
constexpr int NTX_CATALOG_NAME_SIZE = 16;
// The root real-time process; it is not an entry of the table.
constexpr NtxHandle NTX_ROOT_HANDLE = 0x10;
// Handles of created objects count up from here and are never handed out
// twice while the catalog exists (a reset does not restart them).
constexpr NtxHandle NTX_FIRST_OBJECT_HANDLE = 0x100;
// What ntxGetType reports for a handle that names no object.
constexpr uint32_t NTX_TYPE_NONE = 0;

struct NtxCatalogEntry {
    NtxHandle handle;  // NTX_NO_HANDLE: a free entry
    NtxHandle parent;  // the process in which it is cataloged
    uint32_t type;     // NTX_TYPE_PROCESS, NTX_TYPE_SEGMENT or any other
    uint32_t size;     // bytes of a memory segment; 0: it cannot be mapped
    char name[NTX_CATALOG_NAME_SIZE];
};
static_assert(sizeof(NtxCatalogEntry) == 32, "catalog layout is shared between processes");

// The whole content of the catalog's mapping: fixed-width fields only, so
// 32-bit and 64-bit processes share one layout.
struct NtxCatalogTable {
    uint32_t magic;             // NTX_CATALOG_MAGIC once initialised
    uint32_t rt_status;         // what ntxGetRtStatus reports in its low 16 bits
    uint32_t root_type;         // the root process's type; 0: there is no root
    uint32_t unmaps_to_refuse;  // number of coming unmaps that are refused
    NtxHandle next_handle;      // handle of the next object created
    uint32_t reserved[3];
    NtxCatalogEntry entries[NTX_CATALOG_CAPACITY];
};
static_assert(sizeof(NtxCatalogTable) == 32 + NTX_CATALOG_CAPACITY * sizeof(NtxCatalogEntry),
              "catalog layout is shared between processes");

class NtxCatalog {
public:
    // Longest wait for the catalog's mutex; a holder that keeps it longer is
    // not waited for (the catalog is then used unguarded).
    static constexpr DWORD LOCK_WAIT_MS = 5000;

    NtxCatalog();
    ~NtxCatalog();  // Detach()
    NtxCatalog(const NtxCatalog&) = delete;
    NtxCatalog& operator=(const NtxCatalog&) = delete;

    // Maps the shared catalog, initialising it (kernel ready, a root process,
    // no objects) when no process held it. true when mapped.
    bool Attach();
    // Unmaps it; it goes away with the last process that held it.
    void Detach();

    // The kernel status, low 16 bits 0 when ready.
    uint32_t RtStatus();
    // The root process, or NTX_NO_HANDLE when there is none.
    NtxHandle Root();
    // The type of object, or NTX_TYPE_NONE when it names none.
    uint32_t TypeOf(NtxHandle object);
    // The object cataloged under name in process, or NTX_NO_HANDLE.
    NtxHandle Lookup(NtxHandle process, const char* name);
    // Bytes of the memory segment segment; 0 when it is none or has no bytes.
    uint32_t SegmentSize(NtxHandle segment);
    // true (and one fewer to refuse) when the coming unmap is to be refused.
    bool TakeRefusedUnmap();

    void SetRtStatus(uint32_t status);
    // root_type 0: no root process; else the type the root reports.
    void SetRootType(uint32_t root_type);
    void RefuseUnmaps(uint32_t count);

    // Catalogs a new object under name in process (null or empty: the root;
    // else a process cataloged in the root). Its handle, or NTX_NO_HANDLE
    // when process is not found, name is empty, too long or taken there, or
    // the catalog is full.
    NtxHandle Create(const char* process, const char* name, uint32_t type, uint32_t size);
    // Removes the object name of process and everything cataloged in it.
    // The handles removed go to removed; their number, 0 when not found.
    int Remove(const char* process, const char* name,
               NtxHandle (&removed)[NTX_CATALOG_CAPACITY]);
    // Removes every object and restores the initial state (kernel ready, a
    // root of type process, no unmap refused). The handles removed go to
    // removed; their number.
    int Reset(NtxHandle (&removed)[NTX_CATALOG_CAPACITY]);

private:
    // Takes the catalog's mutex and gives the table (null when not mapped);
    // Unlock releases it.
    NtxCatalogTable* Lock();
    void Unlock();

    // Without the lock: the entry of handle, or null.
    static NtxCatalogEntry* Find(NtxCatalogTable* table, NtxHandle handle);
    // Without the lock: the process named name in the root (null or empty:
    // the root), or NTX_NO_HANDLE.
    static NtxHandle ResolveProcess(NtxCatalogTable* table, const char* name);
    // Without the lock: frees the entry of handle and, repeatedly, every
    // entry whose process is gone. Adds the handles freed to removed.
    static void Free(NtxCatalogTable* table, NtxHandle handle,
                     NtxHandle (&removed)[NTX_CATALOG_CAPACITY], int& count);
    // Without the lock: the initial state, next_handle kept when valid.
    static void Initialise(NtxCatalogTable* table);

    HANDLE mapping;
    HANDLE mutex;
    NtxCatalogTable* table;
};
