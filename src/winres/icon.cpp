// .ico files and icon groups: both start with a 6-byte header (reserved 0,
// type 1, image count); an .ico entry is 16 bytes (12 describing the image,
// its size among them, and a 4-byte file offset), a group entry 14 (the same
// 12 and a 2-byte icon number).
#include "winres/icon.h"

#include <cstring>

#include "core/bytes/littleendian.h"

namespace {

constexpr std::size_t iconHeaderSize = 6;
constexpr std::size_t fileEntrySize = 16;
constexpr std::size_t groupEntrySize = 14;
constexpr std::size_t describingSize = 12;
// More images than any real icon has; their numbers stay far below 65536.
constexpr std::size_t maxImages = 256;


const unsigned char* fileEntry(const ResourceBytes& file, std::size_t i)
{
    return file.data() + iconHeaderSize + i * fileEntrySize;
}

// A PNG file, or a BITMAPINFOHEADER (or one of its later, longer versions).
bool isImage(const unsigned char* data, uint32_t size)
{
    static const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= sizeof png && std::memcmp(data, png, sizeof png) == 0)
        return true;
    const uint32_t header = size >= 40 ? loadLittleEndian32(data) : 0;
    return (header == 40 || header == 108 || header == 124) && header <= size;
}

bool isType(const Resource& r, uint16_t type)
{
    return r.type.text == nullptr && r.type.id == type;
}

// Sets numbers[n] to mark for every icon n the group names.
void markIconsOfGroup(const Resource& group, ResourceBytes& numbers, unsigned char mark)
{
    const std::size_t count = group.size < iconHeaderSize ? 0 : loadLittleEndian16(group.data + 4);
    for (std::size_t i = 0; i < count && iconHeaderSize + (i + 1) * groupEntrySize <= group.size; ++i)
        numbers[loadLittleEndian16(group.data + iconHeaderSize + i * groupEntrySize + describingSize)] = mark;
}

} // namespace

std::string_view checkIconFile(const ResourceBytes& file)
{
    if (file.size() < iconHeaderSize || loadLittleEndian16(file.data()) != 0 || loadLittleEndian16(file.data() + 2) != 1)
        return "not an .ico file";
    const std::size_t count = loadLittleEndian16(file.data() + 4);
    bool whole = count != 0 && count <= maxImages && iconHeaderSize + count * fileEntrySize <= file.size();
    for (std::size_t i = 0; whole && i < count; ++i) {
        const uint32_t size = loadLittleEndian32(fileEntry(file, i) + 8);
        const uint32_t offset = loadLittleEndian32(fileEntry(file, i) + 12);
        whole = size != 0 && offset <= file.size() && size <= file.size() - offset && isImage(file.data() + offset, size);
    }
    return whole ? std::string_view() : "damaged .ico file";
}

void replaceMainIcon(std::vector<Resource>& resources, const ResourceBytes& file, ResourceBytes& group)
{
    // The group Explorer shows is the first of the section's order, which
    // is the order of reading: the first named one, else the lowest number.
    const Resource* main = nullptr;
    for (const Resource& r : resources)
        if (isType(r, resourceTypeGroupIcon) &&
            (main == nullptr || (r.name.text == nullptr && main->name.text == nullptr && r.name.id < main->name.id)))
            main = &r;
    Resource made{{resourceTypeGroupIcon, nullptr}, {1, nullptr}, languageNeutral, 0, nullptr, 0};
    // Per icon number: in use (1), to be dropped (2).
    ResourceBytes numbers(65536);
    if (main != nullptr) {
        made.name = main->name;
        made.language = main->language;
        // Every language's version of the group goes, and with them the
        // icons that no remaining group names.
        for (const Resource& r : resources)
            if (isType(r, resourceTypeGroupIcon) && sameKey(r.name, made.name))
                markIconsOfGroup(r, numbers, 2);
        removeResources(resources, resourceTypeGroupIcon, &made.name);
        for (const Resource& r : resources)
            if (isType(r, resourceTypeGroupIcon))
                markIconsOfGroup(r, numbers, 0);
        for (std::size_t i = 0; i < resources.size();) {
            const Resource& r = resources[i];
            if (isType(r, resourceTypeIcon) && r.name.text == nullptr && numbers[r.name.id] == 2)
                removeResourceAt(resources, i);
            else
                ++i;
        }
    }
    for (const Resource& r : resources)
        if (isType(r, resourceTypeIcon) && r.name.text == nullptr)
            numbers[r.name.id] = 1;

    const std::size_t count = loadLittleEndian16(file.data() + 4);
    group.clear();
    appendBytes(group, file.data(), iconHeaderSize);
    uint16_t number = 1;
    for (std::size_t i = 0; i < count; ++i, ++number) {
        while (numbers[number] == 1)
            ++number;
        const unsigned char* entry = fileEntry(file, i);
        const unsigned char numberBytes[] = {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8)};
        appendBytes(group, entry, describingSize);
        appendBytes(group, numberBytes, sizeof numberBytes);
        addResource(resources, {{resourceTypeIcon, nullptr}, {number, nullptr}, made.language, 0,
                                file.data() + loadLittleEndian32(entry + 12), loadLittleEndian32(entry + 8)});
    }
    made.data = group.data();
    made.size = static_cast<uint32_t>(group.size());
    addResource(resources, made);
}
