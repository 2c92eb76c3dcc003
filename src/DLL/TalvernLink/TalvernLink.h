/*
 * TalvernLink.h - the plain C interface of TalvernLink.dll.
 *
 * Programs load the library at run time and bind its 20 functions by name
 * into a LinkEntryPoints table (TvnBindEntryPoints below does exactly that).
 * Every function takes the board index 0..3 first and returns a TvnResult:
 * 0 or more on success, a TVN_ERR_ code or the board's sign-extended status
 * word on failure. Every pointer belongs to the caller and is used only
 * during the call.
 *
 * Calling convention: __stdcall in both bitnesses (the names are exported
 * undecorated through TalvernLink.def).
 */
#ifndef TALVERNLINK_H
#define TALVERNLINK_H

#include <stdint.h>
#include <string.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TVN_API __stdcall

/* Number of board indexes: 0 to MAX_BOARDS - 1. */
#define MAX_BOARDS 4

typedef int32_t TvnResult;
typedef int32_t BoardIndex;
typedef int32_t SmemHandle;

#define TVN_ERR_ALREADY_CONNECTED (-1) /* the board index holds a connection */
#define TVN_ERR_NOT_CONNECTED     (-2) /* the connection is not connected */
#define TVN_ERR_BAD_INDEX         (-3) /* board index outside 0..3 */
#define TVN_ERR_COMM              (-4) /* socket, connect, short send or receive */
#define TVN_ERR_SMEM_ALREADY_OPEN (-5) /* a board shared memory is already open */
#define TVN_ERR_NOT_OPEN          (-6) /* no connection, or no shared memory open */

/*
 * Where programs connect board 0 when no setting names the board: the
 * service (registry value IpAddress, Port) and the HMI bridge (OpenIpAddress,
 * OpenPort) share these defaults.
 */
#define DEFAULT_BOARD_ADDRESS "192.168.240.10"
#define DEFAULT_BOARD_PORT    10000

/* Longest texts that keep every log line whole, whatever the log settings. */
#define TVN_MAX_ADDRESS_LENGTH   178
#define TVN_MAX_SMEM_NAME_LENGTH 181

TvnResult TVN_API TVN_Connect(BoardIndex board, const char* ip_address, int32_t port);
TvnResult TVN_API TVN_DisConnect(BoardIndex board);
TvnResult TVN_API TVN_SmemOpen(BoardIndex board, const char* name);
TvnResult TVN_API TVN_SmemClose(BoardIndex board, SmemHandle handle);
TvnResult TVN_API TVN_SmemIsMemSize(BoardIndex board, SmemHandle handle);
TvnResult TVN_API TVN_ShutdownNotify(BoardIndex board);
TvnResult TVN_API TVN_SetDateTime(BoardIndex board, const SYSTEMTIME* time);
TvnResult TVN_API TVN_Reset(BoardIndex board);
TvnResult TVN_API TVN_GetVersion(BoardIndex board, uint16_t* hardware_version,
                                 uint16_t* software_version);
TvnResult TVN_API TVN_GetBoardNumber(BoardIndex board, uint16_t* board_number);
TvnResult TVN_API TVN_SmemReadByte(BoardIndex board, SmemHandle handle, int32_t offset,
                                   uint8_t* dest);
TvnResult TVN_API TVN_SmemReadWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                   uint16_t* dest);
TvnResult TVN_API TVN_SmemReadDWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint32_t* dest);
TvnResult TVN_API TVN_SmemReadLWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint64_t* dest);
TvnResult TVN_API TVN_SmemReadBytes(BoardIndex board, SmemHandle handle, int32_t offset,
                                    void* dest, int32_t size);
TvnResult TVN_API TVN_SmemWriteByte(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint8_t value);
TvnResult TVN_API TVN_SmemWriteWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint16_t value);
TvnResult TVN_API TVN_SmemWriteDWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                     uint32_t value);
TvnResult TVN_API TVN_SmemWriteLWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                     uint64_t value);
TvnResult TVN_API TVN_SmemWriteBytes(BoardIndex board, SmemHandle handle, int32_t offset,
                                     const void* src, int32_t size);

