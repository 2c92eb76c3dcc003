// BoardProtocol.h - the board's TCP request/reply records.
//
// Every request is a RequestHeader followed by its payload; every reply is a
// ReplyHeader followed by reply data of a fixed length per command. All
// integers are little-endian and the records are packed: on x86 and x64 the
// in-memory layout below is the wire layout byte for byte. The board
// simulator of the tests speaks the same records through this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace board {

enum Command : uint16_t {
    CMD_SMEM_OPEN = 1,
    CMD_SMEM_CLOSE = 2,
    CMD_SMEM_WRITE = 3,
    CMD_SMEM_READ = 4,
    CMD_SMEM_IS_MEM_SIZE = 5,
    CMD_SHUTDOWN_NOTIFY = 6,
    CMD_SET_DATE_TIME = 7,
    CMD_RESET = 8,
    CMD_GET_BOARD_INFO = 9,
};

#pragma pack(push, 1)

struct RequestHeader {
    uint8_t mac_address[6];  // hardware address of the PC's adapter, or zeros
    uint16_t sequence;       // low 16 bits of the connection's request counter
    uint16_t command;        // Command
    uint32_t length;         // payload bytes after this header
};

// Offsets 0..9 and 12..15 are not examined by the client; our simulator
// mirrors the request there (sequence, command, data length) so that
// captures read easily.
struct ReplyHeader {
    uint16_t sequence;  // echo of the request's sequence
    uint16_t command;   // echo of the request's command
    uint32_t length;    // reply data bytes after this header
    uint16_t reserved;
    int16_t status;     // 0 success, anything else the board's error
    uint32_t reserved2;
};

// Payloads (after RequestHeader).
struct HandlePayload {  // CMD_SMEM_CLOSE, CMD_SMEM_IS_MEM_SIZE
    int32_t handle;
};
struct ReadPayload {  // CMD_SMEM_READ
    int32_t handle;
    int32_t offset;
    uint32_t size;
};
struct WritePayload {  // CMD_SMEM_WRITE, followed by the data bytes
    int32_t handle;
    int32_t offset;
};
struct FlagPayload {  // CMD_SHUTDOWN_NOTIFY, CMD_RESET: always 1
    uint8_t value;
};
struct DateTimePayload {  // CMD_SET_DATE_TIME
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};

// Reply data (after ReplyHeader).
struct ValueReply {  // CMD_SMEM_OPEN: the handle; CMD_SMEM_IS_MEM_SIZE: the size
    uint32_t value;
};
struct BoardInfoReply {  // CMD_GET_BOARD_INFO
    uint16_t hardware_version;
    uint16_t software_version;
    uint16_t board_number;
};

#pragma pack(pop)

static_assert(sizeof(RequestHeader) == 14, "request header is 14 bytes");
static_assert(sizeof(ReplyHeader) == 16, "reply header is 16 bytes");
static_assert(offsetof(ReplyHeader, status) == 10, "status at reply offset 10");
static_assert(sizeof(HandlePayload) == 4, "handle payload");
static_assert(sizeof(ReadPayload) == 12, "read payload");
static_assert(sizeof(WritePayload) == 8, "write payload before the data");
static_assert(sizeof(FlagPayload) == 1, "flag payload");
static_assert(sizeof(DateTimePayload) == 7, "date and time payload");
static_assert(sizeof(ValueReply) == 4, "value reply");
static_assert(sizeof(BoardInfoReply) == 6, "board information reply");

constexpr uint8_t FLAG_VALUE = 1;  // the one byte of shutdown notice and reset

// Whole reply length, header included, for each command; a read's reply also
// carries the bytes read.
constexpr uint32_t ReplyLength(uint16_t command, uint32_t read_size = 0)
{
    switch (command) {
    case CMD_SMEM_OPEN:
    case CMD_SMEM_IS_MEM_SIZE:
        return sizeof(ReplyHeader) + sizeof(ValueReply);
    case CMD_SMEM_READ:
        return sizeof(ReplyHeader) + read_size;
    case CMD_GET_BOARD_INFO:
        return sizeof(ReplyHeader) + sizeof(BoardInfoReply);
    default:
        return sizeof(ReplyHeader);
    }
}

static_assert(ReplyLength(CMD_SMEM_OPEN) == 20, "open reply");
static_assert(ReplyLength(CMD_SMEM_READ, 100) == 116, "read reply");
static_assert(ReplyLength(CMD_GET_BOARD_INFO) == 22, "board information reply");
static_assert(ReplyLength(CMD_RESET) == 16, "plain reply");

}  // namespace board
