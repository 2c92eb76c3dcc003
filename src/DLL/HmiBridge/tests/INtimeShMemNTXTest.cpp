// INtimeShMemNTXTest.cpp - the NTX binding and INtimeShMemNTX against the NTX
// library stand-in, which the build puts in <bin>\intime\bin\ntx.dll (and a
// build lacking ntxUnmapRtSharedMemory in <bin>\intime_partial\bin). The
// stand-in's controls play the real-time side. Single-threaded.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "INtimeShMemNTX.h"
#include "NtxStandIn.h"
#include "TestSupport.h"

namespace {

using testsupport::ProgramDir;

constexpr uint32_t OTHER_TYPE = 3;  // an object that is neither process nor segment
constexpr uint32_t SEGMENT_SIZE = 64;

// Sets INTIME (null: removes it) for the object's lifetime, then restores it.
class ScopedIntime {
public:
    explicit ScopedIntime(const char* value)
    {
        char old[MAX_PATH * 2];
        const DWORD n = GetEnvironmentVariableA(NTX_ENV_VARIABLE, old, sizeof(old));
        had_ = n > 0 && n < sizeof(old);
        old_ = had_ ? old : "";
        SetEnvironmentVariableA(NTX_ENV_VARIABLE, value);
    }
    ~ScopedIntime() { SetEnvironmentVariableA(NTX_ENV_VARIABLE, had_ ? old_.c_str() : nullptr); }

private:
    bool had_;
    std::string old_;
};

// MEM_COMMIT, MEM_RESERVE or MEM_FREE. Asked, not read: under qemu-user a
// 32-bit process dies of a faulting read, even inside IsBadReadPtr.
DWORD StateOf(const void* address)
{
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(address, &info, sizeof(info));
    return info.State;
}

// base\ppp...p: a folder path of exactly length characters.
std::string PaddedPath(const std::string& base, size_t length)
{
    return base + "\\" + std::string(length - base.size() - 1, 'p');
}

// Copies the library to file, creating its folder and the folder above.
// Paths this long take the "\\?\" form of the wide calls.
bool PlaceLibrary(const std::string& library, const std::string& file)
{
    const std::string folder = file.substr(0, file.find_last_of('\\'));
    auto wide = [](const std::string& s) { return L"\\\\?\\" + std::wstring(s.begin(), s.end()); };
    CreateDirectoryW(wide(folder.substr(0, folder.find_last_of('\\'))).c_str(), nullptr);
    CreateDirectoryW(wide(folder).c_str(), nullptr);
    return CopyFileW(wide(library).c_str(), wide(file).c_str(), FALSE) != 0;
}

TEST(NtxBinding, LoadsFromIntimeBinOrByThePlainNameOnly)
{
    testsupport::ScopedTempDir dir("ntx");  // the current directory
    const std::string library = ProgramDir() + "intime\\bin\\ntx.dll";
    ASSERT_TRUE(CopyFileA(library.c_str(), dir.File("ntx.dll").c_str(), FALSE));
    // The longest value whose library path fits in 260 characters, and one
    // longer, whose path cut to fit would name the copy "...\bin\ntx.dl".
    const std::string longest = PaddedPath(dir.Path(), 247);
    const std::string too_long = PaddedPath(dir.Path(), 248);
    ASSERT_TRUE(PlaceLibrary(library, longest + "\\bin\\ntx.dll"));
    ASSERT_TRUE(PlaceLibrary(library, too_long + "\\bin\\ntx.dl"));

    const std::string bin = ProgramDir();
    const struct {
        const char* what;
        std::string intime;  // "-": unset
        std::string loaded;  // the library loaded; empty: none
    } cases[] = {
        {"INTIME's bin folder", bin + "intime", library},
        {"a library lacking one name", bin + "intime_partial", ""},
        {"no bin folder, a library in the current one", dir.Path(), ""},
        {"INTIME unset: the plain name", "-", dir.File("ntx.dll")},
        {"INTIME of 247 characters", longest, longest + "\\bin\\ntx.dll"},
        {"INTIME of 248 characters", too_long, ""},
        {"INTIME longer than its buffer", PaddedPath(dir.Path(), 300), ""},
    };
    for (const auto& c : cases) {
        ScopedIntime intime(c.intime == "-" ? nullptr : c.intime.c_str());
        EXPECT_EQ(LoadNtx(), c.loaded.empty() ? 0 : 1) << c.what;
        EXPECT_EQ(IsNtxLoaded(), c.loaded.empty() ? 0 : 1) << c.what;
        char path[MAX_PATH] = "";
        if (g_ntx_module != nullptr)
            GetModuleFileNameA(g_ntx_module, path, MAX_PATH);
        EXPECT_EQ(lstrcmpiA(path, c.loaded.c_str()), 0) << c.what << ": " << path;
        FreeNtx();
        EXPECT_EQ(GetModuleHandleA(NTX_LIBRARY_NAME), nullptr) << c.what << ": left loaded";
    }
    // Without the library an open fails at once, with no code.
    INtimeShMemNTX shmem;
    EXPECT_EQ(shmem.Open(nullptr, "SEG"), 0);
    EXPECT_EQ(shmem.GetLastError(), 0);
    EXPECT_EQ(shmem.GetPointer(0), nullptr);
}

// The stand-in loaded through INTIME, its catalog reset to: in the root, a
// segment SEG, a 12-character segment ABCDEFGHIJKL, a 13-character one
// ABCDEFGHIJKLM, a segment NOBYTES that cannot be mapped, an object NOTSEG
// and NOTPROC of another type, and a process PLC holding a segment PLCSEG.
class NtxBackend : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(LoadNtx(), 1);
        ASSERT_TRUE(NtxStandInBind(g_ntx_module, &ntx));
        ntx.reset();
        for (const char* name : {"SEG", "ABCDEFGHIJKL", "ABCDEFGHIJKLM"})
            ASSERT_NE(ntx.create_segment(nullptr, name, SEGMENT_SIZE), NTX_NO_HANDLE);
        ASSERT_NE(ntx.create_object(nullptr, "NOBYTES", NTX_TYPE_SEGMENT), NTX_NO_HANDLE);
        ASSERT_NE(ntx.create_object(nullptr, "NOTSEG", OTHER_TYPE), NTX_NO_HANDLE);
        ASSERT_NE(ntx.create_object(nullptr, "NOTPROC", OTHER_TYPE), NTX_NO_HANDLE);
        ASSERT_NE(ntx.create_object(nullptr, "PLC", NTX_TYPE_PROCESS), NTX_NO_HANDLE);
        ASSERT_NE(ntx.create_segment("PLC", "PLCSEG", SEGMENT_SIZE), NTX_NO_HANDLE);
        ntx.reset_call_count();
    }
    void TearDown() override { FreeNtx(); }

    ScopedIntime intime{(ProgramDir() + "intime").c_str()};
    NtxStandInControls ntx = {};
};

