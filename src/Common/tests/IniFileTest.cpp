// Tests of IniFile: the hexadecimal-with-H rule, number formats, defaults
// and path resolution.
#include "IniFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using testsupport::ReadFileText;
using testsupport::ScopedTempDir;
using testsupport::WriteFileText;

namespace {

const int32_t DEF = 0x5A5A;

// Reads value back through GetHex after storing it as "v=<value>".
int32_t HexOf(ScopedTempDir& dir, const std::string& value)
{
    WriteFileText(dir.File("hex.ini"), "[S]\r\nv=" + value + "\r\n");
    IniFile ini;
    ini.Open("hex.ini");
    return ini.GetHex("S", "v", DEF);
}

}  // namespace

TEST(IniFile, GetHexAcceptsHexadecimalFollowedByH)
{
    ScopedTempDir dir("ini");
    EXPECT_EQ(HexOf(dir, "1fH"), 0x1F);
    EXPECT_EQ(HexOf(dir, "1FH"), 0x1F);
    EXPECT_EQ(HexOf(dir, "1fh"), 0x1F);
    EXPECT_EQ(HexOf(dir, "0x1fH"), 0x1F);
    EXPECT_EQ(HexOf(dir, "   7H"), 7);
    EXPECT_EQ(HexOf(dir, "12zzH"), 0x12);
    EXPECT_EQ(HexOf(dir, "-1H"), -1);
    EXPECT_EQ(HexOf(dir, "10007H"), 0x10007);
}

TEST(IniFile, GetHexGivesDefaultForOtherValues)
{
    ScopedTempDir dir("ini");
    EXPECT_EQ(HexOf(dir, "1f"), DEF);
    EXPECT_EQ(HexOf(dir, "H1F"), DEF);
    EXPECT_EQ(HexOf(dir, "zzH"), DEF);
    EXPECT_EQ(HexOf(dir, "H"), DEF);
    EXPECT_EQ(HexOf(dir, "   H"), DEF);
    EXPECT_EQ(HexOf(dir, ""), DEF);
}

TEST(IniFile, GetHexSeesOnlyTheFirst31Characters)
{
    ScopedTempDir dir("ini");
    const std::string digits30(28, '0');  // 28 zeros + "1f" = 30 characters
    // 31st character "H": the value counts, whatever follows.
    EXPECT_EQ(HexOf(dir, digits30 + "1fHxyz"), 0x1F);
    // 31 digits and then "H": the "H" lies beyond the view.
    EXPECT_EQ(HexOf(dir, digits30 + "1f0H"), DEF);
    // Exactly 31 characters ending in "H" is still within the view.
    EXPECT_EQ(HexOf(dir, digits30 + "1H"), 0x1);
}

TEST(IniFile, WriteHexRoundTripsEveryValueClass)
{
    ScopedTempDir dir("ini");
    IniFile ini;
    ini.Open("round.ini");
    const int32_t values[] = {0, 1, 9, 10, 0xF, 0x10, 255, 0x7FFFFFFF, INT32_MIN, -1, -2,
                              static_cast<int32_t>(0xDEADBEEF), 0x00010000, 0x12345678};
    for (int32_t v : values) {
        ASSERT_NE(ini.WriteHex("S", "k", v), 0);
        EXPECT_EQ(ini.GetHex("S", "k", 0), v) << std::hex << v;
        EXPECT_EQ(ini.GetHex("S", "k", v ^ 1), v) << std::hex << v;
    }
    // The stored texts are lower-case digits without leading zeros.
    ini.WriteHex("S", "zero", 0);
    ini.WriteHex("S", "ff", 255);
    ini.WriteHex("S", "m1", -1);
    char text[32];
    ini.GetString("S", "zero", "", text, sizeof(text));
    EXPECT_STREQ(text, "0H");
    ini.GetString("S", "ff", "", text, sizeof(text));
    EXPECT_STREQ(text, "ffH");
    ini.GetString("S", "m1", "", text, sizeof(text));
    EXPECT_STREQ(text, "ffffffffH");
}

TEST(IniFile, WriteIntWritesSignedDecimal)
{
    ScopedTempDir dir("ini");
    IniFile ini;
    ini.Open("int.ini");
    EXPECT_NE(ini.WriteInt("S", "neg", -5), 0);
    EXPECT_NE(ini.WriteInt("S", "min", INT32_MIN), 0);
    EXPECT_NE(std::string(ReadFileText(dir.File("int.ini"))).find("neg=-5"), std::string::npos);
    EXPECT_EQ(ini.GetInt("S", "neg", 0), -5);
    EXPECT_EQ(ini.GetInt("S", "min", 0), INT32_MIN);
}

TEST(IniFile, MissingFileSectionOrKeyGivesDefaults)
{
    ScopedTempDir dir("ini");
    IniFile ini;
    ini.Open("absent.ini");
    char text[16] = "x";
    EXPECT_EQ(ini.GetInt("S", "k", -7), -7);
    EXPECT_EQ(ini.GetHex("S", "k", -7), -7);
    EXPECT_EQ(ini.GetString("S", "k", "dflt", text, sizeof(text)), 4);
    EXPECT_STREQ(text, "dflt");
    EXPECT_FALSE(testsupport::FileExists(dir.File("absent.ini")));  // Open touches nothing

    ini.WriteInt("S", "k", 1);
    EXPECT_EQ(ini.GetInt("T", "k", 42), 42);   // other section
    EXPECT_EQ(ini.GetInt("S", "j", 42), 42);   // other key
    EXPECT_EQ(ini.GetHex("S", "j", 0x42), 0x42);
    // The default is cut to the buffer like a stored value.
    EXPECT_EQ(ini.GetString("S", "j", "abcdefgh", text, 4), 3);
    EXPECT_STREQ(text, "abc");

    // Close changes nothing; reads go on.
    ini.Close();
    EXPECT_EQ(ini.GetInt("S", "k", 0), 1);
}

TEST(IniFile, OpenResolvesAgainstTheCurrentDirectoryAtThatTime)
{
    ScopedTempDir first("ini");
    IniFile ini;
    ini.Open("where.ini");
    {
        ScopedTempDir second("ini2");  // now the current directory
        ASSERT_NE(ini.WriteInt("S", "k", 3), 0);
        EXPECT_FALSE(testsupport::FileExists(second.File("where.ini")));
    }
    EXPECT_TRUE(testsupport::FileExists(first.File("where.ini")));
    // Open again replaces the path.
    {
        ScopedTempDir third("ini3");
        ini.Open("where.ini");
        EXPECT_EQ(ini.GetInt("S", "k", 0), 0);
        ini.WriteInt("S", "k", 4);
        EXPECT_TRUE(testsupport::FileExists(third.File("where.ini")));
    }
}

TEST(IniFile, NameTooLongForThePathBufferIsRefused)
{
    ScopedTempDir dir("ini");
    IniFile ini;
    const std::string name(300, 'n');
    ini.Open(name.c_str());
    EXPECT_EQ(ini.WriteInt("S", "k", 1), 0);
    EXPECT_EQ(ini.GetInt("S", "k", 9), 9);
    EXPECT_EQ(ini.GetHex("S", "k", 9), 9);
    // A name that fits but whose full path does not is refused likewise.
    const std::string fits_alone(MAX_PATH - 5, 'm');
    ini.Open(fits_alone.c_str());
    EXPECT_EQ(ini.WriteInt("S", "k", 1), 0);
    EXPECT_EQ(ini.GetInt("S", "k", 9), 9);
}
