// Room core/container: the container records and the trailer's records and
// seal, the image layout of an executable. May include: core/gzip,
// core/bytes, core/paths, runtime (docs/architecture.md).
//
// The container records: one `header` per entry of the entry stream and the
// 520-byte `tail` at the very end of a packed executable. Integers are 32-bit
// little-endian; short-text fields are a length byte and a fixed capacity.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

struct BinaryFile;
struct ImageLayout;

template <std::size_t Capacity>
struct ShortField {
    uint8_t length;
    char bytes[Capacity];

    std::string_view view() const { return {bytes, length}; }
    // Writes the length byte and the text bytes only; the filler after them
    // keeps what it held.
    void assign(std::string_view s)
    {
        length = static_cast<uint8_t>(s.size() < Capacity ? s.size() : Capacity);
        std::memcpy(bytes, s.data(), length);
    }
};

#pragma pack(push, 1)
struct header {
    ShortField<1> kind;
    ShortField<255> text;
    uint8_t gap[2];
    int32_t dataLength;
};

struct tail {
    ShortField<255> stubName;
    int32_t gzLength;
    ShortField<255> signature;
    int32_t entryCount;
};
#pragma pack(pop)

static_assert(sizeof(header) == 264, "header record is 264 bytes");
static_assert(sizeof(tail) == 520, "tail record is 520 bytes");

constexpr int32_t headerSize = 264;
constexpr int32_t tailSize = 520;

constexpr std::string_view recognitionString =
    "ZOP: Dit is mijn herkennigsstring voor het herkennen van pakin of pakuit mode.";
static_assert(recognitionString.size() == 78);

// True when the trailer's signature equals the recognition string as a short
// text (length and bytes); the filler plays no part.
bool isPackedTrailer(const tail& t);

// Reads the trailer of the executable at path into t and sets end to where
// the container ends (the byte after the trailer); returns 0, or the I/O
// code of the first file operation that failed. That is
// the end of the file, unless the file was signed after it was written (a
// certificate table after its PE image ends the file): then it is where the
// table starts, less the zero bytes of padding that signing put before it
// (as many as leave a recognised trailer in front of them; for a file
// without one, all zero bytes after the image, up to 7).
[[nodiscard]] uint16_t readTrailer(std::string_view path, tail& t, int32_t& end);
// The same from a file open for reading whose layout (readImageLayout of
// that file) is given; the file stays open.
[[nodiscard]] uint16_t readTrailerFrom(BinaryFile& file, const ImageLayout& layout, tail& t, int32_t& end);

// The signature's filler (trailer offsets 339 to 515) carries the packer's
// own records; readers that do not know them never look there.
//
//   339  "CRC1" and the CRC-32 of the gzLength stored bytes, little-endian
//        (older packers wrote only this).
//   347  tagged records, back to back: a 4-byte tag, a size byte, that many
//        payload bytes. A tag that starts with a zero byte, or a record that
//        would not fit, ends the list.
//
// The packer's last record, "TRL1", seals the trailer: the CRC-32 of all 520
// trailer bytes with its own payload taken as zeros, so that a changed
// stubName, gzLength, entryCount or record is damage before any entry is
// read.
constexpr std::size_t trailerRecordsAt = 347;
constexpr std::size_t trailerTagSize = 4;

// Stores the stream's CRC-32 at offset 339.
void storeStreamCrc(tail& t, uint32_t crc);
// True, with the stored CRC-32, when the trailer carries the marker; a
// trailer without it (older output, other writers) is read as before.
bool storedStreamCrc(const tail& t, uint32_t& crc);

// The records a packer may add before the seal: the recipe's "o cache"
// (no payload), and the SHA-256 of the gzLength stored bytes (32 bytes),
// which names the unpacked tree in the cache.
constexpr std::string_view cacheOptionTag = "CACH";
constexpr std::string_view streamKeyTag = "SHA2";

// Appends a record after the last one; false (t unchanged) when it does not
// fit. Needs: a tag of 4 non-zero-led bytes, a payload of at most 255 bytes.
bool addTrailerRecord(tail& t, std::string_view tag, std::string_view payload);
// The payload of the first record with that tag; false when there is none.
bool findTrailerRecord(const tail& t, std::string_view tag, std::string_view& payload);

// Appends the seal; every other record must be in place before it.
void sealTrailer(tail& t);
enum class TrailerSeal { absent, intact, broken };
// Whether the trailer carries a seal, and whether its bytes still match it.
TrailerSeal trailerSeal(const tail& t);
