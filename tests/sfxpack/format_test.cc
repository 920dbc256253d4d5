// Unit tests of the container format code: headers, the image checks and
// the container walk, on containers built in memory.  Each test plants one
// fault and checks the outcome and the message.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "base/text.h"
#include "format/image.h"
#include "format/reader.h"
#include "format/record.h"
#include "format/summary.h"
#include "format/trailer.h"
#include "platform/codepage.h"
#include "test_image.h"

namespace sfxpack {
namespace {

class ContainerTest : public ::testing::Test {
protected:
    ContainerTest() : bytes_(testing_image::MakePeImage()) {}

    // Appends a record; returns its header offset.
    uint64_t Add(const std::string& name, const std::string& data)
    {
        uint64_t at = bytes_.size();
        unsigned char header[kHeaderSize];
        encodeRecordHeader(int32_t(data.size()), name, header);
        bytes_.insert(bytes_.end(), header, header + kHeaderSize);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return at;
    }
    uint64_t End()
    {
        uint64_t at = bytes_.size();
        unsigned char header[kHeaderSize];
        encodeEndRecord(header);
        bytes_.insert(bytes_.end(), header, header + kHeaderSize);
        return at;
    }
    // Appends zero padding to a multiple of 8 and a certificate table of
    // one PKCS#7 entry, and points the security directory at it; returns
    // the table's offset.
    uint64_t Sign(size_t derContent = 20)
    {
        while (bytes_.size() % 8)
            bytes_.push_back(0);
        uint64_t table = bytes_.size();
        std::vector<unsigned char> entry = testing_image::MakeCertificateEntry(derContent);
        bytes_.insert(bytes_.end(), entry.begin(), entry.end());
        SetSecurityDirectory(uint32_t(table), uint32_t(entry.size()));
        return table;
    }
    void SetSecurityDirectory(uint32_t offset, uint32_t size)
    {
        Put32(testing_image::kSecurityEntryOffset, offset);
        Put32(testing_image::kSecurityEntryOffset + 4, size);
    }
    void Put32(uint64_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes_[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
    void SetSize(uint64_t headerOffset, int32_t size) { Put32(headerOffset, uint32_t(size)); }
    void SetByte(uint64_t at, unsigned char v) { bytes_[at] = v; }
    void ShrinkSize(size_t n) { bytes_.resize(bytes_.size() - n); }
    void Append(const std::string& s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); }

    Summary Inspect()
    {
        MemorySource src(bytes_.data(), bytes_.size());
        records_.clear();
        return inspectContainer(src, [this](const Record& r) { records_.push_back(r); });
    }
    // The one finding, with its offset, or a note that there was none or more.
    std::string OnlyFinding(const Summary& s)
    {
        if (s.findings.size() != 1)
            return std::to_string(s.findings.size()) + " findings";
        return std::to_string(s.findings[0].offset) + ": " + s.findings[0].what;
    }

    std::vector<unsigned char> bytes_;
    std::vector<Record> records_;
};

// ---- Headers --------------------------------------------------------------

TEST(RecordHeaderTest, EncodedHeaderIsSizeNameNulAndZeros)
{
    unsigned char h[kHeaderSize];
    std::memset(h, 0xAA, sizeof h);
    encodeRecordHeader(0x01020304, "setup.exe", h);
    EXPECT_EQ(0x04, h[0]);
    EXPECT_EQ(0x03, h[1]);
    EXPECT_EQ(0x02, h[2]);
    EXPECT_EQ(0x01, h[3]);
    EXPECT_EQ(0, std::memcmp(h + 4, "setup.exe", 10));  // NUL included
    for (size_t i = 4 + 10; i < kHeaderSize; ++i)
        ASSERT_EQ(0, h[i]) << "byte " << i;
}

TEST(RecordHeaderTest, EndRecordIsMinusOneAndZeroName)
{
    unsigned char h[kHeaderSize];
    std::memset(h, 0xAA, sizeof h);
    encodeEndRecord(h);
    EXPECT_EQ(0, std::memcmp(h, "\xff\xff\xff\xff", 4));
    for (size_t i = 4; i < kHeaderSize; ++i)
        ASSERT_EQ(0, h[i]) << "byte " << i;
    EXPECT_EQ(END_RECORD_SIZE, decodeRecordHeader(h).size);
}

TEST(RecordHeaderTest, DecodeReversesEncode)
{
    unsigned char h[kHeaderSize];
    std::string longest(kMaxNameLength, 'n');
    encodeRecordHeader(kMaxRecordData, longest, h);
    RecordHeader d = decodeRecordHeader(h);
    EXPECT_EQ(kMaxRecordData, d.size);
    EXPECT_EQ(longest, d.name);
    EXPECT_TRUE(d.terminated);
}

TEST(RecordHeaderTest, DecodeIgnoresBytesAfterNul)
{
    unsigned char h[kHeaderSize];
    encodeRecordHeader(5, "a.txt", h);
    std::memset(h + 4 + 6, 'x', kNameField - 6);
    RecordHeader d = decodeRecordHeader(h);
    EXPECT_EQ("a.txt", d.name);
    EXPECT_TRUE(d.terminated);
}

TEST(RecordHeaderTest, DecodeNameWithoutNul)
{
    unsigned char h[kHeaderSize];
    std::memset(h, 'y', sizeof h);
    RecordHeader d = decodeRecordHeader(h);
    EXPECT_FALSE(d.terminated);
    EXPECT_EQ(kNameField, d.name.size());
}

TEST(NameTest, LengthLimitIsFieldMinusNul)
{
    EXPECT_TRUE(checkName(std::string(1019, 'a')).ok());
    EXPECT_EQ("name is 1020 bytes, longer than the 1019 a record can hold",
              checkName(std::string(1020, 'a')).message());
}

TEST(NameTest, RuleComesFromTheSharedCheck)
{
    EXPECT_TRUE(checkName("setup.exe").ok());
    for (const char* bad : {"", "a/b", "a\\b", "c:x", "..", "x.", "x ", "CON", "lpt1.txt", "a\tb"})
        EXPECT_FALSE(checkName(bad).ok()) << bad;
    EXPECT_EQ("name 'a/b' is not a plain Windows file name (it must be non-empty, without \\ / : * ? \" < > | "
              "or control characters, not end in a dot or blank, and not be a device name)",
              checkName("a/b").message());
    EXPECT_FALSE(checkName(std::string("a\0b", 3)).ok());
}

TEST(NameTest, CollisionKeyFoldsAsciiOnly)
{
    EXPECT_EQ(collisionKey("Setup.EXE"), collisionKey("setup.exe"));
    EXPECT_NE(collisionKey("\xe9.txt"), collisionKey("\xc9.txt"));
}

TEST(NameTest, DoubleByteTrailIsNoSeparator)
{
    // 表 in code page 932 is 95 5C: its trail byte is the backslash's.
    EXPECT_TRUE(checkName("\x95\x5c.txt", leadByteTest(932)).ok());
    EXPECT_FALSE(checkName("\x95\x5c.txt", leadByteTest(1252)).ok());
}

TEST(NameTest, CollisionKeyLeavesTrailBytes)
{
    // Fullwidth "Ａ" (82 60) and "ａ" (82 81) differ; 82 61 and 82 41 would
    // be folded together if the trail byte were taken for a letter.
    EXPECT_NE(collisionKey("\x82\x61", leadByteTest(932)), collisionKey("\x82\x41", leadByteTest(932)));
    EXPECT_EQ(collisionKey("\x82\x61x", leadByteTest(932)), collisionKey("\x82\x61X", leadByteTest(932)));
}

// ---- Image ----------------------------------------------------------------

TEST(ImageTest, GoodStubPasses)
{
    std::vector<unsigned char> img = testing_image::MakePeImage();
    MemorySource src(img.data(), img.size());
    EXPECT_TRUE(checkStub(src).ok());
    EXPECT_TRUE(looksLikeWindowsProgram(src));
}

TEST(ImageTest, StubOfWrongSize)
{
    std::vector<unsigned char> img = testing_image::MakePeImage();
    img.push_back(0);
    MemorySource src(img.data(), img.size());
    EXPECT_EQ("not a launcher image (file is 131073 bytes, expected 131072)", checkStub(src).message());
}

TEST(ImageTest, SignedStubIsRefused)
{
    std::vector<unsigned char> img = testing_image::MakePeImage();
    img[testing_image::kSecurityEntryOffset] = 8;
    img[testing_image::kSecurityEntryOffset + 4] = 16;
    MemorySource src(img.data(), img.size());
    EXPECT_EQ("already signed (its security directory points to 16 bytes at offset 8): the payload would break "
              "that signature; pack an unsigned launcher and sign the finished container instead",
              checkStub(src).message());
}

TEST(ImageTest, StubWhoseSectionsEndEarly)
{
    std::vector<unsigned char> img = testing_image::MakePeImage();
    testing_image::SetSectionRaw(img, 0x400, 0x1000);  // a small program padded with zeros
    MemorySource src(img.data(), img.size());
    EXPECT_EQ("not a launcher image (the image's sections end at offset 5120, not at 131072 where the payload "
              "starts)",
              checkStub(src).message());
}

TEST(ImageTest, SectionTablePastImage)
{
    std::vector<unsigned char> img = testing_image::MakePeImage();
    img[testing_image::kPeOffset + 6] = 0xff;  // 65535 sections
    img[testing_image::kPeOffset + 7] = 0xff;
    MemorySource src(img.data(), img.size());
    EXPECT_EQ("not a PE image (section table at offset 376 runs past the image)", checkStub(src).message());
}

TEST(ImageTest, Pe32PlusSecurityDirectory)
{
    std::vector<unsigned char> img = testing_image::MakePeImage(0x20b);
    img[testing_image::kSecurityEntryOffset + 16] = 0x40;  // PE32+ directories start 16 bytes later
    MemorySource src(img.data(), img.size());
    ImageInfo info = inspectImage(src);
    EXPECT_TRUE(info.pe.ok());
    EXPECT_EQ(0x40u, info.securityOffset);
}

TEST(ImageTest, FewDirectoriesMeansUnsigned)
{
    std::vector<unsigned char> img = testing_image::MakePeImage();
    img[testing_image::kSecurityEntryOffset] = 8;
    img[testing_image::kDirectoryCountOffset] = 4;  // directory 4 is not there
    MemorySource src(img.data(), img.size());
    EXPECT_FALSE(inspectImage(src).signedImage());
}

TEST(ImageTest, PlainDataIsNoWindowsProgram)
{
    const char text[] = "MZ but nothing else of a program, just text long enough for a DOS header..";
    MemorySource src(text, sizeof text);
    EXPECT_FALSE(looksLikeWindowsProgram(src));
}

// ---- Container walk ------------------------------------------------------

TEST_F(ContainerTest, TwoRecordLayout)
{
    uint64_t first = Add("a.exe", "abc");
    uint64_t second = Add("empty.txt", "");
    uint64_t end = End();
    EXPECT_EQ(0x20000u, first);
    EXPECT_EQ(0x20403u, second);
    EXPECT_EQ(0x20803u, end);
    EXPECT_EQ(0x20C03u, bytes_.size());
    Summary s = Inspect();
    EXPECT_EQ("0 findings", OnlyFinding(s));
    ASSERT_EQ(2u, records_.size());
    EXPECT_EQ(0x20400u, records_[0].dataOffset);
    EXPECT_EQ(3u, records_[0].size);
    EXPECT_EQ("empty.txt", records_[1].name);
    EXPECT_EQ(0u, records_[1].size);
    EXPECT_EQ(PayloadEnd::EndRecord, s.end.kind);
    EXPECT_EQ(end, s.end.offset);
    EXPECT_EQ(TrailerKind::Nothing, s.trailer.kind);
    EXPECT_EQ("nothing follows the end record", describeTrailer(s.trailer, s.image));
}

TEST_F(ContainerTest, EndRecordFirstMeansNoFiles)
{
    End();
    Summary s = Inspect();
    EXPECT_EQ(0u, s.records);
    EXPECT_EQ(PayloadEnd::EndRecord, s.end.kind);
    EXPECT_EQ("end record at offset 131072 (0x20000)", describeEnd(s.end, bytes_.size()));
}

TEST_F(ContainerTest, BareImageReadsAsEmptyButFailsVerify)
{
    Summary s = Inspect();
    EXPECT_EQ(PayloadEnd::ShortHeader, s.end.kind);
    EXPECT_EQ("131072: no end record: the file ends at offset 131072 (0x20000) "
              "(the launcher reads this as complete)",
              OnlyFinding(s));
}

TEST_F(ContainerTest, MissingEndRecordIsShortHeader)
{
    Add("a.exe", "abc");
    Summary s = Inspect();
    EXPECT_EQ(1u, s.records);
    EXPECT_EQ(PayloadEnd::ShortHeader, s.end.kind);
    EXPECT_EQ(0x20403u, s.end.offset);
}

TEST_F(ContainerTest, TruncatedEndRecord)
{
    Add("a.exe", "abc");
    End();
    ShrinkSize(1);
    Summary s = Inspect();
    EXPECT_EQ("132099: no end record: 1023 bytes at offset 132099 (0x20403), too short for a header "
              "(the launcher reads this as complete)",
              OnlyFinding(s));
}

TEST_F(ContainerTest, SizeBelowMinusOne)
{
    uint64_t at = Add("a.exe", "abc");
    End();
    SetSize(at, -2);
    Summary s = Inspect();
    EXPECT_EQ(0u, s.records);
    EXPECT_EQ(PayloadEnd::BadRecord, s.end.kind);
    EXPECT_EQ("131072: record size -2 is not valid (below -1)", OnlyFinding(s));
}

TEST_F(ContainerTest, DataRunsPastEndOfFile)
{
    uint64_t at = Add("big.bin", "");
    SetSize(at, kMaxRecordData);
    Summary s = Inspect();
    EXPECT_EQ("131072: record 'big.bin' declares 2147483647 data bytes, but only 0 remain in the file",
              OnlyFinding(s));
}

TEST_F(ContainerTest, TruncatedData)
{
    Add("a.exe", "abc");
    Add("b.txt", "0123456789");
    ShrinkSize(4);
    Summary s = Inspect();
    EXPECT_EQ(1u, s.records);
    EXPECT_EQ("132099: record 'b.txt' declares 10 data bytes, but only 6 remain in the file", OnlyFinding(s));
}

TEST_F(ContainerTest, NameWithoutNul)
{
    uint64_t at = Add("a.exe", "abc");
    End();
    for (size_t i = 4; i < kHeaderSize; ++i)
        SetByte(at + i, 'n');
    Summary s = Inspect();
    EXPECT_EQ("131072: record name has no NUL within its 1020 bytes", OnlyFinding(s));
}

TEST_F(ContainerTest, NameWithDirectoryPart)
{
    uint64_t at = Add("a.exe", "abc");
    End();
    SetByte(at + 4 + 1, '/');
    Summary s = Inspect();
    EXPECT_EQ(PayloadEnd::BadRecord, s.end.kind);
    EXPECT_EQ(0u, s.records);
    EXPECT_NE(std::string::npos, OnlyFinding(s).find("131072: record name 'a/exe' is not a plain Windows file name"));
}

TEST_F(ContainerTest, DeviceNameInLaterRecord)
{
    Add("a.exe", "abc");
    uint64_t at = Add("nul.txt", "x");
    End();
    Summary s = Inspect();
    EXPECT_EQ(1u, s.records);
    EXPECT_EQ(at, s.end.offset);
    EXPECT_NE(std::string::npos, OnlyFinding(s).find("record name 'nul.txt' is not a plain"));
}

TEST_F(ContainerTest, ImageTooShort)
{
    bytes_.resize(1234);
    Summary s = Inspect();
    EXPECT_EQ(PayloadEnd::NoPayload, s.end.kind);
    EXPECT_EQ("0: not a container (image is 1234 bytes, expected 131072)", OnlyFinding(s));
}

TEST_F(ContainerTest, NoMzHeader)
{
    End();
    SetByte(0, 'X');
    EXPECT_EQ("0: not a PE image (no MZ header at offset 0)", OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, NoPeSignature)
{
    End();
    SetByte(testing_image::kPeOffset + 1, 'X');
    EXPECT_EQ("0: not a PE image (no PE signature at offset 128)", OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, PeHeaderPastImage)
{
    End();
    Put32(0x3c, 0x7fffffff);
    EXPECT_EQ("0: not a PE image (e_lfanew 2147483647 points past the image)", OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, PeHeaderInThePayload)
{
    uint64_t data = Add("a.exe", std::string("PE\0\0", 4) + std::string(60, '\0')) + kHeaderSize;
    End();
    Put32(0x3c, uint32_t(data));  // a signature there belongs to the payload, not the image
    EXPECT_EQ("0: not a PE image (e_lfanew 132096 points past the image)", OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, SectionsEndAfterPayloadStart)
{
    End();
    testing_image::SetSectionRaw(bytes_, 0x400, uint32_t(kImageSize));
    EXPECT_EQ("0: the image's sections end at offset 132096, not at 131072 where the payload starts",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, JunkAfterEndRecord)
{
    Add("a.exe", "abc");
    uint64_t end = End();
    Append("junk");
    Summary s = Inspect();
    EXPECT_EQ(TrailerKind::Unexplained, s.trailer.kind);
    EXPECT_EQ(std::to_string(end + kHeaderSize) +
                  ": data after the end record: the image's security directory is empty, so nothing should "
                  "follow the end record",
              OnlyFinding(s));
    EXPECT_EQ("4 bytes after the end record at offset 133123 (0x20803): unexplained data (the image's security "
              "directory is empty, so nothing should follow the end record, at offset 133123 (0x20803))",
              describeTrailer(s.trailer, s.image));
}

TEST_F(ContainerTest, SignedContainerIsClean)
{
    Add("a.exe", "abc");
    End();
    uint64_t table = Sign();
    Summary s = Inspect();
    EXPECT_EQ("0 findings", OnlyFinding(s));
    EXPECT_EQ(TrailerKind::CertificateTable, s.trailer.kind);
    EXPECT_EQ(5u, s.trailer.padding);  // the end record ends at 0x20803; 0x20808 is a multiple of 8
    EXPECT_EQ(0x20808u, table);
    EXPECT_EQ("37 bytes after the end record: 5 bytes of zero padding, then certificate table (32 bytes) at "
              "offset 133128 (0x20808), referenced by the image's security directory",
              describeTrailer(s.trailer, s.image));
}

TEST_F(ContainerTest, ByteAfterCertificateTable)
{
    Add("a.exe", "abc");
    End();
    Sign();
    Append("x");
    EXPECT_EQ("133160: data after the end record: 1 byte after the certificate table (32 bytes at offset 133128)",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, NonZeroPadding)
{
    Add("a.exe", "abc");
    uint64_t end = End();
    Sign();
    SetByte(end + kHeaderSize + 2, 1);
    EXPECT_EQ("133125: data after the end record: non-zero byte in the padding before the certificate table",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, DataBetweenEndRecordAndTable)
{
    Add("a.exe", "abc");
    End();
    Append("12345678");  // the table then starts 8 bytes later than padding allows
    Sign();
    EXPECT_EQ("133123: data after the end record: 13 bytes between the end record and the certificate table at "
              "offset 133136 (only zero padding to a multiple of 8 belongs there)",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, DataHiddenInsideCertificateEntry)
{
    Add("a.exe", "abc");
    End();
    uint64_t table = Sign(20);
    // The DER SEQUENCE is 2 + 20 bytes from table + 8; the entry is 8-aligned.
    SetByte(table + 8 + 22 + 1, 0x55);
    EXPECT_EQ(std::to_string(table + 31) +
                  ": data after the end record: data after the signature inside the certificate table",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, CertificateEntryLongerThanTable)
{
    Add("a.exe", "abc");
    End();
    uint64_t table = Sign();
    Put32(table, 4096);
    EXPECT_EQ(std::to_string(table) +
                  ": data after the end record: certificate entry length 4096 does not fit the table (32 bytes left)",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, TableRunsPastEndOfFile)
{
    Add("a.exe", "abc");
    End();
    uint64_t table = Sign();
    ShrinkSize(8);
    EXPECT_EQ(std::to_string(table) +
                  ": data after the end record: the certificate table (32 bytes) runs past the end of the file",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, TableStartsPastEndOfFile)
{
    Add("a.exe", "abc");
    End();
    Append(std::string(2, '\0'));  // shorter than the padding the table would follow
    SetSecurityDirectory(0x20808, 16);
    EXPECT_EQ("133125: data after the end record: the certificate table (16 bytes) runs past the end of the file",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, SecurityDirectoryIntoImage)
{
    Add("a.exe", "abc");
    End();
    Append("12345678");
    SetSecurityDirectory(64, 8);
    EXPECT_EQ("133123: data after the end record: the security directory points to offset 64, inside the "
              "launcher image or the payload",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, SecurityDirectoryWithoutTable)
{
    End();
    SetSecurityDirectory(0x20400, 40);
    EXPECT_EQ(std::to_string(testing_image::kSecurityEntryOffset) +
                  ": the security directory points to 40 bytes at offset 132096, but nothing follows the end "
                  "record",
              OnlyFinding(Inspect()));
}

TEST_F(ContainerTest, DuplicateNamesWarnOnly)
{
    Add("a.exe", "abc");
    Add("Data.bin", "1");
    uint64_t second = Add("DATA.BIN", "2");
    End();
    Summary s = Inspect();
    EXPECT_EQ("0 findings", OnlyFinding(s));
    ASSERT_EQ(1u, s.warnings.size());
    EXPECT_EQ(second, s.warnings[0].offset);
    EXPECT_EQ("duplicate name 'DATA.BIN' (same file on Windows as 'Data.bin' at offset 132099): the launcher "
              "keeps the later one",
              s.warnings[0].what);
}

TEST_F(ContainerTest, DuplicateWarningsAreCountedBeyondTheListedOnes)
{
    Add("a", "");
    uint64_t first = 0;
    for (size_t i = 0; i < kMaxListedDuplicates + 50; ++i) {
        uint64_t at = Add(i % 2 ? "a" : "A", "");
        if (i == kMaxListedDuplicates)
            first = at;
    }
    End();
    Summary s = Inspect();
    ASSERT_EQ(kMaxListedDuplicates + 1, s.warnings.size());
    EXPECT_EQ(first, s.warnings.back().offset);
    EXPECT_EQ("50 more duplicate names from here on, not listed", s.warnings.back().what);
}

TEST(NameSetTest, RemembersNoNewNameBeyondItsLimit)
{
    const std::vector<std::string> keys = {"A", "B", "C"};
    NameSet set([&](uint64_t tag) { return keys[size_t(tag)]; }, 2);
    uint64_t earlier = 9;
    EXPECT_EQ(NameSet::Put::Added, set.put("A", 0, &earlier));
    EXPECT_EQ(NameSet::Put::Added, set.put("B", 1, &earlier));
    EXPECT_EQ(NameSet::Put::Full, set.put("C", 2, &earlier));
    EXPECT_EQ(NameSet::Put::Replaced, set.put("A", 0, &earlier));
    EXPECT_EQ(0u, earlier);
    EXPECT_FALSE(set.find("C", &earlier));
    EXPECT_EQ(2u, set.size());
}

TEST_F(ContainerTest, LargeCertificateTableKeepsFewEntries)
{
    Add("a.exe", "abc");
    End();
    while (bytes_.size() % 8)
        bytes_.push_back(0);
    const uint64_t table = bytes_.size();
    const size_t count = 5000;
    for (size_t i = 0; i < count; ++i)
        Append(std::string("\x08\0\0\0\0\x02\x01\0", 8));  // empty entries of type 1
    const uint64_t primary = bytes_.size();
    std::vector<unsigned char> entry = testing_image::MakeCertificateEntry(20);
    bytes_.insert(bytes_.end(), entry.begin(), entry.end());
    SetSecurityDirectory(uint32_t(table), uint32_t(bytes_.size() - table));
    Summary s = Inspect();
    ASSERT_EQ(TrailerKind::CertificateTable, s.trailer.kind) << describeTrailer(s.trailer, s.image);
    EXPECT_EQ(count + 1, s.trailer.entryCount);
    EXPECT_EQ(kMaxKeptCertificates + 1, s.trailer.entries.size());
    ASSERT_NE(nullptr, primarySignature(s.trailer));
    EXPECT_EQ(primary, primarySignature(s.trailer)->offset);
}

TEST_F(ContainerTest, SignedRangesLeaveOutChecksumEntryAndTable)
{
    Add("a.exe", "abc");
    End();
    uint64_t table = Sign();
    Summary s = Inspect();
    ASSERT_EQ(TrailerKind::CertificateTable, s.trailer.kind);
    const uint64_t checksum = testing_image::kOptionalOffset + 64;
    const uint64_t entry = testing_image::kSecurityEntryOffset;
    std::vector<ByteRange> r = signedRanges(s.image);
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(0u, r[0].offset);
    EXPECT_EQ(checksum, r[0].size);
    EXPECT_EQ(checksum + 4, r[1].offset);
    EXPECT_EQ(entry, r[1].offset + r[1].size);
    EXPECT_EQ(entry + 8, r[2].offset);
    EXPECT_EQ(table, r[2].offset + r[2].size);  // the padding is covered, the table not
    ASSERT_NE(nullptr, primarySignature(s.trailer));
    EXPECT_EQ(table, primarySignature(s.trailer)->offset);
}

TEST_F(ContainerTest, FormatOffsetShowsBothBases)
{
    EXPECT_EQ("131072 (0x20000)", formatOffset(0x20000));
    EXPECT_EQ("4294967296 (0x100000000)", formatOffset(uint64_t(1) << 32));
}

}  // namespace
}  // namespace sfxpack
