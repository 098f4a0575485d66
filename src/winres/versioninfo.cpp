// VS_VERSIONINFO: a tree of blocks, each a 16-bit length (of the block with
// its children), a 16-bit value length, a type (1: text, 0: binary), a
// NUL-ended UTF-16 key, padding to 4 bytes, the value, and the children,
// each starting at a multiple of 4.
#include "winres/versioninfo.h"

#include "core/bytes/littleendian.h"


namespace {

constexpr uint32_t fixedSignature = 0xFEEF04BD;
constexpr uint32_t fixedStructureVersion = 0x00010000;
constexpr uint32_t fileFlagsMask = 0x3F;
constexpr uint32_t osNtWindows32 = 0x00040004;
constexpr uint32_t fileTypeApplication = 1;
// Language neutral, code page 1200 (UTF-16LE).
constexpr std::string_view stringTableKey = "000004b0";
constexpr uint16_t translationLanguage = 0x0000;
constexpr uint16_t translationCodePage = 0x04B0;

void put16(ResourceBytes& out, uint32_t value)
{
    const unsigned char bytes[] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8)};
    appendBytes(out, bytes, sizeof bytes);
}

void put32(ResourceBytes& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void padTo4(ResourceBytes& out)
{
    out.resize((out.size() + 3) / 4 * 4);
}

enum class BlockType : uint16_t { binary = 0, text = 1 };

// Starts a block: the header with its lengths left 0, the key (ASCII) with
// its NUL, the padding. finishBlock fills in the length once the value and
// the children are in.
std::size_t startBlock(ResourceBytes& out, std::string_view key, BlockType type, uint16_t valueLength)
{
    padTo4(out);
    const std::size_t at = out.size();
    put16(out, 0);
    put16(out, valueLength);
    put16(out, static_cast<uint16_t>(type));
    for (char c : key)
        put16(out, static_cast<unsigned char>(c));
    put16(out, 0);
    padTo4(out);
    return at;
}

void finishBlock(ResourceBytes& out, std::size_t at)
{
    const std::size_t length = out.size() - at;
    out[at] = static_cast<unsigned char>(length);
    out[at + 1] = static_cast<unsigned char>(length >> 8);
}

// Each field's partner, whose value it takes when not given itself.
constexpr VersionField partners[] = {VersionField::count, VersionField::productName, VersionField::productVersion,
                                     VersionField::count, VersionField::fileDescription, VersionField::fileVersion};
constexpr const char* keys[] = {"CompanyName", "FileDescription", "FileVersion",
                                "LegalCopyright", "ProductName", "ProductVersion"};

} // namespace

bool VersionFields::any() const
{
    for (const ResourceBytes& field : text)
        if (!field.empty())
            return true;
    return false;
}

bool readVersionNumber(std::string_view text, uint16_t parts[4])
{
    int count = 0;
    std::size_t at = 0;
    while (count < 4) {
        uint32_t value = 0;
        std::size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
            value = value * 10 + static_cast<uint32_t>(text[at] - '0');
            if (value > 0xFFFF)
                return false;
        }
        if (digits == 0)
            return false;
        parts[count++] = static_cast<uint16_t>(value);
        if (at == text.size())
            break;
        if (text[at++] != '.')
            return false;
    }
    if (at != text.size())
        return false;
    for (int i = count; i < 4; ++i)
        parts[i] = 0;
    return true;
}

bool appendUtf16(std::string_view text, ResourceBytes& out)
{
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + static_cast<std::size_t>(length) > text.size())
            return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if ((length > 1 && code < smallest) || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000) {
            put16(out, 0xD800 + ((code - 0x10000) >> 10));
            put16(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            put16(out, code);
        }
        i += static_cast<std::size_t>(length);
    }
    return true;
}

std::string_view setVersionField(VersionFields& fields, VersionField field, std::string_view value)
{
    const bool isNumber = field == VersionField::fileVersion || field == VersionField::productVersion;
    if (isNumber && !readVersionNumber(value, fields.numbers[field == VersionField::productVersion]))
        return "a version is 1 to 4 numbers below 65536 with dots: 1.2.3.4";
    ResourceBytes& text = fields.text[static_cast<int>(field)];
    text.clear();
    if (!appendUtf16(value, text))
        return "not UTF-8 text";
    return {};
}

ResourceBytes versionInfo(const VersionFields& fields)
{
    // The fixed part: the version numbers (one taking the other's when not
    // given), no flags (not a debug, pre-release or patched build), no
    // subtype, no date.
    const bool fileGiven = !fields.text[static_cast<int>(VersionField::fileVersion)].empty();
    const bool productGiven = !fields.text[static_cast<int>(VersionField::productVersion)].empty();
    const uint16_t* file = fields.numbers[fileGiven ? 0 : 1];
    const uint16_t* product = fields.numbers[productGiven ? 1 : 0];
    const uint32_t fixed[13] = {fixedSignature,
                                fixedStructureVersion,
                                static_cast<uint32_t>(file[0]) << 16 | file[1],
                                static_cast<uint32_t>(file[2]) << 16 | file[3],
                                static_cast<uint32_t>(product[0]) << 16 | product[1],
                                static_cast<uint32_t>(product[2]) << 16 | product[3],
                                fileFlagsMask,
                                0,
                                osNtWindows32,
                                fileTypeApplication};
    ResourceBytes out;
    const std::size_t root = startBlock(out, "VS_VERSION_INFO", BlockType::binary, sizeof fixed);
    for (uint32_t field : fixed)
        put32(out, field);

    const std::size_t stringFileInfo = startBlock(out, "StringFileInfo", BlockType::text, 0);
    const std::size_t table = startBlock(out, stringTableKey, BlockType::text, 0);
    for (int i = 0; i < static_cast<int>(VersionField::count); ++i) {
        const ResourceBytes* value = &fields.text[i];
        if (value->empty() && partners[i] != VersionField::count)
            value = &fields.text[static_cast<int>(partners[i])];
        if (value->empty())
            continue;
        // A string's value length counts UTF-16 units with the NUL.
        const std::size_t at = startBlock(out, keys[i], BlockType::text, static_cast<uint16_t>(value->size() / 2 + 1));
        appendBytes(out, value->data(), value->size());
        put16(out, 0);
        finishBlock(out, at);
    }
    finishBlock(out, table);
    finishBlock(out, stringFileInfo);

    const std::size_t varFileInfo = startBlock(out, "VarFileInfo", BlockType::text, 0);
    const std::size_t translation = startBlock(out, "Translation", BlockType::binary, 4);
    put16(out, translationLanguage);
    put16(out, translationCodePage);
    finishBlock(out, translation);
    finishBlock(out, varFileInfo);
    finishBlock(out, root);
    return out;
}

void replaceVersion(std::vector<Resource>& resources, const VersionFields& fields, ResourceBytes& data)
{
    data = versionInfo(fields);
    removeResources(resources, resourceTypeVersion);
    addResource(resources, {{resourceTypeVersion, nullptr}, {1, nullptr}, languageNeutral, 0, data.data(),
                            static_cast<uint32_t>(data.size())});
}
