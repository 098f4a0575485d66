#include "core/gzip/gzstream.h"

#include <gtest/gtest.h>
#include <string>
#include <zlib.h>

#include "core/gzip/gzparallel.h"
#include "runtime/base/iocodes.h"
#include "support/scratch.h"

using namespace testsupport;

namespace {

class GzStreamTest : public ScratchDirTest {
protected:
    // Writes data through the layer in pieces of the given sizes (the last
    // size repeats until everything is written).
    Bytes writeThroughLayer(const Bytes& data, std::vector<std::size_t> pieces, std::string_view mode = "w")
    {
        const std::string p = path("out.gz");
        GzStream* s = openGz(p, mode);
        EXPECT_NE(s, nullptr);
        std::size_t at = 0, k = 0;
        while (at < data.size()) {
            const std::size_t n = std::min(pieces[std::min(k++, pieces.size() - 1)], data.size() - at);
            EXPECT_EQ(writeGz(s, data.data() + at, static_cast<int32_t>(n)), static_cast<int32_t>(n));
            at += n;
        }
        EXPECT_EQ(closeGz(s), gzOk);
        return readFile<Bytes>(p);
    }

    // Reads everything the stream delivers in pieces of `piece` bytes, up to
    // the first result that is not positive, which is returned in `last`.
    Bytes readAll(GzStream* s, int32_t piece, int32_t& last)
    {
        Bytes out;
        Bytes block(piece);
        while ((last = readGz(s, block.data(), piece)) > 0)
            out.insert(out.end(), block.begin(), block.begin() + last);
        return out;
    }

    GzStream* openFileWith(const Bytes& content)
    {
        writeFile(path("in.gz"), content);
        return openGz(path("in.gz"), "r");
    }
};

const Bytes emptyMember = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};

} // namespace

// ---------------------------------------------------------------- writing

TEST_F(GzStreamTest, NoBytesWrittenGivesTheTwentyByteMember)
{
    EXPECT_EQ(writeThroughLayer({}, {1}), emptyMember);
}

TEST_F(GzStreamTest, WrittenBytesEqualDirectZlibWhateverTheWriteSizes)
{
    // A 264-byte header followed by 250000 bytes of content in 100000-byte
    // blocks, as the packer writes them, against one call and against zlib
    // deflating the same 128 KiB blocks.
    const Bytes data = mixedBytes<Bytes>(264 + 250000);
    const Bytes expected = blockMember(data);
    const Bytes inBlocks = writeThroughLayer(data, {264, 100000});
    ASSERT_GT(inBlocks.size(), 16384u * 2) << "the output buffer must have been flushed";
    EXPECT_EQ(inBlocks, expected);
    EXPECT_EQ(writeThroughLayer(data, {data.size()}), expected);
    EXPECT_EQ(writeThroughLayer(data, {1, 7, 16384, 333}), expected);
}

TEST_F(GzStreamTest, IncompressibleDataStaysByteExact)
{
    Bytes data(200000);
    uint32_t x = 7;
    for (auto& b : data)
        b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 23);
    EXPECT_EQ(writeThroughLayer(data, {100000}), blockMember(data));
}

TEST_F(GzStreamTest, ModeCharactersChooseDirectionLevelAndStrategy)
{
    const Bytes data = mixedBytes<Bytes>(50000, 3);
    EXPECT_EQ(writeThroughLayer(data, {50000}, "w9"), gzipMember(data, 9));
    EXPECT_EQ(writeThroughLayer(data, {50000}, "w91"), gzipMember(data, 1));  // later digit wins
    // Level 0 stores: the block boundaries follow the output buffer, so only
    // the size and the content are compared.
    const Bytes stored = writeThroughLayer(data, {50000}, "w0");
    EXPECT_GT(stored.size(), data.size());
    GzStream* s = openGz(path("out.gz"), "r");
    Bytes back(data.size() + 1);
    EXPECT_EQ(readGz(s, back.data(), static_cast<int32_t>(back.size())), static_cast<int32_t>(data.size()));
    back.pop_back();
    EXPECT_EQ(back, data);
    EXPECT_EQ(closeGz(s), gzOk);
    EXPECT_EQ(writeThroughLayer(data, {50000}, "wh"), gzipMember(data, Z_DEFAULT_COMPRESSION, Z_HUFFMAN_ONLY));
    EXPECT_EQ(writeThroughLayer(data, {50000}, "hf2w"), gzipMember(data, 2, Z_FILTERED));
    EXPECT_EQ(writeThroughLayer(data, {50000}, "rw"), gzipMember(data));  // later direction wins
    EXPECT_EQ(writeThroughLayer(data, {50000}, "wbx"), gzipMember(data));  // others ignored
}

