// BoardSimulator.cpp - the simulated board's TCP service (see the header).
#include "BoardSimulator.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// The board's wire layout as the simulated board knows it: command codes and
// the byte offsets of every field, little-endian, with no padding.
// Requests: a 14-byte header, then the payload.
constexpr size_t REQUEST_MAC = 0;  // 6 bytes
constexpr size_t MAC_BYTES = 6;
constexpr size_t REQUEST_SEQUENCE = 6;
constexpr size_t REQUEST_COMMAND = 8;
constexpr size_t REQUEST_LENGTH = 10;
constexpr size_t REQUEST_HEADER_BYTES = 14;
// Replies: a 16-byte header, then the reply data.
constexpr size_t REPLY_SEQUENCE = 0;
constexpr size_t REPLY_COMMAND = 2;
constexpr size_t REPLY_LENGTH = 4;
constexpr size_t REPLY_STATUS = 10;
constexpr size_t REPLY_HEADER_BYTES = 16;

constexpr uint16_t COMMAND_OPEN = 1;
constexpr uint16_t COMMAND_CLOSE = 2;
constexpr uint16_t COMMAND_WRITE = 3;
constexpr uint16_t COMMAND_READ = 4;
constexpr uint16_t COMMAND_MEMORY_SIZE = 5;
constexpr uint16_t COMMAND_SHUTDOWN_NOTICE = 6;
constexpr uint16_t COMMAND_DATE_TIME = 7;
constexpr uint16_t COMMAND_RESET = 8;
constexpr uint16_t COMMAND_BOARD_INFO = 9;

// Payload fields, from the payload's first byte. Close and memory size carry
// a handle; write a handle and an offset, then the data; read a handle, an
// offset and a size; shutdown notice and reset one flag byte.
constexpr size_t PAYLOAD_HANDLE = 0;
constexpr size_t PAYLOAD_OFFSET = 4;
constexpr size_t PAYLOAD_SIZE = 8;
constexpr uint32_t HANDLE_PAYLOAD_BYTES = 4;
constexpr uint32_t WRITE_PAYLOAD_HEAD_BYTES = 8;  // before the data
constexpr uint32_t READ_PAYLOAD_BYTES = 12;
constexpr uint32_t FLAG_PAYLOAD_BYTES = 1;
// The clock: year (2 bytes), month, day, hour, minute, second.
constexpr size_t CLOCK_YEAR = 0;
constexpr size_t CLOCK_MONTH = 2;
constexpr size_t CLOCK_DAY = 3;
constexpr size_t CLOCK_HOUR = 4;
constexpr size_t CLOCK_MINUTE = 5;
constexpr size_t CLOCK_SECOND = 6;
constexpr uint32_t CLOCK_PAYLOAD_BYTES = 7;

// Reply data: open answers the handle, memory size the size (4 bytes each);
// board information the hardware version, software version and board
// number (2 bytes each); a read the bytes read.
constexpr uint32_t VALUE_REPLY_BYTES = 4;
constexpr size_t INFO_HARDWARE = 0;
constexpr size_t INFO_SOFTWARE = 2;
constexpr size_t INFO_NUMBER = 4;
constexpr uint32_t INFO_REPLY_BYTES = 6;

// Filler of the reply data of a request refused on a test's behalf.
constexpr uint8_t REFUSED_FILLER = 0xEE;

// How long one wait for a socket to become ready lasts before the socket
// is tried again (see WaitReady).
constexpr long READY_POLL_MS = 20;

// Waits up to READY_POLL_MS for s to become readable (or writable). The
// connection sockets are non-blocking and every wait is bounded: under Wine,
// bytes that reach a freshly accepted socket early may never wake a blocked
// recv, while a retried recv finds them.
void WaitReady(SOCKET s, bool for_write)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout = {0, READY_POLL_MS * 1000};
    select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &timeout);
}

