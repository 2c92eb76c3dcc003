// HmiBridgeTest.cpp - HmiBridge.dll as an HMI program uses it: a copy of the
// shipped library in a test-made folder with its HmiBridge.ini, loaded and
// bound by name, over each of the three memory types.
//
// Single-threaded, so that it runs in the 32-bit build on every machine:
// the board is BoardSim.exe in a process of its own, the PLC side of a
// mapped memory is a view of the same bytes in this process (the NTX
// stand-in's, or the test's own view of the Windows mapping).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "BoardSimProcess.h"
#include "HmiBridge.h"
#include "NtxStandIn.h"
#include "TalvernLink.h"
#include "TestSupport.h"

namespace {

using testsupport::BoardSimProcess;
using testsupport::ProgramDir;
using testsupport::ScopedTempDir;

constexpr int32_t PCOS = 68000;             // the default ProConOS offset
constexpr uint32_t BOARD_MEMORY = 0x100000;  // what BoardSim.exe gives an opened memory
constexpr int32_t NTX_NO_SEGMENT_ERROR = -64756;
constexpr int32_t NTX_NOT_LOADED_ERROR = -65536;

// The calls a recording TalvernLink stand-in reported, as "name text number".
std::vector<std::string> g_link_calls;

}  // namespace

// Called by the recording TalvernLink stand-in for every call it receives;
// every call succeeds.
extern "C" __declspec(dllexport) int32_t __cdecl RecordingLinkCall(const char* name, int32_t,
                                                                   const char* text,
                                                                   int32_t number,
                                                                   const SYSTEMTIME*)
{
    g_link_calls.push_back(std::string(name) + " " + (text ? text : "") + " " +
                           std::to_string(number));
    return 0;
}

namespace {

// A copy of HmiBridge.dll in dir with the given lines of section "Config"
// (no settings file when config is null), loaded and bound.
class Bridge {
public:
    Bridge(const ScopedTempDir& dir, const char* config)
    {
        const std::string dll = dir.File("HmiBridge.dll");
        CopyFileA((ProgramDir() + "HmiBridge.dll").c_str(), dll.c_str(), FALSE);
        if (config != nullptr)
            testsupport::WriteFileText(dir.File("HmiBridge.ini"),
                                       std::string("[Config]\r\n") + config);
        module_ = LoadLibraryA(dll.c_str());
        if (module_ != nullptr)
            HmiBindEntryPoints(module_, &hmi);
    }
    ~Bridge() { Unload(); }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    bool Loaded() const { return module_ != nullptr && hmi.write_string != nullptr; }
    void Unload()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
        module_ = nullptr;
    }

    HmiEntryPoints hmi = {};

private:
    HMODULE module_ = nullptr;
};

// The NTX stand-in loaded by the test itself, so that its catalog outlives
// every load of the bridge; INTIME names its folder while the test runs.
class NtxSide {
public:
    NtxSide()
    {
        const std::string intime = ProgramDir() + "intime";
        SetEnvironmentVariableA("INTIME", intime.c_str());
        module_ = LoadLibraryA((intime + "\\bin\\ntx.dll").c_str());
        ok_ = module_ != nullptr && NtxStandInBind(module_, &control);
        if (ok_)
            control.reset();
    }
    ~NtxSide()
    {
        if (ok_)
            control.reset();
        if (module_ != nullptr)
            FreeLibrary(module_);
        SetEnvironmentVariableA("INTIME", nullptr);
    }
    bool Ok() const { return ok_; }

    NtxStandInControls control = {};

private:
    HMODULE module_ = nullptr;
    bool ok_ = false;
};

// HMI_SmemWriteReal (size 4) or HMI_SmemWriteLReal (size 8) called with
// exactly these bits. A 32-bit caller that holds a float may quiet a
// signalling NaN on the way (the x87 unit does), so there the export is
// called through a type that takes the bits as integers, which the stack
// holds alike. In a 64-bit build a real travels in an SSE register, which
// keeps every bit.
int32_t WriteRealBits(const HmiEntryPoints& hmi, int32_t address, uint64_t bits, size_t size)
{
#ifdef _WIN64
    float real;
    double lreal;
    memcpy(&real, &bits, sizeof(real));
    memcpy(&lreal, &bits, sizeof(lreal));
    return size == sizeof(real) ? hmi.write_real(address, real) : hmi.write_lreal(address, lreal);
#else
    int32_t(HMI_API * write_real)(int32_t, uint32_t);
    int32_t(HMI_API * write_lreal)(int32_t, uint32_t, uint32_t);
    memcpy(&write_real, &hmi.write_real, sizeof(write_real));
    memcpy(&write_lreal, &hmi.write_lreal, sizeof(write_lreal));
    const uint32_t low = static_cast<uint32_t>(bits), high = static_cast<uint32_t>(bits >> 32);
    return size == sizeof(float) ? write_real(address, low) : write_lreal(address, low, high);
#endif
}

