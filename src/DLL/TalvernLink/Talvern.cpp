// Talvern.cpp - one TCP connection to one board and the nine commands on it.
#include "Talvern.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "BoardProtocol.h"

using namespace board;

namespace {

// Size of the fixed request buffer of the commands other than read and
// write; it bounds the name of an open to MAX_SMEM_NAME characters.
constexpr uint32_t REQUEST_BUFFER_SIZE = 256;
// Slack allocated beyond the data size for the read and write buffers.
constexpr uint32_t DATA_BUFFER_SLACK = 32;
// Largest read or write size whose request and reply lengths still fit a
// signed 32-bit count.
constexpr uint32_t MAX_DATA_SIZE = 0x7FFFFFFFu - DATA_BUFFER_SLACK;
// Winsock version asked for at connect.
constexpr WORD WINSOCK_VERSION_2_0 = MAKEWORD(2, 0);

// Prints one of the two connection messages and flushes it at once.
void PrintMessage(const char* format, int error)
{
    std::printf(format, error);
    std::fflush(stdout);
}

// Sends all length bytes, in as many send calls as the stack needs.
// true when everything went out.
bool SendAll(SOCKET s, const uint8_t* data, uint32_t length)
{
    while (length > 0) {
        int sent = send(s, reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
        if (sent <= 0)  // SOCKET_ERROR is negative
            return false;
        data += sent;
        length -= static_cast<uint32_t>(sent);
    }
    return true;
}

// Receives exactly length bytes, however the board's reply is segmented.
// false when the board closed the connection or the socket failed first.
bool ReceiveAll(SOCKET s, uint8_t* data, uint32_t length)
{
    while (length > 0) {
        int got = recv(s, reinterpret_cast<char*>(data), static_cast<int>(length), 0);
        if (got <= 0)  // 0: the board closed; SOCKET_ERROR: failed
            return false;
        data += got;
        length -= static_cast<uint32_t>(got);
    }
    return true;
}

// Connects s to address, waiting at most timeout_ms, and leaves s in
// blocking mode. 0 on success, otherwise the Winsock error (WSAETIMEDOUT
// when the board did not answer in time).
int ConnectWithin(SOCKET s, const sockaddr_in& address, DWORD timeout_ms)
{
    u_long non_blocking = 1;
    if (ioctlsocket(s, FIONBIO, &non_blocking) != 0)
        return WSAGetLastError();
    int error = 0;
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval timeout;
            timeout.tv_sec = static_cast<long>(timeout_ms / 1000);
            timeout.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
            int ready = select(0, nullptr, &writable, &failed, &timeout);
            if (ready == SOCKET_ERROR) {
                error = WSAGetLastError();
            } else if (ready == 0) {
                error = WSAETIMEDOUT;
            } else {
                int so_error = 0;
                int so_length = sizeof(so_error);
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error),
                               &so_length) != 0)
                    error = WSAGetLastError();
                else if (so_error != 0)
                    error = so_error;
                else if (FD_ISSET(s, &writable))
                    error = 0;
                else
                    error = WSAECONNREFUSED;  // failed without an error code
            }
        }
    }
    if (error == 0) {
        u_long blocking = 0;
        if (ioctlsocket(s, FIONBIO, &blocking) != 0)
            error = WSAGetLastError();
    }
    return error;
}

// The board's 16-bit status word as the operation's result.
TvnResult StatusOf(const uint8_t* reply)
{
    int16_t status;
    std::memcpy(&status, reply + offsetof(ReplyHeader, status), sizeof(status));
    return static_cast<TvnResult>(status);
}

// The 32-bit value (handle or size) at the start of a reply's data.
uint32_t ValueOf(const uint8_t* reply)
{
    ValueReply value;
    std::memcpy(&value, reply + sizeof(ReplyHeader), sizeof(value));
    return value.value;
}

// A zero-filled heap buffer, or null when it cannot be had.
std::unique_ptr<uint8_t[]> NewBuffer(uint32_t size)
{
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]());
}

}  // namespace

Talvern::Talvern()
    : smem_name(), sequence(1), mac_address(), tcp_socket(INVALID_SOCKET), connected(0),
      smem_open(0)
{
}

Talvern::~Talvern()
{
    Close();
}

