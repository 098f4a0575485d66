// Rebuilding a PE image's resource section. The headers: "MZ" with the PE
// header's offset at 0x3C; "PE\0\0" and the COFF header (section count at
// 6, symbol table at 8, optional header size at 20); the optional header
// (PE32 or PE32+: the data directories at 96 or 112) and the section table,
// 40 bytes a section.
#include "winres/rebuild.h"

#include <algorithm>
#include <cstring>

#include "core/bytes/littleendian.h"
#include "core/container/image.h"

namespace {

constexpr uint32_t sectionHeaderSize = 40;
constexpr uint32_t resourceDirectory = 2;
constexpr uint32_t securityDirectory = 4;
constexpr uint32_t relocationDirectory = 5;
constexpr uint32_t initialisedDataFlag = 0x40;


uint32_t alignUp(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

struct Section {
    uint32_t headerAt;
    uint32_t virtualSize;
    uint32_t rva;
    uint32_t rawSize;
    uint32_t rawAt;
};

// The header fields the rebuild reads and writes, as file offsets.
struct PeHeaders {
    uint32_t optionalAt = 0;
    uint32_t directoriesAt = 0;
    uint32_t directoryCount = 0;
    uint32_t fileAlignment = 0;
    uint32_t sectionAlignment = 0;
    uint32_t peAt = 0;
    uint32_t symbolsAt = 0;
    uint32_t symbolCount = 0;
    // The loader takes at most 96 sections.
    Section sections[96];
    uint32_t sectionCount = 0;

    uint32_t directoryRva(const ResourceBytes& image, uint32_t index) const
    {
        return index < directoryCount ? loadLittleEndian32(image.data() + directoriesAt + 8 * index) : 0;
    }
    uint32_t directorySize(const ResourceBytes& image, uint32_t index) const
    {
        return index < directoryCount ? loadLittleEndian32(image.data() + directoriesAt + 8 * index + 4) : 0;
    }
};

bool fits(const ResourceBytes& image, uint64_t offset, uint64_t count)
{
    return offset <= image.size() && count <= image.size() - offset;
}

bool readHeaders(const ResourceBytes& image, PeHeaders& pe)
{
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        return false;
    const uint32_t peAt = loadLittleEndian32(image.data() + 0x3C);
    if (!fits(image, peAt, 24) || loadLittleEndian32(image.data() + peAt) != 0x00004550)
        return false;
    pe.peAt = peAt;
    const uint32_t sectionCount = loadLittleEndian16(image.data() + peAt + 6);
    const uint32_t optionalSize = loadLittleEndian16(image.data() + peAt + 20);
    pe.symbolsAt = loadLittleEndian32(image.data() + peAt + 12);
    pe.symbolCount = loadLittleEndian32(image.data() + peAt + 16);
    pe.optionalAt = peAt + 24;
    if (!fits(image, pe.optionalAt, optionalSize) || optionalSize < 96)
        return false;
    const uint32_t magic = loadLittleEndian16(image.data() + pe.optionalAt);
    if (magic != 0x10B && magic != 0x20B)
        return false;
    const uint32_t countAt = magic == 0x20B ? 108 : 92;
    pe.directoriesAt = pe.optionalAt + countAt + 4;
    if (countAt + 4 > optionalSize)
        return false;
    pe.directoryCount = std::min(loadLittleEndian32(image.data() + pe.optionalAt + countAt), (optionalSize - countAt - 4) / 8);
    pe.sectionAlignment = loadLittleEndian32(image.data() + pe.optionalAt + 32);
    pe.fileAlignment = loadLittleEndian32(image.data() + pe.optionalAt + 36);
    if (pe.fileAlignment == 0 || pe.sectionAlignment == 0 || pe.fileAlignment > 0x10000 || pe.sectionAlignment > 0x10000000)
        return false;
    const uint32_t tableAt = pe.optionalAt + optionalSize;
    if (!fits(image, tableAt, uint64_t{sectionCount} * sectionHeaderSize) || sectionCount == 0 || sectionCount > 96)
        return false;
    pe.sectionCount = sectionCount;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const unsigned char* s = image.data() + tableAt + i * sectionHeaderSize;
        pe.sections[i] = {tableAt + i * sectionHeaderSize, loadLittleEndian32(s + 8), loadLittleEndian32(s + 12),
                          loadLittleEndian32(s + 16), loadLittleEndian32(s + 20)};
    }
    return true;
}

} // namespace

ResourceSectionPlace findResourceSection(const ResourceBytes& image)
{
    PeHeaders pe;
    ResourceSectionPlace place;
    if (!readHeaders(image, pe))
        return place;
    const uint32_t rva = pe.directoryRva(image, resourceDirectory);
    for (uint32_t i = 0; i < pe.sectionCount; ++i) {
        const Section& s = pe.sections[i];
        if (rva != 0 && s.rva == rva && fits(image, s.rawAt, s.rawSize))
            place = {s.rawAt, std::min(pe.directorySize(image, resourceDirectory), s.rawSize), rva, true};
    }
    return place;
}

