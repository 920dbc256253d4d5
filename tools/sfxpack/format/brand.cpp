// Rebuilding a launcher image's resources within its fixed length.  Pure:
// it works on the image's bytes in memory.
#include "format/brand.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/text.h"
#include "format/pe.h"

namespace sfxpack {

namespace {

constexpr uint32_t kInitializedData = 0x40;

const char* const kDirectoryNames[kMaxDirectories] = {
    "export table", "import table", "resource table", "exception table", "certificate table",
    "relocation table", "debug directory", "architecture data", "global pointer", "TLS directory",
    "load configuration", "bound import table", "import address table", "delay import table",
    "CLR header", "reserved directory"};

using Section = PeSection;

// The headers as branding needs them: sections in address order, and the
// image's bytes to find data by RVA.
struct PeLayout : PeImage {
    const unsigned char* image = nullptr;
    size_t imageSize = 0;

    uint32_t dirCount() const { return uint32_t(directories.size()); }
    uint32_t dirRva(uint32_t i) const { return directory(i).rva; }
    uint32_t dirSize(uint32_t i) const { return directory(i).size; }
    // File offset of `len` bytes at `rva`, or SIZE_MAX when they are not all
    // in one section's raw data.
    size_t fileOffset(uint64_t rva, size_t len) const;
};

size_t PeLayout::fileOffset(uint64_t rva, size_t len) const
{
    for (const Section& s : sections)
        if (rva >= s.va && rva - s.va <= s.rawSize && len <= s.rawSize - (rva - s.va))
            return size_t(s.rawPointer + (rva - s.va));
    return SIZE_MAX;
}

bool isPowerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }

// Reads the headers, and refuses an image whose optional header, alignments
// or sections branding could not rely on.
Status parseLayout(const std::vector<unsigned char>& img, PeLayout* pe)
{
    auto fail = [](uint64_t at, std::string what) { return Status::failAt(at, std::move(what)); };
    MemorySource src(img.data(), img.size());
    static_cast<PeImage&>(*pe) = readPeImage(src, img.size());
    pe->image = img.data();
    pe->imageSize = img.size();
    if (pe->fault != PeFault::None)
        return pe->status();
    if (pe->optionalSize < 96 || img.size() - pe->optionalOffset < pe->optionalSize)
        return fail(pe->optionalSizeOffset(),
                    "optional header of " + std::to_string(pe->optionalSize) + " bytes does not fit");
    if (!isPowerOfTwo(pe->fileAlignment) || !isPowerOfTwo(pe->sectionAlignment) ||
        pe->sectionAlignment < pe->fileAlignment || pe->fileAlignment > kImageSize)
        return fail(pe->optionalOffset + kSectionAlignmentAt,
                    "section alignment " + formatHex(pe->sectionAlignment) + " and file alignment " +
                        formatHex(pe->fileAlignment) + " are not powers of two, the first the larger");
    if (pe->optionalSize < pe->directoryCountAt() + 4)
        return fail(pe->optionalSizeOffset(),
                    "optional header of " + std::to_string(pe->optionalSize) + " bytes has no data directories");
    for (const Section& s : pe->sections)
        if (s.rawSize && (s.rawPointer > img.size() || s.rawSize > img.size() - s.rawPointer))
            return fail(s.headerOffset + kSectionRawSizeAt,
                        "section '" + printableName(s.name) + "' has raw data outside the image");
    std::stable_sort(pe->sections.begin(), pe->sections.end(),
                     [](const Section& a, const Section& b) { return a.va < b.va; });
    return {};
}

// Index of the section that the resource directory starts, or -1.
int resourceSection(const PeLayout& pe)
{
    const uint32_t rva = pe.dirRva(kResourceDirectory);
    for (size_t i = 0; i < pe.sections.size(); ++i)
        if (rva != 0 && pe.sections[i].va == rva && pe.sections[i].rawSize != 0)
            return int(i);
    return -1;
}

// Why section `s` cannot stay as it is: the resource section itself
// (index `rsrc`) cannot be rebuilt, a section behind it cannot be moved.
Status refuseSection(const PeLayout& pe, size_t rsrc, const Section& s, const std::string& why)
{
    return Status::failAt(s.headerOffset, &s == &pe.sections[rsrc]
                                              ? "the resource section cannot be rebuilt: " + why
                                              : "section '" + printableName(s.name) +
                                                    "' behind the resources cannot be moved: " + why);
}

// The sections from the resources on lie in address order in the file,
// and hold neither the entry point nor a data directory that would not
// move with them.
Status checkSectionsBehind(const PeLayout& pe, size_t rsrc)
{
    const Section& res = pe.sections[rsrc];
    auto refuse = [&](const Section& s, const std::string& why) { return refuseSection(pe, rsrc, s, why); };
    uint64_t rawEnd = 0;
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        const Section& s = pe.sections[i];
        if (i < rsrc) {
            if (s.rawSize && s.rawPointer + uint64_t(s.rawSize) > res.rawPointer)
                return refuse(s, "its raw data lie behind the resources'");
            continue;
        }
        if (s.rawSize && s.rawPointer < rawEnd)
            return refuse(s, "its raw data lie before the end of the section ahead of it");
        if (s.rawSize)
            rawEnd = s.rawPointer + uint64_t(s.rawSize);
        if (s.contains(pe.entryPoint))
            return refuse(s, "it holds the entry point");
        for (uint32_t d = 0; d < pe.dirCount(); ++d) {
            const uint32_t rva = pe.dirRva(d), size = pe.dirSize(d);
            if (d == kSecurityDirectory || (rva == 0 && size == 0) || (i == rsrc && d == kResourceDirectory))
                continue;
            const bool inside = s.contains(rva);
            if (inside && i > rsrc && d == kRelocationDirectory && uint64_t(rva) + size <= s.vaEnd())
                continue;
            if (inside || (rva < s.va && uint64_t(rva) + size > s.va))
                return refuse(s, "it holds the " + std::string(kDirectoryNames[d]) + " (data directory " +
                                     std::to_string(d) + ")");
        }
    }
    return {};
}

