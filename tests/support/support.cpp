#include "support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace testsupport {

std::string readFile(const std::string& path)
{
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    char block[65536];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, f)) > 0;)
        bytes.append(block, got);
    std::fclose(f);
    return bytes;
}

bool exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

void writeFile(const std::string& path, std::string_view bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot create " << path;
        return;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written)
        ADD_FAILURE() << "cannot write " << path;
}

void fillMixedBytes(unsigned char* out, std::size_t size, uint32_t seed, unsigned noisePercent)
{
    static const char words[] = "container entry stream header trailer block deflate inflate ";
    uint32_t x = seed * 2654435761u + 1;
    std::size_t i = 0;
    while (i < size) {
        x = x * 1664525u + 1013904223u;
        const std::size_t run = 64 + (x >> 20) % 2000;
        const bool noise = (x >> 8) % 100 < noisePercent;
        for (std::size_t j = 0; j < run && i < size; ++j, ++i) {
            x = x * 1664525u + 1013904223u;
            out[i] = noise ? static_cast<unsigned char>(x >> 24)
                           : static_cast<unsigned char>(words[(i + (x >> 28)) % (sizeof words - 1)]);
        }
    }
}

std::string gzipMember(std::string_view data, int level, int strategy, std::size_t blockSize,
                       std::size_t segmentSize, std::vector<std::size_t>* segmentStarts)
{
    std::string member("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x00", 10);
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(blockSize, data.size() - at);
        const bool last = at + n == data.size();
        z_stream z{};
        if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
            ADD_FAILURE() << "deflateInit2 failed";
            return member;
        }
        if (at % segmentSize == 0) {
            if (segmentStarts != nullptr)
                segmentStarts->push_back(member.size());
        } else {
            const std::size_t dictionary = std::min<std::size_t>(at, 32768);
            EXPECT_EQ(deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(data.data() + at - dictionary),
                                           static_cast<uInt>(dictionary)),
                      Z_OK);
        }
        std::string raw(deflateBound(&z, static_cast<uLong>(n)) + 64, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
        z.avail_in = static_cast<uInt>(n);
        z.next_out = reinterpret_cast<Bytef*>(raw.data());
        z.avail_out = static_cast<uInt>(raw.size());
        EXPECT_EQ(deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
        raw.resize(z.total_out);
        deflateEnd(&z);
        member += raw;
        at += n;
    } while (at < data.size());
    appendLittleEndian32(member, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                                             static_cast<uInt>(data.size()))));
    appendLittleEndian32(member, static_cast<uint32_t>(data.size()));
    return member;
}

std::string packerStream(std::string_view data)
{
    std::vector<std::size_t> starts;
    std::string stream = gzipMember(data, Z_DEFAULT_COMPRESSION, Z_DEFAULT_STRATEGY, packerBlockSize,
                                    packerSegmentSize, &starts);
    if (starts.size() < 2)
        return stream;
    const std::size_t indexAt = stream.size();
    appendLittleEndian32(stream, static_cast<uint32_t>(packerSegmentSize));
    appendLittleEndian32(stream, static_cast<uint32_t>(starts.size()));
    for (const std::size_t start : starts) {
        appendLittleEndian32(stream, static_cast<uint32_t>(start));
        appendLittleEndian32(stream, 0);
    }
    appendLittleEndian32(stream, static_cast<uint32_t>(stream.size() - indexAt + 12));
    stream += "zopsegix";
    return stream;
}

std::string_view memberOfStream(std::string_view stream)
{
    if (stream.size() < 12 || stream.substr(stream.size() - 8) != "zopsegix")
        return stream;
    std::size_t indexLength = 0;
    for (int i = 3; i >= 0; --i)
        indexLength = indexLength << 8 | static_cast<unsigned char>(stream[stream.size() - 12 + static_cast<std::size_t>(i)]);
    if (indexLength > stream.size()) {
        ADD_FAILURE() << "a segment index of " << indexLength << " bytes in a stream of " << stream.size();
        return stream;
    }
    return stream.substr(0, stream.size() - indexLength);
}

namespace {

std::string iconEntry(uint8_t size, uint16_t bitCount, std::size_t byteCount)
{
    std::string entry{static_cast<char>(size), static_cast<char>(size), 0, 0, 1, 0};
    entry.push_back(static_cast<char>(bitCount));
    entry.push_back(static_cast<char>(bitCount >> 8));
    appendLittleEndian32(entry, static_cast<uint32_t>(byteCount));
    return entry;
}

uint32_t loadLittleEndian(std::string_view bytes, std::size_t at, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

} // namespace

IcoImage bitmapIconImage(uint8_t size, uint32_t seed)
{
    std::string data;
    for (uint32_t field : {40u, uint32_t{size}, 2u * size})  // header size, width, height of XOR + AND
        appendLittleEndian32(data, field);
    data += std::string{1, 0, 32, 0};                          // planes, bit count
    data += std::string(24, '\0');                             // no compression, sizes and colours unset
    data += mixedBytes(std::size_t{size} * size * 4, seed, 100);
    data += std::string(std::size_t{size} * ((size + 31) / 32 * 4), '\0');
    return {iconEntry(size, 32, data.size()), data};
}

IcoImage pngIconImage(uint8_t size, uint32_t seed)
{
    std::string data = "\x89PNG\r\n\x1A\n" + mixedBytes(300, seed, 100);
    return {iconEntry(size, 32, data.size()), data};
}

std::string icoFile(const std::vector<IcoImage>& images)
{
    std::string file{0, 0, 1, 0, static_cast<char>(images.size()), 0};
    std::size_t offset = 6 + 16 * images.size();
    for (const IcoImage& image : images) {
        file += image.entry;
        appendLittleEndian32(file, static_cast<uint32_t>(offset));
        offset += image.data.size();
    }
    for (const IcoImage& image : images)
        file += image.data;
    return file;
}

std::vector<IcoImage> readIcoFile(std::string_view file)
{
    std::vector<IcoImage> images;
    if (file.size() < 6 || loadLittleEndian(file, 2, 2) != 1)
        return images;
    const std::size_t count = loadLittleEndian(file, 4, 2);
    for (std::size_t i = 0; i < count && 6 + 16 * (i + 1) <= file.size(); ++i) {
        const std::size_t at = 6 + 16 * i;
        const std::size_t size = loadLittleEndian(file, at + 8, 4);
        const std::size_t offset = loadLittleEndian(file, at + 12, 4);
        if (offset > file.size() || size > file.size() - offset)
            return {};
        images.push_back({std::string(file.substr(at, 12)), std::string(file.substr(offset, size))});
    }
    return images;
}

} // namespace testsupport
