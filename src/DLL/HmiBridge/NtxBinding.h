/*
 * NtxBinding.h - the part of INtime's NTX library (ntx.dll) that the bridge
 * uses, and the process-wide binding of it.
 *
 * The bridge loads ntx.dll at run time and binds six functions by name, all
 * or nothing. They are plain C functions in the C calling convention
 * (__cdecl, which matters in 32-bit processes). NTX handles are 32-bit
 * values; NTX_NO_HANDLE (all bits set) means "no such object". Where a
 * status or type is returned, only its low 16 bits count.
 */
#ifndef NTXBINDING_H
#define NTXBINDING_H

#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NTX_API __cdecl

typedef uint32_t NtxHandle;
#define NTX_NO_HANDLE ((NtxHandle)0xFFFFFFFFu)

/* Object types that ntxGetType reports (low 16 bits). */
#define NTX_TYPE_PROCESS 1
#define NTX_TYPE_SEGMENT 6

/* Folder of the INtime installation; ntx.dll lies in its "bin" folder. */
#define NTX_ENV_VARIABLE "INTIME"
#define NTX_LIBRARY_NAME "ntx.dll"

/* 0 (low 16 bits) when the real-time kernel is ready; argument 0. */
typedef uint32_t(NTX_API* NtxGetRtStatusFn)(uint32_t unused);
/* The root real-time process, or NTX_NO_HANDLE; argument 0. */
typedef NtxHandle(NTX_API* NtxGetRootRtProcessFn)(uint32_t unused);
/* The type of an object (low 16 bits): NTX_TYPE_PROCESS, NTX_TYPE_SEGMENT, ... */
typedef uint32_t(NTX_API* NtxGetTypeFn)(NtxHandle object);
/* The object cataloged under name in process, or NTX_NO_HANDLE; last
   argument 0. */
typedef NtxHandle(NTX_API* NtxLookupNtxhandleFn)(NtxHandle process, const char* name,
                                                 uint32_t unused);
/* Maps a memory segment into this process: its address, or null. */
typedef void*(NTX_API* NtxMapRtSharedMemoryFn)(NtxHandle segment);
/* Unmaps a memory segment: 0 when unmapped, anything else a failure. */
typedef uint32_t(NTX_API* NtxUnmapRtSharedMemoryFn)(NtxHandle segment);

/* The six entry points, in the order LoadNtx binds them. */
typedef struct NtxEntryPoints {
    NtxGetRootRtProcessFn get_root_rt_process;
    NtxLookupNtxhandleFn lookup_ntxhandle;
    NtxGetRtStatusFn get_rt_status;
    NtxGetTypeFn get_type;
    NtxMapRtSharedMemoryFn map_rt_shared_memory;
    NtxUnmapRtSharedMemoryFn unmap_rt_shared_memory;
} NtxEntryPoints;

#define NTX_ENTRY_COUNT 6

/* Export names of the entries of NtxEntryPoints, in their order. */
#define NTX_ENTRY_NAMES                                                          \
    {                                                                            \
        "ntxGetRootRtProcess", "ntxLookupNtxhandle", "ntxGetRtStatus",           \
            "ntxGetType", "ntxMapRtSharedMemory", "ntxUnmapRtSharedMemory"       \
    }

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(NtxEntryPoints) == NTX_ENTRY_COUNT * sizeof(FARPROC),
              "NtxEntryPoints is a table of function pointers only");

/* The loaded NTX library; null while it is not loaded. */
extern HMODULE g_ntx_module;
/* Its six bound functions; used only while g_ntx_module is set. */
extern NtxEntryPoints g_ntx;

/* Loads ntx.dll from "%INTIME%\bin" when INTIME is set, else by its plain
   name, and binds all six functions. 1 when loaded and bound; 0 when the
   library cannot be loaded, lacks a name (it is freed again) or INTIME is
   too long for a library path (nothing is loaded). */
int32_t LoadNtx();
/* 1 while the library is loaded, else 0. */
int32_t IsNtxLoaded();
/* Frees the library when it is loaded. */
void FreeNtx();
#endif

#endif /* NTXBINDING_H */
