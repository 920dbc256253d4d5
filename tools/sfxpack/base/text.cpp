#include "base/text.h"

#include <cstdio>

namespace sfxpack {

namespace {

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

// ---- UTF-8 and UTF-16 -----------------------------------------------------

Utf8Char decodeUtf8(std::string_view s, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = byte(at);
    size_t extra;
    uint32_t cp, minimum;
    if (c < 0x80)
        extra = 0, cp = c, minimum = 0;
    else if ((c & 0xE0) == 0xC0)
        extra = 1, cp = c & 0x1F, minimum = 0x80;
    else if ((c & 0xF0) == 0xE0)
        extra = 2, cp = c & 0x0F, minimum = 0x800;
    else if ((c & 0xF8) == 0xF0)
        extra = 3, cp = c & 0x07, minimum = 0x10000;
    else
        return {0, 0, at};
    if (s.size() - at - 1 < extra)
        return {0, 0, at};
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80)
            return {0, 0, at + k};
        cp = cp << 6 | (byte(at + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {0, 0, at};
    return {1 + extra, cp, 0};
}

void appendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

bool utf8ToUtf16(std::string_view in, std::u16string* out, size_t* badOffset)
{
    out->clear();
    for (size_t i = 0; i < in.size();) {
        const Utf8Char c = decodeUtf8(in, i);
        if (c.length == 0) {
            *badOffset = c.badAt;
            return false;
        }
        if (c.codePoint >= 0x10000) {
            const uint32_t cp = c.codePoint - 0x10000;
            *out += char16_t(0xD800 + (cp >> 10));
            *out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            *out += char16_t(c.codePoint);
        }
        i += c.length;
    }
    return true;
}

std::string utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        appendUtf8(out, cp);
    }
    return out;
}

std::string bytesAsCodePoints(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes)
        appendUtf8(out, c);
    return out;
}

// ---- Printable text ----------------------------------------------------------

std::string printableName(std::string_view name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c == '\\')
            out += "\\\\";
        else if (c >= 32 && c < 127)
            out += static_cast<char>(c);
        else
            out += escapedByte(c);
    }
    return out;
}

std::string printableText(std::string_view utf8)
{
    std::string out;
    forEachCharacter(utf8, [&out](uint32_t cp, std::string_view bytes, size_t) {
        if (cp == kNotUtf8 || cp < 32 || cp == 127 || (cp >= 0x80 && cp < 0xa0)) {
            for (unsigned char c : bytes)
                out += escapedByte(c);
        } else {
            if (cp == '\\')
                out += '\\';
            out += bytes;
        }
        return true;
    });
    return out;
}

// ---- Hexadecimal -------------------------------------------------------------

std::string hexDigits(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 15];
    }
    return out;
}

std::string escapedByte(unsigned char c)
{
    return std::string("\\x") + kHexDigits[c >> 4] + kHexDigits[c & 15];
}

std::string formatHex(uint64_t value)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

std::string formatOffset(uint64_t offset)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llu (0x%llx)", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset));
    return buf;
}

}  // namespace sfxpack
