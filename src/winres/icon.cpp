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
constexpr std::size_t imageSizeAt = 8;  // within an entry
// More images than any real icon has; their numbers stay far below 65536.
constexpr std::size_t maxImages = 256;

uint32_t u16At(const unsigned char* p) { return p[0] | p[1] << 8; }

bool isPng(const ResourceBytes& data)
{
    static const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return data.size() >= sizeof signature && std::memcmp(data.data(), signature, sizeof signature) == 0;
}

// A BITMAPINFOHEADER or one of its later, longer versions.
bool isBitmap(const ResourceBytes& data)
{
    if (data.size() < 40)
        return false;
    const uint32_t headerSize = loadLittleEndian32(data.data());
    return (headerSize == 40 || headerSize == 108 || headerSize == 124) && headerSize <= data.size();
}

bool isType(const Resource& r, uint16_t type)
{
    return r.type.text.empty() && r.type.id == type;
}

// Marks (1) or clears (0) in numbers the icons a group names.
void markIconsOfGroup(const ResourceBytes& group, ResourceBytes& numbers, unsigned char mark)
{
    const std::size_t count = group.size() < iconHeaderSize ? 0 : u16At(group.data() + 4);
    for (std::size_t i = 0; i < count && iconHeaderSize + (i + 1) * groupEntrySize <= group.size(); ++i)
        numbers[u16At(group.data() + iconHeaderSize + i * groupEntrySize + 12)] = mark;
}

// The group Explorer shows: the first in the section's order (named ones
// first, by name, then the lowest number), which is the order of reading.
const Resource* mainGroup(const std::vector<Resource>& resources)
{
    const Resource* first = nullptr;
    for (const Resource& r : resources)
        if (isType(r, resourceTypeGroupIcon) &&
            (first == nullptr || (r.name.text.empty() && first->name.text.empty() && r.name.id < first->name.id)))
            first = &r;
    return first;
}

} // namespace

std::string_view readIconFile(const ResourceBytes& file, std::vector<IconImage>& images)
{
    images.clear();
    if (file.size() < iconHeaderSize || u16At(file.data()) != 0 || u16At(file.data() + 2) != 1)
        return "not an .ico file";
    const std::size_t count = u16At(file.data() + 4);
    if (count == 0)
        return "the .ico file holds no image";
    if (count > maxImages)
        return "the .ico file holds more than 256 images";
    if (iconHeaderSize + count * fileEntrySize > file.size())
        return "damaged .ico file: its directory is cut short";
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* entry = file.data() + iconHeaderSize + i * fileEntrySize;
        const uint32_t size = loadLittleEndian32(entry + imageSizeAt);
        const uint32_t offset = loadLittleEndian32(entry + 12);
        if (size == 0 || offset > file.size() || size > file.size() - offset)
            return "damaged .ico file: an image lies outside the file";
        IconImage image;
        std::memcpy(image.entry, entry, sizeof image.entry);
        image.data.assign(file.begin() + offset, file.begin() + offset + size);
        if (!isPng(image.data) && !isBitmap(image.data))
            return "damaged .ico file: an image is neither PNG nor bitmap";
        images.push_back(std::move(image));
    }
    return {};
}

void replaceMainIcon(std::vector<Resource>& resources, const std::vector<IconImage>& images)
{
    ResourceKey groupName{1, {}};
    uint16_t language = languageNeutral;
    // Icon numbers in use (1) and to be dropped (2), one byte per number.
    ResourceBytes numbers(65536, 0);
    if (const Resource* group = mainGroup(resources)) {
        groupName = group->name;
        language = group->language;
        // Every language's version of the group goes, and with them the
        // icons that no remaining group names.
        for (const Resource& r : resources)
            if (isType(r, resourceTypeGroupIcon) && r.name == groupName)
                markIconsOfGroup(r.data, numbers, 2);
        removeResources(resources, ResourceKey{resourceTypeGroupIcon, {}}, groupName);
        for (const Resource& r : resources)
            if (isType(r, resourceTypeGroupIcon))
                markIconsOfGroup(r.data, numbers, 0);
        for (std::size_t i = 0; i < resources.size();) {
            const Resource& r = resources[i];
            if (isType(r, resourceTypeIcon) && r.name.text.empty() && numbers[r.name.id] == 2)
                resources.erase(resources.begin() + static_cast<std::ptrdiff_t>(i));
            else
                ++i;
        }
    }
    for (const Resource& r : resources)
        if (isType(r, resourceTypeIcon) && r.name.text.empty())
            numbers[r.name.id] = 1;

    Resource group{{resourceTypeGroupIcon, {}}, groupName, language, 0,
                   ResourceBytes(iconHeaderSize + images.size() * groupEntrySize)};
    group.data[2] = 1;
    group.data[4] = static_cast<unsigned char>(images.size());
    group.data[5] = static_cast<unsigned char>(images.size() >> 8);
    uint16_t number = 1;
    for (std::size_t i = 0; i < images.size(); ++i, ++number) {
        while (numbers[number] == 1)
            ++number;
        unsigned char* entry = group.data.data() + iconHeaderSize + i * groupEntrySize;
        std::memcpy(entry, images[i].entry, sizeof images[i].entry);
        entry[12] = static_cast<unsigned char>(number);
        entry[13] = static_cast<unsigned char>(number >> 8);
        resources.push_back({{resourceTypeIcon, {}}, {number, {}}, language, 0, images[i].data});
    }
    resources.push_back(std::move(group));
}
