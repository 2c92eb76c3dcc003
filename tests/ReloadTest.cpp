// ReloadTest.cpp - TalvernLink.dll and HmiBridge.dll loaded and freed again
// and again, as an HMI program that reconnects to the board by reloading
// the bridge does. After a warm-up, further loads must keep no TLS index, no
// committed memory, and no handle beyond what Wine keeps for an import of
// winmm (taken from WinmmOnly.dll, a DLL that imports only winmm).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "HmiBridge.h"
#include "TestSupport.h"

namespace {

using testsupport::ProgramDir;
using testsupport::ScopedTempDir;

constexpr int WARM_UP_CYCLES = 20;

// A few hundred cycles; fewer where 32-bit programs run emulated, where a
// load takes several times longer. One TLS index, one handle or one heap
// block per load still shows many times over.
int CountedCycles()
{
    return std::getenv("TALVERN_EMULATED_32BIT") != nullptr && sizeof(void*) == 4 ? 60 : 200;
}

// What the process holds of the three resources a load may keep.
struct Footprint {
    long free_tls_indexes = 0;
    long handles = 0;
    long long committed_private = 0;  // bytes
};

long FreeTlsIndexes()
{
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
        taken.push_back(index);
    for (DWORD index : taken)
        TlsFree(index);
    return static_cast<long>(taken.size());
}

// Handle values are small multiples of 4, handed out lowest first; the scan
// ends after a long run of values that name no handle.
// (GetProcessHandleCount answers 0 under Wine.)
long OpenHandles()
{
    constexpr int RUN_OF_UNUSED = 1024;
    long count = 0;
    int unused = 0;
    for (uintptr_t value = 4; unused < RUN_OF_UNUSED; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return count;
}

long long CommittedPrivateBytes()
{
    long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    return total;
}

// TLS first: a first TlsAlloc past the 64 fixed slots may allocate, and the
// memory walk then sees that allocation both times.
Footprint Measure()
{
    Footprint now;
    now.free_tls_indexes = FreeTlsIndexes();
    now.handles = OpenHandles();
    now.committed_private = CommittedPrivateBytes();
    return now;
}

// What the counted cycles, after the warm-up, left behind: TLS indexes and
// handles taken, bytes committed. A failed cycle fails the test.
Footprint KeptByCycles(const std::function<bool()>& cycle)
{
    const int cycles = WARM_UP_CYCLES + CountedCycles();
    Footprint before;
    for (int i = 0; i < cycles; ++i) {
        if (i == WARM_UP_CYCLES)
            before = Measure();
        if (!cycle()) {
            ADD_FAILURE() << "cycle " << i << " failed";
            return {};
        }
    }
    const Footprint after = Measure();
    Footprint kept;
    kept.free_tls_indexes = before.free_tls_indexes - after.free_tls_indexes;
    kept.handles = after.handles - before.handles;
    kept.committed_private = after.committed_private - before.committed_private;
    return kept;
}

bool LoadAndFree(const std::string& path)
{
    HMODULE module = LoadLibraryA(path.c_str());
    return module != nullptr && FreeLibrary(module);
}

// The bridge on a Windows file mapping: loaded, the memory opened and
// closed, freed.
bool BridgeCycle(const std::string& path)
{
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr)
        return false;
    HmiEntryPoints hmi = {};
    const bool ok = HmiBindEntryPoints(module, &hmi) && hmi.open() == 0;
    if (ok)
        hmi.close();
    return FreeLibrary(module) && ok;
}

TEST(Reload, LoadsKeepNoTlsIndexHandleOrMemory)
{
    ScopedTempDir dir("reload");  // the current directory: TalvernLink's log goes there
    const std::string bridge = dir.File("HmiBridge.dll");
    ASSERT_TRUE(CopyFileA((ProgramDir() + "HmiBridge.dll").c_str(), bridge.c_str(), FALSE));
    testsupport::WriteFileText(dir.File("HmiBridge.ini"),
                               "[Config]\r\nUsedMemType=2\r\nUsedMemSize=4096\r\n"
                               "UsedMemName=Reload" +
                                   std::to_string(GetCurrentProcessId()) + "\r\n");

    const Footprint winmm =
        KeptByCycles([] { return LoadAndFree(ProgramDir() + "WinmmOnly.dll"); });
    EXPECT_EQ(winmm.free_tls_indexes, 0);

    // Only TalvernLink imports winmm; the bridge may keep no handle at all.
    struct Case {
        const char* library;
        std::function<bool()> cycle;
        long handle_allowance;
    };
    const Case cases[] = {
        {"TalvernLink.dll", [] { return LoadAndFree(ProgramDir() + "TalvernLink.dll"); },
         winmm.handles},
        {"HmiBridge.dll", [&] { return BridgeCycle(bridge); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.library);
        const Footprint kept = KeptByCycles(c.cycle);
        EXPECT_EQ(kept.free_tls_indexes, 0);
        EXPECT_LE(kept.handles, c.handle_allowance);
        EXPECT_LE(kept.committed_private, 4096);  // a page in all, for the heap's own layout
    }
}

}  // namespace
