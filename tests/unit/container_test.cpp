// The shared container rules: the record layout, the file name rule and
// the progress formula, as the native build computes them.  The formula's
// single-precision rounding is checked again in the 32-bit Windows build
// under Wine (unit_checks.exe).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../../src/payload/container.h"

namespace {

// Lead bytes of code page 932 (Shift JIS).
int IsLeadByte932(unsigned char ch)
{
    return (ch >= 0x81 && ch <= 0x9F) || (ch >= 0xE0 && ch <= 0xFC);
}

bool Plain(const std::string &name, LeadByteTest isLead = nullptr)
{
    std::vector<char> field(RECORD_NAME_SIZE, '\0');
    std::memcpy(field.data(), name.data(), std::min(name.size(), field.size()));
    return IsPlainFileName(field.data(), field.size(), isLead) != 0;
}

std::vector<int> Positions(int size)
{
    std::vector<int> out;
    const float fSize = static_cast<float>(size);
    for (int remaining = size; remaining != 0;
         remaining -= remaining < COPY_CHUNK_SIZE ? remaining : COPY_CHUNK_SIZE)
        out.push_back(ProgressPosition(remaining, fSize));
    return out;
}

TEST(Layout, HeaderIsSizeThenNameField)
{
    EXPECT_EQ(sizeof(PayloadRecordHeader), 1024u);
    EXPECT_EQ(offsetof(PayloadRecordHeader, nSize), 0u);
    EXPECT_EQ(offsetof(PayloadRecordHeader, szName), 4u);
    EXPECT_EQ(PAYLOAD_OFFSET, 0x20000);
    EXPECT_EQ(COPY_CHUNK_SIZE, 65536);
    EXPECT_STREQ(EXTRACT_FOLDER_NAME, "\\{d450fba2-45d7-40b4-8eea-5c03a9e087b0}\\");
    EXPECT_EQ(std::strlen(EXTRACT_FOLDER_NAME), 40u);
}

TEST(FileNameRule, AcceptsPlainNames)
{
    for (const char *name : {"setup.exe", "a", "data.cab", "my file.txt", "CONSOLE.txt",
                             "com10", "lpt0", "COM1x.txt", ".hidden", "a..b", "\xe9t\xe9.txt",
                             "nul_file"})
        EXPECT_TRUE(Plain(name)) << name;
}

TEST(FileNameRule, RefusesSeparatorsAndReservedCharacters)
{
    for (const char *name : {"a\\b", "a/b", "C:x", "a*b", "a?b", "a\"b", "a<b", "a>b", "a|b",
                             "..\\up", "tab\there", "\x1f"})
        EXPECT_FALSE(Plain(name)) << name;
}

TEST(FileNameRule, RefusesDotsBlanksAndEmpty)
{
    for (const char *name : {"", ".", "..", "name.", "name ", "..."})
        EXPECT_FALSE(Plain(name)) << "[" << name << "]";
}

TEST(FileNameRule, RefusesDeviceNamesWithOrWithoutExtension)
{
    for (const char *name : {"CON", "con", "PRN", "AUX", "NUL", "nul.txt", "COM1", "com9.log",
                             "LPT1", "lpt9.x.y", "CON .txt", "Aux.tar.gz"})
        EXPECT_FALSE(Plain(name)) << name;
    // Windows reads the Latin-1 superscripts one, two and three as digits.
    for (const char *name : {"COM\xb9", "com\xb2.txt", "LPT\xb3", "lpt\xb9.log"})
        EXPECT_FALSE(Plain(name)) << name;
}

bool DeviceText(const std::u16string &name)
{
    return IsDeviceNameText(reinterpret_cast<const unsigned short *>(name.data()), name.size()) != 0;
}

TEST(FileNameRule, DeviceNamesAsText)
{
    // "COM" A9 F6 in code page 949 and "COM" C2 B9 in UTF-8 read as the
    // first; the rule of the bytes misses both.
    const std::u16string devices[] = {u"COM\u00b9", u"lpt\u00b2", u"Com\u00b3.txt", u"LPT9 .log",
                                      u"nul", u"aux.tar.gz"};
    for (size_t i = 0; i < sizeof devices / sizeof devices[0]; i++)
        EXPECT_TRUE(DeviceText(devices[i])) << i;
    // U+0143 and U+0131 end in the bytes 43 ('C') and 31 ('1').
    const std::u16string names[] = {u"COM0", u"COM\u00b9\u00b9", u"\u0143ON", u"COM\u0131",
                                    u"CONSOLE.txt", u"x.COM1", u""};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        EXPECT_FALSE(DeviceText(names[i])) << i;
}

TEST(FileNameRule, NameMustEndWithinItsField)
{
    std::vector<char> field(RECORD_NAME_SIZE, 'a');
    EXPECT_FALSE(IsPlainFileName(field.data(), field.size(), nullptr));
    field.back() = '\0';   // 1,019 characters and the NUL: the longest name
    EXPECT_TRUE(IsPlainFileName(field.data(), field.size(), nullptr));
    // Bytes after the NUL are undefined and ignored.
    std::vector<char> junk(RECORD_NAME_SIZE, '?');
    std::memcpy(junk.data(), "ok.txt", 7);
    EXPECT_TRUE(IsPlainFileName(junk.data(), junk.size(), nullptr));
}

TEST(FileNameRule, WalksDoubleByteCharactersOfTheCodePage)
{
    // "表.txt", "ソフト.exe" and "ポイント.dat" in code page 932: trail
    // bytes 0x5C and 0x7C are part of their characters there, but a real
    // backslash or bar in a single-byte code page.
    for (const char *name : {"\x95\x5c.txt", "\x83\x5c\x83\x74\x83\x67.exe",
                             "\x83\x7c\x83\x43\x83\x93\x83\x67.dat"})
    {
        EXPECT_TRUE(Plain(name, IsLeadByte932)) << name;
        EXPECT_FALSE(Plain(name)) << name;
    }
    // A lead byte right before the NUL carries no character; a trail byte
    // that is a dot or blank does not end the name in one.
    EXPECT_FALSE(Plain("abc\x95", IsLeadByte932));
    // Nor before a byte that is no trail byte: the system would drop or
    // replace the pair, so the file would get another name.
    for (const char *name : {"a\x81/b.txt", "a\x90\x14" "b.txt", "a\x98<b.txt", "\x95:"})
        EXPECT_FALSE(Plain(name, IsLeadByte932)) << name;
    EXPECT_TRUE(Plain("\x83\x5c", IsLeadByte932));
    // Single bytes between double-byte characters are still checked.
    EXPECT_FALSE(Plain("\x95\x5c\\x", IsLeadByte932));
    EXPECT_FALSE(Plain("\x95\x5c.", IsLeadByte932));
    EXPECT_FALSE(Plain("CON.\x95\x5c", IsLeadByte932));
}

TEST(Progress, PositionsPerChunkByLength)
{
    EXPECT_EQ(Positions(200000), (std::vector<int>{0, 33, 66, 99}));
    EXPECT_EQ(Positions(65537), (std::vector<int>{0, 100}));
    EXPECT_EQ(Positions(65536), (std::vector<int>{0}));
    EXPECT_EQ(Positions(131072), (std::vector<int>{0, 50}));
    EXPECT_EQ(Positions(1000000), (std::vector<int>{0, 7, 14, 20, 27, 33, 40, 46, 53, 59, 66,
                                                    73, 79, 86, 92, 99}));
}

TEST(Progress, SinglePrecisionRoundingAboveTwoToTheTwentyFour)
{
    // 16,777,219 becomes 16,777,220 as a float; the exact dividend over it
    // rounds below 1, so the first position is 1.  16,777,217 rounds to
    // 16,777,216 and its quotient ties to even at 1.
    EXPECT_EQ(ProgressPosition(16777219, 16777219.0f), 1);
    EXPECT_EQ(ProgressPosition(16777217, 16777217.0f), 0);
    EXPECT_EQ(ProgressPosition(0x7FFFFFFF, static_cast<float>(0x7FFFFFFF)), 0);
    EXPECT_EQ(ProgressPosition(1, static_cast<float>(0x7FFFFFFF)), 100);
}

}  // namespace