// Reals keep their bits both ways, shown with signalling NaNs of both signs
// and every payload bit set: written through the export, the memory holds
// them (as the PLC side sees it, or a block read on the board); put there
// as bytes, the export reads them back.
void ExpectRealsKeepTheirBits(const HmiEntryPoints& hmi, const uint8_t* plc, int32_t offset)
{
    const int32_t address = PCOS + offset;
    for (uint64_t bits : {0x7FBFFFFFull, 0xFFBFFFFFull, 0x7FF7FFFFFFFFFFFFull,
                          0xFFF7FFFFFFFFFFFFull}) {
        SCOPED_TRACE(testing::Message() << "bits 0x" << std::hex << bits);
        const size_t size = (bits >> 32) != 0 ? sizeof(double) : sizeof(float);
        uint64_t stored = 0;
        EXPECT_EQ(WriteRealBits(hmi, address, bits, size), 0);
        if (plc != nullptr)
            memcpy(&stored, plc + offset, size);
        else
            EXPECT_EQ(hmi.read_bytes(address, &stored, static_cast<uint32_t>(size)), 0);
        EXPECT_EQ(stored, bits);

        uint64_t read = 0;  // the bridge stores the real's bits here
        EXPECT_EQ(hmi.write_bytes(address, &bits, static_cast<uint32_t>(size)), 0);
        EXPECT_EQ(size == sizeof(float) ? hmi.read_real(address, reinterpret_cast<float*>(&read))
                                        : hmi.read_lreal(address, reinterpret_cast<double*>(&read)),
                  0);
        EXPECT_EQ(read, bits);
    }
}

// Settings text of one memory type for the access script.
std::string Config(int type, uint32_t size, const std::string& extra = "")
{
    return "UsedMemName=HmiTest\r\nUsedMemType=" + std::to_string(type) +
           "\r\nUsedMemSize=" + std::to_string(size) + "\r\n" + extra;
}

