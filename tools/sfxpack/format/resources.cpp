// The resource tree reader and writer, icon groups and version
// information.  Pure: everything works on bytes in memory.
#include "format/resources.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "base/bytes.h"
#include "base/text.h"

namespace sfxpack {

namespace {

constexpr size_t kDirectorySize = 16;
constexpr size_t kEntrySize = 8;
constexpr size_t kDataEntrySize = 16;
constexpr uint32_t kHighBit = 0x80000000u;

// Walks the tree once, refusing anything that could not be rebuilt: data
// outside the section, shared directories, and more entries or data than a
// section of this size can hold without overlaps.
struct TreeReader {
    const unsigned char* s;
    size_t size;
    uint32_t rva;
    std::vector<Resource>* out;
    std::set<uint32_t> visited;
    uint64_t entries = 0;
    uint64_t dataBytes = 0;

    static Status fail(uint64_t offset, std::string what)
    {
        return Status::failAt(offset, "resource section: " + std::move(what));
    }

    Status readId(uint32_t field, uint32_t entryAt, ResourceId* id)
    {
        id->name.clear();
        if (!(field & kHighBit)) {
            if (field > 0xFFFF)
                return fail(entryAt, "resource id " + std::to_string(field) + " is above 65535");
            id->number = uint16_t(field);
            return {};
        }
        const uint32_t at = field & ~kHighBit;
        if (at > size || size - at < 2)
            return fail(entryAt, "name at offset " + std::to_string(at) + " lies outside the section");
        const uint16_t length = get16(s + at);
        if (length == 0 || size - at - 2 < 2u * length)
            return fail(at, "name of " + std::to_string(length) + " characters is empty or runs past the section");
        for (uint16_t i = 0; i < length; ++i)
            id->name += char16_t(get16(s + at + 2 + 2 * i));
        return {};
    }

    // Level 0 lists types, 1 names, 2 languages.
    Status readDirectory(uint32_t at, int level, Resource& path)
    {
        if (at > size || size - at < kDirectorySize)
            return fail(at, "directory at offset " + std::to_string(at) + " lies outside the section");
        if (!visited.insert(at).second)
            return fail(at, "directory at offset " + std::to_string(at) + " is reached twice");
        const uint32_t count = uint32_t(get16(s + at + 12)) + get16(s + at + 14);
        entries += count;
        if ((size - at - kDirectorySize) / kEntrySize < count || entries > size / kEntrySize)
            return fail(at, "directory at offset " + std::to_string(at) + " has " + std::to_string(count) +
                                " entries, more than fit in the section");
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t entryAt = at + uint32_t(kDirectorySize + kEntrySize * i);
            ResourceId* id = level == 0 ? &path.type : level == 1 ? &path.name : &path.language;
            if (Status read = readId(get32(s + entryAt), entryAt, id); !read.ok())
                return read;
            const uint32_t target = get32(s + entryAt + 4);
            const bool subdirectory = (target & kHighBit) != 0;
            if (subdirectory != (level < 2))
                return fail(entryAt + 4, level < 2 ? "a data entry where a directory belongs"
                                                   : "a directory where a data entry belongs");
            Status read = level < 2 ? readDirectory(target & ~kHighBit, level + 1, path) : readData(target, path);
            if (!read.ok())
                return read;
        }
        return {};
    }

