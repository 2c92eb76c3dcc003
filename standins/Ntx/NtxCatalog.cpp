// NtxCatalog.cpp - the stand-in's shared catalog of real-time objects.
#include "NtxCatalog.h"

#include <cstring>

namespace {

const char CATALOG_MAPPING_NAME[] = "NtxStandIn_Catalog";
const char CATALOG_MUTEX_NAME[] = "NtxStandIn_Catalog_Lock";
// Marks a catalog that was initialised ("NTXC").
constexpr uint32_t NTX_CATALOG_MAGIC = 0x4E545843u;
// The kernel status of a ready kernel.
constexpr uint32_t NTX_RT_READY = 0;

}  // namespace

NtxCatalog::NtxCatalog() : mapping(nullptr), mutex(nullptr), table(nullptr)
{
}

NtxCatalog::~NtxCatalog()
{
    Detach();
}

bool NtxCatalog::Attach()
{
    if (table != nullptr)
        return true;
    mutex = CreateMutexA(nullptr, FALSE, CATALOG_MUTEX_NAME);
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                 sizeof(NtxCatalogTable), CATALOG_MAPPING_NAME);
    if (mapping == nullptr)
        return false;
    table = static_cast<NtxCatalogTable*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (table == nullptr) {
        Detach();
        return false;
    }
    NtxCatalogTable* t = Lock();
    if (t->magic != NTX_CATALOG_MAGIC)
        Initialise(t);
    Unlock();
    return true;
}

void NtxCatalog::Detach()
{
    if (table != nullptr) {
        UnmapViewOfFile(table);
        table = nullptr;
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
        mapping = nullptr;
    }
    if (mutex != nullptr) {
        CloseHandle(mutex);
        mutex = nullptr;
    }
}

uint32_t NtxCatalog::RtStatus()
{
    NtxCatalogTable* t = Lock();
    const uint32_t status = t != nullptr ? t->rt_status : NTX_RT_READY;
    Unlock();
    return status;
}

NtxHandle NtxCatalog::Root()
{
    NtxCatalogTable* t = Lock();
    const NtxHandle root = (t != nullptr && t->root_type != NTX_TYPE_NONE) ? NTX_ROOT_HANDLE
                                                                          : NTX_NO_HANDLE;
    Unlock();
    return root;
}

uint32_t NtxCatalog::TypeOf(NtxHandle object)
{
    NtxCatalogTable* t = Lock();
    uint32_t type = NTX_TYPE_NONE;
    if (t != nullptr) {
        if (object == NTX_ROOT_HANDLE) {
            type = t->root_type;
        } else if (NtxCatalogEntry* entry = Find(t, object)) {
            type = entry->type;
        }
    }
    Unlock();
    return type;
}

NtxHandle NtxCatalog::Lookup(NtxHandle process, const char* name)
{
    NtxHandle found = NTX_NO_HANDLE;
    NtxCatalogTable* t = Lock();
    if (t != nullptr && name != nullptr) {
        for (const NtxCatalogEntry& entry : t->entries) {
            if (entry.handle != NTX_NO_HANDLE && entry.parent == process &&
                strcmp(entry.name, name) == 0) {
                found = entry.handle;
                break;
            }
        }
    }
    Unlock();
    return found;
}

uint32_t NtxCatalog::SegmentSize(NtxHandle segment)
{
    NtxCatalogTable* t = Lock();
    uint32_t size = 0;
    if (t != nullptr) {
        NtxCatalogEntry* entry = Find(t, segment);
        if (entry != nullptr && entry->type == NTX_TYPE_SEGMENT)
            size = entry->size;
    }
    Unlock();
    return size;
}

bool NtxCatalog::TakeRefusedUnmap()
{
    NtxCatalogTable* t = Lock();
    bool refuse = false;
    if (t != nullptr && t->unmaps_to_refuse > 0) {
        t->unmaps_to_refuse = t->unmaps_to_refuse - 1;
        refuse = true;
    }
    Unlock();
    return refuse;
}

void NtxCatalog::SetRtStatus(uint32_t status)
{
    if (NtxCatalogTable* t = Lock())
        t->rt_status = status;
    Unlock();
}

void NtxCatalog::SetRootType(uint32_t root_type)
{
    if (NtxCatalogTable* t = Lock())
        t->root_type = root_type;
    Unlock();
}

void NtxCatalog::RefuseUnmaps(uint32_t count)
{
    if (NtxCatalogTable* t = Lock())
        t->unmaps_to_refuse = count;
    Unlock();
}

