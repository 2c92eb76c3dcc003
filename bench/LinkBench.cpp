// LinkBench.cpp - round trips per second through TalvernLink.dll beside a
// plain Winsock client that sends the same request bytes and receives the
// same reply bytes.
//
//   LinkBench <address> <port> [seconds per measurement, default 2]
//
// Measures TVN_SmemReadWord and a 4 KiB TVN_SmemReadBytes, first with the
// library's default log level (no TalvernLog.ini in the current directory),
// then with every line of the library enabled (LOGLEVEL 10007H). Each figure
// is the best of three runs alternating between the library and the plain
// client, printed as measured; the ratio is the plain client's rate divided
// by the library's, with which of the two is faster. The current directory
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

// Compares TVN_SmemReadWord and then the 4 KiB TVN_SmemReadBytes with the
// plain client at the current log settings (level names them), printing as
// it goes; false when the board could not be reached or a call failed.
bool Measure(const char* address, int port, double seconds, const char* level)
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
    auto link_word = [&] { return link.tvn.smem_read_word(0, link.handle, 0, &word) == 0; };
    auto plain_word = [&] { return plain.Read(plain_handle, 0, &word, sizeof(word)); };
    auto link_block = [&] {
        return link.tvn.smem_read_bytes(0, link.handle, 0, block.data(), BLOCK_SIZE) == 0;
    };
    auto plain_block = [&] { return plain.Read(plain_handle, 0, block.data(), BLOCK_SIZE); };

    PrintLine("%s, %u bytes:\n", level, static_cast<unsigned>(sizeof(word)));
    if (!Compare({Party("TVN_SmemReadWord", link_word), Party("plain client", plain_word)}, seconds,
                 Unit::ROUND_TRIPS))
        return false;
    PrintLine("%s, %lu bytes:\n", level, static_cast<unsigned long>(BLOCK_SIZE));
    return Compare({Party("TVN_SmemReadBytes", link_block), Party("plain client", plain_block)},
                   seconds, Unit::ROUND_TRIPS);
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
    PrintLine("round trips per second, best of %d runs of %.1f s, board at %s:%d\n", RUNS, seconds,
              address, port);

    const struct {
        const char* name;
        const char* level;  // LOGLEVEL, or null for no settings file
    } settings[] = {{"log level 0", nullptr}, {"every line", ALL_LINES}};
    int status = 0;
    for (const auto& s : settings) {
        DeleteFileA("TalvernLog.ini");
        if (s.level != nullptr)
            WritePrivateProfileStringA("LOG", "LOGLEVEL", s.level, ".\\TalvernLog.ini");
        if (!Measure(address, port, seconds, s.name)) {
            PrintLine("%s: the board could not be reached or a call failed\n", s.name);
            status = 1;
        }
    }
    WSACleanup();
    return status;
}
