// LinkBench.cpp - round trips per second through TalvernLink.dll beside a
// plain Winsock client that sends the same request bytes and receives the
// same reply bytes.
//
//   LinkBench <address> <port> [seconds per measurement, default 2]
//
// Measures TVN_SmemReadWord and a 4 KiB TVN_SmemReadBytes, first with the
// library's default log level (no TalvernLog.ini in the current directory),
// then with every line of the library enabled (LOGLEVEL 10007H). Each figure
// is the best of three runs; the ratio is the plain client's rate divided by
// the library's (1.00: no cost over the plain client). The current directory
// receives TalvernLog.ini and the log files.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "BoardProtocol.h"
#include "TalvernLink.h"

namespace {

constexpr const char* MEMORY_NAME = "BenchMemory";
constexpr uint32_t BLOCK_SIZE = 4096;
constexpr int RUNS = 3;
constexpr int CALLS_PER_CLOCK_CHECK = 64;
constexpr const char* ALL_LINES = "10007H";

// Round trips per second of call, run for about seconds; 0 when a call fails.
double Rate(const std::function<bool()>& call, double seconds)
{
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const LONGLONG limit = static_cast<LONGLONG>(seconds * frequency.QuadPart);
    long long calls = 0;
    for (;;) {
        for (int i = 0; i < CALLS_PER_CLOCK_CHECK; ++i) {
            if (!call())
                return 0;
        }
        calls += CALLS_PER_CLOCK_CHECK;
        QueryPerformanceCounter(&now);
        if (now.QuadPart - start.QuadPart >= limit)
            break;
    }
    return calls * static_cast<double>(frequency.QuadPart) / (now.QuadPart - start.QuadPart);
}

// A board client of its own: one blocking TCP connection, requests built
// as the library builds them (zero hardware address on loopback, sequence
// from 1), whole replies received.
class PlainClient {
public:
    ~PlainClient()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }

    bool Connect(const char* address, int port)
    {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u_short>(port));
        to.sin_addr.s_addr = inet_addr(address);
        return socket_ != INVALID_SOCKET &&
               connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
    }

    // The board's handle of the named memory; -1 on failure.
    int32_t Open(const char* name)
    {
        const uint32_t n = static_cast<uint32_t>(strlen(name));
        std::vector<uint8_t> request(sizeof(board::RequestHeader) + n);
        Header(request.data(), board::CMD_SMEM_OPEN, n);
        memcpy(request.data() + sizeof(board::RequestHeader), name, n);
        uint8_t reply[sizeof(board::ReplyHeader) + sizeof(board::ValueReply)];
        if (!Exchange(request.data(), static_cast<int>(request.size()), reply, sizeof(reply)))
            return -1;
        board::ValueReply value;
        memcpy(&value, reply + sizeof(board::ReplyHeader), sizeof(value));
        return static_cast<int32_t>(value.value);
    }

    bool Read(int32_t handle, int32_t offset, void* dest, uint32_t size)
    {
        uint8_t request[sizeof(board::RequestHeader) + sizeof(board::ReadPayload)];
        Header(request, board::CMD_SMEM_READ, sizeof(board::ReadPayload));
        const board::ReadPayload payload = {handle, offset, size};
        memcpy(request + sizeof(board::RequestHeader), &payload, sizeof(payload));
        reply_.resize(board::ReplyLength(board::CMD_SMEM_READ, size));
        if (!Exchange(request, sizeof(request), reply_.data(), static_cast<int>(reply_.size())))
            return false;
        memcpy(dest, reply_.data() + sizeof(board::ReplyHeader), size);
        return true;
    }

private:
    void Header(uint8_t* request, uint16_t command, uint32_t length)
    {
        board::RequestHeader header = {};
        header.sequence = static_cast<uint16_t>(sequence_++);
        header.command = command;
        header.length = length;
        memcpy(request, &header, sizeof(header));
    }

    bool Exchange(const uint8_t* request, int request_length, uint8_t* reply, int reply_length)
    {
        for (int sent = 0; sent < request_length;) {
            int n = send(socket_, reinterpret_cast<const char*>(request) + sent,
                         request_length - sent, 0);
            if (n <= 0)
                return false;
            sent += n;
        }
        for (int got = 0; got < reply_length;) {
            int n = recv(socket_, reinterpret_cast<char*>(reply) + got, reply_length - got, 0);
            if (n <= 0)
                return false;
            got += n;
        }
        board::ReplyHeader header;
        memcpy(&header, reply, sizeof(header));
        return header.status == 0;
    }

    SOCKET socket_ = INVALID_SOCKET;
    uint32_t sequence_ = 1;
    std::vector<uint8_t> reply_;
};

