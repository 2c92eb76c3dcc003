// Tests of MapFile and ProcMapFile, in this process and across child
// processes (CommonChild.exe), of this bitness and of the other one.
#include "MapFile.h"
#include "ProcMapFile.h"

#include "CommonTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using commontest::ChildPath;
using commontest::NamedEvent;
using commontest::UniqueName;
using testsupport::ChildProcess;
using testsupport::ReadFileText;
using testsupport::ScopedTempDir;

namespace {

// What a "hold" child reported about its ProcMapFile.
struct HoldReport {
    int result = -9;
    int slot = -9;
    int count = -9;
    int created = -9;
};

HoldReport ReadReport(const std::string& tag)
{
    HoldReport r;
    sscanf(ReadFileText(tag + ".txt").c_str(), "%d %d %d %d", &r.result, &r.slot, &r.count,
           &r.created);
    return r;
}

// A child that takes a slot of table once go is set and holds it until its
// end event is set.
class Holder {
public:
    Holder(const std::string& child, const std::string& table, const std::string& tag)
        : tag_(tag), go_(tag + "_go"), done_(tag + "_done"), end_(tag + "_end"),
          process_("\"" + child + "\" hold " + table + " " + go_.Name() + " " + tag)
    {
    }
    bool Started() const { return process_.Started(); }
    // Lets the child take its slot and returns what it reported.
    HoldReport Take()
    {
        go_.Set();
        if (!done_.Wait())
            return HoldReport();
        return ReadReport(tag_);
    }
    // Lets the child free its slot and end; its exit code.
    int Release()
    {
        end_.Set();
        return process_.Wait();
    }

private:
    std::string tag_;
    NamedEvent go_, done_, end_;
    ChildProcess process_;
};

const ProcSlotTable* TableOf(const MapFile& map)
{
    return static_cast<const ProcSlotTable*>(map.GetPointer());
}

}  // namespace

TEST(MapFile, CreatorZeroFillsAndJoinerSharesTheBytes)
{
    const std::string name = UniqueName("MapFileTest");
    MapFile first;
    ASSERT_EQ(first.Create(name.c_str(), 4096), 1);
    EXPECT_EQ(first.IsCreated(), 1);
    unsigned char* a = static_cast<unsigned char*>(first.GetPointer());
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(a[i], 0) << i;
    memcpy(a, "shared", 7);

    MapFile second;
    ASSERT_EQ(second.Create(name.c_str(), 4096), 1);
    EXPECT_EQ(second.IsCreated(), 0);
    const char* b = static_cast<const char*>(second.GetPointer());
    EXPECT_STREQ(b, "shared");  // no zero fill by the joiner

    MapFile reader;
    ASSERT_EQ(reader.Open(name.c_str()), 1);
    EXPECT_EQ(reader.IsCreated(), 0);
    EXPECT_STREQ(static_cast<const char*>(reader.GetPointer()), "shared");
}

TEST(MapFile, SecondCreateIsRefusedAndCloseAllowsANewOne)
{
    const std::string name = UniqueName("MapFileTest");
    const std::string other = UniqueName("MapFileTest");
    MapFile map;
    ASSERT_EQ(map.Create(name.c_str(), 64), 1);
    void* view = map.GetPointer();
    EXPECT_EQ(map.Create(other.c_str(), 64), 0);
    EXPECT_EQ(map.Open(name.c_str()), 0);
    EXPECT_EQ(map.GetPointer(), view);

    map.Close();
    EXPECT_EQ(map.GetPointer(), nullptr);
    EXPECT_EQ(map.IsCreated(), 1);  // kept from the last Create
    map.Close();
    ASSERT_EQ(map.Create(other.c_str(), 64), 1);
    EXPECT_EQ(map.IsCreated(), 1);
}