// The same accesses on an opened memory of any type. plc is the PLC side's
// view of the memory's bytes, null for the board (seen through the bridge
// only).
void RunAccessScript(const HmiEntryPoints& hmi, uint8_t* plc, uint32_t size, int type)
{
    SCOPED_TRACE("memory type " + std::to_string(type));
    const uint8_t block[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(hmi.write_byte(PCOS + 1, 0xA5), 0);
    EXPECT_EQ(hmi.write_word(PCOS + 2, 0xBEEF), 0);
    EXPECT_EQ(hmi.write_dword(PCOS + 4, 0xDEADBEEFu), 0);
    EXPECT_EQ(hmi.write_real(PCOS + 9, 1.5f), 0);  // no alignment needed
    EXPECT_EQ(hmi.write_lreal(PCOS + 13, -2.25), 0);
    EXPECT_EQ(hmi.write_bytes(PCOS + 21, block, sizeof(block)), 0);

    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t d = 0;
    float r = 0;
    double l = 0;
    uint8_t back[5] = {};
    EXPECT_EQ(hmi.read_byte(PCOS + 1, &b), 0);
    EXPECT_EQ(hmi.read_word(PCOS + 2, &w), 0);
    EXPECT_EQ(hmi.read_dword(PCOS + 4, &d), 0);
    EXPECT_EQ(hmi.read_real(PCOS + 9, &r), 0);
    EXPECT_EQ(hmi.read_lreal(PCOS + 13, &l), 0);
    EXPECT_EQ(hmi.read_bytes(PCOS + 21, back, sizeof(back)), 0);
    EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(w, 0xBEEF);
    EXPECT_EQ(d, 0xDEADBEEFu);
    EXPECT_EQ(0, memcmp(back, block, sizeof(block)));
    const float real = 1.5f;
    const double lreal = -2.25;
    EXPECT_EQ(0, memcmp(&r, &real, sizeof(r)));  // bit for bit
    EXPECT_EQ(0, memcmp(&l, &lreal, sizeof(l)));
    ExpectRealsKeepTheirBits(hmi, plc, 64);
    if (plc != nullptr) {
        // Little-endian at the byte offsets, as the PLC side reads them.
        const uint8_t expected[13] = {0, 0xA5, 0xEF, 0xBE, 0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 0xC0, 0x3F};
        EXPECT_EQ(0, memcmp(plc, expected, sizeof(expected)));
        EXPECT_EQ(0, memcmp(plc + 21, block, sizeof(block)));
    }

    // A PLC string of capacity 20 written by the PLC side's header.
    const int32_t text = PCOS + 40;
    if (plc != nullptr) {
        plc[40] = 20;
        plc[41] = 0;
    }
    int32_t length = -1;
    EXPECT_EQ(hmi.write_string(text, "HELLO", 5), 0);
    EXPECT_EQ(hmi.get_string_length(text, &length), 0);
    EXPECT_EQ(length, plc != nullptr ? 5 : 0) << "capacity 0 on the board: no length";
    char chars[10];
    memset(chars, 0x7F, sizeof(chars));
    EXPECT_EQ(hmi.read_string(text, chars, sizeof(chars)), 0);
    EXPECT_EQ(std::string(chars, 5), "HELLO");
    if (plc != nullptr) {
        const uint8_t stored[10] = {20, 0, 5, 0, 'H', 'E', 'L', 'L', 'O', 0};
        EXPECT_EQ(0, memcmp(plc + 40, stored, sizeof(stored)));
    }

    // Bounds: below the offset, the last DWord and one byte further, an empty
    // block at the very end.
    d = 7;
    EXPECT_EQ(hmi.read_dword(PCOS - 1, &d), SMEM_ERR_RANGE);
    EXPECT_EQ(d, 0u);
    EXPECT_EQ(hmi.write_dword(PCOS + static_cast<int32_t>(size) - 4, 1), 0);
    EXPECT_EQ(hmi.write_dword(PCOS + static_cast<int32_t>(size) - 3, 1), SMEM_ERR_RANGE);
    EXPECT_EQ(hmi.read_bytes(PCOS + static_cast<int32_t>(size), back, 0), 0);

    void* pointer = reinterpret_cast<void*>(1);
    hmi.get_pointer(&pointer, 1);
    if (type == MEMTYPE_BOARD) {
        EXPECT_EQ(pointer, nullptr);
    } else {
        ASSERT_NE(pointer, nullptr) << "a mapped memory hands out its bytes";
    }
    if (pointer != nullptr) {
        EXPECT_EQ(*static_cast<uint8_t*>(pointer), 0xA5);
    }
    EXPECT_EQ(hmi.is_mem_type(), type);
    EXPECT_EQ(hmi.is_pcos_offset(), PCOS);
}

// Closing ends every access: NOT_OPEN, 0 in the destination.
void ExpectClosed(const HmiEntryPoints& hmi)
{
    hmi.close();
    uint32_t d = 7;
    EXPECT_EQ(hmi.read_dword(PCOS, &d), SMEM_ERR_NOT_OPEN);
    EXPECT_EQ(d, 0u);
    EXPECT_EQ(hmi.is_exist(), 0);
    EXPECT_EQ(hmi.is_mem_size(), 0);
}

TEST(HmiBridgeAccess, WindowsMappingSeenByThePlcSide)
{
    ScopedTempDir dir("hmiwin");
    Bridge bridge(dir, Config(MEMTYPE_WINDOWS, 4096).c_str());
    ASSERT_TRUE(bridge.Loaded());
    EXPECT_EQ(bridge.hmi.is_mem_type(), 0) << "not opened yet";
    ASSERT_EQ(bridge.hmi.open(), 0);
    EXPECT_EQ(bridge.hmi.open(), SMEM_ERR_ALREADY_OPEN);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "HmiTest_Win");
    ASSERT_NE(mapping, nullptr);
    uint8_t* plc = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    RunAccessScript(bridge.hmi, plc, 4096, MEMTYPE_WINDOWS);
    EXPECT_EQ(bridge.hmi.is_mem_size(), 4096);
    ExpectClosed(bridge.hmi);
    EXPECT_EQ(bridge.hmi.open(), 0) << "opens again after a close";
    UnmapViewOfFile(plc);
    CloseHandle(mapping);
}

