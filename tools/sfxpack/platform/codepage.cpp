// What the code page conversions share on every platform: which code pages
// are known, and finding the character or byte that made a whole-name
// conversion fail.
#include "platform/codepage.h"

#include <cstdio>
#include <vector>

#include "base/text.h"

namespace sfxpack {

const char kKnownCodePages[] = "874, 932, 936, 949, 950, 1250-1258";

bool knownCodePage(unsigned codePage)
{
    switch (codePage) {
    case 874: case 932: case 936: case 949: case 950:
        return true;
    default:
        return codePage >= 1250 && codePage <= 1258;
    }
}

namespace {

// The names people give the known code pages besides their numbers (cp1252
// and windows-1252 are read from the number), compared without regard to
// case.
struct CodePageName {
    const char* name;
    unsigned codePage;
};
const CodePageName kCodePageNames[] = {
    {"shift_jis", 932}, {"shift-jis", 932}, {"sjis", 932}, {"ms932", 932},
    {"gbk", 936}, {"gb2312", 936}, {"euc-cn", 936},
    {"euc-kr", 949}, {"uhc", 949}, {"ks_c_5601-1987", 949},
    {"big5", 950}, {"tis-620", 874},
};

std::string lowerAscii(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return lower;
}

// A code page number as written, without a leading zero ("01252" is no
// code page's name).
bool parseNumber(std::string_view text, unsigned* value)
{
    if (text.empty() || text.size() > 5 || text[0] == '0')
        return false;
    *value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        *value = *value * 10 + unsigned(c - '0');
    }
    return true;
}

}  // namespace

bool parseCodePage(std::string_view text, unsigned* codePage)
{
    const std::string lower = lowerAscii(text);
    std::string_view number = lower;
    for (std::string_view prefix : {"cp", "windows-"})
        if (number.substr(0, prefix.size()) == prefix)
            number.remove_prefix(prefix.size());
    unsigned value = 0;
    if (!parseNumber(number, &value)) {
        for (const CodePageName& known : kCodePageNames)
            if (lower == known.name)
                value = known.codePage;
    }
    if (!knownCodePage(value))
        return false;
    *codePage = value;
    return true;
}

bool isAscii(std::string_view s)
{
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

std::string deviceNameProblem(std::string_view utf8, unsigned codePage)
{
    std::vector<unsigned short> units;
    forEachCharacter(utf8, [&units](uint32_t cp, std::string_view, size_t) {
        if (cp == kNotUtf8) {
            units.push_back(0xfffd);
        } else if (cp >= 0x10000) {
            units.push_back(static_cast<unsigned short>(0xd800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<unsigned short>(0xdc00 + ((cp - 0x10000) & 0x3ff)));
        } else {
            units.push_back(static_cast<unsigned short>(cp));
        }
        return true;
    });
    if (!IsDeviceNameText(units.data(), units.size()))
        return {};
    return "name '" + printableText(utf8) + "' is a device name in code page " + std::to_string(codePage);
}

std::string upperCase(std::string_view utf8)
{
    std::string out;
    forEachCharacter(utf8, [&out](uint32_t cp, std::string_view bytes, size_t) {
        if (cp == kNotUtf8) {
            out += bytes;
            return true;
        }
        cp = platformUpper(cp);
        appendUtf8(out, cp);
        return true;
    });
    return out;
}

Result<std::string> encodeName(std::string_view utf8, unsigned codePage)
{
    std::string problem;
    forEachCharacter(utf8, [&problem](uint32_t cp, std::string_view bytes, size_t at) {
        if (cp != kNotUtf8)
            return true;
        problem = "is not UTF-8 (byte 0" + escapedByte(static_cast<unsigned char>(bytes[0])).substr(1) +
                  " at offset " + std::to_string(at) + ")";
        return false;
    });
    if (!problem.empty())
        return Status::fail(problem);
    std::string out;
    if (platformFromUtf8(utf8, codePage, &out))
        return out;
    // Convert character by character to name the one that has no place in
    // the code page.
    problem = "does not convert to code page " + std::to_string(codePage);
    std::string ignored;
    forEachCharacter(utf8, [&](uint32_t cp, std::string_view bytes, size_t) {
        if (platformFromUtf8(bytes, codePage, &ignored))
            return true;
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
        problem = "'" + printableText(bytes) + "' (" + code + ") has no character in code page " +
                  std::to_string(codePage);
        return false;
    });
    return Status::fail(problem);
}

Result<std::string> decodeName(std::string_view name, unsigned codePage)
{
    std::string out;
    if (platformToUtf8(name, codePage, &out))
        return out;
    // Walk the name by characters of the code page to find the first one
    // that does not convert.
    const LeadByteTest lead = leadByteTest(codePage);
    std::string ignored;
    size_t i = 0;
    while (i < name.size()) {
        const size_t len = lead && lead(static_cast<unsigned char>(name[i])) ? 2 : 1;
        if (len > name.size() - i || !platformToUtf8(name.substr(i, len), codePage, &ignored))
            break;
        i += len;
    }
    if (i == name.size())  // each character converts, the whole name does not
        return Status::fail("does not convert from code page " + std::to_string(codePage));
    return Status::failAt(i, "byte 0" + escapedByte(static_cast<unsigned char>(name[i])).substr(1) + " at offset " +
                                 std::to_string(i) + " starts no character of code page " + std::to_string(codePage));
}

}  // namespace sfxpack
