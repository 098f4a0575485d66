// Reading and writing a resource section's tree. A table is 16 bytes (the
// counts of named and of numbered entries at 12 and 14) followed by 8-byte
// entries: the key (a number, or with the top bit the offset of a name, a
// 16-bit length and UTF-16 units) and the target (with the top bit a
// table's offset, else a 16-byte data entry's: data RVA, size, code page).
#include "winres/resourcetree.h"

#include <utility>

#include "core/bytes/littleendian.h"

namespace {

constexpr uint32_t subdirectoryBit = 0x80000000u;
constexpr uint32_t directorySize = 16;
constexpr uint32_t directoryEntrySize = 8;
constexpr uint32_t dataEntrySize = 16;
// More resources than this in one section is damage, not a real program.
constexpr std::size_t maxResources = 65536;

uint32_t u16At(const unsigned char* p) { return p[0] | p[1] << 8; }

struct TreeReader {
    const unsigned char* section;
    uint32_t size;
    uint32_t rva;
    std::vector<Resource>& found;
    uint64_t dataTotal = 0;

    bool fits(uint32_t offset, uint64_t count) const { return offset <= size && count <= size - offset; }

    bool readKey(uint32_t field, ResourceKey& key) const
    {
        if ((field & subdirectoryBit) == 0) {
            key.id = static_cast<uint16_t>(field);
            return field <= 0xFFFF;
        }
        const uint32_t at = field & ~subdirectoryBit;
        if (!fits(at, 2))
            return false;
        const uint32_t length = u16At(section + at);
        if (length == 0 || !fits(at + 2, 2 * length))
            return false;
        key.text.assign(section + at + 2, section + at + 2 + 2 * length);
        return true;
    }

    bool readData(uint32_t at, Resource& resource)
    {
        if (!fits(at, dataEntrySize))
            return false;
        const uint32_t dataRva = loadLittleEndian32(section + at);
        const uint32_t dataSize = loadLittleEndian32(section + at + 4);
        if (dataRva < rva || !fits(dataRva - rva, dataSize))
            return false;
        // Shared data entries cannot make the copies outgrow the section.
        dataTotal += dataSize;
        if (dataTotal > size || found.size() >= maxResources)
            return false;
        resource.codePage = loadLittleEndian32(section + at + 8);
        resource.data.assign(section + (dataRva - rva), section + (dataRva - rva) + dataSize);
        found.push_back(resource);
        return true;
    }

