// Tests of LogFile: line layout, level filter, rotation, counters kept in
// the settings file, concurrent writers, and two processes sharing one log
// base name.
#include "LogFile.h"
#include "ProcMapFile.h"

#include "CommonTestSupport.h"

#include <gtest/gtest.h>

#include <mmsystem.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using commontest::ChildPath;
using commontest::UniqueName;
using testsupport::ChildProcess;
using testsupport::FileExists;
using testsupport::ReadFileText;
using testsupport::ScopedTempDir;
using testsupport::SplitLines;
using testsupport::WriteFileText;

namespace {

const LogType FAILURE = 0x10001;
const LogType SUCCESS = 0x10002;
const LogType CONNECT = 0x10004;

// A fresh folder with the settings file "log.ini", the base name "lg" and a
// slot table of this test alone.
class LogFileTest : public ::testing::Test {
protected:
    void Settings(const std::string& lines) { WriteFileText(dir.File("log.ini"), "[LOG]\r\n" + lines); }
    int32_t OpenLog(LogFile& log, uint32_t default_level = 0)
    {
        return log.Open("lg", "log.ini", table.c_str(), default_level);
    }
    std::vector<std::string> Lines(const std::string& file) { return SplitLines(ReadFileText(dir.File(file))); }
    // The text after the marker of each line of file.
    std::vector<std::string> Texts(const std::string& file)
    {
        std::vector<std::string> texts;
        for (const std::string& line : Lines(file))
            texts.push_back(line.size() > 23 ? line.substr(23) : line);
        return texts;
    }
    int Key(const char* key)
    {
        return static_cast<int>(GetPrivateProfileIntA("LOG", key, -999, dir.File("log.ini").c_str()));
    }

    ScopedTempDir dir{"log"};
    std::string table = UniqueName("LogFileTest");
};

using TextList = std::vector<std::string>;

}  // namespace

TEST_F(LogFileTest, LineLayoutWithEachMarker)
{
    Settings("LOGLEVEL=1003fH\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    const LogType severities[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20};
    for (LogType severity : severities)
        log.Write(0x10000 | severity, "text");
    GetLocalTime(&after);
    log.Close();

    std::string content = ReadFileText(dir.File("lg_0000.log"));
    std::vector<std::string> lines = SplitLines(content);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
    const char* markers[] = {"@@   ", "**   ", "##    ", "++     ", "--      ", "==       "};
    char date[2][32];
    snprintf(date[0], 32, "%02d/%02d/%02d ", before.wMonth, before.wDay, before.wYear % 100);
    snprintf(date[1], 32, "%02d/%02d/%02d ", after.wMonth, after.wDay, after.wYear % 100);
    const std::regex time_re("[0-2][0-9]:[0-5][0-9]:[0-5][0-9] ");
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        ASSERT_GE(line.size(), 18u);
        std::string day = line.substr(0, 9);
        EXPECT_TRUE(day == date[0] || day == date[1]) << line;
        EXPECT_TRUE(std::regex_match(line.substr(9, 9), time_re)) << line;
        EXPECT_EQ(line.substr(18), std::string(markers[i]) + "text");
    }
}

TEST_F(LogFileTest, TickStandsBetweenTimeAndMarker)
{
    Settings("LOGLEVEL=10002H\r\nLOGTICKCOUNT=1\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    DWORD before = timeGetTime();
    log.Write(SUCCESS, "ticked");
    DWORD after = timeGetTime();
    log.Close();

    std::vector<std::string> lines = Lines("lg_0000.log");
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, std::regex(".{18}\\[([0-9]+)\\] \\*\\*   ticked")))
        << lines[0];
    unsigned long tick = std::stoul(m[1].str());
    EXPECT_GE(tick, before);
    EXPECT_LE(tick, after);
}

