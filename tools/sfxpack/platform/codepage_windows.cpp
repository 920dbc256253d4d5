// Code page conversion with the Windows code page functions: UTF-8 to
// UTF-16 to the ANSI code page and back, with no best-fit mapping.
#include "platform/codepage.h"

#include <windows.h>

#include <vector>

namespace sfxpack {

namespace {

int leadByte932(unsigned char c) { return IsDBCSLeadByteEx(932, c) != 0; }
int leadByte936(unsigned char c) { return IsDBCSLeadByteEx(936, c) != 0; }
int leadByte949(unsigned char c) { return IsDBCSLeadByteEx(949, c) != 0; }
int leadByte950(unsigned char c) { return IsDBCSLeadByteEx(950, c) != 0; }

bool toWide(UINT codePage, std::string_view in, std::wstring* out)
{
    out->clear();
    if (in.empty())
        return true;
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0);
    if (n <= 0)
        return false;
    out->resize(size_t(n));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), &(*out)[0], n) == n;
}

}  // namespace

std::wstring wideFromUtf8(std::string_view utf8)
{
    std::wstring wide;
    if (!toWide(CP_UTF8, utf8, &wide)) {
        // Not UTF-8: the bytes are taken as the ANSI code page's, which is
        // what the narrow functions would have done.
        toWide(CP_ACP, utf8, &wide);
    }
    return wide;
}

std::string utf8FromWide(std::wstring_view wide)
{
    std::string out;
    if (wide.empty())
        return out;
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return out;
    out.resize(size_t(n));
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &out[0], n, nullptr, nullptr);
    return out;
}

uint32_t platformUpper(uint32_t codePoint)
{
    // Characters beyond the Basic Multilingual Plane have no case here.
    if (codePoint > 0xffff)
        return codePoint;
    wchar_t c = wchar_t(codePoint);
    CharUpperBuffW(&c, 1);
    return c;
}

LeadByteTest leadByteTest(unsigned codePage)
{
    switch (codePage) {
    case 932: return leadByte932;
    case 936: return leadByte936;
    case 949: return leadByte949;
    case 950: return leadByte950;
    default: return nullptr;
    }
}

bool platformFromUtf8(std::string_view utf8, unsigned codePage, std::string* out)
{
    std::wstring wide;
    out->clear();
    if (!toWide(CP_UTF8, utf8, &wide))
        return false;
    if (wide.empty())
        return true;
    // WC_NO_BEST_FIT_CHARS keeps "ü" from becoming "u"; the default
    // character flag tells that one had no place at all.
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), nullptr, 0,
                                nullptr, &usedDefault);
    if (n <= 0 || usedDefault)
        return false;
    out->resize(size_t(n));
    n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), &(*out)[0], n, nullptr,
                            &usedDefault);
    return n == int(out->size()) && !usedDefault;
}

bool platformToUtf8(std::string_view name, unsigned codePage, std::string* out)
{
    std::wstring wide;
    if (!toWide(codePage, name, &wide))
        return false;
    *out = utf8FromWide(wide);
    return name.empty() || !out->empty();
}

}  // namespace sfxpack
