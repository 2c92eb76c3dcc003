// NtxExports.cpp - the stand-in's exports: the six NTX functions the bridge
// binds, and the test controls of NtxStandIn.h. Everything is exported
// undecorated through a .def file.
//
// Where the NTX library gives a status or a type, only the low 16 bits
// count. The stand-in sets the high 16 bits of those results to a pattern of
// its own, so that a caller which compares all 32 bits is caught.
#include <windows.h>

#include "NtxBinding.h"
#include "NtxCatalog.h"
#include "NtxStandIn.h"
#include "SegmentViews.h"

namespace {

// The high 16 bits of every status and type result.
constexpr uint32_t NTX_RESULT_HIGH_BITS = 0x5A5A0000u;
constexpr uint32_t NTX_LOW_16_BITS = 0xFFFFu;

NtxCatalog g_catalog;
SegmentViews g_views;
// Calls of the six NTX functions in this process.
LONG g_ntx_calls = 0;

void CountCall()
{
    InterlockedIncrement(&g_ntx_calls);
}

uint32_t WithHighBits(uint32_t low)
{
    return NTX_RESULT_HIGH_BITS | (low & NTX_LOW_16_BITS);
}

// Takes away this process's views of the segments removed.
void RevokeRemoved(const NtxHandle (&removed)[NTX_CATALOG_CAPACITY], int count)
{
    for (int i = 0; i < count; ++i)
        g_views.Revoke(removed[i]);
}

}  // namespace

extern "C" {

// ---- The NTX functions ----

uint32_t NTX_API ntxGetRtStatus(uint32_t /*unused*/)
{
    CountCall();
    return WithHighBits(g_catalog.RtStatus());
}

NtxHandle NTX_API ntxGetRootRtProcess(uint32_t /*unused*/)
{
    CountCall();
    return g_catalog.Root();
}

uint32_t NTX_API ntxGetType(NtxHandle object)
{
    CountCall();
    return WithHighBits(g_catalog.TypeOf(object));
}

NtxHandle NTX_API ntxLookupNtxhandle(NtxHandle process, const char* name, uint32_t /*unused*/)
{
    CountCall();
    return g_catalog.Lookup(process, name);
}

void* NTX_API ntxMapRtSharedMemory(NtxHandle segment)
{
    CountCall();
    return g_views.Map(segment, g_catalog.SegmentSize(segment), SegmentViews::Kind::Ntx);
}

uint32_t NTX_API ntxUnmapRtSharedMemory(NtxHandle segment)
{
    CountCall();
    if (g_catalog.TakeRefusedUnmap())
        return SegmentViews::NOT_MAPPED;
    return g_views.Unmap(segment);
}

// ---- The test controls ----

void NTX_API NtxStandInReset()
{
    NtxHandle removed[NTX_CATALOG_CAPACITY];
    RevokeRemoved(removed, g_catalog.Reset(removed));
}

void NTX_API NtxStandInSetRtStatus(uint32_t status)
{
    g_catalog.SetRtStatus(status);
}

void NTX_API NtxStandInSetRoot(uint32_t type)
{
    g_catalog.SetRootType(type);
}

NtxHandle NTX_API NtxStandInCreateObject(const char* process, const char* name, uint32_t type)
{
    return g_catalog.Create(process, name, type, 0);
}

NtxHandle NTX_API NtxStandInCreateSegment(const char* process, const char* name, uint32_t size)
{
    if (size == 0)
        return NTX_NO_HANDLE;
    const NtxHandle segment = g_catalog.Create(process, name, NTX_TYPE_SEGMENT, size);
    if (segment != NTX_NO_HANDLE && !g_views.Hold(segment, size)) {
        NtxHandle removed[NTX_CATALOG_CAPACITY];
        g_catalog.Remove(process, name, removed);
        return NTX_NO_HANDLE;
    }
    return segment;
}

int32_t NTX_API NtxStandInRemoveObject(const char* process, const char* name)
{
    NtxHandle removed[NTX_CATALOG_CAPACITY];
    const int count = g_catalog.Remove(process, name, removed);
    RevokeRemoved(removed, count);
    return count > 0 ? 1 : 0;
}

void NTX_API NtxStandInRefuseUnmaps(uint32_t count)
{
    g_catalog.RefuseUnmaps(count);
}

uint32_t NTX_API NtxStandInCallCount()
{
    return static_cast<uint32_t>(g_ntx_calls);
}

void NTX_API NtxStandInResetCallCount()
{
    InterlockedExchange(&g_ntx_calls, 0);
}

uint8_t* NTX_API NtxStandInSegmentView(const char* process, const char* name)
{
    NtxHandle where = (process == nullptr || process[0] == '\0')
                          ? NTX_ROOT_HANDLE
                          : g_catalog.Lookup(NTX_ROOT_HANDLE, process);
    const NtxHandle segment = g_catalog.Lookup(where, name);
    return g_views.Map(segment, g_catalog.SegmentSize(segment), SegmentViews::Kind::Plc);
}

// The library's entry callback: the catalog is mapped at load (a load
// without it is refused) and everything of this process is released at
// unload.
BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return g_catalog.Attach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        g_views.ReleaseAll();
        g_catalog.Detach();
        return TRUE;
    default:
        return TRUE;
    }
}

}  // extern "C"

namespace {

// The NTX functions have exactly the types the bridge binds them as, and the
// controls the types of NtxStandIn.h: a mismatch does not compile.
[[maybe_unused]] const NtxEntryPoints NTX_SIGNATURES = {
    ntxGetRootRtProcess, ntxLookupNtxhandle,   ntxGetRtStatus,
    ntxGetType,          ntxMapRtSharedMemory, ntxUnmapRtSharedMemory};
[[maybe_unused]] const NtxStandInControls CONTROL_SIGNATURES = {
    NtxStandInReset,         NtxStandInSetRtStatus,  NtxStandInSetRoot,
    NtxStandInCreateObject,  NtxStandInCreateSegment, NtxStandInRemoveObject,
    NtxStandInRefuseUnmaps,  NtxStandInCallCount,    NtxStandInResetCallCount,
    NtxStandInSegmentView};

}  // namespace