// Receives exactly length bytes; false when the peer closed or the socket
// failed (or was closed by Stop) first.
bool ReceiveAll(SOCKET s, void* buffer, uint32_t length)
{
    char* p = static_cast<char*>(buffer);
    while (length > 0) {
        int chunk = static_cast<int>(std::min<uint32_t>(length, 1u << 30));
        int got = recv(s, p, chunk, 0);
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            WaitReady(s, false);
            continue;
        }
        if (got <= 0)
            return false;
        p += got;
        length -= static_cast<uint32_t>(got);
    }
    return true;
}

// Sends exactly length bytes; false when the socket failed first.
bool SendAll(SOCKET s, const uint8_t* data, uint32_t length)
{
    while (length > 0) {
        int chunk = static_cast<int>(std::min<uint32_t>(length, 1u << 30));
        int sent = send(s, reinterpret_cast<const char*>(data), chunk, 0);
        if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            WaitReady(s, true);
            continue;
        }
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<uint32_t>(sent);
    }
    return true;
}

// The little-endian integer of type T at offset; 0 when bytes end first.
template <typename T>
T ReadAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    T value{};
    if (offset + sizeof(T) <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// Stores value little-endian at offset; the caller has sized bytes for it.
template <typename T>
void WriteAt(std::vector<uint8_t>& bytes, size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// Whether offset..offset+size lies inside a memory of memory_size bytes.
bool InRange(int32_t offset, uint32_t size, size_t memory_size)
{
    return offset >= 0 &&
           static_cast<uint64_t>(offset) + size <= static_cast<uint64_t>(memory_size);
}

}  // namespace

BoardSimulator::BoardSimulator() = default;

BoardSimulator::~BoardSimulator()
{
    Stop();
}

bool BoardSimulator::Start(uint16_t port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_)
        return false;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int address_length = sizeof(address);
    if (s == INVALID_SOCKET ||
        bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &address_length) != 0) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        WSACleanup();
        return false;
    }
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);  // accepts wait in bounded steps
    listener_ = s;
    port_ = ntohs(address.sin_port);
    running_ = true;
    winsock_started_ = true;
    accept_thread_ = std::thread(&BoardSimulator::AcceptLoop, this, s);
    return true;
}

void BoardSimulator::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_)
            return;
        running_ = false;
        // Closing the sockets wakes the threads blocked in accept and recv.
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        for (auto& connection : connections_) {
            if (connection->socket != INVALID_SOCKET) {
                shutdown(connection->socket, SD_BOTH);
                closesocket(connection->socket);
                connection->socket = INVALID_SOCKET;
            }
        }
    }
    accept_thread_.join();
    std::vector<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended.swap(connections_);
    }
    for (auto& connection : ended)
        connection->thread.join();
    if (winsock_started_) {
        WSACleanup();
        winsock_started_ = false;
    }
}

void BoardSimulator::AcceptLoop(SOCKET listener)
{
    for (;;) {
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            int error = WSAGetLastError();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!running_)
                    return;
            }
            if (error == WSAEWOULDBLOCK)
                WaitReady(listener, false);
            continue;  // nobody yet, or a failed accept of one client
        }
        // Replies go out at once, segment by segment as sent; receives and
        // sends wait in bounded steps (see WaitReady).
        BOOL no_delay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
                   sizeof(no_delay));
        u_long non_blocking = 1;
        ioctlsocket(s, FIONBIO, &non_blocking);
        ReapFinished();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) {
            closesocket(s);
            return;
        }
        auto connection = std::make_unique<Connection>();
        connection->socket = s;
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        ++connection_count_;
        ++open_connections_;
        raw->thread = std::thread(&BoardSimulator::Serve, this, raw);
        changed_.notify_all();
    }
}

void BoardSimulator::ReapFinished()
{
    std::vector<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto split = std::stable_partition(
            connections_.begin(), connections_.end(),
            [](const std::unique_ptr<Connection>& c) { return !c->finished; });
        for (auto it = split; it != connections_.end(); ++it)
            ended.push_back(std::move(*it));
        connections_.erase(split, connections_.end());
    }
    for (auto& connection : ended)
        connection->thread.join();
}

