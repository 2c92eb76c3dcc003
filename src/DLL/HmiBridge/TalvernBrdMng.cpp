// TalvernBrdMng.cpp - the board memory backend over TalvernLink.dll.
//
// Only slot 0 is in use (board_count is 1); the other slots keep their
// initial state for the object's whole life. The slot's flags record what
// this object last saw of the library: a connection lost later is not
// noticed here, the library's calls then fail and their codes are returned.
#include "TalvernBrdMng.h"

#include <cstring>

namespace {

// Number of slots in use, counted from index 0.
constexpr int32_t BOARDS_IN_USE = 1;

// The LinkEntryPoints entries the backend binds, in the order they are
// looked up. Entries 6 to 9 (clock, reset, versions, board number) are
// never bound: nothing in the bridge calls them.
constexpr int BOUND_ENTRIES[] = {0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};

// Stores proc into entry i of the table. Copied byte-wise, as
// TvnBindEntryPoints does: a store through a FARPROC* into members of other
// pointer types breaks the aliasing rules.
void SetEntryAt(LinkEntryPoints& entries, int i, FARPROC proc)
{
    std::memcpy(reinterpret_cast<char*>(&entries) + static_cast<size_t>(i) * sizeof(FARPROC), &proc,
                sizeof(proc));
}

}  // namespace

// Every slot in the initial state: no module, flags 0, handle -1, no entries.
TalvernBrdMng::TalvernBrdMng() : boards(), board_count(BOARDS_IN_USE) {}

// Releases what DisConnectAll still finds; after the owner's own
// DisConnectAll that is nothing, and nothing is called in the library.
TalvernBrdMng::~TalvernBrdMng()
{
    DisConnectAll();
}

// 0 when the checks up to depth pass for board, else the first failed
// check's BRD_ERR_ code. Changes nothing.
int32_t TalvernBrdMng::CheckSlot(BoardIndex board, SlotCheck depth) const
{
    if (board < 0 || board >= board_count)
        return BRD_ERR_BAD_INDEX;
    const BoardSlot& slot = boards[board];
    if (slot.loaded == 0)
        return BRD_ERR_NOT_LOADED;
    if (depth >= SlotCheck::CONNECTED && slot.connected == 0)
        return BRD_ERR_NOT_CONNECTED;
    if (depth >= SlotCheck::SMEM_OPEN && slot.smem_open == 0)
        return BRD_ERR_SMEM_NOT_OPEN;
    return 0;
}

// Loads the library by its plain name, so that the platform's search order
// finds it, and looks up all 16 names even after one was missing. 1 when
// every one was found; 0 when the load failed (nothing changed) or a name
// is missing (the module stays in lib_module until UnloadLibrary).
int32_t TalvernBrdMng::BindLibrary(BoardIndex board)
{
    BoardSlot& slot = boards[board];
    slot.lib_module = LoadLibraryA(LIBRARY_NAME);
    if (slot.lib_module == nullptr)
        return 0;
    bool all_found = true;
    for (int i : BOUND_ENTRIES) {
        FARPROC proc = GetProcAddress(slot.lib_module, TvnEntryName(i));
        SetEntryAt(slot.entry_points, i, proc);
        if (proc == nullptr)
            all_found = false;
    }
    if (!all_found)
        return 0;
    slot.loaded = 1;
    return 1;
}

// Frees the slot's module when one is held and clears loaded in every case.
// The entries, connected, smem_open and smem_handle keep their values.
void TalvernBrdMng::UnloadLibrary(BoardIndex board)
{
    BoardSlot& slot = boards[board];
    if (slot.lib_module != nullptr) {
        FreeLibrary(slot.lib_module);
        slot.lib_module = nullptr;
    }
    slot.loaded = 0;
}

// Binds and connects each slot in use. 1 when every slot in use is bound,
// else 0; whether the board answered shows only in IsConnected.
int32_t TalvernBrdMng::ConnectAll(const char* address, int32_t port)
{
    int32_t all_bound = 1;
    for (BoardIndex board = 0; board < board_count; ++board) {
        BindLibrary(board);
        Connect(board, address, port);  // refused without a call when not bound
        if (boards[board].loaded == 0)
            all_bound = 0;
    }
    return all_bound;
}

// Per slot in use: a memory still marked open (its close failed) is
// disconnected first; then a held module is released, also one that lacked
// a name and so never counted as loaded. Freeing the library ends its
// connection to the board; connected keeps its value.
void TalvernBrdMng::DisConnectAll()
{
    for (BoardIndex board = 0; board < board_count; ++board) {
        const BoardSlot& slot = boards[board];
        if (slot.smem_open != 0)
            DisConnect(board);
        if (slot.loaded != 0 || slot.lib_module != nullptr)
            UnloadLibrary(board);
    }
}