NtxHandle NtxCatalog::Create(const char* process, const char* name, uint32_t type, uint32_t size)
{
    if (name == nullptr || name[0] == '\0' ||
        strnlen(name, NTX_CATALOG_NAME_SIZE) >= static_cast<size_t>(NTX_CATALOG_NAME_SIZE))
        return NTX_NO_HANDLE;
    NtxHandle created = NTX_NO_HANDLE;
    NtxCatalogTable* t = Lock();
    if (t != nullptr) {
        const NtxHandle parent = ResolveProcess(t, process);
        bool taken = false;
        NtxCatalogEntry* free_entry = nullptr;
        for (NtxCatalogEntry& entry : t->entries) {
            if (entry.handle == NTX_NO_HANDLE) {
                if (free_entry == nullptr)
                    free_entry = &entry;
            } else if (entry.parent == parent && strcmp(entry.name, name) == 0) {
                taken = true;
            }
        }
        if (parent != NTX_NO_HANDLE && !taken && free_entry != nullptr) {
            created = t->next_handle;
            t->next_handle = t->next_handle + 1;
            free_entry->handle = created;
            free_entry->parent = parent;
            free_entry->type = type;
            free_entry->size = size;
            strcpy(free_entry->name, name);
        }
    }
    Unlock();
    return created;
}

int NtxCatalog::Remove(const char* process, const char* name,
                       NtxHandle (&removed)[NTX_CATALOG_CAPACITY])
{
    int count = 0;
    NtxCatalogTable* t = Lock();
    if (t != nullptr && name != nullptr) {
        const NtxHandle parent = ResolveProcess(t, process);
        for (const NtxCatalogEntry& entry : t->entries) {
            if (parent != NTX_NO_HANDLE && entry.handle != NTX_NO_HANDLE &&
                entry.parent == parent && strcmp(entry.name, name) == 0) {
                Free(t, entry.handle, removed, count);
                break;
            }
        }
    }
    Unlock();
    return count;
}

int NtxCatalog::Reset(NtxHandle (&removed)[NTX_CATALOG_CAPACITY])
{
    int count = 0;
    NtxCatalogTable* t = Lock();
    if (t != nullptr) {
        for (NtxCatalogEntry& entry : t->entries) {
            if (entry.handle != NTX_NO_HANDLE)
                removed[count++] = entry.handle;
        }
        Initialise(t);
    }
    Unlock();
    return count;
}

NtxCatalogTable* NtxCatalog::Lock()
{
    // An abandoned mutex (its holder ended while holding it) is ours now.
    if (mutex != nullptr) {
        const DWORD wait = WaitForSingleObject(mutex, LOCK_WAIT_MS);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
            return table;  // not had: used unguarded, Unlock releases nothing
    }
    return table;
}

void NtxCatalog::Unlock()
{
    if (mutex != nullptr)
        ReleaseMutex(mutex);
}

NtxCatalogEntry* NtxCatalog::Find(NtxCatalogTable* t, NtxHandle handle)
{
    if (handle == NTX_NO_HANDLE)
        return nullptr;
    for (NtxCatalogEntry& entry : t->entries) {
        if (entry.handle == handle)
            return &entry;
    }
    return nullptr;
}

NtxHandle NtxCatalog::ResolveProcess(NtxCatalogTable* t, const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return NTX_ROOT_HANDLE;
    for (const NtxCatalogEntry& entry : t->entries) {
        if (entry.handle != NTX_NO_HANDLE && entry.parent == NTX_ROOT_HANDLE &&
            entry.type == NTX_TYPE_PROCESS && strcmp(entry.name, name) == 0)
            return entry.handle;
    }
    return NTX_NO_HANDLE;
}

void NtxCatalog::Free(NtxCatalogTable* t, NtxHandle handle,
                      NtxHandle (&removed)[NTX_CATALOG_CAPACITY], int& count)
{
    NtxCatalogEntry* entry = Find(t, handle);
    if (entry == nullptr)
        return;
    entry->handle = NTX_NO_HANDLE;
    removed[count++] = handle;
    // Whatever was cataloged in a removed process goes with it.
    bool orphan_freed = true;
    while (orphan_freed) {
        orphan_freed = false;
        for (NtxCatalogEntry& other : t->entries) {
            if (other.handle != NTX_NO_HANDLE && other.parent != NTX_ROOT_HANDLE &&
                Find(t, other.parent) == nullptr) {
                removed[count++] = other.handle;
                other.handle = NTX_NO_HANDLE;
                orphan_freed = true;
            }
        }
    }
}

void NtxCatalog::Initialise(NtxCatalogTable* t)
{
    const NtxHandle next =
        (t->magic == NTX_CATALOG_MAGIC) ? t->next_handle : NTX_FIRST_OBJECT_HANDLE;
    memset(t, 0, sizeof(*t));
    for (NtxCatalogEntry& entry : t->entries)
        entry.handle = NTX_NO_HANDLE;
    t->magic = NTX_CATALOG_MAGIC;
    t->rt_status = NTX_RT_READY;
    t->root_type = NTX_TYPE_PROCESS;
    t->unmaps_to_refuse = 0;
    t->next_handle = next;
}