TvnResult Talvern::Connect(const char* ip, int32_t port)
{
    if (connected)
        return TVN_ERR_ALREADY_CONNECTED;
    FindAdapterMacAddress(ip, mac_address);

    // A failed start-up shows as a failed socket below.
    WSADATA wsa;
    WSAStartup(WINSOCK_VERSION_2_0, &wsa);
    tcp_socket = socket(AF_INET, SOCK_STREAM, 0);
    if (tcp_socket == INVALID_SOCKET) {
        PrintMessage("socket : %d\n", WSAGetLastError());
        WSACleanup();
        return TVN_ERR_COMM;
    }

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    address.sin_addr.s_addr = inet_addr(ip);
    // A board that does not answer must not hold the caller for the
    // system's own connect time-out (about 21 s).
    int error = ConnectWithin(tcp_socket, address, CONNECT_TIMEOUT_MS);
    if (error != 0) {
        PrintMessage("connect : %d\n", error);
        closesocket(tcp_socket);
        tcp_socket = INVALID_SOCKET;
        WSACleanup();
        return TVN_ERR_COMM;
    }
    connected = 1;
    return 0;
}

void Talvern::Close()
{
    if (!connected)
        return;
    closesocket(tcp_socket);
    tcp_socket = INVALID_SOCKET;
    WSACleanup();
    connected = 0;
    // The board memory stays open on the board; this connection no longer
    // reaches it.
    smem_open = 0;
    std::memset(smem_name, 0, sizeof(smem_name));
}

void Talvern::BuildHeader(void* request, uint16_t command, uint32_t payload_length)
{
    RequestHeader header;
    std::memcpy(header.mac_address, mac_address, sizeof(header.mac_address));
    header.sequence = static_cast<uint16_t>(sequence & 0xFFFF);
    header.command = command;
    header.length = payload_length;
    std::memcpy(request, &header, sizeof(header));
    ++sequence;
}

TvnResult Talvern::Exchange(const void* request, uint32_t request_length, void* reply,
                            uint32_t reply_length)
{
    if (!SendAll(tcp_socket, static_cast<const uint8_t*>(request), request_length))
        return TVN_ERR_COMM;
    if (!ReceiveAll(tcp_socket, static_cast<uint8_t*>(reply), reply_length))
        return TVN_ERR_COMM;
    return StatusOf(static_cast<const uint8_t*>(reply));
}

TvnResult Talvern::SmemOpen(const char* name)
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    if (smem_open)
        return TVN_ERR_SMEM_ALREADY_OPEN;
    size_t n = std::strlen(name);
    if (n > static_cast<size_t>(MAX_SMEM_NAME))
        return TVN_ERR_COMM;  // does not fit the request; nothing is sent

    uint8_t request[REQUEST_BUFFER_SIZE] = {};
    uint8_t reply[ReplyLength(CMD_SMEM_OPEN)] = {};
    BuildHeader(request, CMD_SMEM_OPEN, static_cast<uint32_t>(n));
    std::memcpy(request + sizeof(RequestHeader), name, n);
    TvnResult result = Exchange(request, static_cast<uint32_t>(sizeof(RequestHeader) + n),
                                reply, sizeof(reply));
    if (result != 0)
        return result;
    std::memcpy(smem_name, name, n);
    smem_open = 1;
    return static_cast<TvnResult>(ValueOf(reply));
}

TvnResult Talvern::SmemClose(SmemHandle handle)
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    if (!smem_open)
        return TVN_ERR_NOT_OPEN;
    uint8_t request[sizeof(RequestHeader) + sizeof(HandlePayload)] = {};
    uint8_t reply[ReplyLength(CMD_SMEM_CLOSE)] = {};
    BuildHeader(request, CMD_SMEM_CLOSE, sizeof(HandlePayload));
    HandlePayload payload = {handle};
    std::memcpy(request + sizeof(RequestHeader), &payload, sizeof(payload));
    TvnResult result = Exchange(request, sizeof(request), reply, sizeof(reply));
    if (result != 0)
        return result;
    std::memset(smem_name, 0, sizeof(smem_name));
    smem_open = 0;
    return 0;
}

TvnResult Talvern::SmemIsMemSize(SmemHandle handle)
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    if (!smem_open)
        return TVN_ERR_NOT_OPEN;
    uint8_t request[sizeof(RequestHeader) + sizeof(HandlePayload)] = {};
    uint8_t reply[ReplyLength(CMD_SMEM_IS_MEM_SIZE)] = {};
    BuildHeader(request, CMD_SMEM_IS_MEM_SIZE, sizeof(HandlePayload));
    HandlePayload payload = {handle};
    std::memcpy(request + sizeof(RequestHeader), &payload, sizeof(payload));
    TvnResult result = Exchange(request, sizeof(request), reply, sizeof(reply));
    if (result != 0)
        return result;
    return static_cast<TvnResult>(ValueOf(reply));
}

TvnResult Talvern::ShutdownNotify()
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    uint8_t request[sizeof(RequestHeader) + sizeof(FlagPayload)] = {};
    uint8_t reply[ReplyLength(CMD_SHUTDOWN_NOTIFY)] = {};
    BuildHeader(request, CMD_SHUTDOWN_NOTIFY, sizeof(FlagPayload));
    request[sizeof(RequestHeader)] = FLAG_VALUE;
    return Exchange(request, sizeof(request), reply, sizeof(reply));
}