void BoardSimulator::Serve(Connection* connection)
{
    SOCKET s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = connection->socket;
    }
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;
    for (;;) {
        request.resize(REQUEST_HEADER_BYTES);
        if (s == INVALID_SOCKET || !ReceiveAll(s, request.data(), REQUEST_HEADER_BYTES))
            break;
        const uint32_t length = ReadAt<uint32_t>(request, REQUEST_LENGTH);
        if (length > MAX_PAYLOAD)
            break;
        request.resize(REQUEST_HEADER_BYTES + length);
        if (!ReceiveAll(s, request.data() + REQUEST_HEADER_BYTES, length))
            break;

        Fault fault;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            if (observer_)
                observer_(request);
            fault = next_fault_;
            next_fault_ = Fault();
        }
        changed_.notify_all();

        Answer(request, fault.force_status, reply);
        if (reply.empty())
            break;  // a read too large to answer
        if (fault.force_status)
            WriteAt<int16_t>(reply, REPLY_STATUS, fault.status);
        if (fault.delay_ms > 0)
            Sleep(fault.delay_ms);
        if (!SendReply(s, reply, fault))
            break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection->socket != INVALID_SOCKET) {
        shutdown(connection->socket, SD_SEND);
        closesocket(connection->socket);
        connection->socket = INVALID_SOCKET;
    }
    --open_connections_;
    connection->finished = true;
    changed_.notify_all();
}

bool BoardSimulator::SendReply(SOCKET s, const std::vector<uint8_t>& reply, const Fault& fault)
{
    uint32_t length = static_cast<uint32_t>(reply.size());
    if (fault.close_after)
        length = std::min(length, fault.close_bytes);
    uint32_t segment = fault.segment_bytes > 0 ? fault.segment_bytes : length;
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t piece = std::min(segment, length - sent);
        if (!SendAll(s, reply.data() + sent, piece))
            return false;
        sent += piece;
        if (sent < length && fault.pause_ms > 0)
            Sleep(fault.pause_ms);
    }
    return !fault.close_after;
}

