// BridgeBench.cpp - calls per second through HmiBridge.dll beside what the
// same access costs without it.
//
//   BridgeBench <bridge folder> <board port> [seconds per measurement, default 2]
//
// The bridge folder holds a copy of HmiBridge.dll; before each load the
// benchmark writes the HmiBridge.ini there for one memory type:
//  - the board: BoardSim.exe at 127.0.0.1:<board port>. HMI_SmemReadDWord
//    and a 4 KiB HMI_SmemReadBytes beside the same reads made with
//    TalvernLink.dll directly (the module the bridge loaded, on another
//    board index) and beside the plain Winsock client, all on one board
//    memory;
//  - the Windows file mapping and the INtime segment (the NTX stand-in that
//    %INTIME%\bin\ntx.dll names; the benchmark creates the segment there
//    first): HMI_SmemReadDWord beside a plain read of the same bytes through
//    a function the compiler can neither inline nor see into.
// Each figure is the best of three alternating runs. Each ratio divides the
// other party's rate by the bridge's (1.00: the bridge costs nothing more);
// the last one compares the INtime type's guarded path with the Windows
// type's.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BenchRate.h"
#include "BridgeFolder.h"
#include "HmiBridge.h"
#include "NtxStandIn.h"
#include "PlainBoardClient.h"
#include "TalvernLink.h"

