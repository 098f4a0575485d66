// Reading and writing a resource section's tree. A table is 16 bytes (the
// counts of named and of numbered entries at 12 and 14) followed by 8-byte
// entries: the key (a number, or with the top bit the offset of a name) and
// the target (with the top bit a table's offset, else a 16-byte data
// entry's: data RVA, size, code page).
#include "winres/resourcetree.h"

#include <cstring>

#include "core/bytes/littleendian.h"

namespace {

constexpr uint32_t subdirectoryBit = 0x80000000u;
constexpr uint32_t directorySize = 16;
constexpr uint32_t directoryEntrySize = 8;
constexpr uint32_t dataEntrySize = 16;
// More resources than this in one section is damage, not a real program.
constexpr std::size_t maxResources = 65536;


uint32_t nameBytes(const ResourceKey& key) { return 2 + 2 * loadLittleEndian16(key.text); }

struct TreeReader {
    const unsigned char* section;
    uint32_t size;
    uint32_t rva;
    std::vector<Resource>& found;
    uint64_t dataTotal = 0;

    bool fits(uint32_t offset, uint64_t count) const { return offset <= size && count <= size - offset; }

    bool readKey(uint32_t field, ResourceKey& key) const
    {
        key = ResourceKey{static_cast<uint16_t>(field), nullptr};
        if ((field & subdirectoryBit) == 0)
            return field <= 0xFFFF;
        const uint32_t at = field & ~subdirectoryBit;
        key.text = section + at;
        return fits(at, 2) && loadLittleEndian16(key.text) != 0 && fits(at, nameBytes(key));
    }

    bool readData(uint32_t at, Resource& resource)
    {
        if (!fits(at, dataEntrySize))
            return false;
        const uint32_t dataRva = loadLittleEndian32(section + at);
        resource.size = loadLittleEndian32(section + at + 4);
        resource.codePage = loadLittleEndian32(section + at + 8);
        resource.data = section + (dataRva - rva);
        // Shared data entries cannot make the list outgrow the section.
        dataTotal += resource.size;
        if (dataRva < rva || !fits(dataRva - rva, resource.size) || dataTotal > size || found.size() >= maxResources)
            return false;
        addResource(found, resource);
        return true;
    }

