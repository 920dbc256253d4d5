// Text without I/O, shared by every layer: UTF-8 and UTF-16, names and
// texts made printable for messages, and hexadecimal.
#ifndef SFXPACK_TEXT_H
#define SFXPACK_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sfxpack {

// ---- UTF-8 and UTF-16 -----------------------------------------------------

// One character of UTF-8 text.
struct Utf8Char {
    size_t length = 0;  // 0: the bytes there are no well-formed sequence
    uint32_t codePoint = 0;
    size_t badAt = 0;  // for length 0: the byte that breaks the sequence
};

// The character at `at` (< s.size()).  Overlong forms, surrogates and
// values past U+10FFFF are not well-formed.
Utf8Char decodeUtf8(std::string_view s, size_t at);

// Marks a byte that starts no well-formed UTF-8 sequence.
constexpr uint32_t kNotUtf8 = 0xffffffff;

// Calls fn(codePoint, bytes, offset) for each character of `s`; a byte that
// starts no well-formed sequence comes alone, with kNotUtf8.  fn returns
// false to stop the walk.
template <typename Fn>
void forEachCharacter(std::string_view s, Fn fn)
{
    for (size_t i = 0; i < s.size();) {
        const Utf8Char c = decodeUtf8(s, i);
        const size_t len = c.length ? c.length : 1;
        if (!fn(c.length ? c.codePoint : kNotUtf8, s.substr(i, len), i))
            return;
        i += len;
    }
}

// Appends code point `cp` (at most U+10FFFF) to `out` in UTF-8.
void appendUtf8(std::string& out, uint32_t cp);

// UTF-8 to UTF-16, rejecting what decodeUtf8 rejects.  On failure
// *badOffset is the offset of the bad byte.
bool utf8ToUtf16(std::string_view in, std::u16string* out, size_t* badOffset);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view in);

// Bytes whose code page is unknown as UTF-8 text (JSON must be UTF-8):
// each byte becomes the code point of the same value.
std::string bytesAsCodePoints(std::string_view bytes);

// ---- Printable text ----------------------------------------------------------

// A name of unknown encoding for messages and listings: printable ASCII
// as is, other bytes as \xNN, backslash doubled.
std::string printableName(std::string_view name);

// UTF-8 text for a message: valid characters as they are, control
// characters and bytes that are not UTF-8 as \xNN, backslash doubled.
std::string printableText(std::string_view utf8);

// ---- Hexadecimal -------------------------------------------------------------

// Lower-case hexadecimal digits of `bytes`.
std::string hexDigits(std::string_view bytes);
// "\xNN" in lower case.
std::string escapedByte(unsigned char c);
std::string formatHex(uint64_t value);      // "0x20403"
std::string formatOffset(uint64_t offset);  // "132099 (0x20403)"

}  // namespace sfxpack

#endif  // SFXPACK_TEXT_H
