// Room winres: Windows resources written by zop itself, so that a packer on
// any platform can give an output its own icon and version information: the
// resource tree of a PE image's resource section, .ico files, version
// information, and the rebuild of an image around a new resource section.
// Works on bytes in memory, with little code: the stub carries it. May
// include: core and runtime (docs/architecture.md).
//
// The resource tree: every resource of a section as a flat list, and the
// section written back from such a list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

using ResourceBytes = std::vector<unsigned char>;

// Appends count bytes to out.
void appendBytes(ResourceBytes& out, const void* bytes, std::size_t count);

// A resource type or name: a number, or a name when text is set (where the
// name lies: a 16-bit count of UTF-16 code units, then the units).
struct ResourceKey {
    uint16_t id = 0;
    const unsigned char* text = nullptr;
};
bool sameKey(const ResourceKey& a, const ResourceKey& b);

// One resource. Names and data are not copied: they stay where the list's
// maker has them (the section read, buffers of the caller) for as long as
// the list is used.
struct Resource {
    ResourceKey type;
    ResourceKey name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    const unsigned char* data = nullptr;
    uint32_t size = 0;
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
// then numbered ones by number), then the data entries, the names and the
// data, each piece of data at a multiple of 8. Of two resources with the
// same type, name and language the later one is kept. The list is left in
// the section's order.
ResourceBytes writeResourceTree(std::vector<Resource>& resources, uint32_t sectionRva);

// Appends the resource to the list (one place that grows lists, for little
// code).
void addResource(std::vector<Resource>& resources, const Resource& resource);

// Removes the resource at index from the list.
void removeResourceAt(std::vector<Resource>& resources, std::size_t index);

// Removes every resource of the type (and, when name is given, of that name).
void removeResources(std::vector<Resource>& resources, uint16_t type, const ResourceKey* name = nullptr);
