// Helpers shared by the tests of the container records, the transfer
// routines and the gzip stream layer: a fresh scratch directory per test,
// whole-file reads and writes that bypass the system's own file layer,
// deterministic test data and an independent reference gzip member built
// with direct zlib calls.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "runtime/failure.h"
#include "runtime/files.h"

namespace coretest {

using Bytes = std::vector<unsigned char>;

inline std::string fileText(const std::filesystem::path& p)
{
    return p.string();
}

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("zopcore-" + std::string(info->name()) + "-" + std::to_string(++serial) + "-" +
                std::to_string(std::random_device{}() % 1000000));
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ASSERT_TRUE(std::filesystem::create_directories(dir_, ec)) << ec.message();
        savedOpenMode_ = fileOpenMode;
        fileOpenMode = 0;  // as after start-up: existing files open read-only
        ioResult();
    }

    void TearDown() override
    {
        EXPECT_EQ(ioResult(), 0) << "an I/O failure was left pending";
        fileOpenMode = savedOpenMode_;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return fileText(dir_ / name); }

    std::filesystem::path dir_;
    uint8_t savedOpenMode_ = 0;
};

inline void writeFileBytes(const std::string& path, const Bytes& data)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!data.empty()) {
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    }
    std::fclose(f);
}

inline Bytes readFileBytes(const std::string& path)
{
    Bytes data;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return data;
    unsigned char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    std::fclose(f);
    return data;
}

// Text-like runs mixed with pseudo-random runs, so that deflate produces
// both literal-heavy and match-heavy blocks.
inline Bytes mixedData(std::size_t size, uint32_t seed = 1)
{
    static const char words[] = "container entry stream header trailer block deflate inflate ";
    Bytes data(size);
    uint32_t x = seed * 2654435761u + 1;
    std::size_t i = 0;
    while (i < size) {
        x = x * 1664525u + 1013904223u;
        const std::size_t run = 64 + (x >> 20) % 2000;
        const bool text = (x >> 8) % 3 != 0;
        for (std::size_t j = 0; j < run && i < size; ++j, ++i) {
            x = x * 1664525u + 1013904223u;
            data[i] = text ? static_cast<unsigned char>(words[(i + (x >> 28)) % (sizeof words - 1)])
                           : static_cast<unsigned char>(x >> 24);
        }
    }
    return data;
}

inline void appendLittleEndian32(Bytes& out, uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>(v >> shift));
}

// Raw deflate of data in one piece with the given parameters.
inline Bytes rawDeflate(const Bytes& data, int level = Z_DEFAULT_COMPRESSION, int strategy = Z_DEFAULT_STRATEGY)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The member the layer must write for data: fixed header, raw deflate,
// CRC-32 and length.
inline Bytes referenceMember(const Bytes& data, int level = Z_DEFAULT_COMPRESSION,
                             int strategy = Z_DEFAULT_STRATEGY)
{
    Bytes member = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0};
    const Bytes raw = rawDeflate(data, level, strategy);
    member.insert(member.end(), raw.begin(), raw.end());
    appendLittleEndian32(member, static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
    appendLittleEndian32(member, static_cast<uint32_t>(data.size()));
    return member;
}

// The member the layer writes: the data cut into blocks of blockSize, each
// deflated on its own with the 32 KiB before it as its dictionary, ending on
// a byte boundary (sync flush), the last one finishing the deflate data.
// Built here with direct zlib calls, block by block, as a reader would
// check the format; for data of at most one block it is referenceMember.
inline Bytes blockMember(const Bytes& data, int level = Z_DEFAULT_COMPRESSION,
                         int strategy = Z_DEFAULT_STRATEGY, std::size_t blockSize = 128 * 1024)
{
    Bytes member = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0};
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(blockSize, data.size() - at);
        const bool last = at + n == data.size();
        z_stream z{};
        EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
        if (at > 0) {
            const std::size_t dictionary = std::min<std::size_t>(at, 32768);
            EXPECT_EQ(deflateSetDictionary(&z, data.data() + at - dictionary, static_cast<uInt>(dictionary)), Z_OK);
        }
        Bytes out(deflateBound(&z, static_cast<uLong>(n)) + 64);
        z.next_in = const_cast<Bytef*>(data.data() + at);
        z.avail_in = static_cast<uInt>(n);
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
        member.insert(member.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(z.total_out));
        deflateEnd(&z);
        at += n;
    } while (at < data.size());
    appendLittleEndian32(member, static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
    appendLittleEndian32(member, static_cast<uint32_t>(data.size()));
    return member;
}

} // namespace coretest
