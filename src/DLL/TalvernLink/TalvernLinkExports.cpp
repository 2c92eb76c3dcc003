// TalvernLinkExports.cpp - the 20 exported TVN_ functions and the table of
// board connections they share.
//
// Every function follows the same steps: the entry line (only connect,
// disconnect, shared-memory open, close, size and the clock call have one),
// the board index check, the look-up of the index's entry, the work of one
// Talvern operation, and then the "OK" line for a result of 0 or more or the
// "NG" line with the result in hexadecimal for a negative one. A board status
// word arrives here sign-extended, so the sign alone decides the path.
#include <new>

#include "LinkConnections.h"
#include "LinkLog.h"
#include "Talvern.h"
#include "TalvernLink.h"

Talvern* g_connections[MAX_BOARDS];

namespace {

// True for a board index 0..MAX_BOARDS-1; every negative index is refused
// too, since the index is compared as an unsigned number.
bool IsBoardIndex(BoardIndex board)
{
    return static_cast<uint32_t>(board) < static_cast<uint32_t>(MAX_BOARDS);
}

// The connection of board for every call but TVN_Connect. Returns null and
// sets refusal to TVN_ERR_BAD_INDEX or TVN_ERR_NOT_OPEN when the call cannot
// go on; then nothing reaches the board.
Talvern* FindConnection(BoardIndex board, TvnResult& refusal)
{
    if (!IsBoardIndex(board)) {
        refusal = TVN_ERR_BAD_INDEX;
        return nullptr;
    }
    Talvern* connection = g_connections[board];
    if (connection == nullptr)
        refusal = TVN_ERR_NOT_OPEN;
    return connection;
}

// The result as the "Ret(%xh)" of a failure line shows it: its 32 bits as an
// unsigned number (-3 shows as fffffffd).
unsigned Hex(TvnResult result)
{
    return static_cast<uint32_t>(result);
}

// A word that TVN_GetVersion or TVN_GetBoardNumber stored, for its "OK"
// line; 0 for a word the caller did not ask for (null pointer).
unsigned StoredWord(const uint16_t* word)
{
    return word != nullptr ? *word : 0u;
}

// Writes the "OK" line "<name>: OK" (type LINK_LOG_CALL) or the "NG" line
// "<name>: NG: Ret(%xh)" of a call, the lines most functions share, and
// returns result unchanged.
TvnResult LogOutcome(BoardIndex board, const char* name, TvnResult result)
{
    if (result >= 0)
        LinkLogLine(LINK_LOG_CALL, "%s(%d) %s: OK", LINK_LOG_PREFIX, board, name);
    else
        LinkLogLine(LINK_LOG_FAILURE, "%s(%d) %s: NG: Ret(%xh)", LINK_LOG_PREFIX, board, name,
                    Hex(result));
    return result;
}

TvnResult ReadFromBoard(BoardIndex board, SmemHandle handle, int32_t offset, void* dest,
                        uint32_t size)
{
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->SmemRead(handle, offset, dest, size);
    return result;
}

TvnResult WriteToBoard(BoardIndex board, SmemHandle handle, int32_t offset, const void* src,
                       uint32_t size)
{
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->SmemWrite(handle, offset, src, size);
    return result;
}

}  // namespace

void CloseConnection(BoardIndex board)
{
    Talvern* connection = g_connections[board];
    if (connection == nullptr)
        return;
    connection->Close();
    delete connection;
    g_connections[board] = nullptr;
}

// Connects board to ip_address:port. 0; TVN_ERR_BAD_INDEX; TVN_ERR_ALREADY_CONNECTED
// (the existing connection is left alone); TVN_ERR_COMM when the board cannot
// be reached, after which the entry is empty again.
TvnResult TVN_API TVN_Connect(BoardIndex board, const char* ip_address, int32_t port)
{
    LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_Connect IP(%s) Port(%d)", LINK_LOG_PREFIX, board,
                ip_address, port);
    TvnResult result;
    if (!IsBoardIndex(board)) {
        result = TVN_ERR_BAD_INDEX;
    } else if (g_connections[board] != nullptr) {
        result = TVN_ERR_ALREADY_CONNECTED;
    } else {
        // The entry holds the connection while it connects; a failed connect
        // empties it again so the index is free for the next attempt.
        g_connections[board] = new (std::nothrow) Talvern();
        if (g_connections[board] == nullptr)
            result = TVN_ERR_COMM;
        else
            result = g_connections[board]->Connect(ip_address, port);
        if (result < 0)
            CloseConnection(board);
    }
    if (result >= 0)
        LinkLogLine(LINK_LOG_CONNECTION, "%s(%d) TVN_Connect: OK: Ret(%xh)", LINK_LOG_PREFIX,
                    board, Hex(result));
    else
        LinkLogLine(LINK_LOG_FAILURE, "%s(%d) TVN_Connect NG: Ret(%xh)", LINK_LOG_PREFIX, board,
                    Hex(result));
    return result;
}

