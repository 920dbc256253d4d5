// The code page tables a static sfxpack converts with: what the build
// machine's iconv and C.UTF-8 locale give, written out at build time by
// make_codepage_tables.cpp, so a program that must not load gconv modules
// or locale files gives the same bytes as the native build.
#ifndef SFXPACK_CODEPAGE_TABLES_H
#define SFXPACK_CODEPAGE_TABLES_H

#include <cstddef>
#include <cstdint>

namespace sfxpack {
namespace tables {

// A byte of `single` that is no character alone.
constexpr uint32_t kNoCharacter = 0xffffffff;
// A lead byte: kLeadByte | its row of 256 in `trails`.
constexpr uint32_t kLeadByte = 0x80000000;
// A lead byte and trail byte that are no character.
constexpr uint16_t kNoTrail = 0xffff;

// How one character is written: up to three bytes, the first in bits
// 16-23, the count in bits 24-31 (1255 and 1258 write some characters as a
// letter and its combining marks).
struct Encoding {
    uint32_t codePoint;
    uint32_t bytes;
};

// A character read while `first` waits for what follows becomes
// `composed` (1255 and 1258 read a letter and a combining mark as one).
// `first` has kComposed set when the waiting character was itself
// composed: 1258 composes no further from those, 1255 does.
constexpr uint32_t kComposed = 0x80000000;
struct Composition {
    uint32_t first;
    uint32_t second;
    uint32_t composed;
};

struct CodePageTable {
    unsigned codePage;
    const uint32_t* single;          // 256 entries
    const uint16_t* trails;          // 256 per lead byte
    const Encoding* encodings;       // sorted by code point
    size_t encodingCount;
    const Composition* compositions; // sorted by first, then second
    size_t compositionCount;
};

struct CaseMapping {
    uint32_t lower;
    uint32_t upper;
};

extern const CodePageTable kCodePages[];
extern const size_t kCodePageCount;
extern const CaseMapping kUpperCase[];  // sorted by lower
extern const size_t kUpperCaseCount;

}  // namespace tables
}  // namespace sfxpack

#endif  // SFXPACK_CODEPAGE_TABLES_H
