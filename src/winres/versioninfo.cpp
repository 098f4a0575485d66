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
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void put32(ResourceBytes& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void padTo4(ResourceBytes& out)
{
    while (out.size() % 4 != 0)
        out.push_back(0);
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

// A string: its value length counts UTF-16 units with the NUL.
void putString(ResourceBytes& out, std::string_view key, std::string_view utf8)
{
    const std::size_t at = startBlock(out, key, BlockType::text, 0);
    const std::size_t valueAt = out.size();
    appendUtf16(utf8, out);
    put16(out, 0);
    const std::size_t units = (out.size() - valueAt) / 2;
    out[at + 2] = static_cast<unsigned char>(units);
    out[at + 3] = static_cast<unsigned char>(units >> 8);
    finishBlock(out, at);
}

std::string_view either(std::string_view value, std::string_view otherwise)
{
    return value.empty() ? otherwise : value;
}

void putVersionNumber(ResourceBytes& out, std::string_view text)
{
    uint16_t parts[4] = {};
    readVersionNumber(text, parts);
    put32(out, static_cast<uint32_t>(parts[0]) << 16 | parts[1]);
    put32(out, static_cast<uint32_t>(parts[2]) << 16 | parts[3]);
}

} // namespace

bool VersionFields::any() const
{
    return !productName.empty() || !companyName.empty() || !fileDescription.empty() || !fileVersion.empty() ||
           !productVersion.empty() || !copyright.empty();
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
        static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
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

ResourceBytes versionInfo(const VersionFields& fields)
{
    const std::string_view noVersion = "0.0.0.0";
    const std::string_view fileVersion = either(fields.fileVersion, either(fields.productVersion, noVersion));
    const std::string_view productVersion = either(fields.productVersion, either(fields.fileVersion, noVersion));
    const bool versionGiven = !fields.fileVersion.empty() || !fields.productVersion.empty();

    constexpr uint16_t fixedSize = 52;
    ResourceBytes out;
    const std::size_t root = startBlock(out, "VS_VERSION_INFO", BlockType::binary, fixedSize);
    put32(out, fixedSignature);
    put32(out, fixedStructureVersion);
    putVersionNumber(out, fileVersion);
    putVersionNumber(out, productVersion);
    put32(out, fileFlagsMask);
    put32(out, 0);  // no flags: not a debug, pre-release or patched build
    put32(out, osNtWindows32);
    put32(out, fileTypeApplication);
    put32(out, 0);  // subtype
    put32(out, 0);  // date, high
    put32(out, 0);  // date, low

    const std::size_t stringFileInfo = startBlock(out, "StringFileInfo", BlockType::text, 0);
    const std::size_t table = startBlock(out, stringTableKey, BlockType::text, 0);
    const std::string_view strings[][2] = {
        {"CompanyName", fields.companyName},
        {"FileDescription", either(fields.fileDescription, fields.productName)},
        {"FileVersion", versionGiven ? fileVersion : std::string_view()},
        {"LegalCopyright", fields.copyright},
        {"ProductName", either(fields.productName, fields.fileDescription)},
        {"ProductVersion", versionGiven ? productVersion : std::string_view()},
    };
    for (const auto& [key, value] : strings)
        if (!value.empty())
            putString(out, key, value);
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

void replaceVersion(std::vector<Resource>& resources, const VersionFields& fields)
{
    removeResources(resources, ResourceKey{resourceTypeVersion, {}});
    resources.push_back({ResourceKey{resourceTypeVersion, {}}, ResourceKey{1, {}}, languageNeutral, 0,
                         versionInfo(fields)});
}
