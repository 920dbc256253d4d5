// Unit tests of the base layer's text helpers: UTF-8 and UTF-16, and
// names and texts made printable for messages.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/text.h"

namespace sfxpack {
namespace {

TEST(Utf8Test, StrictDecodingAndBack)
{
    std::u16string out;
    size_t bad = 99;
    EXPECT_TRUE(utf8ToUtf16("a\xc3\xa9\xf0\x9f\x98\x80", &out, &bad));
    EXPECT_EQ((std::u16string{u'a', 0xE9, 0xD83D, 0xDE00}), out);
    EXPECT_EQ("a\xc3\xa9\xf0\x9f\x98\x80", utf16ToUtf8(out));
    for (auto [text, at] : {std::pair<const char*, size_t>{"ab\xc0\xaf", 2}, {"a\xed\xa0\x80", 1}, {"\xe2\x82", 0},
                            {"x\xe2(\xa1", 2}, {"\xff", 0}, {"\xf4\x90\x80\x80", 0}}) {
        EXPECT_FALSE(utf8ToUtf16(text, &out, &bad)) << text;
        EXPECT_EQ(at, bad) << text;
    }
}

TEST(PrintableTest, NameEscapesAllButPrintableAscii)
{
    EXPECT_EQ("a\\\\b\\x09\\xe9", printableName("a\\b\t\xe9"));
}

TEST(PrintableTest, TextKeepsCharactersEscapesControls)
{
    EXPECT_EQ("caf\xc3\xa9\\\\x\\x09\\xe9", printableText("caf\xc3\xa9\\x\t\xe9"));
}

}  // namespace
}  // namespace sfxpack
