// The argument string rule: what follows the program-name token of a
// command line.  Run natively here with a modelled code page; the same
// source runs under Wine against the real IsDBCSLeadByte (unit_checks.exe).
#include <gtest/gtest.h>

#include <string>

#include "../../src/run/launcher.h"

bool g_shimLeadBytes[256];

namespace {

std::string Args(const char *cmdline) { return SkipProgramName(cmdline); }

class ArgumentString : public ::testing::Test {
protected:
    void SetUp() override { std::fill(std::begin(g_shimLeadBytes), std::end(g_shimLeadBytes), false); }
    void UseDoubleByteCodePage()
    {
        for (int b = 0x81; b <= 0x9F; ++b)
            g_shimLeadBytes[b] = true;
    }
};

TEST_F(ArgumentString, EmptyWhenThereAreNoArguments)
{
    EXPECT_EQ(Args(""), "");
    EXPECT_EQ(Args("setup.exe"), "");
    EXPECT_EQ(Args("\"C:\\dir\\setup.exe\""), "");
    EXPECT_EQ(Args("setup.exe  \t "), "");
}

TEST_F(ArgumentString, BlanksAndControlCharactersAfterTheTokenAreSkipped)
{
    EXPECT_EQ(Args("setup.exe \t\x01\x1f a"), "a");
    EXPECT_EQ(Args("setup.exe\ta b"), "a b");
}

TEST_F(ArgumentString, QuotedPathWithBlanksStaysOneToken)
{
    EXPECT_EQ(Args("\"C:\\Program Files\\setup.exe\" /S"), "/S");
}

TEST_F(ArgumentString, TextAfterTheClosingQuoteStillBelongsToTheToken)
{
    EXPECT_EQ(Args("\"C:\\my dir\\setup.exe\"tail first"), "first");
    EXPECT_EQ(Args("C:\\a\"b c\"d e"), "e");
}

TEST_F(ArgumentString, UnclosedQuoteRunsToTheEnd)
{
    EXPECT_EQ(Args("\"C:\\my dir\\setup.exe /S"), "");
}

TEST_F(ArgumentString, ArgumentsPassUnchanged)
{
    EXPECT_EQ(Args("s.exe \"quoted arg\"  two\t\"three  "), "\"quoted arg\"  two\t\"three  ");
    EXPECT_EQ(Args("s.exe caf\xe9 \xfc"), "caf\xe9 \xfc");
}

TEST_F(ArgumentString, LeadByteCarriesItsTrailByte)
{
    UseDoubleByteCodePage();
    // 0x82 is a lead byte: the quote after it is its trail byte, so quoting
    // does not toggle there.
    EXPECT_EQ(Args("\"x\x82\" y\" z"), "z");
    EXPECT_EQ(Args("a\x82 b c"), "c");  // even a blank after a lead byte is its trail byte
}

TEST_F(ArgumentString, LeadByteAtTheEndDoesNotSwallowTheTerminator)
{
    UseDoubleByteCodePage();
    EXPECT_EQ(Args("setup\x82"), "");
}

}  // namespace