TEST(MapFile, FailuresLeaveTheObjectClosedWithThePlatformError)
{
    MapFile map;
    EXPECT_EQ(map.Open(UniqueName("MapFileMissing").c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(map.GetPointer(), nullptr);

    // A name that an event holds: the platform refuses a mapping of it.
    const std::string event_name = UniqueName("MapFileEvent");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
    ASSERT_NE(event, nullptr);
    const struct {
        const char* what;
        std::string name;
        int32_t size;
        DWORD error;
    } cases[] = {
        {"size 0", UniqueName("MapFileTest"), 0, ERROR_INVALID_PARAMETER},
        {"negative size", UniqueName("MapFileTest"), -1, ERROR_INVALID_PARAMETER},  // never zero-fills 4 GB
        {"name over 259 characters", std::string(300, 'n'), 64, ERROR_FILENAME_EXCED_RANGE},
        {"name of an event", event_name, 64, ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SetLastError(NO_ERROR);
        EXPECT_EQ(map.Create(c.name.c_str(), c.size), 0) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(map.GetPointer(), nullptr) << c.what;
    }
    CloseHandle(event);
    EXPECT_EQ(map.Create(UniqueName("MapFileTest").c_str(), 64), 1);
}

TEST(ProcMapFile, FullTableRefusesTheNextProcessAndTheLastHolderRemovesIt)
{
    const std::string name = UniqueName("ProcMapTest");
    std::vector<std::unique_ptr<ProcMapFile>> holders;
    for (int i = 0; i < PROC_SLOT_COUNT; ++i) {
        holders.emplace_back(new ProcMapFile);
        ASSERT_EQ(holders.back()->Create(name.c_str()), 1);
        ASSERT_EQ(holders.back()->GetSlot(), i);
    }
    EXPECT_EQ(holders[0]->IsCreated(), 1);
    EXPECT_EQ(holders[1]->IsCreated(), 0);
    EXPECT_EQ(holders[0]->GetCount(), PROC_SLOT_COUNT);

    ProcMapFile refused;
    EXPECT_EQ(refused.Create(name.c_str()), 0);
    EXPECT_EQ(refused.GetSlot(), -1);
    EXPECT_NE(refused.GetPointer(), nullptr);  // still mapped
    EXPECT_EQ(refused.GetCount(), PROC_SLOT_COUNT);

    holders[7].reset();  // frees slot 7
    ProcMapFile late;
    ASSERT_EQ(late.Create(name.c_str()), 1);
    EXPECT_EQ(late.GetSlot(), 7);

    late.ReleaseSlot();
    EXPECT_EQ(late.GetSlot(), -1);
    EXPECT_EQ(late.GetCount(), 0);  // not mapped any more
    refused.ReleaseSlot();
    holders.clear();
    // Every holder gone: the table is made anew, all free.
    ProcMapFile next;
    ASSERT_EQ(next.Create(name.c_str()), 1);
    EXPECT_EQ(next.IsCreated(), 1);
    EXPECT_EQ(next.GetSlot(), 0);
    EXPECT_EQ(next.GetCount(), 1);
}

TEST(ProcMapFileAcrossProcesses, LowestFreeSlotIsTakenAndReleased)
{
    ScopedTempDir dir("slots");
    const std::string table = UniqueName("ProcMapTest");
    const std::string tag = UniqueName("hold");
    // All four children start at once; each takes its slot when told to.
    Holder a(ChildPath(), table, tag + "a"), b(ChildPath(), table, tag + "b"),
        c(ChildPath(), table, tag + "c"), d(ChildPath(), table, tag + "d");
    ASSERT_TRUE(a.Started() && b.Started() && c.Started() && d.Started());

    HoldReport ra = a.Take();
    EXPECT_EQ(ra.result, 1);
    EXPECT_EQ(ra.slot, 0);
    EXPECT_EQ(ra.count, 1);
    EXPECT_EQ(ra.created, 1);
    HoldReport rb = b.Take();
    EXPECT_EQ(rb.slot, 1);
    EXPECT_EQ(rb.count, 2);
    EXPECT_EQ(rb.created, 0);
    HoldReport rc = c.Take();
    EXPECT_EQ(rc.slot, 2);
    EXPECT_EQ(rc.count, 3);
    EXPECT_EQ(rc.created, 0);

    MapFile watch;
    ASSERT_EQ(watch.Open(table.c_str()), 1);
    const ProcSlotTable* t = TableOf(watch);
    EXPECT_EQ(t->count, 3);
    EXPECT_EQ(a.Release(), 0);
    EXPECT_EQ(t->count, 2);
    EXPECT_EQ(t->used[0], 0);
    EXPECT_EQ(t->used[1], 1);

    HoldReport rd = d.Take();
    EXPECT_EQ(rd.slot, 0);
    EXPECT_EQ(rd.count, 3);

    EXPECT_EQ(b.Release(), 0);
    EXPECT_EQ(c.Release(), 0);
    EXPECT_EQ(d.Release(), 0);
    EXPECT_EQ(t->count, 0);
    watch.Close();
    ProcMapFile fresh;
    ASSERT_EQ(fresh.Create(table.c_str()), 1);
    EXPECT_EQ(fresh.IsCreated(), 1);
    EXPECT_EQ(fresh.GetSlot(), 0);
}

TEST(ProcMapFileAcrossProcesses, SimultaneousTakersNeverShareASlot)
{
    // Several processes take and free slots in a tight loop, the table
    // coming and going as they do; each marks the slot it holds with its
    // process id and counts a fault when another process holds it too.
    // Emulated 32-bit processes are slow: fewer rounds there.
    const int CHILDREN = 6;
    const int ROUNDS = commontest::RunsEmulated() ? 100 : 300;
    const std::string table = UniqueName("ProcMapTest");
    const std::string owners_name = UniqueName("ProcMapOwners");
    MapFile owners;
    ASSERT_EQ(owners.Create(owners_name.c_str(), PROC_SLOT_COUNT * sizeof(LONG)), 1);
    NamedEvent go(UniqueName("churn_go"));
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < CHILDREN; ++i) {
        children.emplace_back(new ChildProcess("\"" + ChildPath() + "\" churn " + table + " " +
                                               owners_name + " " + go.Name() + " " +
                                               std::to_string(ROUNDS)));
        ASSERT_TRUE(children.back()->Started());
    }
    go.Set();
    for (auto& child : children)
        EXPECT_EQ(child->Wait(), 0) << "faults seen by a child";

    // All gone: the next holder makes a fresh, consistent table.
    ProcMapFile after;
    ASSERT_EQ(after.Create(table.c_str()), 1);
    EXPECT_EQ(after.IsCreated(), 1);
    EXPECT_EQ(after.GetSlot(), 0);
    EXPECT_EQ(after.GetCount(), 1);
}

TEST(ProcMapFileAcrossProcesses, AMutexHeldForeverIsWaitedOutAndAnAbandonedOneIsTaken)
{
    const DWORD TICK_SLACK_MS = 100;  // clock granularity
    const DWORD LATE_MS = 3000;       // what a slow (emulated) process may add to the bound
    const ULONGLONG bound = ProcMapFile::LOCK_WAIT_MS;
    ScopedTempDir dir("lock");
    const std::string table = UniqueName("ProcMapTest");
    NamedEvent locked(UniqueName("lock_held")), end(UniqueName("lock_end"));
    ChildProcess holder("\"" + ChildPath() + "\" lock " + table + " " + locked.Name() + " " +
                        end.Name());
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(locked.Wait());

    // The holder never lets go: taking and freeing a slot each wait out the
    // bound once, then use the table unguarded.
    ProcMapFile map;
    ULONGLONG start = GetTickCount64();
    ASSERT_EQ(map.Create(table.c_str()), 1);
    const ULONGLONG created = GetTickCount64();
    EXPECT_EQ(map.GetSlot(), 0);
    map.ReleaseSlot();
    const ULONGLONG released = GetTickCount64();
    EXPECT_GE(created - start, bound - TICK_SLACK_MS);  // the mutex was held
    EXPECT_LT(created - start, bound + LATE_MS);
    EXPECT_LT(released - created, bound + LATE_MS);

    // The holder ends without releasing it while another process has the
    // mutex open (here: this one, as a waiter would): the next taker owns the
    // abandoned mutex at once and releases it for the one after.
    HANDLE waiter = CreateMutexA(nullptr, FALSE, (table + "_Lock").c_str());
    ASSERT_NE(waiter, nullptr);
    end.Set();
    ASSERT_EQ(holder.Wait(), 0);
    ProcMapFile after;
    start = GetTickCount64();
    ASSERT_EQ(after.Create(table.c_str()), 1);
    EXPECT_LT(GetTickCount64() - start, bound);
    Holder next(ChildPath(), table, UniqueName("lock"));
    ASSERT_TRUE(next.Started());
    start = GetTickCount64();
    HoldReport r = next.Take();
    EXPECT_LT(GetTickCount64() - start, bound);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.slot, 1);
    EXPECT_EQ(next.Release(), 0);
    CloseHandle(waiter);
}

TEST(CrossBitness, OneTableAtTheSameOffsets)
{
    const std::string child = commontest::OtherBitnessChild();
    if (child.empty()) {
        const char* why = "the other bitness's CommonChild.exe is not built beside this one";
        if (commontest::RunsEmulated()) {
            printf("not run: %s\n", why);
            return;
        }
        GTEST_SKIP() << why;
    }
    ScopedTempDir dir("bits");
    const std::string table = UniqueName("ProcMapTest");
    ProcMapFile s0, s1, s2;
    ASSERT_EQ(s0.Create(table.c_str()), 1);
    ASSERT_EQ(s1.Create(table.c_str()), 1);
    ASSERT_EQ(s2.Create(table.c_str()), 1);
    s1.ReleaseSlot();

    Holder other(child, table, UniqueName("bits"));
    ASSERT_TRUE(other.Started());
    HoldReport r = other.Take();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.slot, 1);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.created, 0);
    const ProcSlotTable* t = static_cast<const ProcSlotTable*>(s0.GetPointer());
    EXPECT_EQ(t->used[1], 1);
    EXPECT_EQ(s0.GetCount(), 3);

    EXPECT_EQ(other.Release(), 0);
    EXPECT_EQ(t->used[1], 0);
    EXPECT_EQ(s0.GetCount(), 2);
}
