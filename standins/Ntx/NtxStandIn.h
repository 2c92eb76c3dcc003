// NtxStandIn.h - the test controls of the NTX library stand-in (the ntx.dll
// built from standins/Ntx, never shipped). They are extra exports of that
// library, in the C calling convention; a test binds them from the loaded
// module with NtxStandInBind.
//
// The stand-in keeps one catalog that every process on the machine which
// loads it shares: the kernel status, a root process, and named objects in
// the root or in a process cataloged in the root. A memory segment's bytes
// are a named file mapping that each process mapping the segment joins. The
// catalog lasts while some process has the library loaded.
//
// Wherever a control takes a process name: null or empty is the root
// process, anything else a process cataloged in the root. Names have at most
// NTX_STANDIN_NAME_MAX characters.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "NtxBinding.h"

constexpr int NTX_STANDIN_NAME_MAX = 15;
// NtxStandInSetRoot: no root process (ntxGetRootRtProcess gives -1).
constexpr uint32_t NTX_STANDIN_NO_ROOT = 0;

// Removes every object (as NtxStandInRemoveObject does) and restores the
// initial state: kernel ready, a root process of type process, no unmap to
// refuse. The call count is kept.
typedef void(NTX_API* NtxStandInResetFn)();
// What ntxGetRtStatus reports; its low 16 bits 0 mean ready.
typedef void(NTX_API* NtxStandInSetRtStatusFn)(uint32_t status);
// The type the root process reports (NTX_TYPE_PROCESS normally), or
// NTX_STANDIN_NO_ROOT for none.
typedef void(NTX_API* NtxStandInSetRootFn)(uint32_t type);
// Catalogs an object of any type under name in process. A segment (type
// NTX_TYPE_SEGMENT) made here has no bytes: it is found but cannot be
// mapped. Its handle, or NTX_NO_HANDLE (process not found, name taken
// there, empty or too long, catalog full).
typedef NtxHandle(NTX_API* NtxStandInCreateObjectFn)(const char* process, const char* name,
                                                     uint32_t type);
// Catalogs a memory segment of size bytes, all zero, under name in process.
// Its handle, or NTX_NO_HANDLE as above or when size is 0.
typedef NtxHandle(NTX_API* NtxStandInCreateSegmentFn)(const char* process, const char* name,
                                                      uint32_t size);
// Removes the object name of process, and everything cataloged in it when
// it is a process. Every view this process holds of a segment removed is
// unmapped and its address range reserved inaccessible: a read through an
// old pointer faults, and nothing else is placed there. 1 removed, 0 not
// found.
typedef int32_t(NTX_API* NtxStandInRemoveObjectFn)(const char* process, const char* name);
// The next count calls of ntxUnmapRtSharedMemory (in any process) are
// refused: they give a failure and unmap nothing.
typedef void(NTX_API* NtxStandInRefuseUnmapsFn)(uint32_t count);
// Number of calls of the six NTX functions that this process made since the
// library was loaded or the count was reset.
typedef uint32_t(NTX_API* NtxStandInCallCountFn)();
typedef void(NTX_API* NtxStandInResetCallCountFn)();
// The PLC side's own view of the segment name of process: a mapping of its
// bytes apart from any that ntxMapRtSharedMemory made (the same one on
// every call while the segment exists). Null when there is no such segment
// with bytes.
typedef uint8_t*(NTX_API* NtxStandInSegmentViewFn)(const char* process, const char* name);

struct NtxStandInControls {
    NtxStandInResetFn reset;
    NtxStandInSetRtStatusFn set_rt_status;
    NtxStandInSetRootFn set_root;
    NtxStandInCreateObjectFn create_object;
    NtxStandInCreateSegmentFn create_segment;
    NtxStandInRemoveObjectFn remove_object;
    NtxStandInRefuseUnmapsFn refuse_unmaps;
    NtxStandInCallCountFn call_count;
    NtxStandInResetCallCountFn reset_call_count;
    NtxStandInSegmentViewFn segment_view;
};

constexpr int NTX_STANDIN_CONTROL_COUNT = 10;
static_assert(sizeof(NtxStandInControls) == NTX_STANDIN_CONTROL_COUNT * sizeof(FARPROC),
              "NtxStandInControls is a table of function pointers only");

// Export names of the entries of NtxStandInControls, in their order.
inline const char* NtxStandInControlName(int index)
{
    static const char* const NAMES[NTX_STANDIN_CONTROL_COUNT] = {
        "NtxStandInReset",         "NtxStandInSetRtStatus",     "NtxStandInSetRoot",
        "NtxStandInCreateObject",  "NtxStandInCreateSegment",   "NtxStandInRemoveObject",
        "NtxStandInRefuseUnmaps",  "NtxStandInCallCount",       "NtxStandInResetCallCount",
        "NtxStandInSegmentView"};
    return NAMES[index];
}

// Binds every control from module (the loaded stand-in). true when all were
// found; controls is filled either way (missing ones null).
inline bool NtxStandInBind(HMODULE module, NtxStandInControls* controls)
{
    bool all = true;
    for (int i = 0; i < NTX_STANDIN_CONTROL_COUNT; ++i) {
        FARPROC proc = module != nullptr ? GetProcAddress(module, NtxStandInControlName(i))
                                         : nullptr;
        all = all && proc != nullptr;
        // Byte-wise: stores through a FARPROC* into members of other pointer
        // types would break the aliasing rules.
        memcpy(reinterpret_cast<char*>(controls) + static_cast<size_t>(i) * sizeof(FARPROC),
               &proc, sizeof(proc));
    }
    return all;
}
