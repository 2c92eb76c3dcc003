// SmemCtrl.cpp - the open sequence, reachability, address translation and
// the typed accesses of the bridge's one shared memory.
#include "SmemCtrl.h"

#include <cstring>
#include <limits>
#include <new>

#include "GuardedMemory.h"
#include "PlcString.h"

namespace {

// Zero-fills out and copies text into it, cut to fit with its NUL.
void CopyCut(char (&out)[MAX_PATH], const char* text)
{
    memset(out, 0, sizeof(out));
    if (text != nullptr)
        strncpy(out, text, sizeof(out) - 1);
}

// HMI_SmemOpen's INtime open error: all ones in the high half, the NTX code
// in the low half (never one of -1 to -5).
int32_t INtimeOpenError(uint16_t code)
{
    return SMEM_INTIME_OPEN_ERROR(code);
}

// Bytes that a string access of length characters spans: header,
// characters and terminator, without 32-bit wrap-around.
uint64_t PlcStringSpan(uint32_t length)
{
    return static_cast<uint64_t>(length) + PLC_STRING_HEADER_SIZE + PLC_STRING_TERMINATOR_SIZE;
}

// Size of the view that starts at base, as the system mapped it.
uint64_t MappedViewSize(const void* base)
{
    MEMORY_BASIC_INFORMATION info;
    if (base == nullptr || VirtualQuery(base, &info, sizeof(info)) != sizeof(info))
        return 0;
    return info.RegionSize;
}

}  // namespace

SmemCtrl::SmemCtrl(const char* name, int32_t type, int32_t size, int32_t seq_type,
                   int32_t timeout, int32_t offset, const char* ip_address, int32_t port)
    : mem_type(type),
      mem_size(static_cast<uint32_t>(size)),
      open_seq_type(seq_type),
      open_timeout(static_cast<uint32_t>(timeout)),
      pcos_offset(offset),
      open_port(port),
      base(nullptr),
      ntx_shmem(nullptr),
      win_map(nullptr),
      brd_mng(nullptr),
      opened(0),
      view_size(0)
{
    CopyCut(mem_name, name);
    CopyCut(open_ip_address, ip_address);
    if (mem_type == MEMTYPE_BOARD) {
        brd_mng = new (std::nothrow) TalvernBrdMng();
        if (brd_mng != nullptr)
            brd_mng->ConnectAll(open_ip_address, open_port);
    }
}

SmemCtrl::~SmemCtrl()
{
    Close();
}

int32_t SmemCtrl::Open()
{
    if (opened == 1)
        return SMEM_ERR_ALREADY_OPEN;
    if (mem_type != MEMTYPE_INTIME && mem_type != MEMTYPE_WINDOWS && mem_type != MEMTYPE_BOARD) {
        mem_type = MEMTYPE_NONE;
        return SMEM_ERR_BAD_TYPE;
    }

    if (mem_type == MEMTYPE_INTIME) {
        uint32_t failed = 0;
        for (;;) {
            const int32_t result = AttemptINtime();
            if (result == 0)
                return Opened();
            if (open_seq_type == OPENSEQ_ONCE)
                return result;
            if (open_seq_type == OPENSEQ_RETRY) {
                Sleep(RETRY_PAUSE_MS);
                ++failed;
                if (failed < open_timeout)
                    continue;
                return result;
            }
            if (open_seq_type != OPENSEQ_FALLBACK)
                return Opened();  // any other sequence: opened without memory
            if (ntx_shmem != nullptr) {
                ntx_shmem->Close();
                delete ntx_shmem;
                ntx_shmem = nullptr;
            }
            mem_type = MEMTYPE_WINDOWS;  // for the life of the controller
            break;
        }
    }

    if (mem_type == MEMTYPE_WINDOWS) {
        const int32_t result = OpenWindows();
        if (result != 0)
            return result;
    }

    if (mem_type == MEMTYPE_BOARD && brd_mng != nullptr)
        brd_mng->SmemOpen(BOARD, mem_name);  // the outcome shows in the board calls
    return Opened();
}

