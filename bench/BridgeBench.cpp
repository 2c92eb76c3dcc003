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
// Each figure is the best of three runs alternating between the parties
// compared, printed as measured. Each ratio divides the other party's rate
// by the bridge's and says which of the two is faster; the last one compares
// the Windows type's HMI_SmemReadDWord with the INtime type's guarded path.
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
// The bridge holds board 0; the direct TalvernLink.dll calls use this one.
constexpr BoardIndex DIRECT_BOARD = 1;

// The plain read: one double word at offset of a mapped memory. noipa keeps
// it a real call that the caller knows nothing about (no inlining, no
// assumption that it is pure), so a call whose value is dropped is still
// made.
__attribute__((noipa)) uint32_t PlainReadDWord(const uint8_t* memory, int32_t offset)
{
    uint32_t value;
    memcpy(&value, memory + offset, sizeof(value));
    return value;
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
            PrintLine("  HMI_SmemOpen -> %ld\n", static_cast<long>(result));
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
            PrintLine("  %s is not set: no NTX library\n", NTX_ENV_VARIABLE);
            return;
        }
        const int written =
            std::snprintf(path, sizeof(path), "%s\\bin\\%s", intime, NTX_LIBRARY_NAME);
        if (written < 0 || written >= static_cast<int>(sizeof(path)))
            return;
        module_ = LoadLibraryA(path);
        if (module_ == nullptr || !NtxStandInBind(module_, &controls_)) {
            PrintLine("  %s is not the NTX stand-in\n", path);
            return;
        }
        created_ = controls_.create_segment(nullptr, MEMORY_NAME, MEMORY_SIZE) != NTX_NO_HANDLE;
        if (!created_)
            PrintLine("  the segment %s could not be created\n", MEMORY_NAME);
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

// Compares HMI_SmemReadDWord with TalvernLink.dll and the plain client on
// the board, then the 4 KiB HMI_SmemReadBytes the same way, printing as it
// goes; false when a party could not start, read another value than the
// bridge wrote, or a call failed.
bool MeasureBoard(const char* folder, int port, double seconds)
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
    auto hmi_dword = [&] { return hmi.read_dword(VALUE_ADDRESS, &dword) == 0; };
    auto tvn_dword = [&] {
        return link.tvn.smem_read_dword(DIRECT_BOARD, link.handle, VALUE_OFFSET, &dword) == 0;
    };
    auto plain_dword = [&] {
        return plain.Read(plain_handle, VALUE_OFFSET, &dword, sizeof(dword));
    };
    auto hmi_block = [&] { return hmi.read_bytes(PCOS_OFFSET, block.data(), BLOCK_SIZE) == 0; };
    auto tvn_block = [&] {
        return link.tvn.smem_read_bytes(DIRECT_BOARD, link.handle, 0, block.data(),
                                        BLOCK_SIZE) == 0;
    };
    auto plain_block = [&] { return plain.Read(plain_handle, 0, block.data(), BLOCK_SIZE); };

    PrintLine("board, %u bytes, round trips per second:\n", static_cast<unsigned>(sizeof(dword)));
    if (!Compare({Party("HMI_SmemReadDWord", hmi_dword), Party("TVN_SmemReadDWord", tvn_dword),
                  Party("plain client", plain_dword)},
                 seconds, Unit::ROUND_TRIPS))
        return false;
    PrintLine("board, %lu bytes, round trips per second:\n",
              static_cast<unsigned long>(BLOCK_SIZE));
    return Compare({Party("HMI_SmemReadBytes", hmi_block), Party("TVN_SmemReadBytes", tvn_block),
                    Party("plain client", plain_block)},
                   seconds, Unit::ROUND_TRIPS);
}

// Compares HMI_SmemReadDWord with the plain read of the same bytes on the
// mapped memory of mem_type, printing as it goes, and leaves the bridge's
// best rate in hmi_rate; false when the bridge could not open the memory,
// the plain read sees another value, or a call failed.
bool MeasureMemory(const char* folder, int32_t mem_type, double seconds, double& hmi_rate)
{
    LoadedBridge bridge(folder, Settings(mem_type, 0));
    if (!bridge.Ready())
        return false;
    void* base = nullptr;
    bridge.hmi.get_pointer(&base, 0);
    const uint8_t* memory = static_cast<const uint8_t*>(base);
    if (memory == nullptr || PlainReadDWord(memory, VALUE_OFFSET) != VALUE)
        return false;

    // Captured by value, so that the timing loop keeps the entry point and the
    // memory address in registers.
    const auto read_dword = bridge.hmi.read_dword;
    uint32_t dword = 0;
    auto hmi_dword = [read_dword, &dword] { return read_dword(VALUE_ADDRESS, &dword) == 0; };
    // The value is dropped: PlainReadDWord is noipa, so each call is made.
    auto plain_dword = [memory] {
        PlainReadDWord(memory, VALUE_OFFSET);
        return true;
    };
    std::vector<double> best;
    if (!Compare({Party("HMI_SmemReadDWord", hmi_dword), Party("plain read", plain_dword)}, seconds,
                 Unit::MEMORY_CALLS, &best))
        return false;
    hmi_rate = best[0];
    return true;
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
    PrintLine("HmiBridge.dll from %s, best of %d runs of %.1f s\n", folder, RUNS, seconds);
    int status = 0;

    PrintLine("board at %s:%d (UsedMemType 3)\n", BOARD_ADDRESS, port);
    if (!MeasureBoard(folder, port, seconds)) {
        PrintLine("  the board could not be reached or a call failed\n");
        status = 1;
    }

    PrintLine("Windows file mapping %s_Win (UsedMemType 2), calls per second:\n", MEMORY_NAME);
    double windows_rate = 0;
    if (!MeasureMemory(folder, MEMTYPE_WINDOWS, seconds, windows_rate)) {
        PrintLine("  the mapping could not be opened or a call failed\n");
        status = 1;
    }

    PrintLine("INtime segment %s (UsedMemType 1, NTX stand-in), calls per second:\n", MEMORY_NAME);
    double intime_rate = 0;
    StandInSegment segment;
    if (!segment.Ready() || !MeasureMemory(folder, MEMTYPE_INTIME, seconds, intime_rate)) {
        PrintLine("  the segment could not be opened or a call failed\n");
        status = 1;
    } else if (windows_rate > 0) {
        PrintLine("HMI_SmemReadDWord on the two mapped types:\n");
        PrintRatio("Windows type", "INtime type", windows_rate, intime_rate);
    }

    WSACleanup();
    return status;
}