TEST_F(GzStreamTest, ModesWithoutDirectionEmptyPathsAndMissingFilesGiveNull)
{
    EXPECT_EQ(openGz(path("x.gz"), "x"), nullptr);
    EXPECT_EQ(openGz(path("x.gz"), ""), nullptr);
    EXPECT_EQ(openGz(path("x.gz"), "9fh"), nullptr);
    EXPECT_EQ(openGz("", "w"), nullptr);
    EXPECT_FALSE(fileExists(path("x.gz")));
    uint16_t failure = 0;
    EXPECT_EQ(openGz(path("missing.gz"), "r", 1, &failure), nullptr);
    EXPECT_EQ(failure, ioFileNotFound) << "a file that cannot be opened says why";
}

TEST_F(GzStreamTest, WritingReplacesAnExistingFile)
{
    writeFile(path("out.gz"), Bytes(100000, 'z'));
    EXPECT_EQ(writeThroughLayer({}, {1}), emptyMember);
}

TEST_F(GzStreamTest, CallsOnTheWrongDirectionOrANullHandleReturnStreamError)
{
    char buf[16] = {};
    GzStream* w = openGz(path("d.gz"), "w");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(readGz(w, buf, 16), gzStreamError);
    EXPECT_EQ(writeGz(w, "abc", 3), 3);
    EXPECT_EQ(closeGz(w), gzOk);

    GzStream* r = openGz(path("d.gz"), "wr");  // the later "r" wins
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(writeGz(r, "abc", 3), gzStreamError);
    EXPECT_EQ(readGz(r, buf, 16), 3);
    EXPECT_EQ(closeGz(r), gzOk);

    EXPECT_EQ(readGz(nullptr, buf, 16), gzStreamError);
    EXPECT_EQ(writeGz(nullptr, buf, 16), gzStreamError);
    EXPECT_EQ(closeGz(nullptr), gzStreamError);
}

// ---------------------------------------------------------------- blocks on several threads

namespace {

bool collect(void* context, const unsigned char* bytes, int32_t count)
{
    auto& out = *static_cast<Bytes*>(context);
    out.insert(out.end(), bytes, bytes + count);
    return true;
}

// The member the block deflater makes of data with the given workers, data
// written in pieces of 100000 bytes; where its segments start goes to
// starts when given (counted from the member's first byte).
Bytes deflatedInBlocks(const Bytes& data, int threads, std::vector<std::size_t>* starts = nullptr)
{
    Bytes member = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0};
    BlockDeflater* d = openBlockDeflater(Z_DEFAULT_COMPRESSION, Z_DEFAULT_STRATEGY, threads, collect, &member);
    EXPECT_NE(d, nullptr);
    for (std::size_t at = 0; at < data.size(); at += 100000)
        EXPECT_EQ(writeBlocks(d, data.data() + at, static_cast<int32_t>(std::min<std::size_t>(100000, data.size() - at))),
                  Z_OK);
    EXPECT_EQ(finishBlocks(d), Z_OK);
    for (int32_t k = 0; starts != nullptr && k < deflatedSegments(d); ++k)
        starts->push_back(10 + static_cast<std::size_t>(segmentStart(d, k)));
    closeBlockDeflater(d);
    appendLittleEndian32(member, static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
    appendLittleEndian32(member, static_cast<uint32_t>(data.size()));
    return member;
}

Bytes rawInflate(const Bytes& member)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    Bytes out;
    Bytes chunk(65536);
    z.next_in = const_cast<Bytef*>(member.data() + 10);
    z.avail_in = static_cast<uInt>(member.size() - 18);
    int status;
    do {
        z.next_out = chunk.data();
        z.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk.begin(), chunk.end() - z.avail_out);
    } while (status == Z_OK);
    EXPECT_EQ(status, Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the deflate data";
    inflateEnd(&z);
    return out;
}

