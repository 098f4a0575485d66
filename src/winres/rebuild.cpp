// Rebuilding a PE image's resource section. The headers: "MZ" with the PE
// header's offset at 0x3C; "PE\0\0" and the COFF header (section count at
// 6, symbol table at 8, optional header size at 20); the optional header
// (PE32 or PE32+: the data directories at 96 or 112) and the section table,
// 40 bytes a section.
#include "winres/rebuild.h"

#include <algorithm>

#include "core/bytes/littleendian.h"
#include "core/container/image.h"

namespace {

constexpr uint32_t sectionHeaderSize = 40;
constexpr uint32_t resourceDirectory = 2;
constexpr uint32_t securityDirectory = 4;
constexpr uint32_t relocationDirectory = 5;
constexpr uint32_t initialisedDataFlag = 0x40;

uint32_t u16At(const unsigned char* p) { return p[0] | p[1] << 8; }

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
    std::vector<Section> sections;

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
    if (!looksLikePeImage(image) || !fits(image, 0x3C, 4))
        return false;
    const uint32_t peAt = loadLittleEndian32(image.data() + 0x3C);
    if (!fits(image, peAt, 24) || loadLittleEndian32(image.data() + peAt) != 0x00004550)
        return false;
    pe.peAt = peAt;
    const uint32_t sectionCount = u16At(image.data() + peAt + 6);
    const uint32_t optionalSize = u16At(image.data() + peAt + 20);
    pe.symbolsAt = loadLittleEndian32(image.data() + peAt + 12);
    pe.symbolCount = loadLittleEndian32(image.data() + peAt + 16);
    pe.optionalAt = peAt + 24;
    if (!fits(image, pe.optionalAt, optionalSize) || optionalSize < 96)
        return false;
    const uint32_t magic = u16At(image.data() + pe.optionalAt);
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
    if (!fits(image, tableAt, uint64_t{sectionCount} * sectionHeaderSize))
        return false;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const unsigned char* s = image.data() + tableAt + i * sectionHeaderSize;
        pe.sections.push_back({tableAt + i * sectionHeaderSize, loadLittleEndian32(s + 8), loadLittleEndian32(s + 12),
                               loadLittleEndian32(s + 16), loadLittleEndian32(s + 20)});
    }
    return true;
}

void put32(ResourceBytes& image, uint32_t at, uint32_t value)
{
    storeLittleEndian32(image.data() + at, value);
}

} // namespace

bool looksLikePeImage(const ResourceBytes& image)
{
    return image.size() >= 64 && image[0] == 'M' && image[1] == 'Z';
}

ResourceSectionPlace findResourceSection(const ResourceBytes& image)
{
    PeHeaders pe;
    ResourceSectionPlace place;
    if (!readHeaders(image, pe))
        return place;
    const uint32_t rva = pe.directoryRva(image, resourceDirectory);
    for (const Section& s : pe.sections)
        if (rva != 0 && s.rva == rva && fits(image, s.rawAt, s.rawSize)) {
            place = {s.rawAt, std::min(pe.directorySize(image, resourceDirectory), s.rawSize), rva, true};
        }
    return place;
}