TEST(HmiBridgeAccess, INtimeSegmentSeenByThePlcSide)
{
    ScopedTempDir dir("hmintx");
    NtxSide ntx;
    ASSERT_TRUE(ntx.Ok());
    ASSERT_NE(ntx.control.create_segment("", "HmiTest", 4096), NTX_NO_HANDLE);
    Bridge bridge(dir, Config(MEMTYPE_INTIME, 4096).c_str());
    ASSERT_TRUE(bridge.Loaded());
    ASSERT_EQ(bridge.hmi.open(), 0);
    uint8_t* plc = static_cast<uint8_t*>(ntx.control.segment_view("", "HmiTest"));
    ASSERT_NE(plc, nullptr);
    ntx.control.reset_call_count();
    RunAccessScript(bridge.hmi, plc, 4096, MEMTYPE_INTIME);
    EXPECT_EQ(ntx.control.call_count(), 0) << "no NTX call on the path of an access";
    EXPECT_EQ(bridge.hmi.is_mem_size(), 4096);
    // A string longer than its capacity is cut to it.
    plc[40] = 4;
    EXPECT_EQ(bridge.hmi.write_string(PCOS + 40, "ABCDEFGHIJ", 10), 0);
    const uint8_t cut[9] = {4, 0, 4, 0, 'A', 'B', 'C', 'D', 0};
    EXPECT_EQ(0, memcmp(plc + 40, cut, sizeof(cut)));
    char chars[10];
    memset(chars, 0x7F, sizeof(chars));
    EXPECT_EQ(bridge.hmi.read_string(PCOS + 40, chars, sizeof(chars)), 0);
    EXPECT_EQ(std::string(chars, 5), std::string("ABCD\x7F")) << "in-use characters only";
    ExpectClosed(bridge.hmi);
}

TEST(HmiBridgeAccess, BoardMemoryThroughTalvernLink)
{
    ScopedTempDir dir("hmibrd");
    BoardSimProcess board;
    const int port = board.WaitForPort(60000);
    ASSERT_NE(port, 0);
    const std::string config =
        Config(MEMTYPE_BOARD, 4096, "OpenIpAddress=127.0.0.1\r\nOpenPort=" + std::to_string(port));
    Bridge bridge(dir, config.c_str());
    ASSERT_TRUE(bridge.Loaded());
    EXPECT_EQ(bridge.hmi.is_exist(), 1) << "board 0 connected while the bridge loaded";
    EXPECT_EQ(bridge.hmi.is_mem_type(), 0);
    ASSERT_EQ(bridge.hmi.open(), 0);
    RunAccessScript(bridge.hmi, nullptr, 4096, MEMTYPE_BOARD);
    EXPECT_EQ(bridge.hmi.is_mem_size(), static_cast<int32_t>(BOARD_MEMORY));
    ExpectClosed(bridge.hmi);

    // The board stays out of reach until the bridge is loaded again.
    const size_t served = board.RequestCommands().size();
    EXPECT_EQ(bridge.hmi.open(), 0);
    uint8_t b = 7;
    EXPECT_EQ(bridge.hmi.read_byte(PCOS, &b), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(b, 0);
    bridge.Unload();
    EXPECT_EQ(board.RequestCommands().size(), served) << "nothing sent after the close";
}

TEST(HmiBridgeAddress, PlcAddressesBoundedWithoutWrapAround)
{
    struct Case {
        int32_t pcos;
        int32_t address;
        uint32_t size;
        int32_t expected;
    };
    const Case cases[] = {
        {PCOS, 68000, 4, 0},
        {PCOS, 67999, 4, SMEM_ERR_RANGE},
        {PCOS, 199068, 4, 0},  // the last four bytes of 131072
        // Fails only where the configured size does not bound the access.
        {PCOS, 199069, 4, SMEM_ERR_RANGE},
        {PCOS, 199072, 0, 0},
        {PCOS, 68001, 4294967295u, SMEM_ERR_RANGE},
        // Fails only where address - ProConOS_Offset wraps at 32 bits (to 1).
        {2147483647, -2147483647 - 1, 4, SMEM_ERR_RANGE},
        // The last four bytes, seen from the lowest offset.
        {-2147483647 - 1, -2147483647 - 1 + 131068, 4, 0},
    };
    ScopedTempDir dir("hmiaddr");
    // A segment larger than the configured size (the default 131072): the
    // configured size must be the only bound.
    NtxSide ntx;
    ASSERT_TRUE(ntx.Ok());
    ASSERT_NE(ntx.control.create_segment("", "HmiAddr", 2 * 131072), NTX_NO_HANDLE);
    for (const Case& c : cases) {
        SCOPED_TRACE("pcos " + std::to_string(c.pcos) + " address " + std::to_string(c.address) +
                     " size " + std::to_string(c.size));
        const std::string config = "UsedMemName=HmiAddr\r\nUsedMemType=1\r\nProConOS_Offset=" +
                                   std::to_string(c.pcos) + "\r\n";
        Bridge bridge(dir, config.c_str());
        ASSERT_TRUE(bridge.Loaded());
        ASSERT_EQ(bridge.hmi.open(), 0);
        // A write: where a bound fails, it overruns the segment, not the
        // test's own stack.
        const uint8_t buffer[4] = {};
        EXPECT_EQ(bridge.hmi.write_bytes(c.address, buffer, c.size), c.expected);
    }
}

TEST(HmiBridgeWindows, SmallerMappingOfAnotherProgramBoundsTheAccess)
{
    // Another program made HmiSmall_Win with one page only.
    HANDLE other = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      "HmiSmall_Win");
    ASSERT_NE(other, nullptr);
    ScopedTempDir dir("hmismall");
    Bridge bridge(dir, "UsedMemName=HmiSmall\r\nUsedMemType=2\r\nUsedMemSize=131072\r\n");
    ASSERT_TRUE(bridge.Loaded());
    ASSERT_EQ(bridge.hmi.open(), 0);
    EXPECT_EQ(bridge.hmi.write_dword(PCOS + 4092, 1), 0);
    EXPECT_EQ(bridge.hmi.write_dword(PCOS + 4093, 1), SMEM_ERR_RANGE);
    uint8_t block[16];
    EXPECT_EQ(bridge.hmi.read_bytes(PCOS + 65536, block, sizeof(block)), SMEM_ERR_RANGE);
    EXPECT_EQ(bridge.hmi.write_string(PCOS + 4090, "AB", 2), SMEM_ERR_RANGE);
    bridge.Unload();
    CloseHandle(other);
}