// TVN_Connect after the index and loaded checks; connected once it gave 0.
// The library's result, or the check code.
TvnResult TalvernBrdMng::Connect(BoardIndex board, const char* address, int32_t port)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::LOADED);
    if (refusal != 0)
        return refusal;
    BoardSlot& slot = boards[board];
    const TvnResult result = slot.entry_points.connect(board, address, port);
    if (result == 0)
        slot.connected = 1;
    return result;
}

// TVN_DisConnect after the index and loaded checks; not connected once it
// gave 0. smem_open and smem_handle stay. The library's result, or the
// check code.
TvnResult TalvernBrdMng::DisConnect(BoardIndex board)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::LOADED);
    if (refusal != 0)
        return refusal;
    BoardSlot& slot = boards[board];
    const TvnResult result = slot.entry_points.dis_connect(board);
    if (result == 0)
        slot.connected = 0;
    return result;
}

// TVN_SmemOpen on a connected slot. The handle it gave (or its negative
// code) is kept; the memory counts as open for a handle of 0 or more.
// 0 once the library was called, else the check code.
TvnResult TalvernBrdMng::SmemOpen(BoardIndex board, const char* name)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::CONNECTED);
    if (refusal != 0)
        return refusal;
    BoardSlot& slot = boards[board];
    slot.smem_handle = slot.entry_points.smem_open(board, name);
    if (slot.smem_handle >= 0)
        slot.smem_open = 1;
    return 0;
}

// TVN_SmemClose with the slot's last handle on a connected slot, whether a
// memory is open or not; not open once it gave 0. The handle is kept. The
// library's result, or the check code.
TvnResult TalvernBrdMng::SmemClose(BoardIndex board)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::CONNECTED);
    if (refusal != 0)
        return refusal;
    BoardSlot& slot = boards[board];
    const TvnResult result = slot.entry_points.smem_close(board, slot.smem_handle);
    if (result == 0)
        slot.smem_open = 0;
    return result;
}

// TVN_SmemIsMemSize after all four checks: the size in bytes, a library
// code, or the check code.
TvnResult TalvernBrdMng::SmemIsMemSize(BoardIndex board)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_is_mem_size(board, slot.smem_handle);
}

// The slot's connected flag without the guarded checks; 0 for an index
// that is not a slot in use (those slots never connect).
int32_t TalvernBrdMng::IsConnected(BoardIndex board) const
{
    if (board < 0 || board >= board_count)
        return 0;
    return boards[board].connected;
}

// The typed forwarders: all four checks, then one library call with the
// board index, the slot's handle and the caller's arguments. The library's
// result unchanged, or the check code.

// One byte at offset into dest.
TvnResult TalvernBrdMng::SmemReadByte(BoardIndex board, int32_t offset, uint8_t* dest)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_read_byte(board, slot.smem_handle, offset, dest);
}

// A 16-bit word at offset into dest.
TvnResult TalvernBrdMng::SmemReadWord(BoardIndex board, int32_t offset, uint16_t* dest)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_read_word(board, slot.smem_handle, offset, dest);
}

// A 32-bit word at offset into dest.
TvnResult TalvernBrdMng::SmemReadDWord(BoardIndex board, int32_t offset, uint32_t* dest)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_read_dword(board, slot.smem_handle, offset, dest);
}

// A 64-bit word at offset into dest.
TvnResult TalvernBrdMng::SmemReadLWord(BoardIndex board, int32_t offset, uint64_t* dest)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_read_lword(board, slot.smem_handle, offset, dest);
}

// size bytes from offset into dest.
TvnResult TalvernBrdMng::SmemReadBytes(BoardIndex board, int32_t offset, void* dest, int32_t size)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_read_bytes(board, slot.smem_handle, offset, dest, size);
}

// One byte at offset.
TvnResult TalvernBrdMng::SmemWriteByte(BoardIndex board, int32_t offset, uint8_t value)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_write_byte(board, slot.smem_handle, offset, value);
}

// A 16-bit word at offset.
TvnResult TalvernBrdMng::SmemWriteWord(BoardIndex board, int32_t offset, uint16_t value)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_write_word(board, slot.smem_handle, offset, value);
}

// A 32-bit word at offset.
TvnResult TalvernBrdMng::SmemWriteDWord(BoardIndex board, int32_t offset, uint32_t value)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_write_dword(board, slot.smem_handle, offset, value);
}

// A 64-bit word at offset.
TvnResult TalvernBrdMng::SmemWriteLWord(BoardIndex board, int32_t offset, uint64_t value)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_write_lword(board, slot.smem_handle, offset, value);
}

// size bytes from src to offset.
TvnResult TalvernBrdMng::SmemWriteBytes(BoardIndex board, int32_t offset, const void* src,
                                        int32_t size)
{
    const int32_t refusal = CheckSlot(board, SlotCheck::SMEM_OPEN);
    if (refusal != 0)
        return refusal;
    const BoardSlot& slot = boards[board];
    return slot.entry_points.smem_write_bytes(board, slot.smem_handle, offset, src, size);
}