TEST_F(NtxBackend, EachStepOfTheChainGivesItsCode)
{
    const struct {
        const char* what;
        uint32_t rt_status;
        uint32_t root_type;
        const char* process;
        const char* segment;
        int32_t opened;
        uint16_t code;
        uint32_t calls;  // NTX calls of Open: the chain, then the map
    } cases[] = {
        {"kernel not ready", 1, NTX_TYPE_PROCESS, nullptr, "SEG", 0, NTX_ERR_RT_STATUS, 1},
        {"no root", 0, NTX_STANDIN_NO_ROOT, nullptr, "SEG", 0, NTX_ERR_NO_ROOT, 2},
        {"root not a process", 0, OTHER_TYPE, nullptr, "SEG", 0, NTX_ERR_BAD_TYPE, 3},
        {"no such process", 0, NTX_TYPE_PROCESS, "NOPE", "SEG", 0, NTX_ERR_NO_PROCESS, 4},
        {"process not a process", 0, NTX_TYPE_PROCESS, "NOTPROC", "SEG", 0, NTX_ERR_BAD_TYPE, 5},
        {"no segment in root", 0, NTX_TYPE_PROCESS, nullptr, "PLCSEG", 0, NTX_ERR_NO_SEGMENT, 4},
        {"no segment in process", 0, NTX_TYPE_PROCESS, "PLC", "SEG", 0, NTX_ERR_NO_SEGMENT, 6},
        {"segment not a segment", 0, NTX_TYPE_PROCESS, nullptr, "NOTSEG", 0, NTX_ERR_BAD_TYPE, 5},
        {"found, not mapped", 0, NTX_TYPE_PROCESS, nullptr, "NOBYTES", 0, 0, 6},
        {"root by null", 0, NTX_TYPE_PROCESS, nullptr, "SEG", 1, 0, 6},
        {"root by empty", 0, NTX_TYPE_PROCESS, "", "SEG", 1, 0, 6},
        {"named process", 0, NTX_TYPE_PROCESS, "PLC", "PLCSEG", 1, 0, 8},
        {"12 characters", 0, NTX_TYPE_PROCESS, nullptr, "ABCDEFGHIJKL", 1, 0, 6},
        {"13 characters", 0, NTX_TYPE_PROCESS, nullptr, "ABCDEFGHIJKLM", 0,
         NTX_ERR_NAME_TOO_LONG, 0},
        {"13-character process", 0, NTX_TYPE_PROCESS, "ABCDEFGHIJKLM", "SEG", 0,
         NTX_ERR_NAME_TOO_LONG, 0},
    };
    for (const auto& c : cases) {
        ntx.set_rt_status(c.rt_status);
        ntx.set_root(c.root_type);
        ntx.reset_call_count();
        INtimeShMemNTX shmem;
        EXPECT_EQ(shmem.Open(c.process, c.segment), c.opened) << c.what;
        EXPECT_EQ(shmem.GetLastError(), c.code) << c.what;
        EXPECT_EQ(ntx.call_count(), c.calls) << c.what;
        ntx.reset_call_count();
        if (c.opened) {
            // A passing check: five NTX calls, seven with a process name.
            EXPECT_EQ(shmem.CheckStatus(0), 1) << c.what;
            EXPECT_EQ(ntx.call_count(), (c.process && *c.process) ? 7u : 5u) << c.what;
            EXPECT_NE(shmem.GetPointer(0), nullptr) << c.what;
            ntx.reset_call_count();
        }
        // Nothing is left mapped after a failed open; one unmap after a good one.
        EXPECT_EQ(shmem.Close(), 1) << c.what;
        EXPECT_EQ(ntx.call_count(), c.opened ? 1u : 0u) << c.what;
    }
}