TEST(HmiBridgeWindows, NameThatCannotNameTheMappingIsRefused)
{
    ScopedTempDir dir("hminame");
    for (size_t length : {255u, 256u, 259u}) {
        SCOPED_TRACE("name of " + std::to_string(length) + " characters");
        const std::string config =
            "UsedMemName=" + std::string(length, 'N') + "\r\nUsedMemType=2\r\n";
        Bridge bridge(dir, config.c_str());
        ASSERT_TRUE(bridge.Loaded());
        EXPECT_EQ(bridge.hmi.open(), length <= 255 ? 0 : ERROR_FILENAME_EXCED_RANGE);
    }
}

TEST(HmiBridgeOpen, InvalidMemoryTypeNeverOpens)
{
    ScopedTempDir dir("hmitype");
    for (int type : {0, 4, -1}) {
        SCOPED_TRACE("type " + std::to_string(type));
        const std::string config = "UsedMemType=" + std::to_string(type) + "\r\n";
        Bridge bridge(dir, config.c_str());
        ASSERT_TRUE(bridge.Loaded());
        EXPECT_EQ(bridge.hmi.open(), SMEM_ERR_BAD_TYPE);
        EXPECT_EQ(bridge.hmi.open(), SMEM_ERR_BAD_TYPE);
        EXPECT_EQ(bridge.hmi.is_mem_type(), 0);
    }
}