// No relocation patches a moving section, and no relocated pointer
// refers to one.
Status checkRelocations(const PeLayout& pe, size_t rsrc)
{
    auto refuse = [&](const Section& s, const std::string& why) { return refuseSection(pe, rsrc, s, why); };
    const uint32_t relocRva = pe.dirRva(kRelocationDirectory), relocSize = pe.dirSize(kRelocationDirectory);
    if (relocSize == 0)
        return {};
    const size_t at = pe.fileOffset(relocRva, relocSize);
    if (at == SIZE_MAX)
        return Status::failAt(pe.directoryEntryOffset(kRelocationDirectory),
                              "the relocation table (" + std::to_string(relocSize) + " bytes at RVA " +
                                  formatHex(relocRva) + ") is not in the image's raw data");
    auto moving = [&](uint64_t rva) -> const Section* {
        for (size_t i = rsrc; i < pe.sections.size(); ++i)
            if (pe.sections[i].contains(rva))
                return &pe.sections[i];
        return nullptr;
    };
    for (size_t block = at; block < at + relocSize;) {
        const bool whole = at + relocSize - block >= 8;
        const uint32_t page = whole ? get32(pe.image + block) : 0;
        const uint32_t blockSize = whole ? get32(pe.image + block + 4) : 0;
        if (blockSize < 8 || blockSize % 2 || blockSize > at + relocSize - block)
            return Status::failAt(block, "relocation block of " + std::to_string(blockSize) + " bytes at offset " +
                                             std::to_string(block) + " does not fit the relocation table");
        for (size_t e = block + 8; e < block + blockSize; e += 2) {
            const uint16_t entry = get16(pe.image + e);
            const unsigned type = entry >> 12;
            const uint64_t where = uint64_t(page) + (entry & 0xFFF);
            if (type == 0)
                continue;
            if (type != 3 && type != 10)
                return Status::failAt(e, "relocation of type " + std::to_string(type) + " at RVA " +
                                             formatHex(where) + " cannot be checked");
            const size_t width = type == 3 ? 4 : 8;
            if (const Section* s = moving(where))
                return refuse(*s, "a relocation at RVA " + formatHex(where) + " patches it");
            const size_t p = pe.fileOffset(where, width);
            if (p == SIZE_MAX)
                continue;  // uninitialised data: zero until the program writes it
            uint64_t value = get32(pe.image + p);
            if (width == 8)
                value |= uint64_t(get32(pe.image + p + 4)) << 32;
            if (const Section* s = moving(value - pe.imageBase))
                return refuse(*s, "the pointer at RVA " + formatHex(where) + " refers to it");
        }
        block += blockSize;
    }
    return {};
}

// The sections behind the resources may move only when nothing refers to
// their addresses but data directories that move with them.
Status checkMovable(const PeLayout& pe, size_t rsrc)
{
    if (Status sections = checkSectionsBehind(pe, rsrc); !sections.ok())
        return sections;
    return checkRelocations(pe, rsrc);
}

