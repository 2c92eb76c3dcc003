/*
 * HmiBridge.h - the plain C interface of HmiBridge.dll.
 *
 * HMI programs load the library at run time and bind its 22 functions by
 * name (HmiBindEntryPoints below does exactly that). The library opens one
 * shared memory, configured in HmiBridge.ini beside the library: an INtime
 * real-time segment, a Windows named file mapping, or a board's shared
 * memory reached through TalvernLink.dll. Values are read and written at
 * PLC addresses: the configured ProConOS offset is subtracted from every
 * address, and the whole access must lie inside the configured memory size.
 *
 * Results: 0 on success, an SMEM_ERR_ code on failure; HMI_SmemOpen can also
 * return an INtime open error (-65536 plus the NTX error code) or a Windows
 * open error (a positive Windows system error code).
 *
 * Pointer arguments: only HMI_SmemGetPointer's variable may be null (nothing
 * is stored then). Every destination, value and buffer must be valid for
 * the whole call: for the value's size, or for the length given. A bad one
 * faults in the caller, as with any C function given a bad pointer.
 *
 * Failed reads: a typed read and HMI_SmemGetStringLength store 0; a block
 * or string read leaves the buffer as it was. One exception, on the INtime
 * type only: when the segment is smaller than UsedMemSize, or goes away,
 * and a block or string read runs into its end, the call returns
 * SMEM_ERR_NOT_EXIST with the bytes the segment gave up to that point
 * stored at the start of the buffer and the rest left as it was.
 *
 * Reals are read and written as their raw bits: every bit pattern, NaNs
 * included, arrives unchanged.
 *
 * Threads: the library holds one memory for the whole process and takes no
 * lock; make calls into it one at a time.
 *
 * The board type (UsedMemType 3): board 0 is connected while the library is
 * being loaded. HMI_SmemClose releases the board's memory and its connection
 * for good: from then on HMI_SmemIsExist gives 0, every access
 * SMEM_ERR_NOT_EXIST, and HMI_SmemOpen returns 0 without reaching the board,
 * until the library is loaded again. HMI_SmemIsMemSize on the board reports
 * the board's own memory size, not UsedMemSize.
 *
 * Calling convention: __stdcall in both bitnesses (the names are exported
 * undecorated through HmiBridge.def).
 */
#ifndef HMIBRIDGE_H
#define HMIBRIDGE_H

#include <stdint.h>
#include <string.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HMI_API __stdcall

/* Memory types (setting UsedMemType). */
#define MEMTYPE_NONE    0 /* the configured type was invalid */
#define MEMTYPE_INTIME  1 /* INtime real-time memory segment */
#define MEMTYPE_WINDOWS 2 /* Windows file mapping named UsedMemName + "_Win" */
#define MEMTYPE_BOARD   3 /* board 0's shared memory through TalvernLink.dll */

/* What HMI_SmemOpen does when the INtime segment cannot be opened
   (setting OpenSeqType). */
#define OPENSEQ_ONCE     0 /* give up after one attempt */
#define OPENSEQ_RETRY    1 /* try OpenTimeout times, 1000 ms apart */
#define OPENSEQ_FALLBACK 2 /* fall back to the Windows file mapping */

/* Result codes. */
#define SMEM_ERR_ALREADY_OPEN (-1) /* HMI_SmemOpen: already opened */
#define SMEM_ERR_NOT_OPEN     (-2) /* the memory is not opened */
#define SMEM_ERR_BAD_TYPE     (-3) /* HMI_SmemOpen: UsedMemType is not 1, 2 or 3 */
#define SMEM_ERR_NOT_EXIST    (-4) /* the memory cannot be reached */
#define SMEM_ERR_RANGE        (-5) /* the bytes do not lie inside the memory */

/* HMI_SmemOpen's INtime open error for an NTX error code. */
#define SMEM_INTIME_OPEN_ERROR(ntx_code) ((int32_t)(0xFFFF0000u | (uint16_t)(ntx_code)))

int32_t HMI_API HMI_SmemOpen(void);
void HMI_API HMI_SmemClose(void);
int32_t HMI_API HMI_SmemIsExist(void);
int32_t HMI_API HMI_SmemIsMemSize(void);
int32_t HMI_API HMI_SmemIsMemType(void);
int32_t HMI_API HMI_SmemIsPCosOffset(void);
void HMI_API HMI_SmemGetPointer(void** pointer, int32_t offset);
int32_t HMI_API HMI_SmemGetStringLength(int32_t address, int32_t* length);
int32_t HMI_API HMI_SmemReadByte(int32_t address, uint8_t* value);
int32_t HMI_API HMI_SmemReadWord(int32_t address, uint16_t* value);
int32_t HMI_API HMI_SmemReadDWord(int32_t address, uint32_t* value);
int32_t HMI_API HMI_SmemReadReal(int32_t address, float* value);
int32_t HMI_API HMI_SmemReadLReal(int32_t address, double* value);
int32_t HMI_API HMI_SmemReadBytes(int32_t address, void* buffer, uint32_t length);
int32_t HMI_API HMI_SmemReadString(int32_t address, char* buffer, uint32_t length);
int32_t HMI_API HMI_SmemWriteByte(int32_t address, uint8_t value);
int32_t HMI_API HMI_SmemWriteWord(int32_t address, uint16_t value);
int32_t HMI_API HMI_SmemWriteDWord(int32_t address, uint32_t value);
int32_t HMI_API HMI_SmemWriteReal(int32_t address, float value);
int32_t HMI_API HMI_SmemWriteLReal(int32_t address, double value);
int32_t HMI_API HMI_SmemWriteBytes(int32_t address, const void* buffer, uint32_t length);
int32_t HMI_API HMI_SmemWriteString(int32_t address, const char* chars, uint32_t length);