// Source-like text: indented lines of keywords, identifiers and numbers,
// compressing about as well as a program's sources do.
Bytes sourceLikeText(std::size_t size)
{
    static const char* const words[] = {"if", "return", "const", "int32_t", "for", "while", "static_cast",
                                        "buffer", "count", "status", "stream", "length", "=", "==", "+",
                                        "(", ")", "{", "}", ";", "->", "nullptr", "size", "block"};
    std::string text;
    uint32_t x = 12345;
    auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
    while (text.size() < size) {
        text.append(4 * (next() % 4), ' ');
        for (uint32_t n = 3 + next() % 9; n > 0; --n) {
            const uint32_t pick = next() % 40;
            if (pick < 24)
                text += words[pick];
            else if (pick < 34)
                text += "name" + std::to_string(next() % 300);
            else
                text += std::to_string(next() % 100000);
            text += ' ';
        }
        text += '\n';
    }
    return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

} // namespace

TEST(BlockDeflate, SameMemberForEveryThreadCountAndItInflatesBack)
{
    constexpr std::size_t block = deflateBlockSize;
    // Past the threshold the workers start; one block or less is exactly
    // what one deflate call over it gives.
    // Every segmentSize bytes a block starts afresh, at a recorded offset.
    const std::size_t sizes[] = {0,         1, block - 1, block, block + 1, 3 * block + 5, parallelThreshold + 5 * block + 77,
                                 segmentSize, segmentSize + 1, 2 * segmentSize + block};
    for (const std::size_t size : sizes) {
        const Bytes data = mixedBytes<Bytes>(size, static_cast<uint32_t>(size));
        std::vector<std::size_t> expectedStarts;
        const std::string model = gzipMember(asText(data), Z_DEFAULT_COMPRESSION, Z_DEFAULT_STRATEGY, packerBlockSize,
                                             packerSegmentSize, &expectedStarts);
        const Bytes expected(model.begin(), model.end());
        if (size <= block) {
            EXPECT_EQ(expected, gzipMember(data)) << size;
        }
        EXPECT_EQ(rawInflate(expected), data) << size;
        for (const int threads : {1, 2, 16}) {
            std::vector<std::size_t> starts;
            EXPECT_EQ(deflatedInBlocks(data, threads, &starts), expected) << size << " bytes, " << threads << " threads";
            EXPECT_EQ(starts, expectedStarts) << size << " bytes, " << threads << " threads";
        }
    }
}

TEST(BlockDeflate, StaysWithinHalfAPercentOfOneDeflateCall)
{
    const Bytes text = sourceLikeText(3 * 1024 * 1024);
    Bytes mixed = mixedBytes<Bytes>(3 * 1024 * 1024, 77);
    mixed.insert(mixed.end(), text.begin(), text.end());
    const Bytes* const sets[] = {&text, &mixed};
    for (const Bytes* data : sets) {
        const double blocks = static_cast<double>(deflatedInBlocks(*data, 2).size());
        const double whole = static_cast<double>(gzipMember(*data).size());
        EXPECT_LE(blocks, whole * 1.005) << blocks / whole;
        EXPECT_GT(whole, static_cast<double>(data->size()) / 8) << "data that compresses like real files";
    }
}

// ---------------------------------------------------------------- reading

