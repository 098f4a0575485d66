// Reading where an executable's image ends, from its PE or ELF tables. The
// file is read forward only, like every file of the program: each table is
// reached by passing over the bytes before it.
#include "core/container/image.h"

#include <algorithm>

#include "core/bytes/littleendian.h"
#include "runtime/base/iocodes.h"
#include "core/bytes/filecopy.h"

namespace {

// Forward reads with bounds: a table that lies before what was already read
// or beyond the file's end makes the layout unknown instead of failing; one
// beyond the end also marks the file as cut.
struct Reader {
    BinaryFile& file;
    int64_t size;
    int64_t position = 0;
    bool failed = false;
    bool beyondEnd = false;
    uint16_t failure = 0;  // the I/O code of a read that failed

    bool readAt(int64_t offset, void* buffer, int32_t count)
    {
        if (!failed && offset >= position && (offset > size || count > size - offset))
            beyondEnd = true;
        if (failed || offset < position || offset > size || count > size - offset) {
            failed = true;
            return false;
        }
        seekFile(file, static_cast<int32_t>(offset));
        readBlock(file, buffer, count);
        if (const uint16_t code = ioResult(); code != 0) {
            failure = code;
            failed = true;
            return false;
        }
        position = offset + count;
        return true;
    }
};

uint64_t littleEndian(const unsigned char* bytes, int count)
{
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

int64_t u16(const unsigned char* p) { return static_cast<int64_t>(littleEndian(p, 2)); }
int64_t u32(const unsigned char* p) { return static_cast<int64_t>(littleEndian(p, 4)); }
// 64-bit fields are used only below 2^62; larger values can only lie
// beyond the file and the reader refuses them.
int64_t u64(const unsigned char* p)
{
    return static_cast<int64_t>(std::min<uint64_t>(littleEndian(p, 8), uint64_t{1} << 62));
}

constexpr int32_t peSectionHeaderSize = 40;
constexpr int32_t coffSymbolSize = 18;
constexpr int64_t maxTableEntries = 65535;

// PE: DOS header -> "PE\0\0" + COFF header + optional header -> section
// table -> (COFF symbols and strings). The security directory's address is
// a file offset, not a virtual address.
ImageLayout readPeLayout(Reader& in, const unsigned char* dos)
{
    ImageLayout layout;
    const int64_t peAt = u32(dos + 0x3C);
    unsigned char pe[24 + 240] = {};
    if (!in.readAt(peAt, pe, 24) || pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
        return layout;
    const int64_t sections = u16(pe + 6);
    const int64_t symbolsAt = u32(pe + 12);
    const int64_t symbols = u32(pe + 16);
    const int32_t optionalSize = static_cast<int32_t>(u16(pe + 20));
    const int32_t optionalRead = std::min<int32_t>(optionalSize, 240);
    if (!in.readAt(peAt + 24, pe + 24, optionalRead))
        return layout;
    const unsigned char* optional = pe + 24;
    const int64_t magic = u16(optional);
    const int32_t directories = magic == 0x20B ? 112 : magic == 0x10B ? 96 : -1;
    if (directories < 0)
        return layout;
    const int32_t securityAt = directories + 4 * 8;
    constexpr int32_t checksumAt = 64;
    if (u32(optional + directories - 4) > 4 && securityAt + 8 <= optionalRead) {
        layout.certificateOffset = u32(optional + securityAt);
        layout.certificateSize = u32(optional + securityAt + 4);
        layout.securityEntryAt = peAt + 24 + securityAt;
        layout.checksumAt = peAt + 24 + checksumAt;
    }

    int64_t end = peAt + 24 + optionalSize + sections * peSectionHeaderSize;
    int64_t at = peAt + 24 + optionalSize;
    for (int64_t i = 0; i < sections; ++i, at += peSectionHeaderSize) {
        unsigned char section[peSectionHeaderSize];
        if (!in.readAt(at, section, sizeof section))
            return layout;
        const int64_t rawSize = u32(section + 16);
        if (rawSize != 0)
            end = std::max(end, u32(section + 20) + rawSize);
    }
    // An unstripped build keeps the COFF symbol table, followed by its
    // string table (which starts with its own length), after the sections.
    if (symbolsAt != 0) {
        const int64_t stringsAt = symbolsAt + symbols * coffSymbolSize;
        unsigned char length[4];
        if (!in.readAt(stringsAt, length, sizeof length))
            return layout;
        end = std::max(end, stringsAt + std::max<int64_t>(u32(length), 4));
    }
    layout.known = true;
    layout.sectionsEnd = end;
    layout.end = end;
    if (layout.certificateSize != 0 && layout.certificateOffset >= end)
        layout.end = layout.certificateOffset + layout.certificateSize;
    return layout;
}

// ELF (little-endian, 32 or 64 bit): the section header table and every
// section that occupies bytes of the file.
ImageLayout readElfLayout(Reader& in, const unsigned char* ident)
{
    ImageLayout layout;
    const bool is64 = ident[4] == 2;
    if ((ident[4] != 1 && !is64) || ident[5] != 1)
        return layout;
    const int64_t tableAt = is64 ? u64(ident + 0x28) : u32(ident + 0x20);
    const int64_t entrySize = u16(ident + (is64 ? 0x3A : 0x2E));
    const int64_t entries = u16(ident + (is64 ? 0x3C : 0x30));
    const int32_t needed = is64 ? 40 : 24;
    if (tableAt == 0 || entries == 0 || entries > maxTableEntries || entrySize < needed)
        return layout;

    int64_t end = tableAt + entries * entrySize;
    for (int64_t i = 0; i < entries; ++i) {
        unsigned char section[40];
        if (!in.readAt(tableAt + i * entrySize, section, needed))
            return layout;
        constexpr int64_t noBits = 8;  // SHT_NOBITS: occupies no file bytes
        if (u32(section + 4) == noBits)
            continue;
        const int64_t offset = is64 ? u64(section + 24) : u32(section + 16);
        const int64_t size = is64 ? u64(section + 32) : u32(section + 20);
        end = std::max(end, offset + size);
    }
    layout.known = true;
    layout.sectionsEnd = end;
    layout.end = end;
    return layout;
}

} // namespace

uint16_t readImageLayout(BinaryFile& file, ImageLayout& layout, bool peOnly, int32_t length)
{
    int32_t size = fileSize(file);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    if (length >= 0 && length < size)
        size = length;
    Reader in{file, size};
    // The first bytes say which format the file claims; one that claims a
    // format but ends inside its first header is cut, any other short file
    // is no executable at all.
    unsigned char start[64] = {};
    const int32_t startCount = std::min<int32_t>(size, sizeof start);
    in.readAt(0, start, startCount);
    const bool pe = startCount >= 2 && start[0] == 'M' && start[1] == 'Z';
    const bool elf = !peOnly && startCount >= 4 && start[0] == 0x7F && start[1] == 'E' && start[2] == 'L' &&
                     start[3] == 'F';
    layout = ImageLayout{};
    if (startCount < static_cast<int32_t>(sizeof start))
        in.beyondEnd = pe || elf;
    else if (pe)
        layout = readPeLayout(in, start);
    else if (elf)
        layout = readElfLayout(in, start);
    layout.fileSize = size;
    // Sections whose bytes run past the end count as much as tables there.
    layout.cut = in.beyondEnd || (layout.known && layout.sectionsEnd > size);
    return in.failure;
}

uint16_t readImageLayoutOf(std::string_view path, ImageLayout& layout, bool peOnly, int32_t length)
{
    BinaryFile file;
    assignFile(file, path);
    openFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    return closeFileAfter(file, readImageLayout(file, layout, peOnly, length));
}

bool endsWithCertificateTable(const ImageLayout& layout)
{
    return layout.known && layout.certificateSize != 0 && layout.certificateOffset >= layout.sectionsEnd &&
           layout.certificateOffset + layout.certificateSize == layout.fileSize;
}

ImageFit imageFit(const ImageLayout& layout)
{
    if (layout.cut)
        return ImageFit::cut;
    if (!layout.known)
        return ImageFit::unknown;
    // A signed file whose table was cut off (a download cut short) names a
    // table beyond its end: what it still has after the image counts.
    if (endsWithCertificateTable(layout))
        return layout.certificateOffset > layout.sectionsEnd + maxSigningPadding ? ImageFit::longer
                                                                                 : ImageFit::whole;
    return layout.fileSize > layout.sectionsEnd ? ImageFit::longer : ImageFit::whole;
}

ImageFit imageFitOf(std::string_view path)
{
    ImageLayout layout;
    if (readImageLayoutOf(path, layout) != 0)
        return ImageFit::unknown;
    return imageFit(layout);
}

bool hasBytesAfterImage(std::string_view path)
{
    return imageFitOf(path) == ImageFit::longer;
}

namespace {

// One byte of the PE checksum's sum: 16-bit little-endian words added with
// end-around carry, the sum kept below 2^17.
uint32_t addChecksumByte(uint32_t sum, int64_t at, uint32_t byte)
{
    sum += (at & 1) != 0 ? byte << 8 : byte;
    return (sum & 0xFFFF) + (sum >> 16);
}

uint32_t finishChecksum(uint32_t sum, int64_t length)
{
    return (((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF) + static_cast<uint32_t>(length);
}

struct UnsignedImage {
    int32_t length;     // bytes written: the padding's zero bytes left out
    uint32_t checksum;  // the PE checksum of those bytes
};

// One pass over the first end bytes of the file at path, with the checksum
// field and the security directory entry taken as zero: the PE checksum
// (16-bit little-endian words added with end-around carry, plus the length)
// and the length less the zero bytes among the last `padding`. Zero bytes
// add nothing to the sum, so the length can be settled after it.
uint16_t measureUnsignedImage(std::string_view path, const ImageLayout& layout, int32_t end, int32_t padding,
                              UnsignedImage& image)
{
    BinaryFile file;
    assignFile(file, path);
    openFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    uint32_t sum = 0;
    int32_t lastNonZeroEnd = 0;
    unsigned char buffer[4096];
    uint16_t code = 0;
    for (int32_t at = 0; at < end;) {
        const int32_t count = std::min<int32_t>(sizeof buffer, end - at);
        readBlock(file, buffer, count);
        if ((code = ioResult()) != 0)
            break;
        for (int32_t i = 0; i < count; ++i) {
            const int64_t p = at + i;
            const bool cleared = (p >= layout.checksumAt && p < layout.checksumAt + 4) ||
                                 (p >= layout.securityEntryAt && p < layout.securityEntryAt + 8);
            const uint32_t byte = cleared ? 0 : buffer[i];
            if (byte == 0)
                continue;
            sum = addChecksumByte(sum, p, byte);
            lastNonZeroEnd = static_cast<int32_t>(p + 1);
        }
        at += count;
    }
    if ((code = closeFileAfter(file, code)) != 0)
        return code;
    const int32_t length = std::max(end - padding, lastNonZeroEnd);
    image = {length, finishChecksum(sum, length)};
    return 0;
}

uint16_t writeLittleEndian32(BinaryFile& destination, uint32_t value)
{
    unsigned char bytes[4];
    storeLittleEndian32(bytes, value);
    writeBlock(destination, bytes, 4);
    return ioResult();
}

} // namespace

uint32_t peChecksum(const unsigned char* bytes, int64_t size, int64_t checksumAt)
{
    uint32_t sum = 0;
    for (int64_t p = 0; p < size; ++p)
        if (bytes[p] != 0 && (p < checksumAt || p >= checksumAt + 4))
            sum = addChecksumByte(sum, p, bytes[p]);
    return finishChecksum(sum, size);
}

uint16_t copyImageUnsigned(BinaryFile& source, BinaryFile& destination, int32_t n, const ImageLayout& layout,
                           std::string_view path)
{
    const bool namesTable = layout.certificateOffset != 0 || layout.certificateSize != 0;
    const int64_t fieldsEnd = layout.securityEntryAt + 8;
    if (!layout.known || layout.securityEntryAt == 0 || !namesTable || fieldsEnd > n)
        return copyFileToFile(source, destination, n);
    const int64_t tableAt = layout.certificateOffset;
    const int64_t imageEnd = std::max(layout.sectionsEnd, fieldsEnd);
    const bool tableEndsHere =
        layout.certificateSize != 0 && tableAt >= imageEnd && tableAt + layout.certificateSize == n;
    // Up to 7 zero bytes after the image are the padding signing added.
    const int32_t end = tableEndsHere ? static_cast<int32_t>(tableAt) : n;
    const int32_t padding = tableEndsHere ? static_cast<int32_t>(std::min<int64_t>(maxSigningPadding, tableAt - imageEnd)) : 0;
    UnsignedImage image;
    if (const uint16_t code = measureUnsignedImage(path, layout, end, padding, image); code != 0)
        return code;

    // The copy in steps: bytes passed on, bytes passed over, a 32-bit value
    // written in place of those passed over.
    const int32_t checksumAt = static_cast<int32_t>(layout.checksumAt);
    const int32_t entryAt = static_cast<int32_t>(layout.securityEntryAt);
    const struct {
        int32_t copied;
        int32_t skipped;
        int32_t words;
        uint32_t value;
    } steps[] = {
        {checksumAt, 4, 1, image.checksum},
        {entryAt - checksumAt - 4, 8, 2, 0},
        {image.length - entryAt - 8, n - image.length, 0, 0},
    };
    for (const auto& step : steps) {
        uint16_t code = copyFileToFile(source, destination, step.copied);
        if (code == 0)
            code = skipFile(source, step.skipped);
        for (int32_t i = 0; code == 0 && i < step.words; ++i)
            code = writeLittleEndian32(destination, step.value);
        if (code != 0)
            return code;
    }
    return 0;
}