/* The function types that programs bind through. */
typedef int32_t (HMI_API* HmiSmemOpenFn)(void);
typedef void (HMI_API* HmiSmemCloseFn)(void);
typedef int32_t (HMI_API* HmiSmemIsExistFn)(void);
typedef int32_t (HMI_API* HmiSmemIsMemSizeFn)(void);
typedef int32_t (HMI_API* HmiSmemIsMemTypeFn)(void);
typedef int32_t (HMI_API* HmiSmemIsPCosOffsetFn)(void);
typedef void (HMI_API* HmiSmemGetPointerFn)(void**, int32_t);
typedef int32_t (HMI_API* HmiSmemGetStringLengthFn)(int32_t, int32_t*);
typedef int32_t (HMI_API* HmiSmemReadByteFn)(int32_t, uint8_t*);
typedef int32_t (HMI_API* HmiSmemReadWordFn)(int32_t, uint16_t*);
typedef int32_t (HMI_API* HmiSmemReadDWordFn)(int32_t, uint32_t*);
typedef int32_t (HMI_API* HmiSmemReadRealFn)(int32_t, float*);
typedef int32_t (HMI_API* HmiSmemReadLRealFn)(int32_t, double*);
typedef int32_t (HMI_API* HmiSmemReadBytesFn)(int32_t, void*, uint32_t);
typedef int32_t (HMI_API* HmiSmemReadStringFn)(int32_t, char*, uint32_t);
typedef int32_t (HMI_API* HmiSmemWriteByteFn)(int32_t, uint8_t);
typedef int32_t (HMI_API* HmiSmemWriteWordFn)(int32_t, uint16_t);
typedef int32_t (HMI_API* HmiSmemWriteDWordFn)(int32_t, uint32_t);
typedef int32_t (HMI_API* HmiSmemWriteRealFn)(int32_t, float);
typedef int32_t (HMI_API* HmiSmemWriteLRealFn)(int32_t, double);
typedef int32_t (HMI_API* HmiSmemWriteBytesFn)(int32_t, const void*, uint32_t);
typedef int32_t (HMI_API* HmiSmemWriteStringFn)(int32_t, const char*, uint32_t);

/* The 22 entry points, in the order of the declarations above. */
typedef struct HmiEntryPoints {
    HmiSmemOpenFn open;
    HmiSmemCloseFn close;
    HmiSmemIsExistFn is_exist;
    HmiSmemIsMemSizeFn is_mem_size;
    HmiSmemIsMemTypeFn is_mem_type;
    HmiSmemIsPCosOffsetFn is_pcos_offset;
    HmiSmemGetPointerFn get_pointer;
    HmiSmemGetStringLengthFn get_string_length;
    HmiSmemReadByteFn read_byte;
    HmiSmemReadWordFn read_word;
    HmiSmemReadDWordFn read_dword;
    HmiSmemReadRealFn read_real;
    HmiSmemReadLRealFn read_lreal;
    HmiSmemReadBytesFn read_bytes;
    HmiSmemReadStringFn read_string;
    HmiSmemWriteByteFn write_byte;
    HmiSmemWriteWordFn write_word;
    HmiSmemWriteDWordFn write_dword;
    HmiSmemWriteRealFn write_real;
    HmiSmemWriteLRealFn write_lreal;
    HmiSmemWriteBytesFn write_bytes;
    HmiSmemWriteStringFn write_string;
} HmiEntryPoints;

#define HMI_ENTRY_COUNT 22

/* Export name of entry i of HmiEntryPoints, 0 <= i < HMI_ENTRY_COUNT. */
static inline const char* HmiEntryName(int i)
{
    static const char* const names[HMI_ENTRY_COUNT] = {
        "HMI_SmemOpen",          "HMI_SmemClose",        "HMI_SmemIsExist",
        "HMI_SmemIsMemSize",     "HMI_SmemIsMemType",    "HMI_SmemIsPCosOffset",
        "HMI_SmemGetPointer",    "HMI_SmemGetStringLength", "HMI_SmemReadByte",
        "HMI_SmemReadWord",      "HMI_SmemReadDWord",    "HMI_SmemReadReal",
        "HMI_SmemReadLReal",     "HMI_SmemReadBytes",    "HMI_SmemReadString",
        "HMI_SmemWriteByte",     "HMI_SmemWriteWord",    "HMI_SmemWriteDWord",
        "HMI_SmemWriteReal",     "HMI_SmemWriteLReal",   "HMI_SmemWriteBytes",
        "HMI_SmemWriteString",
    };
    return (i >= 0 && i < HMI_ENTRY_COUNT) ? names[i] : NULL;
}

/*
 * Binds all 22 entries of a loaded HmiBridge by name. A name the module
 * lacks leaves its entry null. Returns 1 when every entry was found, else 0.
 */
static inline int HmiBindEntryPoints(HMODULE module, HmiEntryPoints* entries)
{
    /* Copied byte-wise, as TvnBindEntryPoints does: stores through a
       FARPROC* into members of other pointer types may be dropped by an
       optimising compiler. */
    int i, found = 1;
    for (i = 0; i < HMI_ENTRY_COUNT; ++i) {
        FARPROC proc = GetProcAddress(module, HmiEntryName(i));
        memcpy((char*)entries + (size_t)i * sizeof(FARPROC), &proc, sizeof(proc));
        if (proc == NULL)
            found = 0;
    }
    return found;
}

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(HmiEntryPoints) == HMI_ENTRY_COUNT * sizeof(FARPROC),
              "HmiEntryPoints is a table of function pointers only");
#endif

#endif /* HMIBRIDGE_H */
