// Tests of StdFile: append versus truncate, refused second open, closed
// object results.
#include "StdFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::FileExists;
using testsupport::ReadFileText;
using testsupport::ScopedTempDir;
using testsupport::WriteFileText;

TEST(StdFile, OpenAlwaysAppendsAndCreateAlwaysTruncates)
{
    ScopedTempDir dir("std");
    const std::string old_bytes(100, 'o');
    WriteFileText(dir.File("a.txt"), old_bytes);
    WriteFileText(dir.File("t.txt"), old_bytes);

    StdFile append;
    ASSERT_EQ(append.Open("a.txt", OPEN_ALWAYS), 1);
    EXPECT_EQ(append.Write("0123456789", 10), 10);
    append.Close();
    EXPECT_EQ(ReadFileText(dir.File("a.txt")), old_bytes + "0123456789");

    StdFile truncate;
    ASSERT_EQ(truncate.Open("t.txt", CREATE_ALWAYS), 1);
    EXPECT_EQ(truncate.Write("0123456789", 10), 10);
    truncate.Close();
    EXPECT_EQ(ReadFileText(dir.File("t.txt")), "0123456789");

    StdFile fresh;
    ASSERT_EQ(fresh.Open("new.txt", OPEN_ALWAYS), 1);
    EXPECT_EQ(fresh.Write("", 0), 0);
    EXPECT_TRUE(FileExists(dir.File("new.txt")));
}

TEST(StdFile, SecondOpenIsRefusedAndWritesStayOnTheFirstFile)
{
    ScopedTempDir dir("std");
    StdFile file;
    ASSERT_EQ(file.Open("one.txt", OPEN_ALWAYS), 1);
    EXPECT_EQ(file.Open("two.txt", CREATE_ALWAYS), 0);
    EXPECT_FALSE(FileExists(dir.File("two.txt")));
    EXPECT_EQ(file.Write("abc", 3), 3);
    EXPECT_EQ(ReadFileText(dir.File("one.txt")), "abc");  // readable while open
    // Read-and-write sharing: another writer may append meanwhile.
    StdFile other;
    ASSERT_EQ(other.Open("one.txt", OPEN_ALWAYS), 1);
    EXPECT_EQ(other.Write("def", 3), 3);
}

TEST(StdFile, ClosedObjectRefusesReadAndWrite)
{
    ScopedTempDir dir("std");
    StdFile file;
    char buffer[4];
    EXPECT_EQ(file.Write("x", 1), -1);
    EXPECT_EQ(file.Read(buffer, 4), -1);
    ASSERT_EQ(file.Open("c.txt", OPEN_ALWAYS), 1);
    EXPECT_EQ(file.Read(buffer, 4), -1);  // opened for writing only
    EXPECT_EQ(file.Write("x", -1), -1);
    file.Close();
    file.Close();
    EXPECT_EQ(file.Write("x", 1), -1);
    // Reopened after Close, on another file too.
    ASSERT_EQ(file.Open("d.txt", CREATE_ALWAYS), 1);
    EXPECT_EQ(file.Write("y", 1), 1);
}

TEST(StdFile, FailedOpensLeaveTheObjectClosed)
{
    ScopedTempDir dir("std");
    StdFile file;
    EXPECT_EQ(file.Open("missing\\dir\\f.txt", OPEN_ALWAYS), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(file.Write("x", 1), -1);
    const std::string long_name(300, 'n');
    EXPECT_EQ(file.Open(long_name.c_str(), OPEN_ALWAYS), 0);
    EXPECT_EQ(file.Write("x", 1), -1);
    ASSERT_EQ(file.Open("ok.txt", OPEN_ALWAYS), 1);
}

TEST(StdFile, DestroyingAnOpenObjectClosesItsFile)
{
    ScopedTempDir dir("std");
    {
        StdFile* file = new StdFile;
        ASSERT_EQ(file->Open("gone.txt", OPEN_ALWAYS), 1);
        delete file;
    }
    // Without the close, the delete below would fail (no delete sharing).
    EXPECT_NE(DeleteFileA(dir.File("gone.txt").c_str()), 0);
}
