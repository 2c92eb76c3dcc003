// TalvernBrdMng.h - the board memory backend: board 0's named shared memory
// reached through TalvernLink.dll, loaded at run time by its plain name.
//
// Every guarded operation first checks, in this order, the board index, that
// the library is bound, that the board is connected and that a shared memory
// is open, and answers the first failed check with a BRD_ERR_ code without
// calling the library. Once the checks pass, the library's TvnResult is
// returned unchanged (its codes overlap these).
#pragma once

#include <cstdint>

#include "BoardSlot.h"
#include "TalvernLink.h"

constexpr int32_t BRD_ERR_NOT_LOADED = -1;     // library not loaded or not all names bound
constexpr int32_t BRD_ERR_NOT_CONNECTED = -3;  // the board is not connected
constexpr int32_t BRD_ERR_BAD_INDEX = -4;      // index negative or not below board_count
constexpr int32_t BRD_ERR_SMEM_NOT_OPEN = -5;  // no board shared memory is open

class TalvernBrdMng {
public:
    static constexpr const char* LIBRARY_NAME = "TalvernLink.dll";

    TalvernBrdMng();
    virtual ~TalvernBrdMng();  // DisConnectAll()
    TalvernBrdMng(const TalvernBrdMng&) = delete;
    TalvernBrdMng& operator=(const TalvernBrdMng&) = delete;

    // Loads TalvernLink.dll and binds its 16 names into the slot. 1 when all
    // were found; 0 when the load failed or a name is missing (the module
    // then stays in lib_module until it is released).
    int32_t BindLibrary(BoardIndex board);
    // Frees the slot's module when one is held and clears loaded.
    void UnloadLibrary(BoardIndex board);

    // Binds and connects every slot in use. 1 when every slot in use is
    // bound (whether the board answered shows in IsConnected), else 0.
    int32_t ConnectAll(const char* address, int32_t port);
    // Per slot in use: disconnects when a memory is still marked open, then
    // releases the module (also one that lacked a name).
    void DisConnectAll();

    TvnResult Connect(BoardIndex board, const char* address, int32_t port);
    TvnResult DisConnect(BoardIndex board);
    // Opens the board's shared memory by name; 0 once the library was called,
    // whatever it answered (the outcome lives in smem_open and smem_handle).
    TvnResult SmemOpen(BoardIndex board, const char* name);
    // Closes the slot's memory with its last handle (-1 when none was ever
    // opened, which the library refuses).
    TvnResult SmemClose(BoardIndex board);
    // The size of the board's memory, or a result code.
    TvnResult SmemIsMemSize(BoardIndex board);
    // The slot's connected flag, without the guarded checks; 0 for an index
    // that is not a slot in use.
    int32_t IsConnected(BoardIndex board) const;

    // Typed forwarders: all four checks, then one library call.
    TvnResult SmemReadByte(BoardIndex board, int32_t offset, uint8_t* dest);
    TvnResult SmemReadWord(BoardIndex board, int32_t offset, uint16_t* dest);
    TvnResult SmemReadDWord(BoardIndex board, int32_t offset, uint32_t* dest);
    TvnResult SmemReadLWord(BoardIndex board, int32_t offset, uint64_t* dest);
    TvnResult SmemReadBytes(BoardIndex board, int32_t offset, void* dest, int32_t size);
    TvnResult SmemWriteByte(BoardIndex board, int32_t offset, uint8_t value);
    TvnResult SmemWriteWord(BoardIndex board, int32_t offset, uint16_t value);
    TvnResult SmemWriteDWord(BoardIndex board, int32_t offset, uint32_t value);
    TvnResult SmemWriteLWord(BoardIndex board, int32_t offset, uint64_t value);
    TvnResult SmemWriteBytes(BoardIndex board, int32_t offset, const void* src, int32_t size);

private:
    // How far the guarded checks go: index and loaded, then connected, then
    // an open shared memory.
    enum class SlotCheck { LOADED, CONNECTED, SMEM_OPEN };
    // 0 when the checks up to depth pass, else the first failed check's code.
    int32_t CheckSlot(BoardIndex board, SlotCheck depth) const;

    BoardSlot boards[MAX_BOARDS];
    int32_t board_count;
};
