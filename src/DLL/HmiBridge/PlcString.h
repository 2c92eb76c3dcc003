// PlcString.h - the layout of a PLC string in shared memory, as HMI programs
// and the PLC runtime share it: a header of two little-endian 16-bit words,
// then the characters (one byte each, no conversion), then a terminating 0
// that the bridge writes after the characters in use.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct PlcString {
    uint16_t max_length;  // capacity in characters; written by the PLC side only
    uint16_t cur_length;  // characters in use
    // max_length characters follow, then room for the terminator.
};
#pragma pack(pop)

static_assert(sizeof(PlcString) == 4, "PLC string header is 4 bytes");
static_assert(offsetof(PlcString, max_length) == 0, "max_length at offset 0");
static_assert(offsetof(PlcString, cur_length) == 2, "cur_length at offset 2");

constexpr uint32_t PLC_STRING_HEADER_SIZE = sizeof(PlcString);
constexpr uint32_t PLC_STRING_CUR_LENGTH_OFFSET = offsetof(PlcString, cur_length);
constexpr uint32_t PLC_STRING_TERMINATOR_SIZE = 1;
// Bytes that must lie inside the memory for a length query (more than the
// header it reads: the PLC side's own rule).
constexpr uint32_t PLC_STRING_LENGTH_QUERY_SIZE = 6;

// Characters of a string whose header reads max_length and cur_length, as a
// length query reports them: cur_length when the header is consistent (a
// capacity, and no more characters in use than it), else 0.
inline int32_t PlcStringLength(const PlcString& header)
{
    return (header.max_length != 0 && header.max_length >= header.cur_length)
               ? static_cast<int32_t>(header.cur_length)
               : 0;
}