TEST_F(LogFileTest, OverlongLineIsCutWithItsLineEndKept)
{
    Settings("LOGLEVEL=10022H\r\nLOGTICKCOUNT=1\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    const std::string fits(230, 'f');  // 18 + marker 5 + 230 + 2 = 255 without the tick
    const std::string text(1000, 'x');
    log.Write(SUCCESS, text.c_str());
    log.Write(0x10020, text.c_str());
    log.Write(SUCCESS, "after");
    log.Close();

    std::string content = ReadFileText(dir.File("lg_0000.log"));
    std::vector<std::string> lines = SplitLines(content);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 253u);  // 255 with "\r\n"
    EXPECT_EQ(lines[1].size(), 253u);
    EXPECT_EQ(lines[0].back(), 'x');
    EXPECT_NE(lines[1].find("==       xxx"), std::string::npos);
    EXPECT_NE(lines[2].find("**   after"), std::string::npos);

    // Without the tick the longest line that fits is written whole; one
    // character more is cut from its end.
    Settings("LOGLEVEL=10022H\r\n");
    LogFile plain;
    ASSERT_EQ(OpenLog(plain), 1);
    plain.Write(SUCCESS, fits.c_str());
    plain.Write(SUCCESS, (fits + "y").c_str());
    plain.Close();
    content = ReadFileText(dir.File("lg_0000.log"));
    lines = SplitLines(content);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3].size() + 2, 255u);
    EXPECT_EQ(lines[3].substr(18), "**   " + fits);
    EXPECT_EQ(lines[4].substr(18), "**   " + fits);
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
}