TvnResult Talvern::SetDateTime(const SYSTEMTIME* time)
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    uint8_t request[sizeof(RequestHeader) + sizeof(DateTimePayload)] = {};
    uint8_t reply[ReplyLength(CMD_SET_DATE_TIME)] = {};
    BuildHeader(request, CMD_SET_DATE_TIME, sizeof(DateTimePayload));
    DateTimePayload payload;
    payload.year = time->wYear;
    payload.month = static_cast<uint8_t>(time->wMonth);
    payload.day = static_cast<uint8_t>(time->wDay);
    payload.hour = static_cast<uint8_t>(time->wHour);
    payload.minute = static_cast<uint8_t>(time->wMinute);
    payload.second = static_cast<uint8_t>(time->wSecond);
    std::memcpy(request + sizeof(RequestHeader), &payload, sizeof(payload));
    return Exchange(request, sizeof(request), reply, sizeof(reply));
}

TvnResult Talvern::Reset()
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    uint8_t request[sizeof(RequestHeader) + sizeof(FlagPayload)] = {};
    uint8_t reply[ReplyLength(CMD_RESET)] = {};
    BuildHeader(request, CMD_RESET, sizeof(FlagPayload));
    request[sizeof(RequestHeader)] = FLAG_VALUE;
    return Exchange(request, sizeof(request), reply, sizeof(reply));
}

TvnResult Talvern::GetBoardInfo(uint16_t* hardware_version, uint16_t* software_version,
                                uint16_t* board_number)
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    uint8_t request[sizeof(RequestHeader)] = {};
    uint8_t reply[ReplyLength(CMD_GET_BOARD_INFO)] = {};
    BuildHeader(request, CMD_GET_BOARD_INFO, 0);
    TvnResult result = Exchange(request, sizeof(request), reply, sizeof(reply));
    if (result != 0)
        return result;
    BoardInfoReply info;
    std::memcpy(&info, reply + sizeof(ReplyHeader), sizeof(info));
    if (hardware_version)
        *hardware_version = info.hardware_version;
    if (software_version)
        *software_version = info.software_version;
    if (board_number)
        *board_number = info.board_number;
    return 0;
}

TvnResult Talvern::SmemRead(SmemHandle handle, int32_t offset, void* dest, uint32_t size)
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    if (!smem_open)
        return TVN_ERR_NOT_OPEN;
    if (size > MAX_DATA_SIZE)
        return TVN_ERR_COMM;  // a reply of that length cannot be received
    std::unique_ptr<uint8_t[]> request = NewBuffer(size + DATA_BUFFER_SLACK);
    std::unique_ptr<uint8_t[]> reply = NewBuffer(size + DATA_BUFFER_SLACK);
    if (!request || !reply)
        return TVN_ERR_COMM;
    BuildHeader(request.get(), CMD_SMEM_READ, sizeof(ReadPayload));
    ReadPayload payload = {handle, offset, size};
    std::memcpy(request.get() + sizeof(RequestHeader), &payload, sizeof(payload));
    TvnResult result = Exchange(request.get(), sizeof(RequestHeader) + sizeof(ReadPayload),
                                reply.get(), ReplyLength(CMD_SMEM_READ, size));
    if (result != 0)
        return result;
    if (size > 0)
        std::memcpy(dest, reply.get() + sizeof(ReplyHeader), size);
    return 0;
}

TvnResult Talvern::SmemWrite(SmemHandle handle, int32_t offset, const void* src, uint32_t size)
{
    if (!connected)
        return TVN_ERR_NOT_CONNECTED;
    if (!smem_open)
        return TVN_ERR_NOT_OPEN;
    if (size > MAX_DATA_SIZE)
        return TVN_ERR_COMM;  // a request of that length cannot be sent
    std::unique_ptr<uint8_t[]> request = NewBuffer(size + DATA_BUFFER_SLACK);
    if (!request)
        return TVN_ERR_COMM;
    uint8_t reply[ReplyLength(CMD_SMEM_WRITE)] = {};
    const uint32_t header_and_payload = sizeof(RequestHeader) + sizeof(WritePayload);
    BuildHeader(request.get(), CMD_SMEM_WRITE, sizeof(WritePayload) + size);
    WritePayload payload = {handle, offset};
    std::memcpy(request.get() + sizeof(RequestHeader), &payload, sizeof(payload));
    if (size > 0)
        std::memcpy(request.get() + header_and_payload, src, size);
    return Exchange(request.get(), header_and_payload + size, reply, sizeof(reply));
}
