// What the unit and end-to-end tests share: whole-file reads and writes that
// bypass zop's own file layer, deterministic test data, and a reference gzip
// member built with direct zlib calls. The scratch-directory fixture of the
// unit tests is in scratch.h, starting programs (POSIX) in process_posix.h.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// The byte vectors of the tests that work with zop's own buffers.
using Bytes = std::vector<unsigned char>;

inline std::string_view asText(const Bytes& bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);
template <typename Out>
Out readFile(const std::string& path)
{
    const std::string bytes = readFile(path);
    return Out(bytes.begin(), bytes.end());
}
// True when something (a file, a directory, a link, even a dangling one)
// has that name.
bool exists(const std::string& path);
// Creates or truncates the file and writes bytes into it; a failure fails
// the test.
void writeFile(const std::string& path, std::string_view bytes);
inline void writeFile(const std::string& path, const Bytes& bytes) { writeFile(path, asText(bytes)); }

// Deterministic test bytes, the same for a given size and seed on every
// platform: runs of 64 to 2,063 bytes, each either text-like (words, which
// deflate shrinks well) or pseudo-random noise (which it cannot shrink).
// noisePercent is the share of noise runs: 100 gives bytes that deflate
// cannot shrink at all.
void fillMixedBytes(unsigned char* out, std::size_t size, uint32_t seed, unsigned noisePercent);
template <typename Out = std::string>
Out mixedBytes(std::size_t size, uint32_t seed = 1, unsigned noisePercent = 33)
{
    Out bytes(size, 0);
    fillMixedBytes(reinterpret_cast<unsigned char*>(bytes.data()), size, seed, noisePercent);
    return bytes;
}

// Appends v to out, least significant byte first (gzip's trailer fields).
template <typename Out>
void appendLittleEndian32(Out& out, uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<typename Out::value_type>(v >> shift));
}

// One gzip member with the fixed 10-byte header (no name, no time, OS byte
// 0), raw deflate (window bits -15, memory level 8) at the given level and
// strategy, CRC-32 and length. The deflate data is cut into blocks of
// blockSize, each deflated on its own with the 32 KiB before it as its
// dictionary and ending on a byte boundary (sync flush), the last one
// finishing the data: zop's packer writes its member so with 128 KiB blocks.
// The default block size makes it one deflate call over the whole data.
// Every segmentSize bytes a block starts without a dictionary; where each
// segment's compressed bytes start (from the member's first byte) goes to
// segmentStarts when given.
constexpr std::size_t wholeData = ~std::size_t{0};
constexpr std::size_t packerBlockSize = 128 * 1024;
constexpr std::size_t packerSegmentSize = 1024 * 1024;
std::string gzipMember(std::string_view data, int level = Z_DEFAULT_COMPRESSION, int strategy = Z_DEFAULT_STRATEGY,
                       std::size_t blockSize = wholeData, std::size_t segmentSize = wholeData,
                       std::vector<std::size_t>* segmentStarts = nullptr);
// The stream as the packer writes it: the member in blocks and segments,
// and after it, when it holds two segments or more, the segment index
// (segment size, count, 64-bit starts, its own length, "zopsegix").
std::string packerStream(std::string_view data);
// The member of a stream: without the segment index, when it has one.
std::string_view memberOfStream(std::string_view stream);
inline Bytes gzipMember(const Bytes& data, int level = Z_DEFAULT_COMPRESSION, int strategy = Z_DEFAULT_STRATEGY,
                        std::size_t blockSize = wholeData)
{
    const std::string member = gzipMember(asText(data), level, strategy, blockSize);
    return Bytes(member.begin(), member.end());
}
// The stream as the packer writes it (packerStream), as the data's type.
template <typename Data>
Data blockMember(const Data& data)
{
    const std::string stream = packerStream(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    return Data(stream.begin(), stream.end());
}

// .ico files, made in the test: an image is its 12 directory bytes (width,
// height, colours, reserved, planes, bit count, byte count) and its data.
struct IcoImage {
    std::string entry;
    std::string data;
    bool operator==(const IcoImage&) const = default;
};
// A square 32-bit bitmap image (header, pixels from seed, AND mask) and an
// image that starts like a PNG file (the signature, then bytes from seed:
// nothing in zop or the tests decodes it).
IcoImage bitmapIconImage(uint8_t size, uint32_t seed);
IcoImage pngIconImage(uint8_t size, uint32_t seed);
// The .ico file of the images (data back to back after the directory), and
// the images read back from one (empty when it is no readable .ico file).
std::string icoFile(const std::vector<IcoImage>& images);
std::vector<IcoImage> readIcoFile(std::string_view file);

} // namespace testsupport