void BoardSimulator::Answer(const std::vector<uint8_t>& request, bool refuse,
                            std::vector<uint8_t>& reply)
{
    const uint16_t command = ReadAt<uint16_t>(request, REQUEST_COMMAND);
    const uint32_t n = ReadAt<uint32_t>(request, REQUEST_LENGTH);
    const size_t at = REQUEST_HEADER_BYTES;  // payload offset in request

    uint32_t data_length = 0;
    switch (command) {
    case COMMAND_OPEN:
    case COMMAND_MEMORY_SIZE:
        data_length = VALUE_REPLY_BYTES;
        break;
    case COMMAND_BOARD_INFO:
        data_length = INFO_REPLY_BYTES;
        break;
    case COMMAND_READ:
        data_length = n == READ_PAYLOAD_BYTES ? ReadAt<uint32_t>(request, at + PAYLOAD_SIZE) : 0;
        if (data_length > MAX_PAYLOAD) {
            reply.clear();
            return;
        }
        break;
    default:
        break;
    }

    // The header mirrors the request's sequence, command and data length.
    reply.assign(REPLY_HEADER_BYTES + data_length, 0);
    WriteAt<uint16_t>(reply, REPLY_SEQUENCE, ReadAt<uint16_t>(request, REQUEST_SEQUENCE));
    WriteAt<uint16_t>(reply, REPLY_COMMAND, command);
    WriteAt<uint32_t>(reply, REPLY_LENGTH, data_length);
    const size_t data = REPLY_HEADER_BYTES;  // reply data offset in reply

    if (refuse) {
        // The test chose the status: nothing is carried out and the reply
        // data is filler that a client must not take for an answer.
        std::fill(reply.begin() + data, reply.end(), REFUSED_FILLER);
        return;
    }

    int16_t status = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (command) {
    case COMMAND_OPEN: {
        std::string name(reinterpret_cast<const char*>(request.data() + at), n);
        WriteAt<uint32_t>(reply, data,
                          static_cast<uint32_t>(FindOrCreate(name, new_memory_size_)));
        break;
    }
    case COMMAND_CLOSE:
        if (n != HANDLE_PAYLOAD_BYTES)
            status = STATUS_BAD_REQUEST;
        else if (!FindByHandle(ReadAt<int32_t>(request, at + PAYLOAD_HANDLE)))
            status = STATUS_BAD_HANDLE;
        break;
    case COMMAND_MEMORY_SIZE: {
        Memory* memory = n == HANDLE_PAYLOAD_BYTES
                             ? FindByHandle(ReadAt<int32_t>(request, at + PAYLOAD_HANDLE))
                             : nullptr;
        if (n != HANDLE_PAYLOAD_BYTES)
            status = STATUS_BAD_REQUEST;
        else if (!memory)
            status = STATUS_BAD_HANDLE;
        else
            WriteAt<uint32_t>(reply, data, static_cast<uint32_t>(memory->bytes.size()));
        break;
    }
    case COMMAND_WRITE: {
        if (n < WRITE_PAYLOAD_HEAD_BYTES) {
            status = STATUS_BAD_REQUEST;
            break;
        }
        const int32_t offset = ReadAt<int32_t>(request, at + PAYLOAD_OFFSET);
        const uint32_t size = n - WRITE_PAYLOAD_HEAD_BYTES;
        Memory* memory = FindByHandle(ReadAt<int32_t>(request, at + PAYLOAD_HANDLE));
        if (!memory)
            status = STATUS_BAD_HANDLE;
        else if (!InRange(offset, size, memory->bytes.size()))
            status = STATUS_BAD_RANGE;
        else
            std::memcpy(memory->bytes.data() + offset,
                        request.data() + at + WRITE_PAYLOAD_HEAD_BYTES, size);
        break;
    }
    case COMMAND_READ: {
        if (n != READ_PAYLOAD_BYTES) {
            status = STATUS_BAD_REQUEST;
            break;
        }
        const int32_t offset = ReadAt<int32_t>(request, at + PAYLOAD_OFFSET);
        Memory* memory = FindByHandle(ReadAt<int32_t>(request, at + PAYLOAD_HANDLE));
        if (!memory)
            status = STATUS_BAD_HANDLE;
        else if (!InRange(offset, data_length, memory->bytes.size()))
            status = STATUS_BAD_RANGE;
        else
            std::memcpy(reply.data() + data, memory->bytes.data() + offset, data_length);
        break;
    }
    case COMMAND_SHUTDOWN_NOTICE:
    case COMMAND_RESET:
        if (n != FLAG_PAYLOAD_BYTES)
            status = STATUS_BAD_REQUEST;
        break;
    case COMMAND_DATE_TIME:
        if (n != CLOCK_PAYLOAD_BYTES)
            status = STATUS_BAD_REQUEST;
        else
            date_time_.assign(request.begin() + at, request.end());
        break;
    case COMMAND_BOARD_INFO:
        WriteAt<uint16_t>(reply, data + INFO_HARDWARE, hardware_version_);
        WriteAt<uint16_t>(reply, data + INFO_SOFTWARE, software_version_);
        WriteAt<uint16_t>(reply, data + INFO_NUMBER, board_number_);
        break;
    default:
        status = STATUS_BAD_REQUEST;
        break;
    }
    WriteAt<int16_t>(reply, REPLY_STATUS, status);
}

BoardSimulator::Memory* BoardSimulator::FindByHandle(int32_t handle)
{
    if (handle < 1 || static_cast<size_t>(handle) > memories_.size())
        return nullptr;
    return &memories_[static_cast<size_t>(handle) - 1];
}

int32_t BoardSimulator::FindOrCreate(const std::string& name, uint32_t size)
{
    for (size_t i = 0; i < memories_.size(); ++i) {
        if (memories_[i].name == name)
            return static_cast<int32_t>(i + 1);
    }
    memories_.push_back(Memory{name, std::vector<uint8_t>(size, 0)});
    return static_cast<int32_t>(memories_.size());
}