TEST_F(NtxBackend, SegmentFoundButNotMappedPassesOnlyTheStoringCheck)
{
    INtimeShMemNTX shmem;
    EXPECT_EQ(shmem.Open(nullptr, "NOBYTES"), 0);
    ntx.reset_call_count();
    EXPECT_EQ(shmem.GetPointer(0), nullptr);
    EXPECT_EQ(ntx.call_count(), 5u);  // the whole chain ran
    EXPECT_EQ(shmem.CheckStatus(1), 1);
    EXPECT_EQ(shmem.GetLastError(), 0);
}

TEST_F(NtxBackend, BridgeAndPlcSideShareTheSegmentUntilItIsRemoved)
{
    INtimeShMemNTX shmem;
    ASSERT_EQ(shmem.Open("PLC", "PLCSEG"), 1);
    uint8_t* base = shmem.GetPointer(0);
    uint8_t* plc = ntx.segment_view("PLC", "PLCSEG");
    ASSERT_NE(plc, nullptr);
    ASSERT_NE(plc, base);
    EXPECT_EQ(shmem.GetPointer(16), base + 16);
    base[3] = 0xA5;
    plc[SEGMENT_SIZE - 1] = 0x5A;
    EXPECT_EQ(plc[3], 0xA5);
    EXPECT_EQ(base[SEGMENT_SIZE - 1], 0x5A);

    // Gone: the old address is reserved inaccessible, and the next check
    // fails by name.
    ASSERT_EQ(ntx.remove_object(nullptr, "PLC"), 1);
    EXPECT_EQ(StateOf(base), static_cast<DWORD>(MEM_RESERVE));
    EXPECT_EQ(shmem.GetPointer(0), nullptr);
    EXPECT_EQ(shmem.GetLastError(), NTX_ERR_NO_PROCESS);
    EXPECT_EQ(shmem.Close(), 1);
}

TEST_F(NtxBackend, RefusedUnmapIsRetriedAndItsCodeOutlivesLaterSuccesses)
{
    INtimeShMemNTX shmem;
    ASSERT_EQ(shmem.Open(nullptr, "SEG"), 1);
    uint8_t* base = shmem.GetPointer(0);
    ntx.refuse_unmaps(1);
    EXPECT_EQ(shmem.Close(), 0);
    EXPECT_EQ(shmem.GetLastError(), NTX_ERR_UNMAP);
    EXPECT_EQ(shmem.GetPointer(0), base);  // still mapped
    EXPECT_EQ(shmem.Close(), 1);
    EXPECT_EQ(StateOf(base), static_cast<DWORD>(MEM_FREE));
    ntx.reset_call_count();
    EXPECT_EQ(shmem.Close(), 1);  // nothing left to unmap
    EXPECT_EQ(ntx.call_count(), 0u);
    EXPECT_EQ(shmem.Open(nullptr, "SEG"), 1);
    EXPECT_EQ(shmem.GetLastError(), NTX_ERR_UNMAP);
}

}  // namespace