    // level 0: types, 1: names, 2: languages (whose entries name data).
    bool readDirectory(uint32_t at, int level, Resource& partial)
    {
        if (!fits(at, directorySize))
            return false;
        const uint32_t count = loadLittleEndian16(section + at + 12) + loadLittleEndian16(section + at + 14);
        if (!fits(at + directorySize, uint64_t{count} * directoryEntrySize))
            return false;
        for (uint32_t i = 0; i < count; ++i) {
            const unsigned char* entry = section + at + directorySize + i * directoryEntrySize;
            const uint32_t target = loadLittleEndian32(entry + 4);
            ResourceKey language;
            ResourceKey& key = level == 0 ? partial.type : level == 1 ? partial.name : language;
            if (!readKey(loadLittleEndian32(entry), key) || language.text != nullptr)
                return false;
            partial.language = language.id;
            const bool isDirectory = (target & subdirectoryBit) != 0;
            if (isDirectory != (level < 2))
                return false;
            const bool read = isDirectory ? readDirectory(target & ~subdirectoryBit, level + 1, partial)
                                          : readData(target, partial);
            if (!read)
                return false;
        }
        return true;
    }
};

// Windows looks entries up by binary search: named entries first, by their
// UTF-16 code units, then numbered ones in ascending order.
bool keyBefore(const ResourceKey& a, const ResourceKey& b)
{
    if (a.text == nullptr || b.text == nullptr)
        return b.text == nullptr && (a.text != nullptr || a.id < b.id);
    const uint32_t lengthA = loadLittleEndian16(a.text), lengthB = loadLittleEndian16(b.text);
    for (uint32_t i = 1; i <= lengthA && i <= lengthB; ++i)
        if (loadLittleEndian16(a.text + 2 * i) != loadLittleEndian16(b.text + 2 * i))
            return loadLittleEndian16(a.text + 2 * i) < loadLittleEndian16(b.text + 2 * i);
    return lengthA < lengthB;
}

bool resourceBefore(const Resource& a, const Resource& b)
{
    if (!sameKey(a.type, b.type))
        return keyBefore(a.type, b.type);
    if (!sameKey(a.name, b.name))
        return keyBefore(a.name, b.name);
    return a.language < b.language;
}

bool sameKeys(const Resource& a, const Resource& b, int level)
{
    return sameKey(a.type, b.type) && (level < 1 || sameKey(a.name, b.name)) && (level < 2 || a.language == b.language);
}

uint32_t alignUp(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Writes the tables depth first, each piece at the next free place of its
// kind: tables from 0, names from nextName; resource i's data entry is the
// i-th.
struct TreeWriter {
    const std::vector<Resource>& resources;
    ResourceBytes& out;
    uint32_t nextTable;
    uint32_t nextName;
    uint32_t dataEntriesAt;

    void put16(uint32_t at, uint32_t value)
    {
        out[at] = static_cast<unsigned char>(value);
        out[at + 1] = static_cast<unsigned char>(value >> 8);
    }

    std::size_t groupEnd(std::size_t begin, std::size_t end, int level) const
    {
        std::size_t i = begin + 1;
        while (i < end && sameKeys(resources[begin], resources[i], level))
            ++i;
        return i;
    }

    uint32_t keyField(const Resource& r, int level)
    {
        const ResourceKey& key = level == 0 ? r.type : r.name;
        if (level == 2)
            return r.language;
        if (key.text == nullptr)
            return key.id;
        const uint32_t at = nextName;
        std::memcpy(&out[at], key.text, nameBytes(key));
        nextName += nameBytes(key);
        return at | subdirectoryBit;
    }

    uint32_t table(std::size_t begin, std::size_t end, int level)
    {
        uint32_t count = 0;
        uint32_t named = 0;
        for (std::size_t i = begin; i < end; i = groupEnd(i, end, level), ++count)
            named += level < 2 && (level == 0 ? resources[i].type : resources[i].name).text != nullptr;
        const uint32_t at = nextTable;
        nextTable += directorySize + directoryEntrySize * count;
        put16(at + 12, named);
        put16(at + 14, count - named);
        uint32_t entry = at + directorySize;
        for (std::size_t i = begin; i < end; entry += directoryEntrySize) {
            const std::size_t next = groupEnd(i, end, level);
            storeLittleEndian32(&out[entry], keyField(resources[i], level));
            storeLittleEndian32(&out[entry + 4], level == 2 ? dataEntriesAt + dataEntrySize * static_cast<uint32_t>(i)
                                                            : table(i, next, level + 1) | subdirectoryBit);
            i = next;
        }
        return at;
    }
};

} // namespace

void appendBytes(ResourceBytes& out, const void* bytes, std::size_t count)
{
    const std::size_t at = out.size();
    out.resize(at + count);
    if (count != 0)
        std::memcpy(out.data() + at, bytes, count);
}

void addResource(std::vector<Resource>& resources, const Resource& resource)
{
    resources.push_back(resource);
}

void removeResourceAt(std::vector<Resource>& resources, std::size_t index)
{
    resources.erase(resources.begin() + static_cast<std::ptrdiff_t>(index));
}

bool sameKey(const ResourceKey& a, const ResourceKey& b)
{
    if (a.text == nullptr || b.text == nullptr)
        return a.text == b.text && a.id == b.id;
    return std::memcmp(a.text, b.text, nameBytes(a)) == 0;
}

bool readResourceTree(const unsigned char* section, uint32_t size, uint32_t sectionRva,
                      std::vector<Resource>& resources)
{
    resources.clear();
    TreeReader reader{section, size, sectionRva, resources};
    Resource partial;
    return reader.readDirectory(0, 0, partial);
}

ResourceBytes writeResourceTree(std::vector<Resource>& resources, uint32_t sectionRva)
{
    // Insertion sort: stable, and a few dozen resources at most; of two with
    // the same keys the earlier goes.
    for (std::size_t i = 1; i < resources.size(); ++i)
        for (std::size_t j = i; j > 0 && resourceBefore(resources[j], resources[j - 1]); --j) {
            const Resource moved = resources[j];
            resources[j] = resources[j - 1];
            resources[j - 1] = moved;
        }
    for (std::size_t i = 1; i < resources.size();) {
        if (sameKeys(resources[i - 1], resources[i], 2))
            removeResourceAt(resources, i - 1);
        else
            ++i;
    }

    // Sizes first: a table per type and per name, an entry per type, name
    // and resource; then the data entries, the names, the data.
    uint32_t tablesSize = directorySize;
    uint32_t namesSize = 0;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        const bool newType = i == 0 || !sameKeys(resources[i - 1], resources[i], 0);
        const bool newName = newType || !sameKeys(resources[i - 1], resources[i], 1);
        tablesSize += directoryEntrySize + (newType ? directorySize + directoryEntrySize : 0) +
                      (newName ? directorySize + directoryEntrySize : 0);
        if (newType && resources[i].type.text != nullptr)
            namesSize += nameBytes(resources[i].type);
        if (newName && resources[i].name.text != nullptr)
            namesSize += nameBytes(resources[i].name);
    }
    const uint32_t namesAt = tablesSize + dataEntrySize * static_cast<uint32_t>(resources.size());
    uint32_t dataAt = alignUp(namesAt + namesSize, 8);
    uint32_t end = dataAt;
    for (const Resource& r : resources)
        end = alignUp(end + r.size, 8);

    ResourceBytes out(end);
    TreeWriter w{resources, out, 0, namesAt, tablesSize};
    w.table(0, resources.size(), 0);
    for (std::size_t i = 0; i < resources.size(); ++i) {
        unsigned char* entry = &out[tablesSize + dataEntrySize * i];
        storeLittleEndian32(entry, sectionRva + dataAt);
        storeLittleEndian32(entry + 4, resources[i].size);
        storeLittleEndian32(entry + 8, resources[i].codePage);
        if (resources[i].size != 0)
            std::memcpy(&out[dataAt], resources[i].data, resources[i].size);
        dataAt = alignUp(dataAt + resources[i].size, 8);
    }
    return out;
}

void removeResources(std::vector<Resource>& resources, uint16_t type, const ResourceKey* name)
{
    for (std::size_t i = 0; i < resources.size();) {
        const Resource& r = resources[i];
        if (sameKey(r.type, ResourceKey{type, nullptr}) && (name == nullptr || sameKey(r.name, *name)))
            removeResourceAt(resources, i);
        else
            ++i;
    }
}