TEST_F(LogFileTest, LevelFilterNeedsACategoryAndASeverityBit)
{
    Settings("LOGLEVEL=10001H\r\nLOGMAXLINE=1\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log, 0xFFFFFFFF), 1);
    log.Write(FAILURE, "failure");
    log.Write(SUCCESS, "success");   // severity not enabled
    log.Write(CONNECT, "connect");   // severity not enabled
    log.Write(0x20001, "other");     // category not enabled
    log.Write(0x00001, "none");      // no category at all
    log.Close();
    // The filtered lines were neither written nor counted, and caused no
    // rotation although the file was full.
    EXPECT_EQ(Texts("lg_0000.log"), TextList{"failure"});
    EXPECT_FALSE(FileExists(dir.File("lg_0001.log")));
    EXPECT_EQ(Key("FILENO_00"), 0);
    EXPECT_EQ(Key("LOGLINE_00"), 1);

    // A level without the trailing "H" is not accepted: the default applies.
    Settings("LOGLEVEL=10001\r\n");
    LogFile other;
    ASSERT_EQ(OpenLog(other, SUCCESS), 1);
    other.Write(FAILURE, "failure 2");
    other.Write(SUCCESS, "success 2");
    other.Close();
    EXPECT_EQ(Texts("lg_0000.log"), (TextList{"failure", "success 2"}));
}

TEST_F(LogFileTest, SeverityWithoutAMarkerKeepsItsText)
{
    Settings("LOGLEVEL=100c3H\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    log.Write(0x10003, "two bits");
    log.Write(0x10040, "no marker");
    log.Close();
    std::vector<std::string> lines = Lines("lg_0000.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(18), "two bits");
    EXPECT_EQ(lines[1].substr(18), "no marker");
}

TEST_F(LogFileTest, RotatesEveryMaxLineLines)
{
    Settings("LOGLEVEL=10002H\r\nLOGMAXLINE=3\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    for (int n = 1; n <= 7; ++n)
        log.Write(SUCCESS, std::to_string(n).c_str());
    log.Close();
    EXPECT_EQ(Texts("lg_0001.log"), (TextList{"4", "5", "6"}));
    EXPECT_EQ(Texts("lg_0000.log"), TextList{"7"});  // emptied when it became current again
    EXPECT_EQ(Key("FILENO_00"), 0);
    EXPECT_EQ(Key("LOGLINE_00"), 1);
}

TEST_F(LogFileTest, MaxLineZeroSwitchesBeforeEveryLine)
{
    Settings("LOGLEVEL=10002H\r\nLOGMAXLINE=0\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    EXPECT_TRUE(FileExists(dir.File("lg_0000.log")));
    log.Write(SUCCESS, "1");
    log.Write(SUCCESS, "2");
    log.Write(SUCCESS, "3");
    log.Close();
    EXPECT_EQ(Texts("lg_0001.log"), TextList{"3"});
    EXPECT_EQ(Texts("lg_0000.log"), TextList{"2"});
    EXPECT_EQ(Key("FILENO_00"), 1);
}

TEST_F(LogFileTest, StoredCountersAreUsedUnchanged)
{
    // A line count above the maximum switches before the first line; a file
    // number outside 0 and 1 names the first file and then turns into 0.
    Settings("LOGLEVEL=10002H\r\nLOGMAXLINE=3\r\nFILENO_00=7\r\nLOGLINE_00=5\r\n");
    WriteFileText(dir.File("lg_0007.log"), "old\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    log.Write(CONNECT, "filtered");  // passes no filter: no switch yet
    EXPECT_EQ(ReadFileText(dir.File("lg_0007.log")), "old\r\n");
    log.Write(SUCCESS, "first");
    log.Close();
    EXPECT_EQ(ReadFileText(dir.File("lg_0007.log")), "old\r\n");
    EXPECT_EQ(Texts("lg_0000.log"), TextList{"first"});
    EXPECT_EQ(Key("FILENO_00"), 0);
    EXPECT_EQ(Key("LOGLINE_00"), 1);
}

TEST_F(LogFileTest, CountersAreSavedAtCloseAndContinuedByTheNextOpen)
{
    // No settings file and level 0: the file is created empty, nothing is
    // written, and Close creates the settings file with the slot's keys.
    {
        LogFile quiet;
        ASSERT_EQ(OpenLog(quiet, 0), 1);
        EXPECT_EQ(quiet.IsMapCreator(), 1);
        EXPECT_EQ(quiet.GetProcCount(), 1);
        quiet.Write(SUCCESS, "dropped");
        quiet.Close();
        EXPECT_EQ(quiet.GetProcCount(), 0);
        EXPECT_EQ(quiet.IsMapCreator(), 0);
        EXPECT_EQ(ReadFileText(dir.File("lg_0000.log")), "");
        EXPECT_EQ(Key("FILENO_00"), 0);
        EXPECT_EQ(Key("LOGLINE_00"), 0);
    }
    LogFile log;
    ASSERT_EQ(OpenLog(log, SUCCESS), 1);
    for (int n = 1; n <= 5; ++n)
        log.Write(SUCCESS, std::to_string(n).c_str());
    log.Close();
    log.Close();  // harmless
    EXPECT_EQ(Key("FILENO_00"), 0);
    EXPECT_EQ(Key("LOGLINE_00"), 5);

    // Open again (same object): the count goes on in the same file.
    WritePrivateProfileStringA("LOG", "LOGMAXLINE", "6", dir.File("log.ini").c_str());
    ASSERT_EQ(OpenLog(log, SUCCESS), 1);
    log.Write(SUCCESS, "6");
    log.Write(SUCCESS, "7");
    log.Close();
    EXPECT_EQ(Texts("lg_0000.log"), (TextList{"1", "2", "3", "4", "5", "6"}));
    EXPECT_EQ(Texts("lg_0001.log"), TextList{"7"});
    EXPECT_EQ(Key("FILENO_00"), 1);
    EXPECT_EQ(Key("LOGLINE_00"), 1);
}

TEST_F(LogFileTest, OpenWithoutASlotFailsAndCloseWritesNoKeys)
{
    std::vector<std::unique_ptr<ProcMapFile>> holders;
    for (int i = 0; i < PROC_SLOT_COUNT; ++i) {
        holders.emplace_back(new ProcMapFile);
        ASSERT_EQ(holders.back()->Create(table.c_str()), 1);
    }
    Settings("LOGLEVEL=10002H\r\n");
    LogFile log;
    EXPECT_EQ(OpenLog(log), 0);
    EXPECT_EQ(log.GetProcCount(), PROC_SLOT_COUNT);
    log.Write(SUCCESS, "nowhere");
    EXPECT_EQ(log.Open("lg", "log.ini", table.c_str(), 0), 0);  // not closed yet
    log.Close();
    EXPECT_EQ(ReadFileText(dir.File("log.ini")), "[LOG]\r\nLOGLEVEL=10002H\r\n");

    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(dir.File("lg_*").c_str(), &found);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << found.cFileName;
    if (h != INVALID_HANDLE_VALUE)
        FindClose(h);

    // A never-opened log closes quietly too.
    LogFile idle;
    idle.Close();
    idle.Write(SUCCESS, "nothing");
}

TEST_F(LogFileTest, BasePathTooLongForAFileNameOpensNoFile)
{
    Settings("LOGLEVEL=10002H\r\n");
    // Fits as a path, but not with "_0000.log" added.
    std::string base = dir.Path() + "\\";
    base += std::string(MAX_PATH - 4 - base.size(), 'b');
    LogFile log;
    EXPECT_EQ(log.Open(base.c_str(), "log.ini", table.c_str(), 0), 0);
    log.Write(SUCCESS, "line");
    log.Close();
    LogFile longer;
    const std::string huge(1000, 'h');
    EXPECT_EQ(longer.Open(huge.c_str(), "log.ini", table.c_str(), 0), 0);
    longer.Write(SUCCESS, "line");
    longer.Close();
}

TEST_F(LogFileTest, ConcurrentWritersAcrossManyRotations)
{
    const int THREADS = 4;
    const int LINES = 400;
    const int MAX_LINE = 7;
    Settings("LOGLEVEL=10002H\r\nLOGMAXLINE=7\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([&log, t] {
            char text[32];
            for (int n = 0; n < LINES; ++n) {
                snprintf(text, sizeof(text), "thread %d line %d", t, n);
                log.Write(SUCCESS, text);
            }
        });
    }
    for (std::thread& w : writers)
        w.join();
    log.Close();

    // One rotation per MAX_LINE lines, none twice: the files and counters
    // are exactly where a single writer would have left them.
    const int total = THREADS * LINES;
    const int rotations = (total - 1) / MAX_LINE;
    const int current = rotations % 2;
    const int in_current = total - rotations * MAX_LINE;
    EXPECT_EQ(Key("FILENO_00"), current);
    EXPECT_EQ(Key("LOGLINE_00"), in_current);
    TextList now = Texts(current ? "lg_0001.log" : "lg_0000.log");
    TextList before = Texts(current ? "lg_0000.log" : "lg_0001.log");
    EXPECT_EQ(static_cast<int>(now.size()), in_current);
    EXPECT_EQ(static_cast<int>(before.size()), MAX_LINE);
    // Every line whole, each thread's lines in order, none twice.
    const std::regex whole("thread ([0-3]) line ([0-9]+)");
    std::set<std::string> seen;
    int last[THREADS] = {-1, -1, -1, -1};
    before.insert(before.end(), now.begin(), now.end());
    for (const std::string& text : before) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, whole)) << text;
        int t = std::stoi(m[1].str());
        int n = std::stoi(m[2].str());
        EXPECT_GT(n, last[t]) << text;
        last[t] = n;
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
}

TEST_F(LogFileTest, TwoProcessesWriteTheirOwnFilesAndKeys)
{
    Settings("LOGLEVEL=10002H\r\nLOGMAXLINE=5\r\n");
    LogFile log;
    ASSERT_EQ(OpenLog(log), 1);  // slot 0, held while the child logs
    ChildProcess child("\"" + ChildPath() + "\" log lg log.ini " + table + " 8 child");
    ASSERT_TRUE(child.Started());
    for (int n = 1; n <= 7; ++n)
        log.Write(SUCCESS, ("parent " + std::to_string(n)).c_str());
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(log.GetProcCount(), 1);
    log.Close();

    EXPECT_EQ(Texts("lg_0000.log"), (TextList{"parent 1", "parent 2", "parent 3", "parent 4", "parent 5"}));
    EXPECT_EQ(Texts("lg_0001.log"), (TextList{"parent 6", "parent 7"}));
    EXPECT_EQ(Texts("lg_0100.log"), (TextList{"child 1", "child 2", "child 3", "child 4", "child 5"}));
    EXPECT_EQ(Texts("lg_0101.log"), (TextList{"child 6", "child 7", "child 8"}));
    EXPECT_EQ(Key("FILENO_00"), 1);
    EXPECT_EQ(Key("LOGLINE_00"), 2);
    EXPECT_EQ(Key("FILENO_01"), 1);
    EXPECT_EQ(Key("LOGLINE_01"), 3);
}
