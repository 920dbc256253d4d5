// A PE image's resource section, and the two resources that brand a
// launcher: the icon group and the version information.
//
// The resource section is a three-level tree, all offsets relative to the
// section's start except the data entries' addresses, which are RVAs:
//
//   directory   16 bytes: characteristics, time stamp, version, count of
//               named entries, count of numbered entries; then 8-byte
//               entries (names first, sorted; then ids, ascending):
//                 name or id    high bit set: offset of a counted UTF-16 name
//                 offset        high bit set: a subdirectory, else a data entry
//   level 1 type, level 2 name, level 3 language
//   data entry  16 bytes: RVA of the data, size, code page, reserved
//
// An icon group (RT_GROUP_ICON) is a GRPICONDIR: reserved 0, type 1,
// count, then 14-byte entries (an .ico directory entry whose file offset
// is replaced by the 16-bit id of the RT_ICON resource holding the image).
//
// A version resource (RT_VERSION) is a tree of blocks, each: length,
// value length, type (0 binary, 1 text), a NUL-terminated UTF-16 key,
// padding to 4 bytes, the value, padding, the children:
//   VS_VERSION_INFO: VS_FIXEDFILEINFO, then StringFileInfo (one StringTable
//   per language and code page, holding key/value Strings) and VarFileInfo
//   (Translation: the language and code page pairs).
//
// Nothing here touches a file.
#ifndef SFXPACK_RESOURCES_H
#define SFXPACK_RESOURCES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/status.h"
#include "resource.h"

namespace sfxpack {

constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtDialog = 5;
constexpr uint16_t kRtGroupIcon = 14;
constexpr uint16_t kRtVersion = 16;
constexpr uint16_t kRtManifest = 24;
constexpr uint16_t kEnglishUs = 1033;
constexpr uint16_t kUnicodeCodePage = 1200;
// The icon group the launcher shows, as its resource script names it.
constexpr uint16_t kLauncherIconGroup = IDI_APPICON;
constexpr uint16_t kVersionResource = 1;

// A resource type, name or language: a number, or a UTF-16 string.
struct ResourceId {
    uint16_t number = 0;
    std::u16string name;  // used when not empty
    bool isName() const { return !name.empty(); }
};
bool operator<(const ResourceId& a, const ResourceId& b);
bool operator==(const ResourceId& a, const ResourceId& b);
inline ResourceId resourceNumber(uint16_t n) { return {n, {}}; }

struct Resource {
    ResourceId type;
    ResourceId name;
    ResourceId language;
    uint32_t codePage = 0;
    std::vector<unsigned char> data;
    uint32_t rva = 0;  // where the reader found the data; the writer ignores it
};

// Reads the resource tree of a section whose bytes are `section` and which
// is mapped at `rva`.  Every directory, entry, name and datum must lie
// inside the section; no directory may be reached twice.  A problem's
// offset is relative to the section.
Result<std::vector<Resource>> readResources(const unsigned char* section, size_t size, uint32_t rva);

// Lays out a resource section for address `rva`: the directories, the data
// entries, the names, then the data, each datum at a multiple of 8.  The
// order comes from the ids alone, so equal resources give equal bytes.
std::vector<unsigned char> writeResources(std::vector<Resource> resources, uint32_t rva);

// ---- Icon groups --------------------------------------------------------

struct IconGroupEntry {
    uint8_t width = 0;  // 0 stands for 256
    uint8_t height = 0;
    uint8_t colorCount = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    uint32_t bytes = 0;
    uint16_t id = 0;  // the RT_ICON resource
};

std::vector<unsigned char> encodeIconGroup(const std::vector<IconGroupEntry>& entries);
Result<std::vector<IconGroupEntry>> decodeIconGroup(const unsigned char* data, size_t size);

// ---- Version information ------------------------------------------------

struct VersionInfo {
    uint16_t fileVersion[4] = {0, 0, 0, 0};
    uint16_t productVersion[4] = {0, 0, 0, 0};
    // UTF-8 keys and values in the order they appear.
    std::vector<std::pair<std::string, std::string>> strings;
};

// "A.B.C.D", or a shorter form that the missing parts fill with zeros;
// each part a decimal number 0 to 65535.
Status parseVersionNumber(std::string_view text, uint16_t out[4]);
std::string formatVersionNumber(const uint16_t v[4]);

// The VS_VERSIONINFO block: VS_FIXEDFILEINFO for an application on 32-bit
// Windows, one StringTable 040904B0 (English (United States), UTF-16) and
// the matching Translation.  Keys and values must be valid UTF-8.
std::vector<unsigned char> encodeVersionInfo(const VersionInfo& info);
// Reads the fixed versions and the strings of every StringTable; on a
// problem, *out keeps what was read before it.
Status decodeVersionInfo(const unsigned char* data, size_t size, VersionInfo* out);

}  // namespace sfxpack

#endif  // SFXPACK_RESOURCES_H
