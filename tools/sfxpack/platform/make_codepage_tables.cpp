// Writes the code page tables of a static sfxpack (codepage_tables.h) as
// a C++ source, from this machine's own conversions: the native build's
// platformToUtf8 and platformFromUtf8 (iconv) and platformUpper (the
// C.UTF-8 locale).  The tables are what those functions give, character
// by character, so the static build converts as the native build does.
//   make_codepage_tables OUTPUT.cpp
// Stops with a message, and writes nothing, when a conversion gives
// something the tables cannot hold.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/codepage.h"
#include "platform/codepage_tables.h"

namespace {

using namespace sfxpack;
using namespace sfxpack::tables;

constexpr uint32_t kLastCodePoint = 0x10ffff;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "make_codepage_tables: %s\n", what.c_str());
    std::exit(1);
}

// The one character `bytes` read as in `codePage`, or kNoCharacter.
uint32_t readOne(std::string_view bytes, unsigned codePage)
{
    std::string utf8;
    if (!platformToUtf8(bytes, codePage, &utf8))
        return kNoCharacter;
    std::vector<uint32_t> cps;
    forEachCharacter(utf8, [&cps](uint32_t cp, std::string_view, size_t) {
        cps.push_back(cp);
        return true;
    });
    return cps.size() == 1 ? cps[0] : kNoCharacter;
}

struct Page {
    unsigned codePage = 0;
    uint32_t single[256];
    std::vector<uint16_t> trails;
    std::vector<Encoding> encodings;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> compositions;
};

// Each byte alone, or as a lead byte with each trail byte.
void readBytes(Page& page)
{
    for (unsigned b = 0; b < 256; ++b) {
        const std::string one(1, char(b));
        page.single[b] = readOne(one, page.codePage);
        if (page.single[b] != kNoCharacter)
            continue;
        std::vector<uint16_t> row(256, kNoTrail);
        bool lead = false;
        for (unsigned t = 0; t < 256; ++t) {
            const uint32_t cp = readOne(one + char(t), page.codePage);
            if (cp == kNoCharacter)
                continue;
            if (cp >= kNoTrail)
                fail("code page " + std::to_string(page.codePage) + " reads a byte pair beyond U+FFFE");
            row[t] = uint16_t(cp);
            lead = true;
        }
        if (lead) {
            page.single[b] = kLeadByte | uint32_t(page.trails.size() / 256);
            page.trails.insert(page.trails.end(), row.begin(), row.end());
        }
    }
}

// What a single-byte code page reads two characters as when they make one
// (a letter and a combining mark), and again with what that one makes
// with a further byte.  A character that waits is known by its code point
// and by whether it was itself composed (kComposed).
void readCompositions(Page& page)
{
    std::vector<std::pair<std::string, uint32_t>> waiting;
    std::set<uint32_t> seen;
    for (unsigned b = 0; b < 256; ++b) {
        if (page.single[b] != kNoCharacter && seen.insert(page.single[b]).second)
            waiting.emplace_back(std::string(1, char(b)), page.single[b]);
    }
    for (size_t i = 0; i < waiting.size(); ++i) {
        for (unsigned b = 0; b < 256; ++b) {
            if (page.single[b] == kNoCharacter)
                continue;
            const std::string bytes = waiting[i].first + char(b);
            std::string utf8, apart;
            if (!platformToUtf8(bytes, page.codePage, &utf8))
                fail("code page " + std::to_string(page.codePage) + " refuses two characters together");
            appendUtf8(apart, waiting[i].second & ~kComposed);
            appendUtf8(apart, page.single[b]);
            if (utf8 == apart)
                continue;
            const uint32_t composed = readOne(bytes, page.codePage);
            if (composed == kNoCharacter)
                fail("code page " + std::to_string(page.codePage) + " reads two characters as something else");
            page.compositions[{waiting[i].second, page.single[b]}] = composed;
            if (seen.insert(composed | kComposed).second)
                waiting.emplace_back(bytes, composed | kComposed);
        }
    }
}