    Status readData(uint32_t at, const Resource& path)
    {
        if (at > size || size - at < kDataEntrySize)
            return fail(at, "data entry at offset " + std::to_string(at) + " lies outside the section");
        const uint32_t dataRva = get32(s + at);
        const uint32_t length = get32(s + at + 4);
        if (dataRva < rva || dataRva - rva > size || length > size - (dataRva - rva))
            return fail(at, "data of " + std::to_string(length) + " bytes at RVA " + formatHex(dataRva) +
                                " lie outside the section (RVA " + formatHex(rva) + ", " + std::to_string(size) +
                                " bytes)");
        dataBytes += length;
        if (dataBytes > size || out->size() >= size / kDataEntrySize)
            return fail(at, "more resource data than the section holds: the data overlap");
        Resource r = path;
        r.codePage = get32(s + at + 8);
        r.rva = dataRva;
        const unsigned char* p = s + (dataRva - rva);
        r.data.assign(p, p + length);
        out->push_back(std::move(r));
        return {};
    }
};

void append16(std::vector<unsigned char>& out, uint16_t v)
{
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void append32(std::vector<unsigned char>& out, uint32_t v)
{
    append16(out, uint16_t(v));
    append16(out, uint16_t(v >> 16));
}

void padTo(std::vector<unsigned char>& out, size_t alignment)
{
    while (out.size() % alignment)
        out.push_back(0);
}

// The tree of a sorted resource list, and where its parts go: the
// directories breadth-first (root, types, names), the data entries, the
// name strings.
struct TreePlan {
    struct Node {
        size_t first, end;
    };
    std::vector<Node> types;  // each a range of `names`
    std::vector<Node> names;  // each a range of the resources
    std::vector<size_t> typeDirAt, nameDirAt;
    size_t dataEntriesAt = 0;
    size_t stringsAt = 0;
};

TreePlan planTree(const std::vector<Resource>& res)
{
    TreePlan plan;
    for (size_t i = 0; i < res.size(); ++i) {
        const bool newType = i == 0 || !(res[i].type == res[i - 1].type);
        if (newType)
            plan.types.push_back({plan.names.size(), plan.names.size()});
        if (newType || !(res[i].name == res[i - 1].name))
            plan.names.push_back({i, i});
        plan.names.back().end = i + 1;
        plan.types.back().end = plan.names.size();
    }
    size_t at = kDirectorySize + kEntrySize * plan.types.size();
    for (const TreePlan::Node& t : plan.types) {
        plan.typeDirAt.push_back(at);
        at += kDirectorySize + kEntrySize * (t.end - t.first);
    }
    for (const TreePlan::Node& n : plan.names) {
        plan.nameDirAt.push_back(at);
        at += kDirectorySize + kEntrySize * (n.end - n.first);
    }
    plan.dataEntriesAt = at;
    plan.stringsAt = at + kDataEntrySize * res.size();
    return plan;
}

// One directory's entries: the id, and the field that points to the
// subdirectory or data entry.
using DirectoryEntries = std::vector<std::pair<const ResourceId*, uint32_t>>;

// Every directory's entries, in the order the directories are written.
std::vector<DirectoryEntries> directoryEntries(const std::vector<Resource>& res, const TreePlan& plan)
{
    std::vector<DirectoryEntries> dirs(1);
    for (size_t i = 0; i < plan.types.size(); ++i)
        dirs[0].emplace_back(&res[plan.names[plan.types[i].first].first].type, uint32_t(plan.typeDirAt[i]) | kHighBit);
    for (const TreePlan::Node& t : plan.types) {
        dirs.emplace_back();
        for (size_t n = t.first; n < t.end; ++n)
            dirs.back().emplace_back(&res[plan.names[n].first].name, uint32_t(plan.nameDirAt[n]) | kHighBit);
    }
    for (const TreePlan::Node& n : plan.names) {
        dirs.emplace_back();
        for (size_t r = n.first; r < n.end; ++r)
            dirs.back().emplace_back(&res[r].language, uint32_t(plan.dataEntriesAt + kDataEntrySize * r));
    }
    return dirs;
}

// The counted UTF-16 names, laid out from section offset `at` in the order
// the directories ask for them.
struct NameTable {
    size_t at;
    std::vector<unsigned char> bytes;

    // An id's directory entry field: the number, or the name's offset
    // with the high bit set.
    uint32_t field(const ResourceId& id)
    {
        if (!id.isName())
            return id.number;
        const uint32_t where = uint32_t(at + bytes.size()) | kHighBit;
        append16(bytes, uint16_t(id.name.size()));
        for (char16_t c : id.name)
            append16(bytes, uint16_t(c));
        return where;
    }
};

void appendDirectory(std::vector<unsigned char>& out, const DirectoryEntries& entries, NameTable& names)
{
    size_t named = 0;
    std::vector<std::pair<uint32_t, uint32_t>> fields;
    for (const auto& [id, target] : entries) {
        named += id->isName();
        fields.emplace_back(names.field(*id), target);
    }
    append32(out, 0);  // characteristics
    append32(out, 0);  // time stamp: none, so the bytes depend on the content alone
    append32(out, 0);  // version
    append16(out, uint16_t(named));
    append16(out, uint16_t(entries.size() - named));
    for (auto [id, target] : fields) {
        append32(out, id);
        append32(out, target);
    }
}

}  // namespace

bool operator<(const ResourceId& a, const ResourceId& b)
{
    // Names come before numbers, as in a directory.
    if (a.isName() != b.isName())
        return a.isName();
    return a.isName() ? a.name < b.name : a.number < b.number;
}

bool operator==(const ResourceId& a, const ResourceId& b) { return a.number == b.number && a.name == b.name; }

Result<std::vector<Resource>> readResources(const unsigned char* section, size_t size, uint32_t rva)
{
    std::vector<Resource> out;
    TreeReader reader{section, size, rva, &out, {}, 0, 0};
    Resource path;
    if (Status read = reader.readDirectory(0, 0, path); !read.ok())
        return read;
    return out;
}

std::vector<unsigned char> writeResources(std::vector<Resource> res, uint32_t rva)
{
    std::stable_sort(res.begin(), res.end(), [](const Resource& a, const Resource& b) {
        return std::tie(a.type, a.name, a.language) < std::tie(b.type, b.name, b.language);
    });
    const TreePlan plan = planTree(res);
    std::vector<unsigned char> out;
    NameTable names{plan.stringsAt, {}};
    for (const DirectoryEntries& entries : directoryEntries(res, plan))
        appendDirectory(out, entries, names);
    size_t dataAt = alignUp(plan.stringsAt + names.bytes.size(), 8);
    for (const Resource& r : res) {
        append32(out, rva + uint32_t(dataAt));
        append32(out, uint32_t(r.data.size()));
        append32(out, r.codePage);
        append32(out, 0);
        dataAt = alignUp(dataAt + r.data.size(), 8);
    }
    out.insert(out.end(), names.bytes.begin(), names.bytes.end());
    for (const Resource& r : res) {
        padTo(out, 8);
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    return out;
}

// ---- Icon groups --------------------------------------------------------

std::vector<unsigned char> encodeIconGroup(const std::vector<IconGroupEntry>& entries)
{
    std::vector<unsigned char> out;
    append16(out, 0);
    append16(out, 1);
    append16(out, uint16_t(entries.size()));
    for (const IconGroupEntry& e : entries) {
        out.push_back(e.width);
        out.push_back(e.height);
        out.push_back(e.colorCount);
        out.push_back(0);
        append16(out, e.planes);
        append16(out, e.bitCount);
        append32(out, e.bytes);
        append16(out, e.id);
    }
    return out;
}

Result<std::vector<IconGroupEntry>> decodeIconGroup(const unsigned char* data, size_t size)
{
    if (size < 6 || get16(data) != 0 || get16(data + 2) != 1)
        return Status::failAt(0, "icon group: no GRPICONDIR header (reserved 0, type 1)");
    const uint16_t count = get16(data + 4);
    if ((size - 6) / 14 < count)
        return Status::failAt(4, "icon group: " + std::to_string(count) + " entries do not fit in its " +
                                     std::to_string(size) + " bytes");
    std::vector<IconGroupEntry> out;
    for (uint16_t i = 0; i < count; ++i) {
        const unsigned char* e = data + 6 + 14 * i;
        out.push_back({e[0], e[1], e[2], get16(e + 4), get16(e + 6), get32(e + 8), get16(e + 12)});
    }
    return out;
}

// ---- Version information ------------------------------------------------

Status parseVersionNumber(std::string_view text, uint16_t out[4])
{
    const std::string quoted = "'" + printableName(text) + "'";
    size_t part = 0, start = 0;
    for (;;) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view digits = text.substr(start, dot - start);
        if (part == 4)
            return Status::fail(quoted + " has more than four parts");
        uint32_t value = 0;
        bool number = !digits.empty();
        for (char c : digits) {
            if (c < '0' || c > '9') {
                number = false;
                break;
            }
            value = std::min<uint32_t>(value * 10 + uint32_t(c - '0'), 1000000);
        }
        if (!number)
            return Status::fail("part '" + printableName(digits) + "' of " + quoted + " is not a number");
        if (value > 0xFFFF)
            return Status::fail("part " + std::string(digits) + " of " + quoted + " is above 65535");
        out[part++] = uint16_t(value);
        if (dot == text.size())
            break;
        start = dot + 1;
    }
    for (; part < 4; ++part)
        out[part] = 0;
    return {};
}

std::string formatVersionNumber(const uint16_t v[4])
{
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

namespace {

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedFileInfoSize = 52;
constexpr uint16_t kBinary = 0;
constexpr uint16_t kText = 1;

// Starts a version block: length (set by endBlock), value length, type, key.
size_t beginBlock(std::vector<unsigned char>& out, uint16_t valueLength, uint16_t type, std::u16string_view key)
{
    padTo(out, 4);
    const size_t start = out.size();
    append16(out, 0);
    append16(out, valueLength);
    append16(out, type);
    for (char16_t c : key)
        append16(out, uint16_t(c));
    append16(out, 0);
    padTo(out, 4);
    return start;
}

void endBlock(std::vector<unsigned char>& out, size_t start) { put16(&out[start], uint16_t(out.size() - start)); }

std::u16string utf16(std::string_view utf8)
{
    std::u16string s;
    size_t bad;
    utf8ToUtf16(utf8, &s, &bad);
    return s;
}

// One parsed block header; `end` excludes any padding behind the block.
struct Block {
    uint16_t valueLength = 0;
    uint16_t type = 0;
    std::u16string key;
    size_t value = 0;     // offset of the value
    size_t children = 0;  // offset of the first child
    size_t end = 0;
};

// The block at `at`, which must end by `limit`.
Result<Block> parseBlock(const unsigned char* data, size_t at, size_t limit)
{
    const uint16_t length = limit - at >= 2 ? get16(data + at) : 0;
    if (length < 6 || length > limit - at)
        return Status::failAt(at, "version information: block length " + std::to_string(length) +
                                      " does not fit its parent (" + std::to_string(limit - at) + " bytes left)");
    Block b;
    b.end = at + length;
    b.valueLength = get16(data + at + 2);
    b.type = get16(data + at + 4);
    size_t p = at + 6;
    for (;; p += 2) {
        if (b.end - p < 2)
            return Status::failAt(at, "version information: block key has no NUL within the block");
        const uint16_t c = get16(data + p);
        if (c == 0)
            break;
        b.key += char16_t(c);
    }
    b.value = std::min<size_t>(alignUp(p + 2, 4), b.end);
    const size_t valueBytes = b.type == kText ? 2u * b.valueLength : b.valueLength;
    b.children = std::min<size_t>(alignUp(b.value + std::min(valueBytes, b.end - b.value), 4), b.end);
    return b;
}

// Calls `child` (which returns a Status) for each child block of `parent`;
// stops at the first failure.
template <typename F>
Status forEachChild(const unsigned char* data, const Block& parent, F&& child)
{
    for (size_t at = parent.children; at + 6 <= parent.end; at = alignUp(at, 4)) {
        Result<Block> b = parseBlock(data, at, parent.end);
        if (!b)
            return b.status();
        if (Status done = child(*b); !done.ok())
            return done;
        at = b->end;
    }
    return {};
}

}  // namespace

std::vector<unsigned char> encodeVersionInfo(const VersionInfo& info)
{
    std::vector<unsigned char> out;
    const size_t root = beginBlock(out, kFixedFileInfoSize, kBinary, u"VS_VERSION_INFO");
    append32(out, kFixedFileInfoSignature);
    append32(out, 0x00010000);  // structure version 1.0
    append32(out, uint32_t(info.fileVersion[0]) << 16 | info.fileVersion[1]);
    append32(out, uint32_t(info.fileVersion[2]) << 16 | info.fileVersion[3]);
    append32(out, uint32_t(info.productVersion[0]) << 16 | info.productVersion[1]);
    append32(out, uint32_t(info.productVersion[2]) << 16 | info.productVersion[3]);
    append32(out, 0x3F);     // file flags mask: VS_FFI_FILEFLAGSMASK
    append32(out, 0);        // file flags: a release build
    append32(out, 0x40004);  // VOS_NT_WINDOWS32
    append32(out, 1);        // VFT_APP
    append32(out, 0);        // subtype
    append32(out, 0);        // file date: none, so equal inputs give equal bytes
    append32(out, 0);

    const size_t fileInfo = beginBlock(out, 0, kText, u"StringFileInfo");
    const size_t table = beginBlock(out, 0, kText, u"040904B0");
    for (const auto& [key, value] : info.strings) {
        const std::u16string v = utf16(value);
        const size_t s = beginBlock(out, uint16_t(v.size() + 1), kText, utf16(key));
        for (char16_t c : v)
            append16(out, uint16_t(c));
        append16(out, 0);
        endBlock(out, s);
    }
    endBlock(out, table);
    endBlock(out, fileInfo);

    const size_t varInfo = beginBlock(out, 0, kText, u"VarFileInfo");
    const size_t translation = beginBlock(out, 4, kBinary, u"Translation");
    append16(out, kEnglishUs);
    append16(out, kUnicodeCodePage);
    endBlock(out, translation);
    endBlock(out, varInfo);
    endBlock(out, root);
    return out;
}

Status decodeVersionInfo(const unsigned char* data, size_t size, VersionInfo* out)
{
    VersionInfo& info = *out;
    info = VersionInfo();
    Result<Block> parsed = parseBlock(data, 0, size);
    if (!parsed)
        return parsed.status();
    const Block& root = *parsed;
    if (root.key != u"VS_VERSION_INFO" || root.valueLength < kFixedFileInfoSize ||
        root.end - root.value < kFixedFileInfoSize || get32(data + root.value) != kFixedFileInfoSignature)
        return Status::failAt(0, "version information: no VS_VERSION_INFO block with a VS_FIXEDFILEINFO");
    const unsigned char* fixed = data + root.value;
    for (int i = 0; i < 2; ++i) {
        info.fileVersion[2 * i] = uint16_t(get32(fixed + 8 + 4 * i) >> 16);
        info.fileVersion[2 * i + 1] = uint16_t(get32(fixed + 8 + 4 * i));
        info.productVersion[2 * i] = uint16_t(get32(fixed + 16 + 4 * i) >> 16);
        info.productVersion[2 * i + 1] = uint16_t(get32(fixed + 16 + 4 * i));
    }
    return forEachChild(data, root, [&](const Block& fileInfo) {
        if (fileInfo.key != u"StringFileInfo")
            return Status();
        return forEachChild(data, fileInfo, [&](const Block& table) {
            return forEachChild(data, table, [&](const Block& s) {
                std::u16string value;
                for (size_t p = s.value; p + 2 <= s.children && get16(data + p) != 0; p += 2)
                    value += char16_t(get16(data + p));
                info.strings.emplace_back(utf16ToUtf8(s.key), utf16ToUtf8(value));
                return Status();
            });
        });
    });
}

}  // namespace sfxpack
