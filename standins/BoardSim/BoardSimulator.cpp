// BoardSimulator.cpp - the simulated board's TCP service (see the header).
#include "BoardSimulator.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstring>

using namespace board;

namespace {

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

template <typename T>
T ReadAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    T value{};
    if (offset + sizeof(T) <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
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
        RequestHeader header;
        if (s == INVALID_SOCKET || !ReceiveAll(s, &header, sizeof(header)))
            break;
        if (header.length > MAX_PAYLOAD)
            break;
        request.resize(sizeof(header) + header.length);
        std::memcpy(request.data(), &header, sizeof(header));
        if (!ReceiveAll(s, request.data() + sizeof(header), header.length))
            break;

        Fault fault;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            fault = next_fault_;
            next_fault_ = Fault();
        }
        changed_.notify_all();

        Answer(request, fault.force_status, reply);
        if (reply.empty())
            break;  // a read too large to answer
        if (fault.force_status)
            std::memcpy(reply.data() + offsetof(ReplyHeader, status), &fault.status,
                        sizeof(fault.status));
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
    const RequestHeader header = HeaderOf(request);
    const uint32_t n = header.length;
    const size_t at = sizeof(RequestHeader);  // payload offset in request

    uint32_t data_length = 0;
    switch (header.command) {
    case CMD_SMEM_OPEN:
    case CMD_SMEM_IS_MEM_SIZE:
        data_length = sizeof(ValueReply);
        break;
    case CMD_GET_BOARD_INFO:
        data_length = sizeof(BoardInfoReply);
        break;
    case CMD_SMEM_READ:
        data_length = n == sizeof(ReadPayload) ? ReadAt<ReadPayload>(request, at).size : 0;
        if (data_length > MAX_PAYLOAD) {
            reply.clear();
            return;
        }
        break;
    default:
        break;
    }

    reply.assign(sizeof(ReplyHeader) + data_length, 0);
    ReplyHeader out = {};
    out.sequence = header.sequence;
    out.command = header.command;
    out.length = data_length;
    int16_t status = 0;
    uint8_t* data = reply.data() + sizeof(ReplyHeader);

    if (refuse) {
        // The test chose the status: nothing is carried out and the reply
        // data is filler that a client must not take for an answer.
        std::fill(reply.begin() + sizeof(ReplyHeader), reply.end(), uint8_t{0xEE});
        std::memcpy(reply.data(), &out, sizeof(out));
        return;
    }

    std::lock_guard<std::mutex> lock(mutex_);
    switch (header.command) {
    case CMD_SMEM_OPEN: {
        std::string name(reinterpret_cast<const char*>(request.data() + at), n);
        uint32_t handle = static_cast<uint32_t>(FindOrCreate(name, new_memory_size_));
        std::memcpy(data, &handle, sizeof(handle));
        break;
    }
    case CMD_SMEM_CLOSE:
        if (n != sizeof(HandlePayload))
            status = STATUS_BAD_REQUEST;
        else if (!FindByHandle(ReadAt<HandlePayload>(request, at).handle))
            status = STATUS_BAD_HANDLE;
        break;
    case CMD_SMEM_IS_MEM_SIZE: {
        Memory* memory = n == sizeof(HandlePayload)
                             ? FindByHandle(ReadAt<HandlePayload>(request, at).handle)
                             : nullptr;
        if (n != sizeof(HandlePayload))
            status = STATUS_BAD_REQUEST;
        else if (!memory)
            status = STATUS_BAD_HANDLE;
        else {
            uint32_t size = static_cast<uint32_t>(memory->bytes.size());
            std::memcpy(data, &size, sizeof(size));
        }
        break;
    }
    case CMD_SMEM_WRITE: {
        if (n < sizeof(WritePayload)) {
            status = STATUS_BAD_REQUEST;
            break;
        }
        WritePayload write = ReadAt<WritePayload>(request, at);
        uint32_t size = n - static_cast<uint32_t>(sizeof(WritePayload));
        Memory* memory = FindByHandle(write.handle);
        if (!memory)
            status = STATUS_BAD_HANDLE;
        else if (!InRange(write.offset, size, memory->bytes.size()))
            status = STATUS_BAD_RANGE;
        else
            std::memcpy(memory->bytes.data() + write.offset,
                        request.data() + at + sizeof(WritePayload), size);
        break;
    }
    case CMD_SMEM_READ: {
        if (n != sizeof(ReadPayload)) {
            status = STATUS_BAD_REQUEST;
            break;
        }
        ReadPayload read = ReadAt<ReadPayload>(request, at);
        Memory* memory = FindByHandle(read.handle);
        if (!memory)
            status = STATUS_BAD_HANDLE;
        else if (!InRange(read.offset, read.size, memory->bytes.size()))
            status = STATUS_BAD_RANGE;
        else
            std::memcpy(data, memory->bytes.data() + read.offset, read.size);
        break;
    }
    case CMD_SHUTDOWN_NOTIFY:
    case CMD_RESET:
        if (n != sizeof(FlagPayload))
            status = STATUS_BAD_REQUEST;
        break;
    case CMD_SET_DATE_TIME:
        if (n != sizeof(DateTimePayload)) {
            status = STATUS_BAD_REQUEST;
        } else {
            date_time_ = ReadAt<DateTimePayload>(request, at);
            have_date_time_ = true;
        }
        break;
    case CMD_GET_BOARD_INFO:
        std::memcpy(data, &board_info_, sizeof(board_info_));
        break;
    default:
        status = STATUS_BAD_REQUEST;
        break;
    }
    out.status = status;
    std::memcpy(reply.data(), &out, sizeof(out));
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
    board_info_.hardware_version = hardware_version;
    board_info_.software_version = software_version;
    board_info_.board_number = board_number;
}

bool BoardSimulator::LastDateTime(DateTimePayload* out) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (have_date_time_ && out)
        *out = date_time_;
    return have_date_time_;
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

void BoardSimulator::ClearRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

RequestHeader BoardSimulator::HeaderOf(const std::vector<uint8_t>& bytes)
{
    return ReadAt<RequestHeader>(bytes, 0);
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