std::string_view rebuildResources(ResourceBytes& image, const ResourceEdits& edits)
{
    PeHeaders pe;
    if (!readHeaders(image, pe))
        return "not a Windows program whose headers can be read";
    if (pe.symbolCount != 0)
        return "the Windows stub keeps a symbol table (strip it)";
    const uint32_t resourceRva = pe.directoryRva(image, resourceDirectory);
    const auto resource = std::find_if(pe.sections.begin(), pe.sections.end(),
                                       [&](const Section& s) { return resourceRva != 0 && s.rva == resourceRva; });
    if (resource == pe.sections.end())
        return "the Windows stub has no resource section";
    // After the resource section, in the table and in memory and in the
    // file, only the base relocations may follow.
    const std::size_t resourceIndex = static_cast<std::size_t>(resource - pe.sections.begin());
    const uint32_t relocationRva = pe.directoryRva(image, relocationDirectory);
    const bool relocationsFollow = resourceIndex + 2 == pe.sections.size() && relocationRva != 0 &&
                                   pe.sections.back().rva == relocationRva;
    if (resourceIndex + 1 != pe.sections.size() && !relocationsFollow)
        return "the resource section of the Windows stub is not its last section";
    for (std::size_t i = 0; i < resourceIndex; ++i) {
        const Section& s = pe.sections[i];
        if (s.rva >= resource->rva || (s.rawSize != 0 && s.rawAt + s.rawSize > resource->rawAt))
            return "the resource section of the Windows stub is not its last section";
    }
    const Section* relocations = relocationsFollow ? &pe.sections.back() : nullptr;
    if (relocations != nullptr &&
        (relocations->rva < resource->rva + resource->virtualSize || relocations->rawAt < resource->rawAt + resource->rawSize))
        return "the resource section of the Windows stub is not its last section";
    const Section& last = relocations != nullptr ? *relocations : *resource;
    const uint32_t headersEnd = pe.sections.back().headerAt + sectionHeaderSize;
    if (resource->rawAt < headersEnd || !fits(image, resource->rawAt, resource->rawSize) ||
        !fits(image, last.rawAt, last.rawSize))
        return "the Windows stub ends inside its sections";
    // After the sections: the COFF string table that a stripped program
    // keeps for its long section names (".eh_frame"), which moves along,
    // and a certificate table with the padding before it, which goes.
    uint32_t sectionsEnd = last.rawAt + last.rawSize;
    ResourceBytes strings;
    if (pe.symbolsAt != 0) {
        const uint32_t length = fits(image, pe.symbolsAt, 4) ? loadLittleEndian32(image.data() + pe.symbolsAt) : 0;
        if (pe.symbolsAt != sectionsEnd || length < 4 || !fits(image, pe.symbolsAt, length))
            return "the Windows stub has bytes after its sections";
        strings.assign(image.begin() + pe.symbolsAt, image.begin() + pe.symbolsAt + length);
        sectionsEnd += length;
    }
    const uint32_t tableAt = pe.directoryRva(image, securityDirectory);
    const uint32_t tableSize = pe.directorySize(image, securityDirectory);
    const bool endsWithTable = tableSize != 0 && tableAt >= sectionsEnd && tableAt - sectionsEnd <= maxSigningPadding &&
                               uint64_t{tableAt} + tableSize == image.size();
    if (image.size() != sectionsEnd && !endsWithTable)
        return "the Windows stub has bytes after its sections";

    const uint32_t oldSize = std::min(pe.directorySize(image, resourceDirectory), resource->rawSize);
    std::vector<Resource> resources;
    if (!readResourceTree(image.data() + resource->rawAt, oldSize, resource->rva, resources))
        return "the resource section of the Windows stub is damaged";
    if (!edits.icon.empty())
        replaceMainIcon(resources, edits.icon);
    if (edits.version.any())
        replaceVersion(resources, edits.version);
    const ResourceBytes section = writeResourceTree(std::move(resources), resource->rva);

    const uint32_t newSize = static_cast<uint32_t>(section.size());
    const uint32_t newRawSize = alignUp(newSize, pe.fileAlignment);
    ResourceBytes relocationBytes;
    if (relocations != nullptr)
        relocationBytes.assign(image.begin() + relocations->rawAt, image.begin() + relocations->rawAt + relocations->rawSize);
    const uint32_t oldRawSize = resource->rawSize;
    image.resize(resource->rawAt);
    image.insert(image.end(), section.begin(), section.end());
    image.resize(resource->rawAt + newRawSize, 0);
    put32(image, resource->headerAt + 8, newSize);
    put32(image, resource->headerAt + 16, newRawSize);
    put32(image, pe.directoriesAt + 8 * resourceDirectory + 4, newSize);
    uint32_t imageEnd = resource->rva + newSize;
    if (relocations != nullptr) {
        const uint32_t movedRva = alignUp(imageEnd, pe.sectionAlignment);
        put32(image, relocations->headerAt + 12, movedRva);
        put32(image, relocations->headerAt + 20, static_cast<uint32_t>(image.size()));
        put32(image, pe.directoriesAt + 8 * relocationDirectory, movedRva);
        image.insert(image.end(), relocationBytes.begin(), relocationBytes.end());
        imageEnd = movedRva + std::max(relocations->virtualSize, relocations->rawSize);
    }
    if (!strings.empty()) {
        put32(image, pe.peAt + 12, static_cast<uint32_t>(image.size()));
        image.insert(image.end(), strings.begin(), strings.end());
    }
    put32(image, pe.optionalAt + 56, alignUp(imageEnd, pe.sectionAlignment));
    if ((loadLittleEndian32(image.data() + resource->headerAt + 36) & initialisedDataFlag) != 0)
        put32(image, pe.optionalAt + 8, loadLittleEndian32(image.data() + pe.optionalAt + 8) + newRawSize - oldRawSize);
    if (securityDirectory < pe.directoryCount) {
        put32(image, pe.directoriesAt + 8 * securityDirectory, 0);
        put32(image, pe.directoriesAt + 8 * securityDirectory + 4, 0);
    }
    const uint32_t checksumAt = pe.optionalAt + 64;
    put32(image, checksumAt, peChecksum(image.data(), static_cast<int64_t>(image.size()), checksumAt));
    return {};
}