TEST(HmiBridgeOpen, SequencesWhenTheSegmentIsMissing)
{
    // Each INtime attempt makes four NTX calls before the name is not found.
    constexpr uint32_t ATTEMPT = 4;
    struct Case {
        const char* config;
        int32_t result;
        int32_t type_after;  // HMI_SmemIsMemType after the open
        DWORD min_ms, max_ms;
        uint32_t ntx_calls;
    };
    const Case cases[] = {
        {"OpenSeqType=0\r\n", NTX_NO_SEGMENT_ERROR, 0, 0, 900, ATTEMPT},
        {"OpenSeqType=1\r\nOpenTimeout=0\r\n", NTX_NO_SEGMENT_ERROR, 0, 950, 2500, ATTEMPT},
        {"OpenSeqType=1\r\nOpenTimeout=3\r\n", NTX_NO_SEGMENT_ERROR, 0, 2900, 6000, 3 * ATTEMPT},
        {"OpenSeqType=2\r\n", 0, MEMTYPE_WINDOWS, 0, 900, ATTEMPT},
        {"OpenSeqType=3\r\n", 0, 0, 0, 900, ATTEMPT},  // opened without memory
    };
    ScopedTempDir dir("hmiseq");
    NtxSide ntx;
    ASSERT_TRUE(ntx.Ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        const std::string config = std::string("UsedMemName=HmiSeq\r\nUsedMemType=1\r\n") + c.config;
        Bridge bridge(dir, config.c_str());
        ASSERT_TRUE(bridge.Loaded());
        ntx.control.reset_call_count();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(bridge.hmi.open(), c.result);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_GE(took, c.min_ms);
        EXPECT_LE(took, c.max_ms);
        EXPECT_EQ(ntx.control.call_count(), c.ntx_calls);
        EXPECT_EQ(bridge.hmi.is_mem_type(), c.type_after);
        uint32_t d = 7;
        EXPECT_EQ(bridge.hmi.read_dword(PCOS, &d),
                  c.type_after != 0 ? 0 : c.result == 0 ? SMEM_ERR_NOT_EXIST : SMEM_ERR_NOT_OPEN);
        if (c.type_after == MEMTYPE_WINDOWS) {
            // The fallback lasts: the next open goes straight to the mapping.
            bridge.hmi.close();
            ntx.control.reset_call_count();
            EXPECT_EQ(bridge.hmi.open(), 0);
            EXPECT_EQ(ntx.control.call_count(), 0);
            EXPECT_EQ(bridge.hmi.is_mem_type(), MEMTYPE_WINDOWS);
        }
    }
}

TEST(HmiBridgeOpen, WithoutTheNtxLibrary)
{
    ScopedTempDir dir("hminontx");
    SetEnvironmentVariableA("INTIME", dir.Path().c_str());  // a bin folder without it
    Bridge bridge(dir, "UsedMemType=1\r\n");
    ASSERT_TRUE(bridge.Loaded());
    EXPECT_EQ(bridge.hmi.open(), NTX_NOT_LOADED_ERROR);
    SetEnvironmentVariableA("INTIME", nullptr);
}