// Replaces the launcher's icon group and its images by the .ico's images.
Status replaceIcon(std::vector<Resource>& res, const std::vector<IconImage>& icon, const Section& rsrc)
{
    ResourceId language = resourceNumber(kEnglishUs);
    std::vector<uint16_t> oldImages;
    for (const Resource& r : res) {
        if (r.type == resourceNumber(kRtGroupIcon) && r.name == resourceNumber(kLauncherIconGroup)) {
            Result<std::vector<IconGroupEntry>> entries = decodeIconGroup(r.data.data(), r.data.size());
            if (!entries.ok())
                return Status::failAt(entries.status().offset() + rsrc.rawPointer + (r.rva - rsrc.va),
                                      entries.message());
            for (const IconGroupEntry& e : *entries)
                oldImages.push_back(e.id);
            language = r.language;
        }
    }
    res.erase(std::remove_if(res.begin(), res.end(),
                             [&](const Resource& r) {
                                 if (r.type == resourceNumber(kRtGroupIcon))
                                     return r.name == resourceNumber(kLauncherIconGroup);
                                 return r.type == resourceNumber(kRtIcon) && !r.name.isName() &&
                                        std::find(oldImages.begin(), oldImages.end(), r.name.number) !=
                                            oldImages.end();
                             }),
              res.end());
    auto taken = [&](uint16_t id) {
        return std::any_of(res.begin(), res.end(), [&](const Resource& r) {
            return r.type == resourceNumber(kRtIcon) && r.name == resourceNumber(id);
        });
    };
    std::vector<IconGroupEntry> group;
    uint16_t id = 0;
    for (const IconImage& img : icon) {
        do {
            if (id == 0xFFFF)
                return Status::failAt(0, "no free RT_ICON ids left for " + std::to_string(icon.size()) + " images");
            ++id;
        } while (taken(id));
        group.push_back(img.entry);
        group.back().id = id;
        res.push_back({resourceNumber(kRtIcon), resourceNumber(id), language, 0, img.data, 0});
    }
    res.push_back({resourceNumber(kRtGroupIcon), resourceNumber(kLauncherIconGroup), language, 0,
                   encodeIconGroup(group), 0});
    return {};
}

void replaceVersion(std::vector<Resource>& res, const VersionInfo& info)
{
    res.erase(std::remove_if(res.begin(), res.end(),
                             [](const Resource& r) {
                                 return r.type == resourceNumber(kRtVersion) &&
                                        r.name == resourceNumber(kVersionResource);
                             }),
              res.end());
    res.push_back({resourceNumber(kRtVersion), resourceNumber(kVersionResource), resourceNumber(kEnglishUs), 0,
                   encodeVersionInfo(info), 0});
}

// Bytes of a section's raw data up to its last non-zero byte.
uint32_t usedLength(const unsigned char* image, const Section& s)
{
    uint32_t n = s.rawSize;
    while (n && image[s.rawPointer + n - 1] == 0)
        --n;
    return n;
}

// The resources of section `rsrc`; a problem's offset is the file's.
Result<std::vector<Resource>> readSectionResources(const std::vector<unsigned char>& image, const PeLayout& pe,
                                                   int rsrc)
{
    const Section& s = pe.sections[size_t(rsrc)];
    Result<std::vector<Resource>> res = readResources(&image[s.rawPointer], s.rawSize, s.va);
    if (!res.ok())
        return Status::failAt(res.status().offset() + s.rawPointer, res.message());
    return res;
}

// Where the sections go once the resource section holds `sectionSize`
// bytes: the resources where they were, the sections behind them packed
// after, the last one trimmed to what it holds (the padding step filled it
// with zeros) and then grown to the image's end.  `vaDelta` is how far the
// sections behind the resources move in memory.
struct Placement {
    std::vector<Section> sections;
    int64_t vaDelta = 0;
};

