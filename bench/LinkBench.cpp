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
#include <string>
#include <vector>

#include "BenchRate.h"
#include "PlainBoardClient.h"
#include "TalvernLink.h"

namespace {

constexpr const char* MEMORY_NAME = "BenchMemory";
constexpr uint32_t BLOCK_SIZE = 4096;
constexpr int RUNS = 3;
constexpr const char* ALL_LINES = "10007H";

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
    PlainBoardClient plain;
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
    auto rate = [seconds](auto&& call) {
        return Rate(call, seconds, NETWORK_CALLS_PER_CLOCK_CHECK);
    };
    for (int run = 0; run < RUNS; ++run) {
        bool ok =
            keep(best.word, rate([&] {
                     return link.tvn.smem_read_word(0, link.handle, 0, &word) == 0;
                 })) &&
            keep(best.plain_word,
                 rate([&] { return plain.Read(plain_handle, 0, &word, sizeof(word)); })) &&
            keep(best.block, rate([&] {
                     return link.tvn.smem_read_bytes(0, link.handle, 0, block.data(),
                                                     BLOCK_SIZE) == 0;
                 })) &&
            keep(best.plain_block,
                 rate([&] { return plain.Read(plain_handle, 0, block.data(), BLOCK_SIZE); }));
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