    // level 0: types, 1: names, 2: languages (whose entries name data).
    bool readDirectory(uint32_t at, int level, Resource& partial)
    {
        if (!fits(at, directorySize))
            return false;
        const uint32_t count = u16At(section + at + 12) + u16At(section + at + 14);
        if (!fits(at + directorySize, uint64_t{count} * directoryEntrySize))
            return false;
        for (uint32_t i = 0; i < count; ++i) {
            const unsigned char* entry = section + at + directorySize + i * directoryEntrySize;
            const uint32_t target = loadLittleEndian32(entry + 4);
            ResourceKey language;
            ResourceKey& key = level == 0 ? partial.type : level == 1 ? partial.name : language;
            key = ResourceKey{};
            if (!readKey(loadLittleEndian32(entry), key) || !language.text.empty())
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
    if (a.text.empty() || b.text.empty())
        return b.text.empty() && (!a.text.empty() || a.id < b.id);
    for (std::size_t i = 0; i + 1 < a.text.size() && i + 1 < b.text.size(); i += 2)
        if (u16At(&a.text[i]) != u16At(&b.text[i]))
            return u16At(&a.text[i]) < u16At(&b.text[i]);
    return a.text.size() < b.text.size();
}

bool resourceBefore(const Resource& a, const Resource& b)
{
    if (!(a.type == b.type))
        return keyBefore(a.type, b.type);
    if (!(a.name == b.name))
        return keyBefore(a.name, b.name);
    return a.language < b.language;
}

bool sameKeys(const Resource& a, const Resource& b, int level)
{
    return a.type == b.type && (level < 1 || a.name == b.name) && (level < 2 || a.language == b.language);
}

uint32_t alignUp(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Writes the tables depth first, each piece at the next free place of its
// kind: tables from 0, names from namesAt; resource i's data entry is the
// i-th.
struct TreeWriter {
    const std::vector<Resource>& resources;
    ResourceBytes out;
    uint32_t nextTable = 0;
    uint32_t nextName = 0;
    uint32_t dataEntriesAt = 0;

    void put16(uint32_t at, uint32_t value)
    {
        out[at] = static_cast<unsigned char>(value);
        out[at + 1] = static_cast<unsigned char>(value >> 8);
    }
    void put32(uint32_t at, uint32_t value) { storeLittleEndian32(out.data() + at, value); }

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
        if (key.text.empty())
            return key.id;
        const uint32_t at = nextName;
        put16(at, static_cast<uint32_t>(key.text.size() / 2));
        for (std::size_t i = 0; i < key.text.size(); ++i)
            out[at + 2 + i] = key.text[i];
        nextName += 2 + static_cast<uint32_t>(key.text.size());
        return at | subdirectoryBit;
    }

    uint32_t table(std::size_t begin, std::size_t end, int level)
    {
        uint32_t count = 0;
        uint32_t named = 0;
        for (std::size_t i = begin; i < end; i = groupEnd(i, end, level), ++count)
            named += level < 2 && !(level == 0 ? resources[i].type : resources[i].name).text.empty();
        const uint32_t at = nextTable;
        nextTable += directorySize + directoryEntrySize * count;
        put16(at + 12, named);
        put16(at + 14, count - named);
        uint32_t entry = at + directorySize;
        for (std::size_t i = begin; i < end; entry += directoryEntrySize) {
            const std::size_t next = groupEnd(i, end, level);
            put32(entry, keyField(resources[i], level));
            put32(entry + 4, level == 2 ? dataEntriesAt + dataEntrySize * static_cast<uint32_t>(i)
                                        : table(i, next, level + 1) | subdirectoryBit);
            i = next;
        }
        return at;
    }
};

} // namespace

bool readResourceTree(const unsigned char* section, uint32_t size, uint32_t sectionRva,
                      std::vector<Resource>& resources)
{
    resources.clear();
    TreeReader reader{section, size, sectionRva, resources};
    Resource partial;
    return reader.readDirectory(0, 0, partial);
}

ResourceBytes writeResourceTree(std::vector<Resource> resources, uint32_t sectionRva)
{
    // Insertion sort: stable, and a few dozen resources at most.
    for (std::size_t i = 1; i < resources.size(); ++i)
        for (std::size_t j = i; j > 0 && resourceBefore(resources[j], resources[j - 1]); --j)
            std::swap(resources[j], resources[j - 1]);
    for (std::size_t i = 1; i < resources.size();) {
        if (sameKeys(resources[i - 1], resources[i], 2))
            resources.erase(resources.begin() + static_cast<std::ptrdiff_t>(i - 1));
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
        if (newType && !resources[i].type.text.empty())
            namesSize += 2 + static_cast<uint32_t>(resources[i].type.text.size());
        if (newName && !resources[i].name.text.empty())
            namesSize += 2 + static_cast<uint32_t>(resources[i].name.text.size());
    }
    const uint32_t dataEntriesAt = tablesSize;
    const uint32_t namesAt = dataEntriesAt + dataEntrySize * static_cast<uint32_t>(resources.size());
    uint32_t dataAt = alignUp(namesAt + namesSize, 8);

    TreeWriter w{resources, {}, 0, namesAt, dataEntriesAt};
    uint32_t end = dataAt;
    for (const Resource& r : resources)
        end = alignUp(end + static_cast<uint32_t>(r.data.size()), 8);
    w.out.assign(end, 0);
    w.table(0, resources.size(), 0);
    for (std::size_t i = 0; i < resources.size(); ++i) {
        const uint32_t entry = dataEntriesAt + dataEntrySize * static_cast<uint32_t>(i);
        w.put32(entry, sectionRva + dataAt);
        w.put32(entry + 4, static_cast<uint32_t>(resources[i].data.size()));
        w.put32(entry + 8, resources[i].codePage);
        for (std::size_t b = 0; b < resources[i].data.size(); ++b)
            w.out[dataAt + b] = resources[i].data[b];
        dataAt = alignUp(dataAt + static_cast<uint32_t>(resources[i].data.size()), 8);
    }
    return std::move(w.out);
}

void removeResources(std::vector<Resource>& resources, const ResourceKey& type, const std::optional<ResourceKey>& name)
{
    for (std::size_t i = 0; i < resources.size();) {
        if (resources[i].type == type && (!name || resources[i].name == *name))
            resources.erase(resources.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
}