TEST_F(GzStreamTest, ReadsBackWhatWasWrittenThenKeepsReturningZero)
{
    const Bytes data = mixedBytes<Bytes>(300000, 5);
    writeThroughLayer(data, {100000});
    GzStream* s = openGz(path("out.gz"), "r");
    ASSERT_NE(s, nullptr);
    int32_t last = 0;
    EXPECT_EQ(readAll(s, 7777, last), data);
    EXPECT_EQ(last, 0);
    char c;
    EXPECT_EQ(readGz(s, &c, 1), 0);
    EXPECT_EQ(readGz(s, &c, 0), 0);
    EXPECT_EQ(closeGz(s), gzOk);
}

TEST_F(GzStreamTest, ReadsAMemberWrittenByZlibWithOptionalHeaderFields)
{
    const Bytes data = mixedBytes<Bytes>(40000, 9);
    // FHCRC, FEXTRA, FNAME and FCOMMENT set; header CRC not checked.
    Bytes member = {0x1F, 0x8B, 8, 0x1E, 1, 2, 3, 4, 2, 3, 5, 0, 'a', 'b', 'c', 'd', 'e'};
    for (const char* t : {"name.txt", "a comment"})
        member.insert(member.end(), t, t + std::char_traits<char>::length(t) + 1);
    member.insert(member.end(), {0xAB, 0xCD});
    const Bytes plain = gzipMember(data);
    member.insert(member.end(), plain.begin() + 10, plain.end());
    GzStream* s = openFileWith(member);
    ASSERT_NE(s, nullptr);
    int32_t last = 0;
    EXPECT_EQ(readAll(s, 100000, last), data);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(closeGz(s), gzOk);
}

TEST_F(GzStreamTest, CrcOrLengthMismatchShowsOnTheReadAfterTheData)
{
    const Bytes data = mixedBytes<Bytes>(30000, 11);
    for (const std::size_t fromEnd : {8u, 1u}) {  // first CRC byte, last ISIZE byte
        Bytes member = gzipMember(data);
        member[member.size() - fromEnd] ^= 0x40;
        GzStream* s = openFileWith(member);
        ASSERT_NE(s, nullptr);
        Bytes buf(data.size() + 100);
        ASSERT_EQ(readGz(s, buf.data(), static_cast<int32_t>(buf.size())), static_cast<int32_t>(data.size()));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
        EXPECT_EQ(readGz(s, buf.data(), 10), gzFileError);
        EXPECT_EQ(readGz(s, buf.data(), 10), gzFileError);
        EXPECT_EQ(closeGz(s), gzDataError);
    }
}

TEST_F(GzStreamTest, BadMethodOrReservedFlagsFailEveryRead)
{
    for (const auto& [offset, value] : {std::pair{2, 7}, std::pair{3, 0x20}}) {
        Bytes member = gzipMember(mixedBytes<Bytes>(1000));
        member[offset] = static_cast<unsigned char>(value);
        GzStream* s = openFileWith(member);
        ASSERT_NE(s, nullptr) << "a damaged header still gives a handle";
        char buf[100];
        EXPECT_EQ(readGz(s, buf, 100), gzFileError);
        EXPECT_EQ(readGz(s, buf, 0), gzFileError);
        EXPECT_EQ(closeGz(s), gzDataError);
    }
}

TEST_F(GzStreamTest, HeaderCutShortIsADataError)
{
    GzStream* s = openFileWith({0x1F, 0x8B, 8, 0, 0, 0});
    ASSERT_NE(s, nullptr);
    char buf[10];
    EXPECT_EQ(readGz(s, buf, 10), gzFileError);
    EXPECT_EQ(closeGz(s), gzDataError);
}

TEST_F(GzStreamTest, CorruptDeflateDataFailsTheNextRead)
{
    Bytes member = gzipMember(mixedBytes<Bytes>(5000));
    member[10] = 0xFF;  // final block of the reserved type 3
    GzStream* s = openFileWith(member);
    ASSERT_NE(s, nullptr);
    char buf[6000];
    EXPECT_EQ(readGz(s, buf, 6000), 0);
    EXPECT_EQ(readGz(s, buf, 6000), gzFileError);
    EXPECT_EQ(closeGz(s), gzDataError);
}

