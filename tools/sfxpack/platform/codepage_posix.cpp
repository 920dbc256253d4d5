// Code page conversion with iconv, and the lead bytes of the double-byte
// code pages as Windows reports them (CPINFO.LeadByte).
#include "platform/codepage.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>

namespace sfxpack {

namespace {

int leadByte932(unsigned char c) { return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc); }
// 936 (GBK), 949 (Unified Hangul) and 950 (Big5) share one range.
int leadByte81FE(unsigned char c) { return c >= 0x81 && c <= 0xfe; }

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

LeadByteTest leadByteTest(unsigned codePage)
{
    switch (codePage) {
    case 932: return leadByte932;
    case 936: case 949: case 950: return leadByte81FE;
    default: return nullptr;
    }
}

bool platformFromUtf8(std::string_view utf8, unsigned codePage, std::string* out)
{
    return convert(iconvName(codePage).c_str(), "UTF-8", utf8, out);
}

bool platformToUtf8(std::string_view name, unsigned codePage, std::string* out)
{
    return convert("UTF-8", iconvName(codePage).c_str(), name, out);
}

}  // namespace sfxpack