std::string_view rebuildResources(ResourceBytes& image, const ResourceEdits& edits)
{
    PeHeaders pe;
    if (!readHeaders(image, pe))
        return "no readable PE headers";
    if (pe.symbolCount != 0)
        return "a symbol table (strip the stub)";
    const uint32_t resourceRva = pe.directoryRva(image, resourceDirectory);
    uint32_t resourceIndex = 0;
    while (resourceIndex < pe.sectionCount && (resourceRva == 0 || pe.sections[resourceIndex].rva != resourceRva))
        ++resourceIndex;
    if (resourceIndex == pe.sectionCount)
        return "no resource section";
    const Section* resource = &pe.sections[resourceIndex];
    // After the resource section, in the table and in memory and in the
    // file, only the base relocations may follow.
    const uint32_t relocationRva = pe.directoryRva(image, relocationDirectory);
    const Section& lastSection = pe.sections[pe.sectionCount - 1];
    const bool relocationsFollow = resourceIndex + 2 == pe.sectionCount && relocationRva != 0 &&
                                   lastSection.rva == relocationRva;
    if (resourceIndex + 1 != pe.sectionCount && !relocationsFollow)
        return "the resource section is not last";
    for (uint32_t i = 0; i < resourceIndex; ++i) {
        const Section& s = pe.sections[i];
        if (s.rva >= resource->rva || (s.rawSize != 0 && s.rawAt + s.rawSize > resource->rawAt))
            return "the resource section is not last";
    }
    const Section* relocations = relocationsFollow ? &lastSection : nullptr;
    if (relocations != nullptr &&
        (relocations->rva < resource->rva + resource->virtualSize || relocations->rawAt < resource->rawAt + resource->rawSize))
        return "the resource section is not last";
    const Section& last = relocations != nullptr ? *relocations : *resource;
    const uint32_t headersEnd = lastSection.headerAt + sectionHeaderSize;
    if (resource->rawAt < headersEnd || !fits(image, resource->rawAt, resource->rawSize) ||
        !fits(image, last.rawAt, last.rawSize))
        return "cut inside its sections";
    // After the sections: the COFF string table that a stripped program
    // keeps for its long section names (".eh_frame"), which moves along,
    // and a certificate table with the padding before it, which goes.
    uint32_t sectionsEnd = last.rawAt + last.rawSize;
    uint32_t stringsSize = 0;
    if (pe.symbolsAt != 0) {
        stringsSize = fits(image, pe.symbolsAt, 4) ? loadLittleEndian32(image.data() + pe.symbolsAt) : 0;
        if (pe.symbolsAt != sectionsEnd || stringsSize < 4 || !fits(image, pe.symbolsAt, stringsSize))
            return "bytes after the sections";
        sectionsEnd += stringsSize;
    }
    const uint32_t tableAt = pe.directoryRva(image, securityDirectory);
    const uint32_t tableSize = pe.directorySize(image, securityDirectory);
    const bool endsWithTable = tableSize != 0 && tableAt >= sectionsEnd && tableAt - sectionsEnd <= maxSigningPadding &&
                               uint64_t{tableAt} + tableSize == image.size();
    if (image.size() != sectionsEnd && !endsWithTable)
        return "bytes after the sections";

    const uint32_t oldSize = std::min(pe.directorySize(image, resourceDirectory), resource->rawSize);
    std::vector<Resource> resources;
    if (!readResourceTree(image.data() + resource->rawAt, oldSize, resource->rva, resources))
        return "damaged resource section";
    ResourceBytes group;
    ResourceBytes version;
    if (!edits.icon.empty())
        replaceMainIcon(resources, edits.icon, group);
    if (edits.version.any())
        replaceVersion(resources, edits.version, version);
    const ResourceBytes section = writeResourceTree(resources, resource->rva);

    // The new image: everything before the resource section, the section
    // padded to the file alignment, the relocations, the string table.
    const uint32_t newSize = static_cast<uint32_t>(section.size());
    const uint32_t newRawSize = alignUp(newSize, pe.fileAlignment);
    ResourceBytes rebuilt;
    appendBytes(rebuilt, image.data(), resource->rawAt);
    appendBytes(rebuilt, section.data(), newSize);
    rebuilt.resize(resource->rawAt + newRawSize);
    const auto put32 = [&rebuilt](uint32_t at, uint32_t value) { storeLittleEndian32(&rebuilt[at], value); };
    put32(resource->headerAt + 8, newSize);
    put32(resource->headerAt + 16, newRawSize);
    put32(pe.directoriesAt + 8 * resourceDirectory + 4, newSize);
    uint32_t imageEnd = resource->rva + newSize;
    if (relocations != nullptr) {
        const uint32_t movedRva = alignUp(imageEnd, pe.sectionAlignment);
        put32(relocations->headerAt + 12, movedRva);
        put32(relocations->headerAt + 20, static_cast<uint32_t>(rebuilt.size()));
        put32(pe.directoriesAt + 8 * relocationDirectory, movedRva);
        appendBytes(rebuilt, image.data() + relocations->rawAt, relocations->rawSize);
        imageEnd = movedRva + std::max(relocations->virtualSize, relocations->rawSize);
    }
    if (pe.symbolsAt != 0) {
        put32(pe.peAt + 12, static_cast<uint32_t>(rebuilt.size()));
        appendBytes(rebuilt, image.data() + pe.symbolsAt, stringsSize);
    }
    put32(pe.optionalAt + 56, alignUp(imageEnd, pe.sectionAlignment));
    if ((loadLittleEndian32(&rebuilt[resource->headerAt + 36]) & initialisedDataFlag) != 0)
        put32(pe.optionalAt + 8, loadLittleEndian32(&rebuilt[pe.optionalAt + 8]) + newRawSize - resource->rawSize);
    if (securityDirectory < pe.directoryCount) {
        put32(pe.directoriesAt + 8 * securityDirectory, 0);
        put32(pe.directoriesAt + 8 * securityDirectory + 4, 0);
    }
    const uint32_t checksumAt = pe.optionalAt + 64;
    put32(checksumAt, peChecksum(rebuilt.data(), static_cast<int64_t>(rebuilt.size()), checksumAt));
    image.swap(rebuilt);
    return {};
}