TEST_F(GzStreamTest, TruncatedDeflateDataDeliversWhatItCanThenZero)
{
    const Bytes data = mixedBytes<Bytes>(200000, 13);
    Bytes member = gzipMember(data);
    member.resize(member.size() / 2);
    GzStream* s = openFileWith(member);
    ASSERT_NE(s, nullptr);
    int32_t last = -9;
    const Bytes got = readAll(s, 100000, last);
    EXPECT_EQ(last, 0);
    ASSERT_GT(got.size(), 0u);
    ASSERT_LT(got.size(), data.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    char c;
    EXPECT_EQ(readGz(s, &c, 1), 0);
    EXPECT_LT(closeGz(s), 0) << "closing reports the missing data";
}

TEST_F(GzStreamTest, TrailerCutShortIsADataError)
{
    const Bytes data = mixedBytes<Bytes>(1000);
    Bytes member = gzipMember(data);
    member.resize(member.size() - 2);
    GzStream* s = openFileWith(member);
    ASSERT_NE(s, nullptr);
    Bytes buf(2000);
    EXPECT_EQ(readGz(s, buf.data(), 2000), 1000);
    EXPECT_EQ(readGz(s, buf.data(), 2000), gzFileError);
    EXPECT_EQ(closeGz(s), gzDataError);
}

TEST_F(GzStreamTest, FileWithoutTheMagicIsReadUnchanged)
{
    // Larger than the input buffer, so both the buffered bytes and the
    // direct reads of the rest are delivered.
    for (const unsigned char first : {static_cast<unsigned char>('P'), static_cast<unsigned char>(0x1F)}) {
        Bytes plain = mixedBytes<Bytes>(40000, 17);
        plain[0] = first;
        plain[1] = 'K';
        GzStream* s = openFileWith(plain);
        ASSERT_NE(s, nullptr);
        int32_t last = -9;
        EXPECT_EQ(readAll(s, 10000, last), plain);
        EXPECT_EQ(last, 0);
        EXPECT_EQ(closeGz(s), gzOk);
    }
}

TEST_F(GzStreamTest, MissingFileGivesNull)
{
    EXPECT_EQ(openGz(path("none.gz"), "r"), nullptr);
    EXPECT_EQ(openGz(path("no/such/dir/out.gz"), "w"), nullptr);
}

TEST_F(GzStreamTest, EmptyFileReadsZero)
{
    GzStream* s = openFileWith({});
    ASSERT_NE(s, nullptr);
    char buf[10];
    EXPECT_EQ(readGz(s, buf, 10), 0);
    EXPECT_EQ(readGz(s, buf, 10), 0);
    EXPECT_EQ(closeGz(s), gzOk);
}

TEST_F(GzStreamTest, EmptyMemberReadsZero)
{
    GzStream* s = openFileWith(emptyMember);
    ASSERT_NE(s, nullptr);
    char buf[10];
    EXPECT_EQ(readGz(s, buf, 10), 0);
    EXPECT_EQ(readGz(s, buf, 10), 0);
    EXPECT_EQ(closeGz(s), gzOk);
}

TEST_F(GzStreamTest, AFollowingMemberIsReadOnEvenAcrossABufferBoundary)
{
    // The first member is sized so that the second one's magic straddles the
    // end of the first 16384-byte input buffer.
    const Bytes second = mixedBytes<Bytes>(20000, 23);
    for (const std::size_t firstEnd : {16383u, 16384u}) {
        Bytes first;
        Bytes member;
        std::size_t n = firstEnd;
        do {
            first = mixedBytes<Bytes>(--n, 19);
            for (auto& b : first)
                b |= 0x80;  // keep the stored size predictable
            member = gzipMember(first, 0);
        } while (member.size() > firstEnd);
        ASSERT_EQ(member.size(), firstEnd);
        const Bytes next = gzipMember(second);
        member.insert(member.end(), next.begin(), next.end());
        GzStream* s = openFileWith(member);
        ASSERT_NE(s, nullptr);
        int32_t last = -9;
        Bytes expected = first;
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(readAll(s, 100000, last), expected);
        EXPECT_EQ(last, 0);
        EXPECT_EQ(closeGz(s), gzOk);
    }
}

TEST_F(GzStreamTest, BytesAfterTheMemberAreDeliveredAsTheyStand)
{
    const Bytes data = mixedBytes<Bytes>(5000, 29);
    Bytes member = gzipMember(data);
    const Bytes junk = {'j', 'u', 'n', 'k'};
    member.insert(member.end(), junk.begin(), junk.end());
    GzStream* s = openFileWith(member);
    ASSERT_NE(s, nullptr);
    int32_t last = -9;
    Bytes expected = data;
    expected.insert(expected.end(), junk.begin(), junk.end());
    EXPECT_EQ(readAll(s, 100000, last), expected);
    EXPECT_EQ(closeGz(s), gzOk);
}

TEST_F(GzStreamTest, EndsAtFirstMemberOnlyWhenItsDataIsUsedUpExactly)
{
    const Bytes data = mixedBytes<Bytes>(5000, 31);
    Bytes followed = gzipMember(data);
    const Bytes after = gzipMember(mixedBytes<Bytes>(100, 3));
    followed.insert(followed.end(), after.begin(), after.end());
    const Bytes junk = {'j', 'u', 'n', 'k'};
    Bytes withJunk = gzipMember(data);
    withJunk.insert(withJunk.end(), junk.begin(), junk.end());
    Bytes badCrc = gzipMember(data);
    badCrc[badCrc.size() - 8] ^= 1;
    struct Case {
        const char* name;
        Bytes file;
        int32_t read;
        bool atEnd;
    };
    const Case cases[] = {
        {"all data read", gzipMember(data), 5000, true},
        {"one byte left", gzipMember(data), 4999, false},
        {"nothing read", gzipMember(data), 0, false},
        {"another member follows", followed, 5000, true},
        {"other bytes follow", withJunk, 5000, true},
        {"wrong CRC-32", badCrc, 5000, false},
    };
    for (const Case& c : cases) {
        GzStream* s = openFileWith(c.file);
        ASSERT_NE(s, nullptr);
        Bytes buffer(5000);
        EXPECT_EQ(readGz(s, buffer.data(), c.read), c.read) << c.name;
        EXPECT_EQ(endsAtFirstMember(s), c.atEnd) << c.name;
        closeGz(s);
    }
    EXPECT_FALSE(endsAtFirstMember(nullptr));
}

// zop's own Adler-32, which zlib links instead of its tuned one: the known
// value of a text, and runs of 0x00 and 0xFF around the length at which
// the sums are reduced, against the checksum's closed forms, fed whole and
// in two pieces.
TEST(Adler32, MatchesAKnownValueAndTheClosedForms)
{
    EXPECT_EQ(adler32(0, nullptr, 0), 1u);
    EXPECT_EQ(adler32(1, reinterpret_cast<const Bytef*>("Wikipedia"), 9), 0x11E60398u);
    constexpr uint64_t modulus = 65521;
    for (const uint64_t n : {1ull, 5551ull, 5552ull, 5553ull, 65521ull, 1000000ull}) {
        for (const unsigned char byte : {0x00, 0xFF}) {
            SCOPED_TRACE(std::to_string(n) + " bytes of " + std::to_string(byte));
            const std::string data(n, static_cast<char>(byte));
            const uint64_t a = (1 + byte * n) % modulus;
            const uint64_t b = (n + byte * (n * (n + 1) / 2)) % modulus;
            const uLong expected = static_cast<uLong>(b << 16 | a);
            const auto* bytes = reinterpret_cast<const Bytef*>(data.data());
            EXPECT_EQ(adler32(1, bytes, static_cast<uInt>(n)), expected);
            const uInt first = static_cast<uInt>(n / 3);
            EXPECT_EQ(adler32(adler32(1, bytes, first), bytes + first, static_cast<uInt>(n) - first), expected);
        }
    }
}