Result<Placement> placeSections(const std::vector<unsigned char>& image, const PeLayout& pe, size_t rsrc,
                                size_t sectionSize)
{
    const Section& old = pe.sections[rsrc];
    const uint64_t fa = pe.fileAlignment;
    Placement p{pe.sections, 0};
    uint64_t rawEnd = old.rawPointer + alignUp(sectionSize, fa);
    p.sections[rsrc].virtualSize = uint32_t(sectionSize);
    p.sections[rsrc].rawSize = uint32_t(rawEnd - old.rawPointer);
    if (rsrc + 1 < pe.sections.size())
        p.vaDelta = int64_t(alignUp(uint64_t(old.va) + sectionSize, pe.sectionAlignment)) -
                    int64_t(pe.sections[rsrc + 1].va);
    for (size_t i = rsrc + 1; i < p.sections.size(); ++i) {
        Section& s = p.sections[i];
        const bool last = i + 1 == p.sections.size();
        uint64_t keep = s.rawSize;
        if (last) {
            uint64_t used = usedLength(image.data(), s);
            const uint32_t relocRva = pe.dirRva(kRelocationDirectory);
            if (s.contains(relocRva))
                used = std::max<uint64_t>(used, uint64_t(relocRva) - s.va + pe.dirSize(kRelocationDirectory));
            keep = alignUp(used, fa);
            if (s.virtualSize <= s.rawSize)
                s.virtualSize = uint32_t(used);  // grown by the padding step; set again below
        }
        s.va = uint32_t(int64_t(s.va) + p.vaDelta);
        if (keep || last)
            s.rawPointer = uint32_t(rawEnd);
        s.rawSize = uint32_t(keep);
        rawEnd += keep;
    }
    if (rawEnd > kImageSize)
        return Status::failAt(old.headerOffset, "the resources do not fit in the image: " +
                                                    std::to_string(rawEnd - kImageSize) +
                                                    " bytes missing (the resource section would need " +
                                                    std::to_string(alignUp(sectionSize, fa)) + " bytes)");
    Section& last = p.sections.back();
    last.rawSize = uint32_t(kImageSize - last.rawPointer);
    last.virtualSize = std::max(last.virtualSize, last.rawSize);
    return p;
}

// Copies the sections behind the resources to their places in `out` and
// writes every section's header, SizeOfImage and SizeOfInitializedData.
void writeSections(std::vector<unsigned char>& out, const std::vector<unsigned char>& image, const PeLayout& pe,
                   size_t rsrc, const std::vector<Section>& placed)
{
    uint64_t imageEnd = 0;
    uint32_t initializedData = get32(&image[pe.optionalOffset + kInitializedDataAt]);
    for (size_t i = 0; i < placed.size(); ++i) {
        const Section& was = pe.sections[i];
        const Section& s = placed[i];
        if (i > rsrc && s.rawSize)
            std::memcpy(&out[s.rawPointer], &image[was.rawPointer], std::min(was.rawSize, s.rawSize));
        unsigned char* h = &out[s.headerOffset];
        put32(h + kSectionVirtualSizeAt, s.virtualSize);
        put32(h + kSectionRvaAt, s.va);
        put32(h + kSectionRawSizeAt, s.rawSize);
        put32(h + kSectionRawPointerAt, s.rawPointer);
        if (s.flags & kInitializedData)
            initializedData += s.rawSize - was.rawSize;
        imageEnd = std::max(imageEnd, alignUp(uint64_t(s.va) + std::max(s.virtualSize, s.rawSize),
                                              uint64_t(pe.sectionAlignment)));
    }
    put32(&out[pe.optionalOffset + kInitializedDataAt], initializedData);
    put32(&out[pe.optionalOffset + kSizeOfImageAt], uint32_t(imageEnd));
}

// Points the data directories of the moved sections to their new
// addresses and the resource directory to the new section's size.
void fixDirectories(std::vector<unsigned char>& out, const PeLayout& pe, size_t rsrc, const Placement& placed,
                    size_t sectionSize)
{
    for (uint32_t d = 0; d < pe.dirCount(); ++d)
        for (size_t i = rsrc + 1; i < placed.sections.size(); ++i)
            if (d != kSecurityDirectory && pe.dirRva(d) && pe.sections[i].contains(pe.dirRva(d)))
                put32(&out[pe.directoryEntryOffset(d)], uint32_t(int64_t(pe.dirRva(d)) + placed.vaDelta));
    put32(&out[pe.directoryEntryOffset(kResourceDirectory) + 4], uint32_t(sectionSize));
}

// The image's resources with the icon and version of `branding`.
Result<std::vector<Resource>> brandedResources(const std::vector<unsigned char>& image, const PeLayout& pe,
                                               size_t rsrc, const Branding& branding)
{
    Result<std::vector<Resource>> res = readSectionResources(image, pe, int(rsrc));
    if (!res.ok())
        return res;
    if (!branding.icon.empty())
        if (Status icon = replaceIcon(*res, branding.icon, pe.sections[rsrc]); !icon.ok())
            return icon;
    if (branding.version)
        replaceVersion(*res, branding.versionInfo);
    return res;
}

}  // namespace

