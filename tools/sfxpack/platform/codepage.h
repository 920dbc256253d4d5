// Record names in a Windows ANSI code page.  A container's names are bytes
// that the launcher's system reads in its ANSI code page; sfxpack takes
// names as UTF-8 and writes them in the code page the user names, and
// reads them back for listing and extracting.
//
// The conversions are the platform's (iconv on POSIX systems, the Windows
// code page functions on Windows) and never replace a character by a
// look-alike: a stored "u" for "ü" would name another file.
#ifndef SFXPACK_CODEPAGE_H
#define SFXPACK_CODEPAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/status.h"
#include "payload/container.h"

namespace sfxpack {

// No code page given: names must be ASCII, which every ANSI code page reads
// alike.
constexpr unsigned kAsciiOnly = 0;

// The ANSI code pages sfxpack converts to and from.
bool knownCodePage(unsigned codePage);
extern const char kKnownCodePages[];  // "874, 932, 936, 949, 950, 1250-1258"

// Reads a code page given on the command line: its number (1252), the
// number after cp or windows- (cp1252, Windows-1252), or a usual name of a
// double-byte one (shift_jis, gbk, euc-kr, uhc, big5); false for anything
// but one of the known code pages, and for a number with a leading zero.
bool parseCodePage(std::string_view text, unsigned* codePage);

// The double-byte code pages among them: a name's byte 5C may be a trail
// byte there, not a backslash.
constexpr unsigned kDoubleByteCodePages[] = {932, 936, 949, 950};

// The lead-byte test of a double-byte code page (kDoubleByteCodePages), or
// null for a single-byte one.
LeadByteTest leadByteTest(unsigned codePage);

// Converts a UTF-8 name into `codePage`.  A failure says why, naming the
// character: "'€' (U+20AC) has no character in code page 932", or that
// the name is not UTF-8 at all ("is not UTF-8 (byte 0xe9 at offset 3)").
Result<std::string> encodeName(std::string_view utf8, unsigned codePage);

// Converts a name stored in `codePage` into UTF-8.  A failure's offset is
// the offset within the name of the first byte that starts no character
// of the code page.
Result<std::string> decodeName(std::string_view name, unsigned codePage);

bool isAscii(std::string_view s);

// Why a name that reads as the UTF-8 text `utf8` in `codePage` names a
// device, or empty when it names none.  Windows judges device names on
// the text (IsDeviceNameText): "COM¹" opens COM1 whether code page 1252
// stores it as "COM" B9 or 949 as "COM" A9 F6.
// "name 'COM¹' is a device name in code page 949".
std::string deviceNameProblem(std::string_view utf8, unsigned codePage);

// UTF-8 text with every letter in upper case, as Windows' file systems
// compare names: "café.txt" and "CAFÉ.TXT" name the same file.
std::string upperCase(std::string_view utf8);

#ifdef _WIN32
// UTF-8 and UTF-16, for the system's wide functions and command line.
std::wstring wideFromUtf8(std::string_view utf8);
std::string utf8FromWide(std::wstring_view wide);
#endif

// The platform's converters, whole strings at a time: false when any
// character does not convert.  platformUpper upper-cases one character.
uint32_t platformUpper(uint32_t codePoint);
bool platformFromUtf8(std::string_view utf8, unsigned codePage, std::string* out);
bool platformToUtf8(std::string_view name, unsigned codePage, std::string* out);

}  // namespace sfxpack

#endif  // SFXPACK_CODEPAGE_H