/* The function types that programs bind through. */
typedef TvnResult (TVN_API* TvnConnectFn)(BoardIndex, const char*, int32_t);
typedef TvnResult (TVN_API* TvnDisConnectFn)(BoardIndex);
typedef TvnResult (TVN_API* TvnSmemOpenFn)(BoardIndex, const char*);
typedef TvnResult (TVN_API* TvnSmemCloseFn)(BoardIndex, SmemHandle);
typedef TvnResult (TVN_API* TvnSmemIsMemSizeFn)(BoardIndex, SmemHandle);
typedef TvnResult (TVN_API* TvnShutdownNotifyFn)(BoardIndex);
typedef TvnResult (TVN_API* TvnSetDateTimeFn)(BoardIndex, const SYSTEMTIME*);
typedef TvnResult (TVN_API* TvnResetFn)(BoardIndex);
typedef TvnResult (TVN_API* TvnGetVersionFn)(BoardIndex, uint16_t*, uint16_t*);
typedef TvnResult (TVN_API* TvnGetBoardNumberFn)(BoardIndex, uint16_t*);
typedef TvnResult (TVN_API* TvnSmemReadByteFn)(BoardIndex, SmemHandle, int32_t, uint8_t*);
typedef TvnResult (TVN_API* TvnSmemReadWordFn)(BoardIndex, SmemHandle, int32_t, uint16_t*);
typedef TvnResult (TVN_API* TvnSmemReadDWordFn)(BoardIndex, SmemHandle, int32_t, uint32_t*);
typedef TvnResult (TVN_API* TvnSmemReadLWordFn)(BoardIndex, SmemHandle, int32_t, uint64_t*);
typedef TvnResult (TVN_API* TvnSmemReadBytesFn)(BoardIndex, SmemHandle, int32_t, void*, int32_t);
typedef TvnResult (TVN_API* TvnSmemWriteByteFn)(BoardIndex, SmemHandle, int32_t, uint8_t);
typedef TvnResult (TVN_API* TvnSmemWriteWordFn)(BoardIndex, SmemHandle, int32_t, uint16_t);
typedef TvnResult (TVN_API* TvnSmemWriteDWordFn)(BoardIndex, SmemHandle, int32_t, uint32_t);
typedef TvnResult (TVN_API* TvnSmemWriteLWordFn)(BoardIndex, SmemHandle, int32_t, uint64_t);
typedef TvnResult (TVN_API* TvnSmemWriteBytesFn)(BoardIndex, SmemHandle, int32_t, const void*,
                                                 int32_t);

/* The 20 entry points, in the order in which programs bind them. */
typedef struct LinkEntryPoints {
    TvnConnectFn connect;
    TvnDisConnectFn dis_connect;
    TvnSmemOpenFn smem_open;
    TvnSmemCloseFn smem_close;
    TvnSmemIsMemSizeFn smem_is_mem_size;
    TvnShutdownNotifyFn shutdown_notify;
    TvnSetDateTimeFn set_date_time;
    TvnResetFn reset;
    TvnGetVersionFn get_version;
    TvnGetBoardNumberFn get_board_number;
    TvnSmemReadByteFn smem_read_byte;
    TvnSmemReadWordFn smem_read_word;
    TvnSmemReadDWordFn smem_read_dword;
    TvnSmemReadLWordFn smem_read_lword;
    TvnSmemReadBytesFn smem_read_bytes;
    TvnSmemWriteByteFn smem_write_byte;
    TvnSmemWriteWordFn smem_write_word;
    TvnSmemWriteDWordFn smem_write_dword;
    TvnSmemWriteLWordFn smem_write_lword;
    TvnSmemWriteBytesFn smem_write_bytes;
} LinkEntryPoints;

#define TVN_ENTRY_COUNT 20

/* Export name of entry i of LinkEntryPoints, 0 <= i < TVN_ENTRY_COUNT. */
static inline const char* TvnEntryName(int i)
{
    static const char* const names[TVN_ENTRY_COUNT] = {
        "TVN_Connect",        "TVN_DisConnect",     "TVN_SmemOpen",       "TVN_SmemClose",
        "TVN_SmemIsMemSize",  "TVN_ShutdownNotify", "TVN_SetDateTime",    "TVN_Reset",
        "TVN_GetVersion",     "TVN_GetBoardNumber", "TVN_SmemReadByte",   "TVN_SmemReadWord",
        "TVN_SmemReadDWord",  "TVN_SmemReadLWord",  "TVN_SmemReadBytes",  "TVN_SmemWriteByte",
        "TVN_SmemWriteWord",  "TVN_SmemWriteDWord", "TVN_SmemWriteLWord", "TVN_SmemWriteBytes",
    };
    return (i >= 0 && i < TVN_ENTRY_COUNT) ? names[i] : NULL;
}

/*
 * Binds all 20 entries of a loaded TalvernLink by name, one after the other
 * in LinkEntryPoints order. A name the module lacks leaves its entry null:
 * callers test an entry before they call through it.
 */
static inline void TvnBindEntryPoints(HMODULE module, LinkEntryPoints* entries)
{
    /* Copied byte-wise: storing through a FARPROC* into members of other
       pointer types breaks the aliasing rules, and an optimising compiler
       then drops the stores. */
    int i;
    for (i = 0; i < TVN_ENTRY_COUNT; ++i) {
        FARPROC proc = GetProcAddress(module, TvnEntryName(i));
        memcpy((char*)entries + (size_t)i * sizeof(FARPROC), &proc, sizeof(proc));
    }
}

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(LinkEntryPoints) == TVN_ENTRY_COUNT * sizeof(FARPROC),
              "LinkEntryPoints is a table of function pointers only");
#endif

#endif /* TALVERNLINK_H */