Status brandImage(std::vector<unsigned char>& image, const Branding& branding)
{
    PeLayout pe;
    if (Status layout = parseLayout(image, &pe); !layout.ok())
        return layout;
    const int found = resourceSection(pe);
    if (found < 0)
        return Status::failAt(pe.directoryEntryOffset(kResourceDirectory),
                              pe.dirRva(kResourceDirectory) ? "the resource directory does not start a section"
                                                            : "the image has no resource section");
    const size_t rsrc = size_t(found);
    if (Status movable = checkMovable(pe, rsrc); !movable.ok())
        return movable;
    Result<std::vector<Resource>> res = brandedResources(image, pe, rsrc, branding);
    if (!res.ok())
        return res.status();
    const Section& old = pe.sections[rsrc];
    const std::vector<unsigned char> section = writeResources(std::move(*res), old.va);
    Result<Placement> placed = placeSections(image, pe, rsrc, section.size());
    if (!placed.ok())
        return placed.status();

    std::vector<unsigned char> out(image.begin(), image.begin() + old.rawPointer);
    out.resize(kImageSize, 0);
    std::memcpy(&out[old.rawPointer], section.data(), section.size());
    writeSections(out, image, pe, rsrc, placed->sections);
    fixDirectories(out, pe, rsrc, *placed, section.size());
    put32(&out[pe.checksumOffset()], peChecksum(out.data(), out.size(), pe.checksumOffset()));
    image = std::move(out);
    return {};
}

ImageBranding inspectBranding(const std::vector<unsigned char>& image)
{
    ImageBranding b;
    PeLayout pe;
    if (!parseLayout(image, &pe).ok() || pe.dirRva(kResourceDirectory) == 0)
        return b;  // the image checks report what is wrong with the headers
    const int rsrc = resourceSection(pe);
    if (rsrc < 0) {
        b.findings.push_back({pe.directoryEntryOffset(kResourceDirectory),
                              "resource section: the resource directory at RVA " +
                                  formatHex(pe.dirRva(kResourceDirectory)) + " does not start a section"});
        return b;
    }
    Result<std::vector<Resource>> read = readSectionResources(image, pe, rsrc);
    if (!read.ok()) {
        b.findings.push_back(read.status().problem());
        return b;
    }
    const std::vector<Resource>& res = *read;
    const Section& s = pe.sections[size_t(rsrc)];
    auto fileOffset = [&](const Resource& r, uint64_t at) { return s.rawPointer + (r.rva - s.va) + at; };
    for (const Resource& r : res) {
        if (r.type == resourceNumber(kRtGroupIcon) && r.name == resourceNumber(kLauncherIconGroup)) {
            Result<std::vector<IconGroupEntry>> icons = decodeIconGroup(r.data.data(), r.data.size());
            if (!icons.ok()) {
                b.icons.clear();
                b.findings.push_back({fileOffset(r, icons.status().offset()), icons.message()});
                continue;
            }
            b.icons = std::move(*icons);
            for (const IconGroupEntry& e : b.icons) {
                auto image = std::find_if(res.begin(), res.end(), [&](const Resource& i) {
                    return i.type == resourceNumber(kRtIcon) && i.name == resourceNumber(e.id);
                });
                if (image == res.end() || image->data.size() != e.bytes)
                    b.findings.push_back({fileOffset(r, 0), "icon group " + std::to_string(kLauncherIconGroup) +
                                                                " names image " + std::to_string(e.id) +
                                                                " of " + std::to_string(e.bytes) + " bytes, " +
                                                                (image == res.end() ? "which is missing" :
                                                                 "which has " + std::to_string(image->data.size()))});
            }
        } else if (r.type == resourceNumber(kRtVersion) && r.name == resourceNumber(kVersionResource)) {
            b.hasVersion = true;
            if (Status version = decodeVersionInfo(r.data.data(), r.data.size(), &b.version); !version.ok())
                b.findings.push_back({fileOffset(r, version.offset()), version.message()});
        }
    }
    return b;
}

std::string describeIcons(const std::vector<IconGroupEntry>& icons)
{
    std::string out;
    for (const IconGroupEntry& e : icons) {
        if (!out.empty())
            out += ", ";
        out += std::to_string(e.width ? e.width : 256) + "x" + std::to_string(e.height ? e.height : 256) + " " +
               std::to_string(e.bitCount) + " bpp";
    }
    return out;
}

}  // namespace sfxpack