namespace {

constexpr const char* BOARD_ADDRESS = "127.0.0.1";
constexpr const char* MEMORY_NAME = "BenchMemory";
constexpr int32_t MEMORY_SIZE = 65536;
constexpr int32_t PCOS_OFFSET = 68000;
// Byte offset in the memory of the double word read, and its PLC address.
constexpr int32_t VALUE_OFFSET = 8;
constexpr int32_t VALUE_ADDRESS = PCOS_OFFSET + VALUE_OFFSET;
// Written through the bridge first: every party must read it back.
constexpr uint32_t VALUE = 0x89ABCDEFu;
constexpr uint32_t BLOCK_SIZE = 4096;
constexpr int RUNS = 3;
// The bridge holds board 0; the direct TalvernLink.dll calls use this one.
constexpr BoardIndex DIRECT_BOARD = 1;
constexpr double NS_PER_SECOND = 1e9;

// Where the plain memory reads leave their sum, so that none is dropped.
volatile uint32_t g_sink;

// The plain read: one double word at offset of a mapped memory. noipa keeps
// it a real call that the caller knows nothing about (no inlining, no
// assumption that it is pure).
__attribute__((noipa)) uint32_t PlainReadDWord(const uint8_t* memory, int32_t offset)
{
    uint32_t value;
    memcpy(&value, memory + offset, sizeof(value));
    return value;
}

// Keeps the higher of best and rate; false when the run failed (rate 0).
bool Keep(double& best, double rate)
{
    if (rate > best)
        best = rate;
    return rate > 0;
}

// HmiBridge.dll loaded from the bridge folder with settings, its memory
// opened and VALUE written at VALUE_ADDRESS.
class LoadedBridge {
public:
    LoadedBridge(const char* folder, const BridgeSettings& settings)
    {
        if (!WriteBridgeSettings(folder, &settings))
            return;
        module_ = LoadBridgeFrom(folder, &hmi);
        if (module_ == nullptr)
            return;
        const int32_t result = hmi.open();
        opened_ = result == 0;
        if (!opened_)
            std::printf("  HMI_SmemOpen -> %ld\n", static_cast<long>(result));
        else
            written_ = hmi.write_dword(VALUE_ADDRESS, VALUE) == 0;
    }
    ~LoadedBridge()
    {
        if (opened_)
            hmi.close();
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    LoadedBridge(const LoadedBridge&) = delete;
    LoadedBridge& operator=(const LoadedBridge&) = delete;

    bool Ready() const { return module_ != nullptr && opened_ && written_; }

    HmiEntryPoints hmi = {};

private:
    HMODULE module_ = nullptr;
    bool opened_ = false;
    bool written_ = false;
};

// The bench memory on board DIRECT_BOARD through TalvernLink.dll, called
// directly: connected and opened here, closed and disconnected at the end
// (the bridge may hold the same module, so unloading closes nothing).
class DirectLink {
public:
    explicit DirectLink(int port)
    {
        module_ = LoadLibraryA("TalvernLink.dll");
        if (module_ == nullptr)
            return;
        TvnBindEntryPoints(module_, &tvn);
        if (tvn.connect == nullptr || tvn.connect(DIRECT_BOARD, BOARD_ADDRESS, port) != 0)
            return;
        connected_ = true;
        handle = tvn.smem_open(DIRECT_BOARD, MEMORY_NAME);
    }
    ~DirectLink()
    {
        if (handle >= 0)
            tvn.smem_close(DIRECT_BOARD, handle);
        if (connected_)
            tvn.dis_connect(DIRECT_BOARD);
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    DirectLink(const DirectLink&) = delete;
    DirectLink& operator=(const DirectLink&) = delete;

    bool Ready() const { return handle >= 0; }

    LinkEntryPoints tvn = {};
    SmemHandle handle = -1;

private:
    HMODULE module_ = nullptr;
    bool connected_ = false;
};

// The INtime segment MEMORY_NAME in the NTX stand-in's root process, made
// before the bridge opens it and removed at the end. The stand-in is the
// module the bridge loads too (%INTIME%\bin\ntx.dll).
class StandInSegment {
public:
    StandInSegment()
    {
        char intime[MAX_PATH];
        char path[MAX_PATH];
        const DWORD length = GetEnvironmentVariableA(NTX_ENV_VARIABLE, intime, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            std::printf("  %s is not set: no NTX library\n", NTX_ENV_VARIABLE);
            return;
        }
        const int written =
            std::snprintf(path, sizeof(path), "%s\\bin\\%s", intime, NTX_LIBRARY_NAME);
        if (written < 0 || written >= static_cast<int>(sizeof(path)))
            return;
        module_ = LoadLibraryA(path);
        if (module_ == nullptr || !NtxStandInBind(module_, &controls_)) {
            std::printf("  %s is not the NTX stand-in\n", path);
            return;
        }
        created_ = controls_.create_segment(nullptr, MEMORY_NAME, MEMORY_SIZE) != NTX_NO_HANDLE;
        if (!created_)
            std::printf("  the segment %s could not be created\n", MEMORY_NAME);
    }
    ~StandInSegment()
    {
        if (created_)
            controls_.remove_object(nullptr, MEMORY_NAME);
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    StandInSegment(const StandInSegment&) = delete;
    StandInSegment& operator=(const StandInSegment&) = delete;

    bool Ready() const { return created_; }

private:
    HMODULE module_ = nullptr;
    NtxStandInControls controls_ = {};
    bool created_ = false;
};

// The settings of the bench memory for mem_type.
BridgeSettings Settings(int32_t mem_type, int port)
{
    return BridgeSettings{MEMORY_NAME, mem_type, MEMORY_SIZE, PCOS_OFFSET, BOARD_ADDRESS, port};
}

struct BoardFigures {
    double hmi_dword = 0, tvn_dword = 0, plain_dword = 0;
    double hmi_block = 0, tvn_block = 0, plain_block = 0;
};

// Best of RUNS alternating runs of the bridge, TalvernLink.dll and the plain
// client on the board; false when a party could not start, read another
// value than the bridge wrote, or a call failed.
bool MeasureBoard(const char* folder, int port, double seconds, BoardFigures& best)
{
    LoadedBridge bridge(folder, Settings(MEMTYPE_BOARD, port));
    DirectLink link(port);
    PlainBoardClient plain;
    if (!bridge.Ready() || !link.Ready() || !plain.Connect(BOARD_ADDRESS, port))
        return false;
    const int32_t plain_handle = plain.Open(MEMORY_NAME);
    uint32_t tvn_value = 0, plain_value = 0;
    if (plain_handle < 0 ||
        link.tvn.smem_read_dword(DIRECT_BOARD, link.handle, VALUE_OFFSET, &tvn_value) != 0 ||
        !plain.Read(plain_handle, VALUE_OFFSET, &plain_value, sizeof(plain_value)) ||
        tvn_value != VALUE || plain_value != VALUE)
        return false;

    const HmiEntryPoints& hmi = bridge.hmi;
    uint32_t dword = 0;
    std::vector<uint8_t> block(BLOCK_SIZE);
    auto rate = [seconds](auto&& call) {
        return Rate(call, seconds, NETWORK_CALLS_PER_CLOCK_CHECK);
    };
    for (int run = 0; run < RUNS; ++run) {
        const bool ok =
            Keep(best.hmi_dword, rate([&] { return hmi.read_dword(VALUE_ADDRESS, &dword) == 0; })) &&
            Keep(best.tvn_dword, rate([&] {
                     return link.tvn.smem_read_dword(DIRECT_BOARD, link.handle, VALUE_OFFSET,
                                                     &dword) == 0;
                 })) &&
            Keep(best.plain_dword, rate([&] {
                     return plain.Read(plain_handle, VALUE_OFFSET, &dword, sizeof(dword));
                 })) &&
            Keep(best.hmi_block, rate([&] {
                     return hmi.read_bytes(PCOS_OFFSET, block.data(), BLOCK_SIZE) == 0;
                 })) &&
            Keep(best.tvn_block, rate([&] {
                     return link.tvn.smem_read_bytes(DIRECT_BOARD, link.handle, 0, block.data(),
                                                     BLOCK_SIZE) == 0;
                 })) &&
            Keep(best.plain_block,
                 rate([&] { return plain.Read(plain_handle, 0, block.data(), BLOCK_SIZE); }));
        if (!ok)
            return false;
    }
    return true;
}

struct MemoryFigures {
    double hmi = 0, plain = 0;
};

// Best of RUNS alternating runs of HMI_SmemReadDWord and the plain read of
// the same bytes on the mapped memory of mem_type; false when the bridge
// could not open it, the plain read sees another value, or a call failed.
bool MeasureMemory(const char* folder, int32_t mem_type, double seconds, MemoryFigures& best)
{
    LoadedBridge bridge(folder, Settings(mem_type, 0));
    if (!bridge.Ready())
        return false;
    void* base = nullptr;
    bridge.hmi.get_pointer(&base, 0);
    const uint8_t* memory = static_cast<const uint8_t*>(base);
    if (memory == nullptr || PlainReadDWord(memory, VALUE_OFFSET) != VALUE)
        return false;

    const HmiEntryPoints& hmi = bridge.hmi;
    uint32_t dword = 0, sum = 0;
    auto rate = [seconds](auto&& call) {
        return Rate(call, seconds, MEMORY_CALLS_PER_CLOCK_CHECK);
    };
    for (int run = 0; run < RUNS; ++run) {
        const bool ok =
            Keep(best.hmi, rate([&] { return hmi.read_dword(VALUE_ADDRESS, &dword) == 0; })) &&
            Keep(best.plain, rate([&] {
                     sum += PlainReadDWord(memory, VALUE_OFFSET);
                     return true;
                 }));
        if (!ok)
            return false;
    }
    g_sink = sum;
    return true;
}

// One figure of round trips per second.
void PrintRoundTrips(const char* what, double rate)
{
    std::printf("  %-40s %12.0f/s\n", what, rate);
}

// One figure of calls per second, with the time of one call.
void PrintCalls(const char* what, double rate)
{
    std::printf("  %-40s %12.0f/s  %8.1f ns per call\n", what, rate, NS_PER_SECOND / rate);
}

// The ratio of a pair: rate of other divided by the bridge's rate.
void PrintRatio(const char* other, const char* bridge, double other_rate, double bridge_rate)
{
    std::printf("  ratio %s / %s: %.3f\n", other, bridge, other_rate / bridge_rate);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr,
                     "usage: BridgeBench <bridge folder> <board port> [seconds per measurement]\n");
        return 2;
    }
    char folder[MAX_PATH];
    if (!FullFolderPath(argv[1], folder)) {
        std::fprintf(stderr, "the folder %s is too long\n", argv[1]);
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const double seconds = argc == 4 ? std::atof(argv[3]) : 2.0;

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 0), &wsa);
    std::printf("HmiBridge.dll from %s, best of %d runs of %.1f s\n", folder, RUNS, seconds);
    int status = 0;

