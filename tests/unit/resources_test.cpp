// The resource writer against the real Windows stubs of this build (32- and
// 64-bit): a rebuilt stub reads back as written, keeps its manifest and
// relocations, carries a right checksum and ends with its image; and the
// pieces on their own: .ico files, version numbers and text, the version
// resource's layout, the tree's order.
#include "winres/rebuild.h"
#include "winres/resourcetree.h"
#include "core/container/image.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/scratch.h"

using namespace testsupport;

namespace {

uint32_t at32(const ResourceBytes& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The PE checksum as the documentation of the format gives it, written
// apart from zop's: 16-bit words with carry folded in, plus the length.
uint32_t independentChecksum(const ResourceBytes& image, std::size_t checksumAt)
{
    uint64_t sum = 0;
    for (std::size_t i = 0; i + 1 < image.size() + 1; i += 2) {
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        if (i >= checksumAt && i < checksumAt + 4)
            word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF) + static_cast<uint32_t>(image.size());
}

std::size_t optionalHeaderAt(const ResourceBytes& image) { return at32(image, 0x3C) + 24; }

std::size_t directoriesAt(const ResourceBytes& image)
{
    const std::size_t optional = optionalHeaderAt(image);
    return optional + ((image[optional] | image[optional + 1] << 8) == 0x20B ? 112 : 96);
}

ResourceBytes bytesOf(const std::string& text) { return ResourceBytes(text.begin(), text.end()); }

ResourceBytes dataOf(const Resource& r) { return ResourceBytes(r.data, r.data + r.size); }

std::vector<Resource> resourcesOf(const ResourceBytes& image)
{
    const ResourceSectionPlace place = findResourceSection(image);
    EXPECT_TRUE(place.found);
    std::vector<Resource> tree;
    if (place.found) {
        EXPECT_TRUE(readResourceTree(image.data() + place.fileOffset, place.size, place.rva, tree));
    }
    return tree;
}

// A name as the section stores it: its length and its UTF-16 code units,
// little-endian; kept for the test's run.
ResourceKey named(std::string_view ascii)
{
    static std::vector<ResourceBytes> names(100);
    static std::size_t used = 0;
    ResourceBytes& name = names[used++];
    name = {static_cast<unsigned char>(ascii.size()), 0};
    for (char c : ascii)
        name.insert(name.end(), {static_cast<unsigned char>(c), 0});
    return ResourceKey{0, name.data()};
}

std::string nameOf(const ResourceKey& key)
{
    if (key.text == nullptr)
        return std::to_string(key.id);
    std::string name;
    for (unsigned i = 0; i < key.text[0]; ++i)
        name.push_back(static_cast<char>(key.text[2 + 2 * i]));
    return name;
}

const Resource* find(const std::vector<Resource>& resources, uint16_t type, uint16_t name)
{
    for (const Resource& r : resources)
        if (sameKey(r.type, ResourceKey{type, nullptr}) && sameKey(r.name, ResourceKey{name, nullptr}))
            return &r;
    return nullptr;
}

// The relocation table's bytes, found through its directory entry.
ResourceBytes relocationsOf(const ResourceBytes& image)
{
    const std::size_t entry = directoriesAt(image) + 8 * 5;
    const uint32_t rva = at32(image, entry);
    const std::size_t tableAt = at32(image, 0x3C) + 24 + (image[at32(image, 0x3C) + 20] | image[at32(image, 0x3C) + 21] << 8);
    const std::size_t sections = image[at32(image, 0x3C) + 6];
    for (std::size_t i = 0; i < sections; ++i) {
        const std::size_t s = tableAt + 40 * i;
        if (at32(image, s + 12) == rva)
            return ResourceBytes(image.begin() + at32(image, s + 20), image.begin() + at32(image, s + 20) + at32(image, entry + 4));
    }
    return {};
}

class ResourceTest : public ScratchDirTest {
protected:
    static std::vector<std::string> windowsStubs()
    {
        std::vector<std::string> found;
#ifdef ZOP_WINDOWS_STUB
        found.push_back(ZOP_WINDOWS_STUB);
#endif
#ifdef ZOP_WINDOWS_X64_STUB
        found.push_back(ZOP_WINDOWS_X64_STUB);
#endif
        return found;
    }

    static std::vector<IcoImage> images() { return {bitmapIconImage(16, 1), pngIconImage(255, 2)}; }

    static ResourceEdits edits()
    {
        ResourceEdits e;
        e.icon = bytesOf(icoFile(images()));
        EXPECT_EQ(setVersionField(e.version, VersionField::productName, "Zop Test Ünïcode"), "");
        EXPECT_EQ(setVersionField(e.version, VersionField::companyName, "zop developers"), "");
        EXPECT_EQ(setVersionField(e.version, VersionField::fileVersion, "1.2.3.4"), "");
        EXPECT_EQ(setVersionField(e.version, VersionField::copyright, "© nobody"), "");
        return e;
    }
};

TEST_F(ResourceTest, RebuiltStubsReadBackAsWrittenAndKeepEverythingElse)
{
    if (windowsStubs().empty())
        GTEST_SKIP() << "no Windows stubs in this build";
    for (const std::string& stub : windowsStubs()) {
        SCOPED_TRACE(stub);
        const ResourceBytes original = readFile<ResourceBytes>(stub);
        ResourceBytes image = original;
        ASSERT_EQ(rebuildResources(image, edits()), "");

        const std::vector<Resource> before = resourcesOf(original);
        const std::vector<Resource> after = resourcesOf(image);
        const Resource* manifest = find(before, resourceTypeManifest, 1);
        ASSERT_NE(manifest, nullptr);
        ASSERT_NE(find(after, resourceTypeManifest, 1), nullptr);
        EXPECT_EQ(dataOf(*find(after, resourceTypeManifest, 1)), dataOf(*manifest));
        EXPECT_EQ(find(after, resourceTypeManifest, 1)->language, manifest->language);

        // The group names two icons whose data are the images, in order.
        const Resource* group = find(after, resourceTypeGroupIcon, 1);
        ASSERT_NE(group, nullptr);
        ASSERT_EQ(group->size, 6u + 2 * 14);
        EXPECT_EQ(group->data[4], 2);
        for (std::size_t i = 0; i < 2; ++i) {
            const unsigned char* entry = group->data + 6 + 14 * i;
            EXPECT_EQ(std::string(entry, entry + 12), images()[i].entry);
            const Resource* icon = find(after, resourceTypeIcon, static_cast<uint16_t>(entry[12] | entry[13] << 8));
            ASSERT_NE(icon, nullptr);
            EXPECT_EQ(dataOf(*icon), bytesOf(images()[i].data));
        }
        const Resource* version = find(after, resourceTypeVersion, 1);
        ASSERT_NE(version, nullptr);
        EXPECT_EQ(dataOf(*version), versionInfo(edits().version));
        EXPECT_EQ(version->language, languageNeutral);

        // The image's tables agree with its bytes; the relocations moved whole.
        const std::size_t optional = optionalHeaderAt(image);
        EXPECT_EQ(at32(image, optional + 64), independentChecksum(image, optional + 64));
        EXPECT_EQ(relocationsOf(image), relocationsOf(original));
        EXPECT_FALSE(relocationsOf(image).empty());
        const std::string rebuilt = path("rebuilt.exe");
        writeFile(rebuilt, image);
        ImageLayout layout;
        EXPECT_EQ(readImageLayoutOf(rebuilt, layout), 0);
        EXPECT_TRUE(layout.known);
        EXPECT_EQ(layout.sectionsEnd, static_cast<int64_t>(image.size()));
        EXPECT_EQ(imageFit(layout), ImageFit::whole);
        // Nothing before the resource section moved: the code and data
        // sections are the same bytes.
        const std::size_t headersEnd = at32(original, optional + 60);
        const std::size_t resourcesAt = findResourceSection(original).fileOffset;
        EXPECT_TRUE(std::equal(original.begin() + headersEnd, original.begin() + resourcesAt, image.begin() + headersEnd));

        // The same edits on the rebuilt stub (a stub that just-extract gave
        // back) give the same bytes.
        ResourceBytes again = image;
        ASSERT_EQ(rebuildResources(again, edits()), "");
        EXPECT_TRUE(again == image);
    }
}

TEST_F(ResourceTest, ImagesThatCannotBeRebuiltAreRefusedAndLeftAsTheyWere)
{
    if (windowsStubs().empty())
        GTEST_SKIP() << "no Windows stubs in this build";
    const ResourceBytes stub = readFile<ResourceBytes>(windowsStubs().front());
    const std::size_t directories = directoriesAt(stub);
    const ResourceSectionPlace place = findResourceSection(stub);
    struct Case {
        std::string name;
        std::function<void(ResourceBytes&)> damage;
        std::string_view reason;
    };
    const Case cases[] = {
        {"RelocationEntryNamesNoSection", [&](ResourceBytes& b) { b[directories + 8 * 5] ^= 0x10; },
         "the resource section is not last"},
        {"NoResourceDirectory", [&](ResourceBytes& b) { std::fill_n(b.begin() + directories + 16, 8, 0); },
         "no resource section"},
        {"TreeEntryOutsideTheSection", [&](ResourceBytes& b) { b[place.fileOffset + 16 + 7] = 0x7F; },
         "damaged resource section"},
        {"BytesAfterTheSections", [](ResourceBytes& b) { b.push_back(1); }, "bytes after the sections"},
        {"NoPeHeader", [](ResourceBytes& b) { b[0x3C] ^= 0x40; }, "no readable PE headers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceBytes image = stub;
        c.damage(image);
        const ResourceBytes damaged = image;
        EXPECT_EQ(rebuildResources(image, edits()), c.reason);
        EXPECT_TRUE(image == damaged);
    }
}

TEST(IconFileTest, AcceptsIconsAndRefusesWhatIsNoIcon)
{
    const std::vector<IcoImage> images = {bitmapIconImage(16, 3), pngIconImage(0, 4), bitmapIconImage(32, 5)};
    const std::string good = icoFile(images);
    EXPECT_EQ(checkIconFile(bytesOf(good)), "");

    std::string notBitmap = good;
    notBitmap[6 + 48] = 'x';  // the first image's header size
    std::string outside = good;
    outside[6 + 16 + 12 + 2] = 1;  // the second image's offset grows by 64 KiB
    const std::string_view damaged = "damaged .ico file";
    const std::pair<std::string, std::string_view> refused[] = {
        {"a text file\n", "not an .ico file"},
        {std::string("\0\0\2\0\1\0", 6) + good.substr(6), "not an .ico file"},  // a cursor file
        {std::string("\0\0\1\0\0\0", 6), damaged},                                 // no image
        {good.substr(0, 30), damaged},                                               // directory cut short
        {good.substr(0, good.size() - 1), damaged},                                  // last image cut short
        {outside, damaged},
        {notBitmap, damaged},
    };
    for (const auto& [file, reason] : refused)
        EXPECT_EQ(checkIconFile(bytesOf(file)), reason) << file.size();
}

TEST(VersionInfoTest, NumbersAndTextAreCheckedAsTheyAreRead)
{
    uint16_t parts[4];
    ASSERT_TRUE(readVersionNumber("1.2.3.4", parts));
    EXPECT_EQ((std::vector<uint16_t>(parts, parts + 4)), (std::vector<uint16_t>{1, 2, 3, 4}));
    ASSERT_TRUE(readVersionNumber("65535.7", parts));
    EXPECT_EQ((std::vector<uint16_t>(parts, parts + 4)), (std::vector<uint16_t>{65535, 7, 0, 0}));
    for (const char* bad : {"", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "1.2b", "v1", "1,2", " 1"})
        EXPECT_FALSE(readVersionNumber(bad, parts)) << bad;

    ResourceBytes text;
    ASSERT_TRUE(appendUtf16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", text));
    EXPECT_EQ(text, (ResourceBytes{'A', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}));
    for (const char* bad : {"\xC3", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE9t\xE9"})
        EXPECT_FALSE(appendUtf16(bad, text)) << bad;
}

// Reads the UTF-16 text that follows the key in a version resource.
std::u16string stringValue(const ResourceBytes& info, std::u16string_view key)
{
    std::u16string all;
    for (std::size_t i = 0; i + 1 < info.size(); i += 2)
        all.push_back(static_cast<char16_t>(info[i] | info[i + 1] << 8));
    std::u16string wanted(key);
    wanted.push_back(0);
    std::size_t at = all.find(wanted);
    if (at == std::u16string::npos)
        return u"(none)";
    at += wanted.size();
    while (at < all.size() && all[at] == 0)
        ++at;  // padding
    return all.substr(at, all.find(char16_t{0}, at) - at);
}

TEST(VersionInfoTest, FixedPartStringTableAndDefaults)
{
    VersionFields fields;
    EXPECT_EQ(setVersionField(fields, VersionField::productName, "Shop"), "");
    EXPECT_EQ(setVersionField(fields, VersionField::productVersion, "2.5"), "");
    EXPECT_EQ(setVersionField(fields, VersionField::fileVersion, "2.5b"), "a version is 1 to 4 numbers below 65536 with dots: 1.2.3.4");
    EXPECT_EQ(setVersionField(fields, VersionField::copyright, "caf\xE9"), "not UTF-8 text");
    fields.text[static_cast<int>(VersionField::copyright)].clear();
    const ResourceBytes info = versionInfo(fields);
    EXPECT_EQ(info[0] | info[1] << 8, static_cast<int>(info.size()));
    EXPECT_EQ(info[2] | info[3] << 8, 52);  // the fixed part's length
    const std::size_t fixedAt = 40;
    EXPECT_EQ(at32(info, fixedAt), 0xFEEF04BDu);
    EXPECT_EQ(at32(info, fixedAt + 8), 0x00020005u);   // file version taken from the product's
    EXPECT_EQ(at32(info, fixedAt + 16), 0x00020005u);  // product version 2.5.0.0
    EXPECT_EQ(at32(info, fixedAt + 36), 1u);           // an application
    EXPECT_NE(stringValue(info, u"000004b0"), u"(none)");  // the string table: neutral, UTF-16
    EXPECT_EQ(stringValue(info, u"ProductName"), u"Shop");
    EXPECT_EQ(stringValue(info, u"FileDescription"), u"Shop");
    EXPECT_EQ(stringValue(info, u"FileVersion"), u"2.5");
    EXPECT_EQ(stringValue(info, u"ProductVersion"), u"2.5");
    EXPECT_EQ(stringValue(info, u"CompanyName"), u"(none)");
    EXPECT_EQ(stringValue(info, u"LegalCopyright"), u"(none)");
}

TEST(ResourceTreeTest, WrittenTreeReadsBackInTheOrderWindowsSearches)
{
    static std::vector<ResourceBytes> data;
    const auto resource = [](ResourceKey type, ResourceKey name, uint16_t language, unsigned char fill, std::size_t size) {
        data.push_back(ResourceBytes(size, fill));
        return Resource{type, name, language, 1252, data.back().data(), static_cast<uint32_t>(size)};
    };
    data.reserve(10);
    std::vector<Resource> written = {
        resource({10, {}}, {7, {}}, 0x409, 1, 5),
        resource(named("ZTYPE"), named("B"), 0, 2, 13),
        resource({10, {}}, named("NAMED"), 0x407, 3, 1),
        resource(named("ATYPE"), {2, {}}, 0, 4, 8),
        resource({10, {}}, {7, {}}, 0x407, 5, 3),
        resource({10, {}}, {7, {}}, 0x409, 6, 2),  // the same keys as the first: this one stays
    };
    const uint32_t rva = 0x5000;
    const ResourceBytes section = writeResourceTree(written, rva);
    std::vector<Resource> read;
    ASSERT_TRUE(readResourceTree(section.data(), static_cast<uint32_t>(section.size()), rva, read));
    std::vector<std::string> order;
    for (const Resource& r : read) {
        order.push_back(nameOf(r.type) + "/" + nameOf(r.name) + "/" + std::to_string(r.language));
        EXPECT_EQ(r.codePage, 1252u);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"ATYPE/2/0", "ZTYPE/B/0", "10/NAMED/1031", "10/7/1031", "10/7/1033"}));
    EXPECT_EQ(dataOf(read[3]), ResourceBytes(3, 5));
    EXPECT_EQ(dataOf(read[4]), ResourceBytes(2, 6));
    // A section that ends inside its tree is damage.
    EXPECT_FALSE(readResourceTree(section.data(), 40, rva, read));
}

}  // namespace
