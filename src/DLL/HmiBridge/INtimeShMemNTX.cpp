// INtimeShMemNTX.cpp - an INtime memory segment looked up by name and mapped
// through the NTX library.
#include "INtimeShMemNTX.h"

#include <cstring>

namespace {

// Only the low 16 bits of a status or a type returned by NTX count.
constexpr uint32_t NTX_LOW_16_BITS = 0xFFFFu;
// ntxGetRtStatus: the real-time kernel is ready.
constexpr uint32_t NTX_RT_READY = 0;
// ntxUnmapRtSharedMemory: the segment was unmapped.
constexpr uint32_t NTX_UNMAPPED = 0;
// The argument that ntxGetRtStatus, ntxGetRootRtProcess and
// ntxLookupNtxhandle take but do not use.
constexpr uint32_t NTX_UNUSED_ARGUMENT = 0;

// The type of object as NTX reports it.
uint32_t TypeOf(NtxHandle object)
{
    return g_ntx.get_type(object) & NTX_LOW_16_BITS;
}

// Copies name into out when it has at most MAX_NAME_LENGTH characters.
// false (out unchanged) when it is longer.
bool CopyName(char (&out)[INtimeShMemNTX::MAX_NAME_LENGTH + 1], const char* name)
{
    const size_t length = strnlen(name, sizeof(out));
    if (length >= sizeof(out))
        return false;
    memcpy(out, name, length + 1);
    return true;
}

}  // namespace

INtimeShMemNTX::INtimeShMemNTX()
    : last_error(0), mapped(nullptr), root_handle(NTX_NO_HANDLE),
      process_handle(NTX_NO_HANDLE), segment_handle(NTX_NO_HANDLE)
{
    memset(process_name, 0, sizeof(process_name));
    memset(segment_name, 0, sizeof(segment_name));
}

INtimeShMemNTX::~INtimeShMemNTX()
{
    Close();
}

int32_t INtimeShMemNTX::Open(const char* process, const char* segment)
{
    if (!IsNtxLoaded())
        return 0;
    // The process name is tested and stored before the segment name is
    // looked at; a null name keeps the one stored.
    if (process != nullptr && !CopyName(process_name, process)) {
        Fail(NTX_ERR_NAME_TOO_LONG);
        Close();
        return 0;
    }
    if (segment != nullptr && !CopyName(segment_name, segment)) {
        Fail(NTX_ERR_NAME_TOO_LONG);
        Close();
        return 0;
    }
    if (Map())
        return 1;
    Close();
    return 0;
}

int32_t INtimeShMemNTX::CheckStatus(int32_t storing)
{
    // Without the library there is nothing to ask: not in order, no code.
    if (!IsNtxLoaded())
        return 0;
    if ((g_ntx.get_rt_status(NTX_UNUSED_ARGUMENT) & NTX_LOW_16_BITS) != NTX_RT_READY)
        return Fail(NTX_ERR_RT_STATUS);
    const NtxHandle root = g_ntx.get_root_rt_process(NTX_UNUSED_ARGUMENT);
    if (root == NTX_NO_HANDLE)
        return Fail(NTX_ERR_NO_ROOT);
    if (TypeOf(root) != NTX_TYPE_PROCESS)
        return Fail(NTX_ERR_BAD_TYPE);

    NtxHandle process = root;
    if (process_name[0] != '\0') {
        process = g_ntx.lookup_ntxhandle(root, process_name, NTX_UNUSED_ARGUMENT);
        if (process == NTX_NO_HANDLE)
            return Fail(NTX_ERR_NO_PROCESS);
        if (TypeOf(process) != NTX_TYPE_PROCESS)
            return Fail(NTX_ERR_BAD_TYPE);
    }

    const NtxHandle segment = g_ntx.lookup_ntxhandle(process, segment_name, NTX_UNUSED_ARGUMENT);
    if (segment == NTX_NO_HANDLE)
        return Fail(NTX_ERR_NO_SEGMENT);
    if (TypeOf(segment) != NTX_TYPE_SEGMENT)
        return Fail(NTX_ERR_BAD_TYPE);

    if (storing) {
        root_handle = root;
        process_handle = process;
        segment_handle = segment;
        return 1;
    }
    return mapped != nullptr ? 1 : 0;
}

int32_t INtimeShMemNTX::Map()
{
    if (!CheckStatus(1))
        return 0;
    // A failed map sets no code; the last one stays.
    mapped = static_cast<uint8_t*>(g_ntx.map_rt_shared_memory(segment_handle));
    return mapped != nullptr ? 1 : 0;
}

uint8_t* INtimeShMemNTX::GetPointer(int32_t offset)
{
    return CheckStatus(0) ? mapped + offset : nullptr;
}

int32_t INtimeShMemNTX::Close()
{
    return Unmap();
}

int32_t INtimeShMemNTX::Unmap()
{
    if (mapped == nullptr)
        return 1;
    // A refused unmap keeps the address, so that a later close tries again.
    if (g_ntx.unmap_rt_shared_memory(segment_handle) != NTX_UNMAPPED)
        return Fail(NTX_ERR_UNMAP);
    mapped = nullptr;
    return 1;
}

uint16_t INtimeShMemNTX::GetLastError() const
{
    return last_error;
}

int32_t INtimeShMemNTX::Fail(uint16_t code)
{
    last_error = code;
    return 0;
}