    std::printf("board at %s:%d (UsedMemType 3), round trips per second:\n", BOARD_ADDRESS, port);
    BoardFigures board;
    if (MeasureBoard(folder, port, seconds, board)) {
        PrintRoundTrips("HMI_SmemReadDWord", board.hmi_dword);
        PrintRoundTrips("TVN_SmemReadDWord", board.tvn_dword);
        PrintRoundTrips("plain client, 4 bytes", board.plain_dword);
        PrintRoundTrips("HMI_SmemReadBytes 4096 bytes", board.hmi_block);
        PrintRoundTrips("TVN_SmemReadBytes 4096 bytes", board.tvn_block);
        PrintRoundTrips("plain client, 4096 bytes", board.plain_block);
        PrintRatio("plain client", "HMI_SmemReadDWord", board.plain_dword, board.hmi_dword);
        PrintRatio("TVN_SmemReadDWord", "HMI_SmemReadDWord", board.tvn_dword, board.hmi_dword);
        PrintRatio("plain client", "HMI_SmemReadBytes", board.plain_block, board.hmi_block);
        PrintRatio("TVN_SmemReadBytes", "HMI_SmemReadBytes", board.tvn_block, board.hmi_block);
    } else {
        std::printf("  the board could not be reached or a call failed\n");
        status = 1;
    }
    std::fflush(stdout);

    std::printf("Windows file mapping %s_Win (UsedMemType 2), calls per second:\n", MEMORY_NAME);
    MemoryFigures windows;
    if (MeasureMemory(folder, MEMTYPE_WINDOWS, seconds, windows)) {
        PrintCalls("HMI_SmemReadDWord", windows.hmi);
        PrintCalls("plain read", windows.plain);
        PrintRatio("plain read", "HMI_SmemReadDWord", windows.plain, windows.hmi);
    } else {
        std::printf("  the mapping could not be opened or a call failed\n");
        status = 1;
    }
    std::fflush(stdout);

    std::printf("INtime segment %s (UsedMemType 1, NTX stand-in), calls per second:\n",
                MEMORY_NAME);
    MemoryFigures intime;
    StandInSegment segment;
    if (segment.Ready() && MeasureMemory(folder, MEMTYPE_INTIME, seconds, intime)) {
        PrintCalls("HMI_SmemReadDWord", intime.hmi);
        PrintCalls("plain read", intime.plain);
        PrintRatio("plain read", "HMI_SmemReadDWord", intime.plain, intime.hmi);
        if (windows.hmi > 0)
            PrintRatio("Windows type", "INtime type (HMI_SmemReadDWord)", windows.hmi,
                       intime.hmi);
    } else {
        std::printf("  the segment could not be opened or a call failed\n");
        status = 1;
    }

    WSACleanup();
    return status;
}