// Closes and deletes the connection of board without sending anything to
// the board. 0, TVN_ERR_BAD_INDEX or TVN_ERR_NOT_OPEN.
TvnResult TVN_API TVN_DisConnect(BoardIndex board)
{
    LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_DisConnect", LINK_LOG_PREFIX, board);
    TvnResult result;
    if (FindConnection(board, result)) {
        CloseConnection(board);
        result = 0;
    }
    if (result >= 0)
        LinkLogLine(LINK_LOG_CONNECTION, "%s(%d) TVN_DisConnect: OK", LINK_LOG_PREFIX, board);
    else
        LinkLogLine(LINK_LOG_FAILURE, "%s(%d) TVN_DisConnect: NG: Ret(%xh)", LINK_LOG_PREFIX,
                    board, Hex(result));
    return result;
}

// Opens the board's shared memory name. The handle (0 or more), a TVN_ERR_
// code or the board's status.
TvnResult TVN_API TVN_SmemOpen(BoardIndex board, const char* name)
{
    LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_SmemOpen: ShmemName(%s)", LINK_LOG_PREFIX, board,
                name);
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->SmemOpen(name);
    if (result >= 0)
        LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_SmemOpen: OK Ret(%xh)", LINK_LOG_PREFIX, board,
                    Hex(result));
    else
        LinkLogLine(LINK_LOG_FAILURE, "%s(%d) TVN_SmemOpen: NG: Ret(%xh)", LINK_LOG_PREFIX,
                    board, Hex(result));
    return result;
}

// Closes the shared memory open on board's connection. 0, a TVN_ERR_ code
// or the board's status.
TvnResult TVN_API TVN_SmemClose(BoardIndex board, SmemHandle handle)
{
    LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_SmemClose: Handle(%d)", LINK_LOG_PREFIX, board,
                handle);
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->SmemClose(handle);
    return LogOutcome(board, "TVN_SmemClose", result);
}

// Size in bytes of the open shared memory, a TVN_ERR_ code or the board's
// status. A size of 2^31 or more comes out negative and counts as a failure.
TvnResult TVN_API TVN_SmemIsMemSize(BoardIndex board, SmemHandle handle)
{
    LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_SmemIsMemSize: Handle(%d)", LINK_LOG_PREFIX, board,
                handle);
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->SmemIsMemSize(handle);
    if (result >= 0)
        LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_SmemIsMemSize: OK: Size(%d)", LINK_LOG_PREFIX,
                    board, result);
    else
        LinkLogLine(LINK_LOG_FAILURE, "%s(%d) TVN_SmemIsMemSize:  NG: Ret(%xh)", LINK_LOG_PREFIX,
                    board, Hex(result));
    return result;
}

// Sends the shutdown notice. 0, a TVN_ERR_ code or the board's status.
TvnResult TVN_API TVN_ShutdownNotify(BoardIndex board)
{
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->ShutdownNotify();
    return LogOutcome(board, "TVN_ShutdownNotify", result);
}

// Sets the board clock from time (year, month, day, hour, minute, second).
// 0, a TVN_ERR_ code or the board's status. The record is read for the entry
// line before the board index is checked.
TvnResult TVN_API TVN_SetDateTime(BoardIndex board, const SYSTEMTIME* time)
{
    LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_SetDateTime: SystemTime(%d/%d/%d %d:%d:%d)",
                LINK_LOG_PREFIX, board, time->wYear, time->wMonth, time->wDay, time->wHour,
                time->wMinute, time->wSecond);
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->SetDateTime(time);
    return LogOutcome(board, "TVN_SetDateTime", result);
}

// Resets the board. 0, a TVN_ERR_ code or the board's status.
TvnResult TVN_API TVN_Reset(BoardIndex board)
{
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->Reset();
    return LogOutcome(board, "TVN_Reset", result);
}

