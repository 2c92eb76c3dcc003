// Checks that every thread of a Windows process keeps its own thread state
// (Wine's thread block behind %fs, glibc's thread storage behind %gs) while
// threads come and go, throw, and are suspended. Under qemu-user this is
// what the preload library of tools/qemu-ldt provides; elsewhere Wine does.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

// Each thread's own id, written once. A thread compares it, and the id its
// thread block reports, with the copy it keeps on its own stack: a thread
// running on another thread's block or storage sees a different id.
thread_local DWORD t_owner;

// 1 when this thread's block or storage is no longer its own.
DWORD Mismatch(DWORD self)
{
    return (t_owner != self || GetCurrentThreadId() != self) ? 1 : 0;
}

struct ChurnCase {
    const char* name;
    int waves;
    int width;   // threads alive at once
    int rounds;  // per thread: check, lock, count
};

CRITICAL_SECTION g_lock;
long g_counted;

// One churn thread: remembers its id in thread-local storage, then checks
// that its thread block and storage still belong to it around a C++
// exception and a contended lock. Returns the number of mismatches.
DWORD WINAPI ChurnThread(void* param)
{
    const int rounds = *static_cast<const int*>(param);
    const DWORD self = GetCurrentThreadId();
    t_owner = self;
    DWORD mismatches = 0;
    for (int i = 0; i < rounds; ++i) {
        try {
            throw i;
        } catch (int) {
        }
        EnterCriticalSection(&g_lock);
        ++g_counted;
        LeaveCriticalSection(&g_lock);
        mismatches += Mismatch(self);
    }
    return mismatches;
}

class ThreadChurn : public ::testing::TestWithParam<ChurnCase> {};

// More threads over the run than the preload has descriptors (511), so its
// descriptors of ended threads are taken again.
TEST_P(ThreadChurn, EveryThreadKeepsItsOwnState)
{
    const ChurnCase c = GetParam();
    InitializeCriticalSection(&g_lock);
    g_counted = 0;
    for (int wave = 0; wave < c.waves; ++wave) {
        std::vector<HANDLE> threads;
        for (int i = 0; i < c.width; ++i) {
            HANDLE h = CreateThread(nullptr, 0, ChurnThread, const_cast<int*>(&c.rounds), 0, nullptr);
            ASSERT_NE(h, nullptr) << "wave " << wave << ", thread " << i;
            threads.push_back(h);
        }
        for (HANDLE h : threads) {
            ASSERT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0) << "wave " << wave;
            DWORD mismatches = 1;
            EXPECT_TRUE(GetExitCodeThread(h, &mismatches));
            EXPECT_EQ(mismatches, 0u) << "wave " << wave;
            CloseHandle(h);
        }
    }
    EXPECT_EQ(g_counted, long(c.waves) * c.width * c.rounds);
    DeleteCriticalSection(&g_lock);
}

INSTANTIATE_TEST_SUITE_P(Cases, ThreadChurn,
                         ::testing::Values(ChurnCase{"ManyShortThreads", 30, 20, 5},
                                           ChurnCase{"FewBusyThreads", 2, 4, 2000}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SpinArgs {
    std::atomic<bool> stop{false};
    std::atomic<long> mismatches{0};
};

// Spins until told to stop, counting the times its state is not its own.
DWORD WINAPI SpinThread(void* param)
{
    auto* args = static_cast<SpinArgs*>(param);
    const DWORD self = GetCurrentThreadId();
    t_owner = self;
    while (!args->stop.load())
        args->mismatches += Mismatch(self);
    return 0;
}

// Suspending a thread interrupts it with a signal, whose handler and return
// reload the segment registers: the thread must come back to its own state.
TEST(ThreadSuspend, ASuspendedThreadResumesWithItsOwnState)
{
    const int SUSPENSIONS = 50;
    SpinArgs args;
    HANDLE h = CreateThread(nullptr, 0, SpinThread, &args, 0, nullptr);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < SUSPENSIONS; ++i) {
        ASSERT_NE(SuspendThread(h), DWORD(-1));
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        EXPECT_TRUE(GetThreadContext(h, &context));
        ASSERT_NE(ResumeThread(h), DWORD(-1));
        Sleep(1);
    }
    args.stop = true;
    ASSERT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
    CloseHandle(h);
    EXPECT_EQ(args.mismatches.load(), 0);
}

}  // namespace
