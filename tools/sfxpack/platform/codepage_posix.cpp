// Code page conversion on POSIX systems, and the lead bytes of the
// double-byte code pages as Windows reports them (CPINFO.LeadByte).
//
// The native build converts with glibc's iconv and takes the case mapping
// from the C.UTF-8 locale; both load their data from files at run time
// (gconv modules, locale files).  The static build
// (SFXPACK_BUILTIN_CODEPAGES) needs no file: it reads tables that
// make_codepage_tables wrote at build time from those same conversions.
#include "platform/codepage.h"

#ifdef SFXPACK_BUILTIN_CODEPAGES
#include <algorithm>

#include "base/text.h"
#include "platform/codepage_tables.h"
#else
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#endif

namespace sfxpack {

namespace {

int leadByte932(unsigned char c) { return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc); }
// 936 (GBK), 949 (Unified Hangul) and 950 (Big5) share one range.
int leadByte81FE(unsigned char c) { return c >= 0x81 && c <= 0xfe; }

}  // namespace

LeadByteTest leadByteTest(unsigned codePage)
{
    switch (codePage) {
    case 932: return leadByte932;
    case 936: case 949: case 950: return leadByte81FE;
    default: return nullptr;
    }
}

#ifdef SFXPACK_BUILTIN_CODEPAGES

namespace {

using tables::CodePageTable;

const CodePageTable* findTable(unsigned codePage)
{
    for (size_t i = 0; i < tables::kCodePageCount; ++i) {
        if (tables::kCodePages[i].codePage == codePage)
            return &tables::kCodePages[i];
    }
    return nullptr;
}

// The character at name[*at] (one byte, or a lead byte and its trail),
// moving *at past it; kNoCharacter when there is none.
uint32_t readCharacter(const CodePageTable& table, std::string_view name, size_t* at)
{
    const uint32_t single = table.single[static_cast<unsigned char>(name[(*at)++])];
    if (single == tables::kNoCharacter || !(single & tables::kLeadByte))
        return single;
    if (*at == name.size())
        return tables::kNoCharacter;
    const size_t row = single & ~tables::kLeadByte;
    const uint16_t cp = table.trails[row * 256 + static_cast<unsigned char>(name[(*at)++])];
    return cp == tables::kNoTrail ? tables::kNoCharacter : cp;
}

// What `first` followed by `second` reads as, or kNoCharacter when they
// stay two.
uint32_t composition(const CodePageTable& table, uint32_t first, uint32_t second)
{
    const auto* end = table.compositions + table.compositionCount;
    const auto* c = std::lower_bound(table.compositions, end, tables::Composition{first, second, 0},
                                     [](const tables::Composition& a, const tables::Composition& b) {
                                         return a.first != b.first ? a.first < b.first : a.second < b.second;
                                     });
    return c != end && c->first == first && c->second == second ? c->composed : tables::kNoCharacter;
}

// How `codePoint` is written, or null when it cannot be.
const tables::Encoding* encoding(const CodePageTable& table, uint32_t codePoint)
{
    const auto* end = table.encodings + table.encodingCount;
    const auto* e = std::lower_bound(table.encodings, end, codePoint,
                                     [](const tables::Encoding& a, uint32_t cp) { return a.codePoint < cp; });
    return e != end && e->codePoint == codePoint ? e : nullptr;
}

}  // namespace

uint32_t platformUpper(uint32_t codePoint)
{
    const auto* end = tables::kUpperCase + tables::kUpperCaseCount;
    const auto* c = std::lower_bound(tables::kUpperCase, end, codePoint,
                                     [](const tables::CaseMapping& m, uint32_t cp) { return m.lower < cp; });
    return c != end && c->lower == codePoint ? c->upper : codePoint;
}

bool platformFromUtf8(std::string_view utf8, unsigned codePage, std::string* out)
{
    const CodePageTable* table = findTable(codePage);
    out->clear();
    bool ok = table != nullptr;
    forEachCharacter(utf8, [&](uint32_t cp, std::string_view, size_t) {
        const tables::Encoding* e = ok ? encoding(*table, cp) : nullptr;
        ok = e != nullptr;
        for (uint32_t i = 0; ok && i < e->bytes >> 24; ++i)
            out->push_back(char((e->bytes >> (16 - 8 * i)) & 0xff));
        return ok;
    });
    return ok;
}

bool platformToUtf8(std::string_view name, unsigned codePage, std::string* out)
{
    const CodePageTable* table = findTable(codePage);
    out->clear();
    if (!table)
        return false;
    // A character waits until the next shows whether the two make one.
    uint32_t waiting = tables::kNoCharacter;
    for (size_t at = 0; at < name.size();) {
        const uint32_t cp = readCharacter(*table, name, &at);
        if (cp == tables::kNoCharacter)
            return false;
        const uint32_t composed =
            waiting == tables::kNoCharacter ? tables::kNoCharacter : composition(*table, waiting, cp);
        if (composed != tables::kNoCharacter) {
            waiting = composed | tables::kComposed;
            continue;
        }
        if (waiting != tables::kNoCharacter)
            appendUtf8(*out, waiting & ~tables::kComposed);
        waiting = cp;
    }
    if (waiting != tables::kNoCharacter)
        appendUtf8(*out, waiting & ~tables::kComposed);
    return true;
}

#else  // iconv

namespace {

// Runs one whole conversion; false on any character iconv cannot convert
// exactly, and on input that ends inside a character.
bool convert(const char* to, const char* from, std::string_view in, std::string* out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out->clear();
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buf[1024];
    bool ok = true;
    for (bool flushing = false;;) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        // The final call with no input writes what a stateful converter
        // still holds (1255 and 1258 combine characters).
        size_t rc = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                             : iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out->append(buf, dst - buf);
        if (rc == static_cast<size_t>(-1) && errno == E2BIG)
            continue;
        if (rc == static_cast<size_t>(-1) || (!flushing && rc != 0)) {
            // rc > 0 counts irreversible conversions: a substitute was used.
            ok = false;
            break;
        }
        if (flushing)
            break;
        flushing = true;
    }
    iconv_close(cd);
    return ok;
}

std::string iconvName(unsigned codePage) { return "CP" + std::to_string(codePage); }

}  // namespace

uint32_t platformUpper(uint32_t codePoint)
{
    // The C.UTF-8 locale's case mapping covers all of Unicode, whatever
    // locale the user runs sfxpack in; without it only ASCII is mapped.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (utf8)
        return uint32_t(towupper_l(wint_t(codePoint), utf8));
    return codePoint >= 'a' && codePoint <= 'z' ? codePoint - 'a' + 'A' : codePoint;
}

bool platformFromUtf8(std::string_view utf8, unsigned codePage, std::string* out)
{
    return convert(iconvName(codePage).c_str(), "UTF-8", utf8, out);
}

bool platformToUtf8(std::string_view name, unsigned codePage, std::string* out)
{
    return convert("UTF-8", iconvName(codePage).c_str(), name, out);
}

#endif

}  // namespace sfxpack