// Stores the board's hardware and software versions. 0, a TVN_ERR_ code or
// the board's status; on failure neither word is touched.
TvnResult TVN_API TVN_GetVersion(BoardIndex board, uint16_t* hardware_version,
                                 uint16_t* software_version)
{
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->GetBoardInfo(hardware_version, software_version, nullptr);
    if (result >= 0)
        LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_GetVersion: OK Hver(%xh) Sver(%xh)",
                    LINK_LOG_PREFIX, board, StoredWord(hardware_version),
                    StoredWord(software_version));
    else
        LinkLogLine(LINK_LOG_FAILURE, "%s(%d) TVN_GetVersion: NG: Ret(%xh)", LINK_LOG_PREFIX,
                    board, Hex(result));
    return result;
}

// Stores the board's number. 0, a TVN_ERR_ code or the board's status; on
// failure the word is not touched.
TvnResult TVN_API TVN_GetBoardNumber(BoardIndex board, uint16_t* board_number)
{
    TvnResult result;
    if (Talvern* connection = FindConnection(board, result))
        result = connection->GetBoardInfo(nullptr, nullptr, board_number);
    if (result >= 0)
        LinkLogLine(LINK_LOG_CALL, "%s(%d) TVN_GetBoardNumber: OK Bnumber(%xh)", LINK_LOG_PREFIX,
                    board, StoredWord(board_number));
    else
        LinkLogLine(LINK_LOG_FAILURE, "%s(%d) TVN_GetBoardNumber: NG: Ret(%xh)", LINK_LOG_PREFIX,
                    board, Hex(result));
    return result;
}

// The reads: each stores its width (or size) of bytes at dest, only when it
// returns 0; otherwise a TVN_ERR_ code or the board's status.

TvnResult TVN_API TVN_SmemReadByte(BoardIndex board, SmemHandle handle, int32_t offset,
                                   uint8_t* dest)
{
    TvnResult result = ReadFromBoard(board, handle, offset, dest, sizeof(*dest));
    return LogOutcome(board, "TVN_SmemReadByte", result);
}

TvnResult TVN_API TVN_SmemReadWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                   uint16_t* dest)
{
    TvnResult result = ReadFromBoard(board, handle, offset, dest, sizeof(*dest));
    return LogOutcome(board, "TVN_SmemReadWord", result);
}

TvnResult TVN_API TVN_SmemReadDWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint32_t* dest)
{
    TvnResult result = ReadFromBoard(board, handle, offset, dest, sizeof(*dest));
    return LogOutcome(board, "TVN_SmemReadDWord", result);
}

TvnResult TVN_API TVN_SmemReadLWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint64_t* dest)
{
    TvnResult result = ReadFromBoard(board, handle, offset, dest, sizeof(*dest));
    return LogOutcome(board, "TVN_SmemReadLWord", result);
}

TvnResult TVN_API TVN_SmemReadBytes(BoardIndex board, SmemHandle handle, int32_t offset,
                                    void* dest, int32_t size)
{
    TvnResult result = ReadFromBoard(board, handle, offset, dest, static_cast<uint32_t>(size));
    return LogOutcome(board, "TVN_SmemReadBytes", result);
}

// The writes: the typed ones send their value's bytes, low byte first (the
// parameter is a variable of the value's own width); TVN_SmemWriteBytes sends
// size bytes from src. 0, a TVN_ERR_ code or the board's status.

TvnResult TVN_API TVN_SmemWriteByte(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint8_t value)
{
    TvnResult result = WriteToBoard(board, handle, offset, &value, sizeof(value));
    return LogOutcome(board, "TVN_SmemWriteByte", result);
}

TvnResult TVN_API TVN_SmemWriteWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                    uint16_t value)
{
    TvnResult result = WriteToBoard(board, handle, offset, &value, sizeof(value));
    return LogOutcome(board, "TVN_SmemWriteWord", result);
}

TvnResult TVN_API TVN_SmemWriteDWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                     uint32_t value)
{
    TvnResult result = WriteToBoard(board, handle, offset, &value, sizeof(value));
    return LogOutcome(board, "TVN_SmemWriteDWord", result);
}

TvnResult TVN_API TVN_SmemWriteLWord(BoardIndex board, SmemHandle handle, int32_t offset,
                                     uint64_t value)
{
    TvnResult result = WriteToBoard(board, handle, offset, &value, sizeof(value));
    return LogOutcome(board, "TVN_SmemWriteLWord", result);
}

TvnResult TVN_API TVN_SmemWriteBytes(BoardIndex board, SmemHandle handle, int32_t offset,
                                     const void* src, int32_t size)
{
    TvnResult result = WriteToBoard(board, handle, offset, src, static_cast<uint32_t>(size));
    return LogOutcome(board, "TVN_SmemWriteBytes", result);
}