int32_t SmemCtrl::AttemptINtime()
{
    if (ntx_shmem != nullptr) {
        // Opened by an earlier attempt, but its status check failed then.
        base = ntx_shmem->GetPointer(0);
    } else {
        ntx_shmem = new (std::nothrow) INtimeShMemNTX();
        if (ntx_shmem == nullptr)
            return INtimeOpenError(0);
        if (ntx_shmem->Open(nullptr, mem_name)) {
            base = ntx_shmem->GetPointer(0);
        } else {
            const int32_t result = INtimeOpenError(ntx_shmem->GetLastError());
            ntx_shmem->Close();
            delete ntx_shmem;
            ntx_shmem = nullptr;
            base = nullptr;
            return result;
        }
    }
    return base != nullptr ? 0 : INtimeOpenError(ntx_shmem->GetLastError());
}

int32_t SmemCtrl::OpenWindows()
{
    if (win_map == nullptr) {
        // The mapping's name: the memory name and the suffix. A name that
        // does not fit is refused, never cut (a cut name is another mapping).
        char map_name[MAX_PATH];
        const size_t name_length = strlen(mem_name);
        const size_t suffix_length = strlen(WINDOWS_NAME_SUFFIX);
        if (name_length + suffix_length >= sizeof(map_name))
            return ERROR_FILENAME_EXCED_RANGE;
        memcpy(map_name, mem_name, name_length);
        memcpy(map_name + name_length, WINDOWS_NAME_SUFFIX, suffix_length + 1);

        win_map = new (std::nothrow) MapFile();
        if (win_map == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        if (!win_map->Create(map_name, static_cast<int32_t>(mem_size))) {
            DWORD error = GetLastError();
            if (error == 0)
                error = ERROR_INVALID_HANDLE;  // never report a failed open as 0
            win_map->Close();
            delete win_map;
            win_map = nullptr;
            base = nullptr;
            return static_cast<int32_t>(error);
        }
    }
    base = static_cast<uint8_t*>(win_map->GetPointer());
    view_size = MappedViewSize(base);
    return 0;
}

int32_t SmemCtrl::Opened()
{
    opened = 1;
    return 0;
}

void SmemCtrl::Close()
{
    if (mem_type == MEMTYPE_INTIME && ntx_shmem != nullptr) {
        ntx_shmem->Close();
        delete ntx_shmem;
        ntx_shmem = nullptr;
        base = nullptr;
    }
    if (mem_type == MEMTYPE_WINDOWS && win_map != nullptr) {
        win_map->Close();
        delete win_map;
        win_map = nullptr;
        base = nullptr;
        view_size = 0;
    }
    if (mem_type == MEMTYPE_BOARD && brd_mng != nullptr) {
        brd_mng->SmemClose(BOARD);
        brd_mng->DisConnectAll();
        delete brd_mng;
        brd_mng = nullptr;
    }
    opened = 0;
}

int32_t SmemCtrl::IsExist()
{
    switch (mem_type) {
    case MEMTYPE_INTIME:
        if (!ProbeMemory())
            base = nullptr;
        return base != nullptr ? 1 : 0;
    case MEMTYPE_WINDOWS:
        return base != nullptr ? 1 : 0;
    case MEMTYPE_BOARD:
        return brd_mng != nullptr ? brd_mng->IsConnected(BOARD) : 0;
    default:
        return 0;
    }
}

// Out of line, so that IsExist stays short enough to go in line in the
// typed accesses.
__attribute__((noinline)) int32_t SmemCtrl::ProbeMemory()
{
    if (ntx_shmem == nullptr)
        return 0;
    // The read is made every time; a read through a null base counts as a
    // faulting one.
    uint32_t first_word;
    if (base != nullptr && GuardedMemory::FromSegment(nullptr, &first_word, base,
                                                      sizeof(first_word)) == GuardedMemory::DONE)
        return 1;
    return ntx_shmem->CheckStatus(0) ? 1 : 0;
}

int32_t SmemCtrl::ToOffset(int32_t address, uint32_t size) const
{
    const int64_t offset = static_cast<int64_t>(address) - pcos_offset;
    if (offset < 0 || offset > std::numeric_limits<int32_t>::max())
        return -1;
    if (static_cast<uint64_t>(offset) + size > mem_size)
        return -1;
    return static_cast<int32_t>(offset);
}

int32_t SmemCtrl::IsOpened() const
{
    return opened;
}

int32_t SmemCtrl::IsMemSize()
{
    if (opened != 1 || !IsExist())
        return 0;
    if (mem_type == MEMTYPE_BOARD)
        return brd_mng->SmemIsMemSize(BOARD);
    return static_cast<int32_t>(mem_size);
}

int32_t SmemCtrl::IsMemType()
{
    return (opened == 1 && IsExist()) ? mem_type : 0;
}

int32_t SmemCtrl::IsPCosOffset()
{
    return (opened == 1 && IsExist()) ? pcos_offset : 0;
}

// --- typed access ---

int32_t SmemCtrl::Locate(int32_t address, uint64_t size, int32_t* offset)
{
    if (!IsOpened())
        return SMEM_ERR_NOT_OPEN;
    if (!IsExist())
        return SMEM_ERR_NOT_EXIST;
    if (size > UINT32_MAX)
        return SMEM_ERR_RANGE;  // no memory is that large
    *offset = ToOffset(address, static_cast<uint32_t>(size));
    if (*offset < 0)
        return SMEM_ERR_RANGE;
    if (mem_type == MEMTYPE_WINDOWS && static_cast<uint64_t>(*offset) + size > view_size)
        return SMEM_ERR_RANGE;
    return 0;
}

int32_t SmemCtrl::CopyFromMemory(uint32_t offset, void* dest, uint32_t size)
{
    if (mem_type != MEMTYPE_INTIME) {
        memcpy(dest, base + offset, size);
        return 0;
    }
    if (GuardedMemory::FromSegment(nullptr, dest, base + offset, size) == GuardedMemory::DONE)
        return 0;
    base = nullptr;  // the segment has gone: unreachable until reopened
    return SMEM_ERR_NOT_EXIST;
}

int32_t SmemCtrl::CopyToMemory(uint32_t offset, const void* src, uint32_t size)
{
    if (mem_type != MEMTYPE_INTIME) {
        memcpy(base + offset, src, size);
        return 0;
    }
    if (GuardedMemory::ToSegment(nullptr, base + offset, src, size) == GuardedMemory::DONE)
        return 0;
    base = nullptr;
    return SMEM_ERR_NOT_EXIST;
}

// In line in each typed access: the INtime type's fast path.
__attribute__((always_inline)) inline int32_t SmemCtrl::TransferINtime(
    int32_t address, uint32_t size, void* to_caller, const void* from_caller)
{
    if (!IsOpened())
        return SMEM_ERR_NOT_OPEN;
    const int32_t offset = ToOffset(address, size);
    if (ntx_shmem != nullptr && base != nullptr) {
        // Outside the memory: the probe alone (nothing is copied).
        const uint32_t count = offset < 0 ? 0 : size;
        uint8_t* at = offset < 0 ? base : base + offset;
        const GuardedMemory::Outcome outcome =
            to_caller != nullptr ? GuardedMemory::FromSegment(base, to_caller, at, count)
                                 : GuardedMemory::ToSegment(base, at, from_caller, count);
        if (outcome == GuardedMemory::DONE)
            return offset < 0 ? SMEM_ERR_RANGE : 0;
        if (outcome == GuardedMemory::SEGMENT_FAULTED) {
            base = nullptr;  // the segment has gone: unreachable until reopened
            return SMEM_ERR_NOT_EXIST;
        }
    }
    // The probe's read faulted (or there is nothing to read): the same road
    // as Locate's.
    if (!IsExist())
        return SMEM_ERR_NOT_EXIST;
    if (offset < 0)
        return SMEM_ERR_RANGE;
    return to_caller != nullptr ? CopyFromMemory(offset, to_caller, size)
                                : CopyToMemory(offset, from_caller, size);
}

int32_t SmemCtrl::BoardResult(TvnResult result)
{
    // A failed board request is reported, never taken for the board's data.
    return result == 0 ? 0 : SMEM_ERR_NOT_EXIST;
}

template <typename Raw>
int32_t SmemCtrl::ReadValue(int32_t address, Raw* value,
                            TvnResult (TalvernBrdMng::*board_read)(BoardIndex, int32_t, Raw*))
{
    *value = 0;
    if (mem_type == MEMTYPE_INTIME) {
        Raw read;
        const int32_t result = TransferINtime(address, sizeof(read), &read, nullptr);
        if (result == 0)
            *value = read;
        return result;
    }
    int32_t offset = 0;
    int32_t result = Locate(address, sizeof(Raw), &offset);
    if (result != 0)
        return result;
    Raw read;
    if (mem_type == MEMTYPE_BOARD) {
        read = 0;
        result = BoardResult((brd_mng->*board_read)(BOARD, offset, &read));
    } else {
        result = CopyFromMemory(offset, &read, sizeof(read));
    }
    if (result == 0)
        *value = read;
    return result;
}

template <typename Raw>
int32_t SmemCtrl::WriteValue(int32_t address, Raw value,
                             TvnResult (TalvernBrdMng::*board_write)(BoardIndex, int32_t, Raw))
{
    if (mem_type == MEMTYPE_INTIME)
        return TransferINtime(address, sizeof(value), nullptr, &value);
    int32_t offset = 0;
    const int32_t result = Locate(address, sizeof(Raw), &offset);
    if (result != 0)
        return result;
    if (mem_type == MEMTYPE_BOARD)
        return BoardResult((brd_mng->*board_write)(BOARD, offset, value));
    return CopyToMemory(offset, &value, sizeof(value));
}

int32_t SmemCtrl::ReadByte(int32_t address, uint8_t* value)
{
    return ReadValue(address, value, &TalvernBrdMng::SmemReadByte);
}

int32_t SmemCtrl::ReadWord(int32_t address, uint16_t* value)
{
    return ReadValue(address, value, &TalvernBrdMng::SmemReadWord);
}

int32_t SmemCtrl::ReadDWord(int32_t address, uint32_t* value)
{
    return ReadValue(address, value, &TalvernBrdMng::SmemReadDWord);
}

// A real is read as its bits and stored with an integer copy: loading it as
// a floating-point value (the x87 unit of a 32-bit build does) would quiet
// a signalling NaN.
int32_t SmemCtrl::ReadReal(int32_t address, float* value)
{
    uint32_t bits;
    const int32_t result = ReadValue(address, &bits, &TalvernBrdMng::SmemReadDWord);
    memcpy(value, &bits, sizeof(bits));
    return result;
}

int32_t SmemCtrl::ReadLReal(int32_t address, double* value)
{
    uint64_t bits;
    const int32_t result = ReadValue(address, &bits, &TalvernBrdMng::SmemReadLWord);
    memcpy(value, &bits, sizeof(bits));
    return result;
}

int32_t SmemCtrl::WriteByte(int32_t address, uint8_t value)
{
    return WriteValue(address, value, &TalvernBrdMng::SmemWriteByte);
}

int32_t SmemCtrl::WriteWord(int32_t address, uint16_t value)
{
    return WriteValue(address, value, &TalvernBrdMng::SmemWriteWord);
}

int32_t SmemCtrl::WriteDWord(int32_t address, uint32_t value)
{
    return WriteValue(address, value, &TalvernBrdMng::SmemWriteDWord);
}

int32_t SmemCtrl::WriteReal(int32_t address, uint32_t bits)
{
    return WriteValue(address, bits, &TalvernBrdMng::SmemWriteDWord);
}

int32_t SmemCtrl::WriteLReal(int32_t address, uint64_t bits)
{
    return WriteValue(address, bits, &TalvernBrdMng::SmemWriteLWord);
}

int32_t SmemCtrl::ReadBytes(int32_t address, void* buffer, uint32_t length)
{
    int32_t offset = 0;
    const int32_t result = Locate(address, length, &offset);
    if (result != 0)
        return result;
    if (mem_type == MEMTYPE_BOARD) {
        return BoardResult(
            brd_mng->SmemReadBytes(BOARD, offset, buffer, static_cast<int32_t>(length)));
    }
    return CopyFromMemory(offset, buffer, length);
}

int32_t SmemCtrl::WriteBytes(int32_t address, const void* buffer, uint32_t length)
{
    int32_t offset = 0;
    const int32_t result = Locate(address, length, &offset);
    if (result != 0)
        return result;
    if (mem_type == MEMTYPE_BOARD) {
        return BoardResult(
            brd_mng->SmemWriteBytes(BOARD, offset, buffer, static_cast<int32_t>(length)));
    }
    return CopyToMemory(offset, buffer, length);
}

int32_t SmemCtrl::ReadString(int32_t address, char* buffer, uint32_t length)
{
    int32_t offset = 0;
    int32_t result = Locate(address, PlcStringSpan(length), &offset);
    if (result != 0)
        return result;
    const uint32_t chars = static_cast<uint32_t>(offset) + PLC_STRING_HEADER_SIZE;
    if (mem_type == MEMTYPE_BOARD) {
        return BoardResult(
            brd_mng->SmemReadBytes(BOARD, chars, buffer, static_cast<int32_t>(length)));
    }
    uint32_t count = length;
    if (mem_type == MEMTYPE_INTIME) {
        PlcString header;
        result = CopyFromMemory(offset, &header, sizeof(header));
        if (result != 0)
            return result;
        if (header.cur_length < count)
            count = header.cur_length;
    }
    return CopyFromMemory(chars, buffer, count);
}

int32_t SmemCtrl::WriteString(int32_t address, const char* chars, uint32_t length)
{
    int32_t offset = 0;
    int32_t result = Locate(address, PlcStringSpan(length), &offset);
    if (result != 0)
        return result;
    const uint32_t chars_offset = static_cast<uint32_t>(offset) + PLC_STRING_HEADER_SIZE;
    if (mem_type == MEMTYPE_BOARD) {
        // Three requests, stopping at the first that fails: length, characters,
        // terminator. The header's capacity is not read.
        result = BoardResult(brd_mng->SmemWriteWord(BOARD, offset + PLC_STRING_CUR_LENGTH_OFFSET,
                                                    static_cast<uint16_t>(length)));
        if (result == 0) {
            result = BoardResult(brd_mng->SmemWriteBytes(BOARD, chars_offset, chars,
                                                         static_cast<int32_t>(length)));
        }
        if (result == 0)
            result = BoardResult(brd_mng->SmemWriteByte(BOARD, chars_offset + length, 0));
        return result;
    }
    uint32_t count = length;
    if (mem_type == MEMTYPE_INTIME) {
        // The PLC side's capacity bounds what is stored.
        PlcString header;
        result = CopyFromMemory(offset, &header, sizeof(header));
        if (result != 0)
            return result;
        if (header.max_length < count)
            count = header.max_length;
    }
    const uint16_t cur_length = static_cast<uint16_t>(count);
    const char terminator = 0;
    result = CopyToMemory(offset + PLC_STRING_CUR_LENGTH_OFFSET, &cur_length, sizeof(cur_length));
    if (result == 0)
        result = CopyToMemory(chars_offset, chars, count);
    if (result == 0)
        result = CopyToMemory(chars_offset + count, &terminator, sizeof(terminator));
    return result;
}

int32_t SmemCtrl::GetStringLength(int32_t address, int32_t* length)
{
    *length = 0;
    int32_t offset = 0;
    int32_t result = Locate(address, PLC_STRING_LENGTH_QUERY_SIZE, &offset);
    if (result != 0)
        return result;
    PlcString header;
    if (mem_type == MEMTYPE_BOARD) {
        // One request for the whole header.
        result = BoardResult(brd_mng->SmemReadBytes(BOARD, offset, &header, sizeof(header)));
    } else {
        result = CopyFromMemory(offset, &header, sizeof(header));
    }
    if (result == 0)
        *length = PlcStringLength(header);
    return result;
}

uint8_t* SmemCtrl::GetPointer(int32_t offset)
{
    if (mem_type == MEMTYPE_BOARD)
        return nullptr;
    if (!IsOpened() || !IsExist())
        return nullptr;
    return base + offset;
}