// TalvernLink.dll loaded from the current directory's log settings, with
// board 0 connected and the bench memory open.
class LoadedLink {
public:
    LoadedLink(const char* address, int port)
    {
        module_ = LoadLibraryA("TalvernLink.dll");
        if (module_ == nullptr)
            return;
        TvnBindEntryPoints(module_, &tvn);
        if (tvn.connect == nullptr || tvn.connect(0, address, port) != 0)
            return;
        handle = tvn.smem_open(0, MEMORY_NAME);
    }
    ~LoadedLink()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);  // closes the connection
    }
    bool Ready() const { return module_ != nullptr && handle >= 0; }

    LinkEntryPoints tvn = {};
    SmemHandle handle = -1;

private:
    HMODULE module_ = nullptr;
};

struct Figures {
    double word = 0, block = 0, plain_word = 0, plain_block = 0;
};

// Best of RUNS alternating runs of the library and the plain client.
bool Measure(const char* address, int port, double seconds, Figures& best)
{
    LoadedLink link(address, port);
    PlainClient plain;
    if (!link.Ready() || !plain.Connect(address, port))
        return false;
    const int32_t plain_handle = plain.Open(MEMORY_NAME);
    if (plain_handle < 0)
        return false;
    uint16_t word = 0;
    std::vector<uint8_t> block(BLOCK_SIZE);
    auto keep = [](double& best_rate, double rate) {
        if (rate > best_rate)
            best_rate = rate;
        return rate > 0;
    };
    for (int run = 0; run < RUNS; ++run) {
        bool ok = keep(best.word, Rate([&] { return link.tvn.smem_read_word(0, link.handle, 0, &word) == 0; }, seconds)) &&
                  keep(best.plain_word, Rate([&] { return plain.Read(plain_handle, 0, &word, sizeof(word)); }, seconds)) &&
                  keep(best.block, Rate([&] { return link.tvn.smem_read_bytes(0, link.handle, 0, block.data(), BLOCK_SIZE) == 0; }, seconds)) &&
                  keep(best.plain_block, Rate([&] { return plain.Read(plain_handle, 0, block.data(), BLOCK_SIZE); }, seconds));
        if (!ok)
            return false;
    }
    return true;
}

void PrintLine(const char* what, const char* level, double link, double plain)
{
    std::printf("%-30s %-16s %10.0f/s   plain client %10.0f/s   ratio %.3f\n", what, level, link,
                plain, plain / link);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: LinkBench <address> <port> [seconds per measurement]\n");
        return 2;
    }
    const char* address = argv[1];
    const int port = std::atoi(argv[2]);
    const double seconds = argc == 4 ? std::atof(argv[3]) : 2.0;

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 0), &wsa);
    std::printf("round trips per second, best of %d runs of %.1f s, board at %s:%d\n", RUNS,
                seconds, address, port);

    const struct {
        const char* name;
        const char* level;  // LOGLEVEL, or null for no settings file
    } settings[] = {{"log level 0", nullptr}, {"every line", ALL_LINES}};
    int status = 0;
    for (const auto& s : settings) {
        DeleteFileA("TalvernLog.ini");
        if (s.level != nullptr)
            WritePrivateProfileStringA("LOG", "LOGLEVEL", s.level, ".\\TalvernLog.ini");
        Figures f;
        if (!Measure(address, port, seconds, f)) {
            std::printf("%s: the board could not be reached or a call failed\n", s.name);
            status = 1;
            continue;
        }
        PrintLine("TVN_SmemReadWord", s.name, f.word, f.plain_word);
        PrintLine("TVN_SmemReadBytes 4096 bytes", s.name, f.block, f.plain_block);
        std::fflush(stdout);
    }
    WSACleanup();
    return status;
}
