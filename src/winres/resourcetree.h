// Room winres: Windows resources written by zop itself, so that a packer on
// any platform can give an output its own icon and version information: the
// resource tree of a PE image's resource section, .ico files, version
// information, and the rebuild of an image around a new resource section.
// Works on bytes in memory. May include: core and runtime
// (docs/architecture.md).
//
// The resource tree: every resource of a section as a flat list, and the
// section written back from such a list.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

using ResourceBytes = std::vector<unsigned char>;

// A resource type or name: a number, or a name when text is not empty (its
// UTF-16 code units, little-endian, as the section stores them).
struct ResourceKey {
    uint16_t id = 0;
    ResourceBytes text;
    bool operator==(const ResourceKey&) const = default;
};

struct Resource {
    ResourceKey type;
    ResourceKey name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    ResourceBytes data;
};

constexpr uint16_t resourceTypeIcon = 3;
constexpr uint16_t resourceTypeGroupIcon = 14;
constexpr uint16_t resourceTypeVersion = 16;
constexpr uint16_t resourceTypeManifest = 24;
// The language of resources that do not depend on one.
constexpr uint16_t languageNeutral = 0;

// Reads the three-level tree (type, name, language) of a resource section
// whose first byte lies at sectionRva into resources, in the section's order.
// False when the tree is damaged: a table or a name outside the section, a
// tree deeper or shallower than three levels, data outside the section.
bool readResourceTree(const unsigned char* section, uint32_t size, uint32_t sectionRva,
                      std::vector<Resource>& resources);

// The section's bytes for the resources, for a section at sectionRva: the
// tables in the order Windows searches them (named entries first, by name,
// then numbered ones by number), then the data entries,
// the names and the data, each piece of data at a multiple of 8. Of two
// resources with the same type, name and language the later one is kept.
ResourceBytes writeResourceTree(std::vector<Resource> resources, uint32_t sectionRva);

// Removes every resource of the type (and, when name is given, of that name).
void removeResources(std::vector<Resource>& resources, const ResourceKey& type,
                     const std::optional<ResourceKey>& name = std::nullopt);