void BoardSimulator::SetNewMemorySize(uint32_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    new_memory_size_ = size;
}

int32_t BoardSimulator::CreateMemory(const std::string& name, uint32_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return FindOrCreate(name, size);
}

int32_t BoardSimulator::MemoryHandle(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < memories_.size(); ++i) {
        if (memories_[i].name == name)
            return static_cast<int32_t>(i + 1);
    }
    return -1;
}

std::vector<uint8_t> BoardSimulator::MemoryContent(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Memory& memory : memories_) {
        if (memory.name == name)
            return memory.bytes;
    }
    return {};
}

bool BoardSimulator::SetMemoryContent(const std::string& name, uint32_t offset,
                                      const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (Memory& memory : memories_) {
        if (memory.name != name)
            continue;
        if (static_cast<uint64_t>(offset) + bytes.size() > memory.bytes.size())
            return false;
        std::copy(bytes.begin(), bytes.end(), memory.bytes.begin() + offset);
        return true;
    }
    return false;
}

void BoardSimulator::SetBoardInfo(uint16_t hardware_version, uint16_t software_version,
                                  uint16_t board_number)
{
    std::lock_guard<std::mutex> lock(mutex_);
    hardware_version_ = hardware_version;
    software_version_ = software_version;
    board_number_ = board_number;
}

bool BoardSimulator::LastDateTime(board::DateTimePayload* out) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (date_time_.empty())
        return false;
    if (out) {
        out->year = ReadAt<uint16_t>(date_time_, CLOCK_YEAR);
        out->month = date_time_[CLOCK_MONTH];
        out->day = date_time_[CLOCK_DAY];
        out->hour = date_time_[CLOCK_HOUR];
        out->minute = date_time_[CLOCK_MINUTE];
        out->second = date_time_[CLOCK_SECOND];
    }
    return true;
}

std::vector<std::vector<uint8_t>> BoardSimulator::Requests(size_t first) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (first >= requests_.size())
        return {};
    return std::vector<std::vector<uint8_t>>(requests_.begin() + first, requests_.end());
}

size_t BoardSimulator::RequestCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

size_t BoardSimulator::CountRequests(uint16_t command) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(
        std::count_if(requests_.begin(), requests_.end(), [command](const auto& r) {
            return HeaderOf(r).command == command;
        }));
}

bool BoardSimulator::WaitForRequests(size_t n, DWORD timeout_ms) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return requests_.size() >= n; });
}

void BoardSimulator::SetRequestObserver(std::function<void(const std::vector<uint8_t>&)> observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void BoardSimulator::ClearRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

board::RequestHeader BoardSimulator::HeaderOf(const std::vector<uint8_t>& bytes)
{
    board::RequestHeader header = {};
    if (bytes.size() < REQUEST_HEADER_BYTES)
        return header;
    std::memcpy(header.mac_address, bytes.data() + REQUEST_MAC, MAC_BYTES);
    header.sequence = ReadAt<uint16_t>(bytes, REQUEST_SEQUENCE);
    header.command = ReadAt<uint16_t>(bytes, REQUEST_COMMAND);
    header.length = ReadAt<uint32_t>(bytes, REQUEST_LENGTH);
    return header;
}

int BoardSimulator::ConnectionCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connection_count_;
}

int BoardSimulator::OpenConnectionCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_connections_;
}

bool BoardSimulator::WaitForOpenConnections(int n, DWORD timeout_ms) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return open_connections_ == n; });
}

void BoardSimulator::FailNextWith(int16_t status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    next_fault_.force_status = true;
    next_fault_.status = status;
}

void BoardSimulator::CloseNextAfter(uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    next_fault_.close_after = true;
    next_fault_.close_bytes = bytes;
}

void BoardSimulator::SegmentNext(uint32_t segment_bytes, DWORD pause_ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    next_fault_.segment_bytes = segment_bytes;
    next_fault_.pause_ms = pause_ms;
}

void BoardSimulator::DelayNext(DWORD delay_ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    next_fault_.delay_ms = delay_ms;
}