// How every character is written, when it can be.
void writeCharacters(Page& page)
{
    for (uint32_t cp = 0; cp <= kLastCodePoint; ++cp) {
        if (cp >= 0xd800 && cp <= 0xdfff)
            continue;
        std::string utf8, bytes;
        appendUtf8(utf8, cp);
        if (!platformFromUtf8(utf8, page.codePage, &bytes))
            continue;
        if (bytes.size() > 3)
            fail("code page " + std::to_string(page.codePage) + " writes a character as more than 3 bytes");
        uint32_t packed = uint32_t(bytes.size()) << 24;
        for (size_t i = 0; i < bytes.size(); ++i)
            packed |= uint32_t(static_cast<unsigned char>(bytes[i])) << (16 - 8 * i);
        page.encodings.push_back({cp, packed});
    }
}

class Writer {
public:
    explicit Writer(std::ostream& out) : out_(out) {}
    template <typename T, typename Fn>
    void array(const char* type, const std::string& name, const std::vector<T>& items, Fn text)
    {
        out_ << "const " << type << " " << name << "[] = {";
        for (size_t i = 0; i < items.size(); ++i)
            out_ << (i % 8 ? " " : "\n    ") << text(items[i]) << ",";
        out_ << (items.empty() ? "{}" : "") << "\n};\n";
    }

private:
    std::ostream& out_;
};

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

void writePage(std::ostream& out, const Page& page)
{
    Writer w(out);
    const std::string n = std::to_string(page.codePage);
    w.array("uint32_t", "single" + n, std::vector<uint32_t>(page.single, page.single + 256), hex);
    w.array("uint16_t", "trails" + n, page.trails, hex);
    w.array("Encoding", "encodings" + n, page.encodings,
            [](const Encoding& e) { return "{" + hex(e.codePoint) + ", " + hex(e.bytes) + "}"; });
    std::vector<Composition> compositions;
    for (const auto& c : page.compositions)
        compositions.push_back({c.first.first, c.first.second, c.second});
    w.array("Composition", "compositions" + n, compositions, [](const Composition& c) {
        return "{" + hex(c.first) + ", " + hex(c.second) + ", " + hex(c.composed) + "}";
    });
}

std::vector<CaseMapping> upperCases()
{
    if (platformUpper(0xe9) != 0xc9)
        fail("this machine has no C.UTF-8 locale to take the case mapping from");
    std::vector<CaseMapping> cases;
    for (uint32_t cp = 0; cp <= kLastCodePoint; ++cp) {
        if (platformUpper(cp) != cp)
            cases.push_back({cp, platformUpper(cp)});
    }
    return cases;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        fail("usage: make_codepage_tables OUTPUT.cpp");
    std::vector<Page> pages;
    for (unsigned cp = 1; cp < 65536; ++cp) {
        if (!knownCodePage(cp))
            continue;
        pages.emplace_back();
        pages.back().codePage = cp;
        readBytes(pages.back());
        if (pages.back().trails.empty())
            readCompositions(pages.back());
        writeCharacters(pages.back());
    }
    const std::string temp = std::string(argv[1]) + ".new";
    std::ofstream out(temp, std::ios::binary);
    out << "// Made by make_codepage_tables from the build machine's iconv and C.UTF-8\n"
           "// locale; see codepage_tables.h.\n"
           "#include \"platform/codepage_tables.h\"\n\n"
           "namespace sfxpack {\nnamespace tables {\n\nnamespace {\n\n";
    for (const Page& page : pages)
        writePage(out, page);
    out << "\n}  // namespace\n\nconst CodePageTable kCodePages[] = {\n";
    for (const Page& page : pages) {
        const std::string n = std::to_string(page.codePage);
        out << "    {" << n << ", single" << n << ", trails" << n << ", encodings" << n << ", sizeof encodings" << n
            << " / sizeof(Encoding), compositions" << n << ", " << page.compositions.size() << "},\n";
    }
    out << "};\nconst size_t kCodePageCount = " << pages.size() << ";\n\n";
    const std::vector<CaseMapping> cases = upperCases();
    Writer(out).array("CaseMapping", "kUpperCase", cases,
                      [](const CaseMapping& c) { return "{" + hex(c.lower) + ", " + hex(c.upper) + "}"; });
    out << "const size_t kUpperCaseCount = " << cases.size() << ";\n\n"
        << "}  // namespace tables\n}  // namespace sfxpack\n";
    out.close();
    if (!out || std::rename(temp.c_str(), argv[1]) != 0)
        fail(std::string("cannot write ") + argv[1]);
    return 0;
}
