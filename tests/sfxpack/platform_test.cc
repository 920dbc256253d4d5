// Unit tests of the platform layer: code page conversion, digests, the
// reading of signatures, and file handling on real files.  Each test
// checks one outcome or one message exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "base/text.h"
#include "platform/codepage.h"
#include "platform/digest.h"
#include "platform/fileio.h"
#include "platform/signature.h"

namespace sfxpack {
namespace {

// ---- Code pages -----------------------------------------------------------

TEST(CodePageTest, LeadBytesAreThoseOfWindows)
{
    const LeadByteTest lead932 = leadByteTest(932);
    ASSERT_NE(nullptr, lead932);
    std::string leads;
    for (int c = 0x80; c < 0x100; ++c)
        leads += lead932(static_cast<unsigned char>(c)) ? 'L' : '.';
    EXPECT_EQ(std::string(1, '.') + std::string(31, 'L') + std::string(64, '.') + std::string(29, 'L') +
                  std::string(3, '.'),
              leads);
    for (unsigned cp : {936u, 949u, 950u}) {
        EXPECT_FALSE(leadByteTest(cp)(0x80)) << cp;
        EXPECT_TRUE(leadByteTest(cp)(0x81)) << cp;
        EXPECT_TRUE(leadByteTest(cp)(0xfe)) << cp;
        EXPECT_FALSE(leadByteTest(cp)(0xff)) << cp;
    }
    for (unsigned cp : {874u, 1250u, 1252u, 1258u})
        EXPECT_EQ(nullptr, leadByteTest(cp)) << cp;
}

TEST(CodePageTest, EveryKnownCodePageConverts)
{
    for (unsigned cp : {874u, 932u, 936u, 949u, 950u, 1250u, 1251u, 1252u, 1253u, 1254u, 1255u, 1256u, 1257u,
                        1258u}) {
        ASSERT_TRUE(knownCodePage(cp)) << cp;
        Result<std::string> out = encodeName("Setup 1.exe", cp);
        ASSERT_TRUE(out) << cp << ": " << out.message();
        EXPECT_EQ("Setup 1.exe", *out) << cp;
    }
    EXPECT_FALSE(knownCodePage(1259));
    EXPECT_FALSE(knownCodePage(65001));
}

TEST(CodePageTest, NamesConvertToTheirCodePage)
{
    const struct {
        const char* utf8;
        unsigned cp;
        std::string bytes;
    } cases[] = {
        {"\xe8\xa1\xa8.txt", 932, "\x95\x5c.txt"},       // 表
        {"caf\xc3\xa9.txt", 1252, "caf\xe9.txt"},          // café
        {"\xd0\xb4\xd0\xb0.txt", 1251, "\xe4\xe0.txt"},  // да
        {"\xed\x95\x9c.txt", 949, "\xc7\xd1.txt"},       // 한
    };
    for (const auto& c : cases) {
        Result<std::string> out = encodeName(c.utf8, c.cp);
        ASSERT_TRUE(out) << c.utf8 << ": " << out.message();
        EXPECT_EQ(c.bytes, *out) << c.utf8;
        Result<std::string> back = decodeName(c.bytes, c.cp);
        ASSERT_TRUE(back) << c.utf8;
        EXPECT_EQ(c.utf8, *back);
    }
}

TEST(CodePageTest, CharacterOutsideTheCodePageIsNamedNotReplaced)
{
    // Best-fit mapping would store "a" for "ā" and so name another file.
    Result<std::string> out = encodeName("x\xc4\x81.txt", 1252);
    ASSERT_FALSE(out);
    EXPECT_EQ("'\xc4\x81' (U+0101) has no character in code page 1252", out.message());
    out = encodeName("\xe2\x82\xac", 932);
    ASSERT_FALSE(out);
    EXPECT_EQ("'\xe2\x82\xac' (U+20AC) has no character in code page 932", out.message());
}

TEST(CodePageTest, InputThatIsNotUtf8)
{
    Result<std::string> out = encodeName("caf\xe9.txt", 1252);
    ASSERT_FALSE(out);
    EXPECT_EQ("is not UTF-8 (byte 0xe9 at offset 3)", out.message());
    out = encodeName("\xc0\xaf", 1252);  // overlong "/"
    ASSERT_FALSE(out);
    EXPECT_EQ("is not UTF-8 (byte 0xc0 at offset 0)", out.message());
}

TEST(CodePageTest, StoredBytesThatAreNoCharacter)
{
    Result<std::string> out = decodeName("ab\x81\x20.txt", 932);  // 20 is no trail byte
    ASSERT_FALSE(out);
    EXPECT_EQ(2u, out.status().offset());
    out = decodeName("ab\x95", 932);  // lead byte at the end
    ASSERT_FALSE(out);
    EXPECT_EQ(2u, out.status().offset());
}

TEST(CodePageTest, UpperCaseBeyondAscii)
{
    EXPECT_EQ("CAF\xc3\x89.TXT", upperCase("caf\xc3\xa9.txt"));  // é
    EXPECT_EQ("\xd0\x94\xe8\xa1\xa8", upperCase("\xd0\xb4\xe8\xa1\xa8"));  // д, and 表 has no case
}

// ---- Digests and signatures -------------------------------------------------

TEST(DigestTest, KnownAnswers)
{
    const struct {
        DigestAlgorithm alg;
        const char* hex;
    } cases[] = {
        {DigestAlgorithm::Sha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestAlgorithm::Sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const auto& c : cases) {
        Result<Digest> d = Digest::start(c.alg);
        ASSERT_TRUE(d) << d.message();
        d->update("a", 1);
        d->update("bc", 2);
        EXPECT_EQ(c.hex, hexDigits(d->finish())) << digestName(c.alg);
    }
}

TEST(DigestTest, AlgorithmsByObjectIdentifier)
{
    DigestAlgorithm alg = DigestAlgorithm::Sha512;
    EXPECT_TRUE(digestFromOid("2.16.840.1.101.3.4.2.1", &alg));
    EXPECT_EQ(DigestAlgorithm::Sha256, alg);
    EXPECT_TRUE(digestFromOid("1.3.14.3.2.26", &alg));
    EXPECT_EQ(DigestAlgorithm::Sha1, alg);
    EXPECT_FALSE(digestFromOid("1.2.840.113549.2.5", &alg));  // MD5
}

TEST(SignatureTest, DerThatIsNoSignedData)
{
    const unsigned char seq[] = {0x30, 0x03, 0x02, 0x01, 0x05};
    EXPECT_EQ("the signature is not a PKCS#7 SignedData", readSignedDigest(seq, sizeof seq).message());
}

TEST(SignatureTest, SignedDataTypeWithoutContent)
{
    // ContentInfo { contentType signedData } and no [0] content.
    const unsigned char der[] = {0x30, 0x0b, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
    EXPECT_EQ("the signature's PKCS#7 ContentInfo holds no SignedData", readSignedDigest(der, sizeof der).message());
}

// ---- Files ------------------------------------------------------------------

TEST(FileTest, MissingFileNamesTheFileAndTheReason)
{
    Result<File> f = File::openRead("no/such/file.bin");
    ASSERT_FALSE(f);
    EXPECT_EQ("no/such/file.bin: No such file or directory", f.message());
    Result<uint64_t> size = regularFileSize("no/such/file.bin");
    ASSERT_FALSE(size);
    EXPECT_EQ("no/such/file.bin: No such file or directory", size.message());
}

TEST(FileTest, AppenderReportsAFullTarget)
{
    // Standard output pointed at /dev/full: every write fails with ENOSPC,
    // whether the pieces are written directly or gathered first.
    const int saved = ::dup(STDOUT_FILENO);
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    std::fflush(stdout);
    ASSERT_EQ(STDOUT_FILENO, ::dup2(full, STDOUT_FILENO));
    File out = File::standardOutput();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(full);
    ASSERT_TRUE(out.isOpen());

    Appender appender(out, nullptr);
    const std::vector<unsigned char> bytes(4096, 'x');
    Status s = appender.add(bytes.data(), bytes.size());
    if (s)
        s = appender.finish();
    ASSERT_FALSE(s);
    EXPECT_EQ("write standard output: No space left on device", s.message());
}

}  // namespace
}  // namespace sfxpack