TEST(HmiBridgeFault, VanishedSegmentIsUnreachableUntilReopened)
{
    ScopedTempDir dir("hmivanish");
    NtxSide ntx;
    ASSERT_TRUE(ntx.Ok());
    // Configured larger than the segment: the probe of the first word passes,
    // a copy past the segment's end faults. The segment's view starts on a
    // 64 KiB allocation boundary, so nothing else can be mapped between its
    // end and the next boundary: the copies below end there.
    ASSERT_NE(ntx.control.create_segment("", "HmiGone", 4096), NTX_NO_HANDLE);
    Bridge bridge(dir, "UsedMemName=HmiGone\r\nUsedMemType=1\r\nUsedMemSize=131072\r\n");
    ASSERT_TRUE(bridge.Loaded());
    ASSERT_EQ(bridge.hmi.open(), 0);
    uint32_t d = 7;
    EXPECT_EQ(bridge.hmi.read_dword(PCOS + 4096 - 2, &d), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(d, 0u);
    EXPECT_EQ(bridge.hmi.is_exist(), 0) << "a faulting copy forgets the segment";
    // A block copy that runs off the segment's end partway fails the same way,
    // leaves this program's registers as they were, and has stored the
    // segment's bytes up to its end, not one beyond.
    bridge.hmi.close();
    ASSERT_EQ(bridge.hmi.open(), 0);
    const std::vector<uint8_t> tail(256, 0xA5);
    ASSERT_EQ(bridge.hmi.write_bytes(PCOS + 4096 - 256, tail.data(), 256), 0);
    std::vector<uint8_t> block(512, 0x55);
    EXPECT_EQ(bridge.hmi.read_bytes(PCOS + 4096 - 256, block.data(), 512), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 256), tail);
    EXPECT_EQ(std::count(block.begin() + 256, block.end(), 0x55), 256);
    EXPECT_EQ(bridge.hmi.is_exist(), 0);
    bridge.hmi.close();
    ASSERT_EQ(bridge.hmi.open(), 0);

    // The segment goes away while mapped: every access and query says so,
    // also after it comes back, until a close and an open.
    ASSERT_EQ(ntx.control.remove_object("", "HmiGone"), 1);
    EXPECT_EQ(bridge.hmi.write_dword(PCOS, 1), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(bridge.hmi.is_exist(), 0);
    EXPECT_EQ(bridge.hmi.is_mem_size(), 0);
    void* pointer = reinterpret_cast<void*>(1);
    bridge.hmi.get_pointer(&pointer, 0);
    EXPECT_EQ(pointer, nullptr);
    ASSERT_NE(ntx.control.create_segment("", "HmiGone", 4096), NTX_NO_HANDLE);
    EXPECT_EQ(bridge.hmi.is_exist(), 0);
    bridge.hmi.close();
    EXPECT_EQ(bridge.hmi.open(), 0);
    EXPECT_EQ(bridge.hmi.write_dword(PCOS, 1), 0);
}

// A page of this program's own, locked (inaccessible) before each call. The
// program's last vectored handler, added after the bridge was loaded, mends
// it (makes it accessible) and continues, as a program that manages its own
// pages does. Any exception while the page is locked counts as an access to
// it: under emulation it may carry neither code nor address.
uint8_t* g_page = nullptr;
int g_mends = 0;

LONG CALLBACK MendPage(EXCEPTION_POINTERS*)
{
    MEMORY_BASIC_INFORMATION info;
    DWORD old;
    if (VirtualQuery(g_page, &info, sizeof(info)) != sizeof(info) ||
        info.Protect != PAGE_NOACCESS || !VirtualProtect(g_page, 4096, PAGE_READWRITE, &old))
        return EXCEPTION_CONTINUE_SEARCH;
    ++g_mends;
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(HmiBridgeFault, FaultOnTheCallersBufferIsTheCallers)
{
    ScopedTempDir dir("hmicaller");
    NtxSide ntx;
    ASSERT_TRUE(ntx.Ok());
    ASSERT_NE(ntx.control.create_segment("", "HmiCaller", 4096), NTX_NO_HANDLE);
    g_page = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(g_page, nullptr);
    auto lock = [] {
        DWORD old;
        VirtualProtect(g_page, 4096, PAGE_NOACCESS, &old);
    };
    constexpr uint32_t LENGTH = 100;  // a block, not a typed size
    for (int type : {MEMTYPE_INTIME, MEMTYPE_WINDOWS}) {
        SCOPED_TRACE("memory type " + std::to_string(type));
        Bridge bridge(dir, ("UsedMemName=HmiCaller\r\nUsedMemSize=4096\r\nUsedMemType=" +
                            std::to_string(type) + "\r\n").c_str());
        ASSERT_TRUE(bridge.Loaded());
        ASSERT_EQ(bridge.hmi.open(), 0);
        PVOID handler = AddVectoredExceptionHandler(0, MendPage);
        g_mends = 0;
        for (uint32_t i = 0; i < LENGTH; ++i)
            g_page[i] = static_cast<uint8_t>(i + 1);
        lock();
        EXPECT_EQ(bridge.hmi.write_bytes(PCOS + 8, g_page, LENGTH), 0);
        memset(g_page, 0, LENGTH);
        lock();
        EXPECT_EQ(bridge.hmi.read_bytes(PCOS + 8, g_page, LENGTH), 0);
        RemoveVectoredExceptionHandler(handler);
        EXPECT_EQ(g_mends, 2);
        for (uint32_t i = 0; i < LENGTH; ++i)
            ASSERT_EQ(g_page[i], static_cast<uint8_t>(i + 1)) << "byte " << i;
        EXPECT_EQ(bridge.hmi.is_exist(), 1) << "the memory is still reachable";
    }
    VirtualFree(g_page, 0, MEM_RELEASE);
}

TEST(HmiBridgeBoard, FailedBoardRequestsAreReported)
{
    ScopedTempDir dir("hmibrdfail");
    BoardSimProcess board;
    const int port = board.WaitForPort(60000);
    ASSERT_NE(port, 0);
    // Configured larger than the board's memory, so the board refuses.
    const std::string config = Config(MEMTYPE_BOARD, 2 * BOARD_MEMORY,
                                       "OpenIpAddress=127.0.0.1\r\nOpenPort=" +
                                           std::to_string(port));
    Bridge bridge(dir, config.c_str());
    ASSERT_TRUE(bridge.Loaded());
    ASSERT_EQ(bridge.hmi.open(), 0);
    const int32_t beyond = PCOS + static_cast<int32_t>(BOARD_MEMORY);
    double l = 7;
    EXPECT_EQ(bridge.hmi.read_lreal(beyond, &l), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(l, 0.0);
    uint8_t block[4] = {9, 9, 9, 9};
    EXPECT_EQ(bridge.hmi.read_bytes(beyond, block, sizeof(block)), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(block[0], 9) << "the buffer is left alone";
    int32_t length = 7;
    EXPECT_EQ(bridge.hmi.get_string_length(beyond, &length), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(length, 0);

    // A string whose characters run past the board's end: the length is
    // written, the characters are refused, the terminator is never sent.
    EXPECT_EQ(bridge.hmi.write_string(beyond - 6, "ABCDEF", 6), SMEM_ERR_NOT_EXIST);
    // open, three reads, then the string's length and characters (1 open,
    // 3 write, 4 read).
    const std::vector<int> served = {1, 4, 4, 4, 3, 3};
    EXPECT_EQ(board.WaitForRequests(served.size(), 5000), served);
    Sleep(200);
    EXPECT_EQ(board.RequestCommands(), served);
}

TEST(HmiBridgeBoard, UnreachableBoardStillLoads)
{
    ScopedTempDir dir("hmibrdnone");
    // Port 1 of the loopback: nothing listens, the connect is refused at once.
    Bridge bridge(dir, "UsedMemType=3\r\nOpenIpAddress=127.0.0.1\r\nOpenPort=1\r\n");
    ASSERT_TRUE(bridge.Loaded());
    EXPECT_EQ(bridge.hmi.is_exist(), 0);
    EXPECT_EQ(bridge.hmi.open(), 0);
    uint16_t w = 7;
    EXPECT_EQ(bridge.hmi.read_word(PCOS, &w), SMEM_ERR_NOT_EXIST);
    EXPECT_EQ(w, 0);
}

TEST(HmiBridgeSettings, DefaultsWithoutSettingsFile)
{
    ScopedTempDir dir("hmidefault");
    NtxSide ntx;
    ASSERT_TRUE(ntx.Ok());
    ASSERT_NE(ntx.control.create_segment("", "HMIM", 131072), NTX_NO_HANDLE);
    Bridge bridge(dir, nullptr);
    ASSERT_TRUE(bridge.Loaded());
    EXPECT_EQ(bridge.hmi.is_mem_size(), 0) << "known, but not opened yet";
    ASSERT_EQ(bridge.hmi.open(), 0);
    EXPECT_EQ(bridge.hmi.is_mem_type(), MEMTYPE_INTIME);
    EXPECT_EQ(bridge.hmi.is_mem_size(), 131072);
    EXPECT_EQ(bridge.hmi.is_pcos_offset(), PCOS);
}

TEST(HmiBridgeRecorded, DefaultBoardAddressReachesTalvernLink)
{
    // The recording stand-in, loaded first, is the TalvernLink.dll that the
    // bridge's load by plain name finds; nothing connects anywhere.
    HMODULE link = LoadLibraryA((ProgramDir() + "RecordingLink\\TalvernLink.dll").c_str());
    ASSERT_NE(link, nullptr);
    g_link_calls.clear();
    {
        ScopedTempDir dir("hmidefaddr");
        Bridge bridge(dir, "UsedMemType=3\r\n");
        ASSERT_TRUE(bridge.Loaded());
        ASSERT_EQ(bridge.hmi.open(), 0);
    }
    FreeLibrary(link);
    const std::string connect = std::string("TVN_Connect ") + DEFAULT_BOARD_ADDRESS + " " +
                                std::to_string(DEFAULT_BOARD_PORT);
    EXPECT_NE(std::find(g_link_calls.begin(), g_link_calls.end(), connect), g_link_calls.end());
    EXPECT_NE(std::find(g_link_calls.begin(), g_link_calls.end(), "TVN_SmemOpen HMIM 0"),
              g_link_calls.end());
}

}  // namespace
