#include "core/gzip/segmentindex.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t megabyte = 1024 * 1024;
constexpr int64_t area = 10 * megabyte;

// What a launcher sees at the end of an area that holds record.
IndexFooter footerOf(const std::string& record, int64_t& length)
{
    return readSegmentIndexFooter(std::string_view(record).substr(record.size() - segmentIndexFooterSize), area,
                                  length);
}

void putAt(std::string& record, std::size_t at, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        record[at + i] = static_cast<char>(value >> (8 * i));
}

TEST(SegmentIndexTest, RecordReadsBackAsWritten)
{
    const std::vector<int64_t> starts = {10, 400000, 900000};
    const std::string record = encodeSegmentIndex(megabyte, starts);
    int64_t length = 0;
    ASSERT_EQ(footerOf(record, length), IndexFooter::present);
    ASSERT_EQ(length, static_cast<int64_t>(record.size()));
    SegmentIndex index;
    ASSERT_TRUE(decodeSegmentIndex(record, area, index));
    EXPECT_EQ(index.segmentSize, megabyte);
    EXPECT_EQ(index.starts, starts);
    EXPECT_EQ(index.memberLength, area - length);
    EXPECT_EQ(segmentOffset(index, 2), 2 * megabyte);
}

TEST(SegmentIndexTest, AreaWithoutTheTagHasNoIndex)
{
    // A member's own last bytes: its CRC-32 and length.
    const std::string plainEnd = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c";
    int64_t length = 0;
    EXPECT_EQ(readSegmentIndexFooter(plainEnd, area, length), IndexFooter::none);
    EXPECT_EQ(readSegmentIndexFooter("zopsegix", area, length), IndexFooter::none);
}

// Each row spoils one field of a good index; every one must be refused, never
// read past its bytes, never trusted.
struct Spoil {
    const char* name;
    std::size_t at;  // from the record's start; the footer's length is at size - 12
    uint64_t value;
    int bytes;
};

TEST(SegmentIndexTest, InconsistentIndexIsRefused)
{
    const std::string good = encodeSegmentIndex(megabyte, {10, 400000, 900000});
    const std::size_t lengthAt = good.size() - segmentIndexFooterSize;
    const Spoil spoils[] = {
        {"count of 2^31", 4, 0x80000000u, 4},
        {"count one short", 4, 2, 4},
        {"count zero", 4, 0, 4},
        {"segment size not whole blocks", 0, megabyte + 1, 4},
        {"segment size zero", 0, 0, 4},
        {"starts out of order", 16, 5000000, 8},
        {"start inside the gzip header", 8, 9, 8},
        {"start past the member", 24, static_cast<uint64_t>(area), 8},
        {"start at 2^63", 24, uint64_t{1} << 63, 8},
        {"own length differs", lengthAt, good.size() + 8, 4},
    };
    for (const Spoil& spoil : spoils) {
        std::string record = good;
        putAt(record, spoil.at, spoil.value, spoil.bytes);
        SegmentIndex index;
        EXPECT_FALSE(decodeSegmentIndex(record, area, index)) << spoil.name;
    }
}

TEST(SegmentIndexTest, FooterLengthThatCannotFitIsDamage)
{
    for (const uint64_t claimed : {uint64_t{0}, uint64_t{27}, uint64_t{200000}, uint64_t{area}, uint64_t{0xffffffff}}) {
        std::string footer(segmentIndexFooterSize, '\0');
        putAt(footer, 0, claimed, 4);
        footer.replace(4, 8, segmentIndexTag);
        int64_t length = 0;
        EXPECT_EQ(readSegmentIndexFooter(footer, area, length), IndexFooter::damaged) << claimed;
    }
}

}  // namespace

// ---------------------------------------------------------------- segments

#include "core/gzip/gzsegments.h"

#include <zlib.h>

#include "support/scratch.h"

namespace {

constexpr int64_t segment = 128 * 1024;

struct Deflated {
    std::vector<unsigned char> bytes;
    std::vector<int64_t> starts;  // of each segment in bytes
};

// Raw deflate of data with each segment started afresh (a full flush resets
// the dictionary), or continuing the dictionary across them (a sync flush).
Deflated deflateInSegments(const std::string& data, int flushBetween)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Deflated out;
    out.bytes.resize(deflateBound(&z, data.size()) + 64 * (data.size() / segment + 1));
    z.next_out = out.bytes.data();
    z.avail_out = static_cast<uInt>(out.bytes.size());
    for (std::size_t at = 0; at == 0 || at < data.size(); at += segment) {
        out.starts.push_back(static_cast<int64_t>(z.total_out));
        const std::size_t length = std::min<std::size_t>(segment, data.size() - at);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
        z.avail_in = static_cast<uInt>(length);
        deflate(&z, at + length >= data.size() ? Z_FINISH : flushBetween);
    }
    out.bytes.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string repetitiveText(std::size_t size)
{
    std::string text;
    for (uint32_t n = 1; text.size() < size; n = n * 1103515245 + 12345)
        text += "line " + std::to_string(n % 1000) + " of the sample\n";
    text.resize(size);
    return text;
}

// Inflates segment k of d, given the bytes from `from` to `to` (offsets into
// the deflate data).
bool inflateRange(const Deflated& d, int64_t from, int64_t to, bool last, InflatedSegment& result)
{
    std::vector<unsigned char> out(segment + 1);
    return inflateSegment(d.bytes.data() + from, to - from, out.data(), segment, last, d.starts.size() == 1, result);
}

TEST(SegmentInflateTest, IndependentSegmentsInflateOnTheirOwn)
{
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t(segment), std::size_t(segment + 1),
                                   std::size_t(2 * segment + segment / 2)}) {
        const std::string data = repetitiveText(size);
        const Deflated d = deflateInSegments(data, Z_FULL_FLUSH);
        uLong crc = crc32(0, nullptr, 0);
        int64_t total = 0;
        for (std::size_t k = 0; k < d.starts.size(); ++k) {
            const bool last = k + 1 == d.starts.size();
            const int64_t end = last ? static_cast<int64_t>(d.bytes.size()) : d.starts[k + 1];
            InflatedSegment result;
            ASSERT_TRUE(inflateRange(d, d.starts[k], end, last, result)) << size << " segment " << k;
            crc = crc32_combine(crc, result.crc, static_cast<z_off_t>(result.length));
            total += result.length;
        }
        EXPECT_EQ(total, static_cast<int64_t>(size));
        EXPECT_EQ(crc, crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(size)));
    }
}

TEST(SegmentInflateTest, SegmentsThatDoNotHoldTogetherAreDamage)
{
    const std::string data = repetitiveText(3 * segment);
    const Deflated fresh = deflateInSegments(data, Z_FULL_FLUSH);
    const Deflated chained = deflateInSegments(data, Z_SYNC_FLUSH);
    const auto end = static_cast<int64_t>(fresh.bytes.size());
    struct Row {
        const char* name;
        const Deflated& d;
        int64_t from, to;
        bool last;
    } rows[] = {
        {"one byte short", fresh, fresh.starts[1], fresh.starts[2] - 1, false},
        {"two segments as one", fresh, fresh.starts[0], fresh.starts[2], false},
        {"the last taken for a middle one", fresh, fresh.starts[2], end, false},
        {"a middle one taken for the last", fresh, fresh.starts[1], fresh.starts[2], true},
        {"starting inside a segment", fresh, fresh.starts[1] + 7, fresh.starts[2], false},
        {"nothing at all", fresh, fresh.starts[1], fresh.starts[1], false},
        {"reaching back before its start", chained, chained.starts[1], chained.starts[2], false},
    };
    for (const Row& row : rows) {
        InflatedSegment result;
        EXPECT_FALSE(inflateRange(row.d, row.from, row.to, row.last, result)) << row.name;
    }
}

// ---------------------------------------------------------------- the reader

// A stream file as the packer lays it out: its member (the 10-byte header,
// segments started afresh, CRC-32 and length) and the index after it.
struct SegmentedFile {
    std::string member;
    std::vector<int64_t> starts;
};

SegmentedFile segmentedFileOf(const std::string& data)
{
    const Deflated d = deflateInSegments(data, Z_FULL_FLUSH);
    SegmentedFile file;
    file.member.assign("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x00", 10);
    file.member.append(reinterpret_cast<const char*>(d.bytes.data()), d.bytes.size());
    const auto crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                                 static_cast<uInt>(data.size())));
    for (const uint32_t field : {crc, static_cast<uint32_t>(data.size())})
        for (int i = 0; i < 4; ++i)
            file.member.push_back(static_cast<char>(field >> (8 * i)));
    for (const int64_t start : d.starts)
        file.starts.push_back(start + 10);
    return file;
}

class SegmentReaderTest : public testsupport::ScratchDirTest {
protected:
    // Reads the file at name in pieces of piece bytes; the bytes, and the
    // reader's last status (or what opening it gave).
    std::string readAll(const std::string& name, int threads, int32_t piece, int& status, SegmentOpen& opened)
    {
        SegmentReader* reader = nullptr;
        opened = openSegmentReader(path(name), threads, reader);
        std::string bytes;
        status = segmentsDamaged;
        if (opened != SegmentOpen::opened)
            return bytes;
        std::vector<char> buffer(static_cast<std::size_t>(piece));
        for (int32_t got = 1; got > 0;) {
            got = readSegments(reader, buffer.data(), piece);
            if (got > 0)
                bytes.append(buffer.data(), static_cast<std::size_t>(got));
        }
        status = segmentStatus(reader);
        closeSegmentReader(reader);
        return bytes;
    }
};

TEST_F(SegmentReaderTest, GivesTheStreamInOrderForAnyThreadCount)
{
    for (const std::size_t size : {std::size_t{1}, std::size_t(segment), std::size_t(3 * segment + 17)}) {
        const std::string data = repetitiveText(size);
        const SegmentedFile file = segmentedFileOf(data);
        testsupport::writeFile(path("s.gz"), file.member + encodeSegmentIndex(segment, file.starts));
        for (const int threads : {1, 2, 3})
            for (const int32_t piece : {1000, 300000}) {
                int status = 0;
                SegmentOpen opened{};
                EXPECT_EQ(readAll("s.gz", threads, piece, status, opened), data) << size << "/" << threads;
                EXPECT_EQ(status, segmentsEnd) << size << "/" << threads;
            }
    }
}

TEST_F(SegmentReaderTest, AnIndexThatDoesNotFitItsMemberIsDamage)
{
    const std::string data = repetitiveText(3 * segment);
    const SegmentedFile good = segmentedFileOf(data);
    const auto moved = [&](std::size_t k, int64_t by) {
        std::vector<int64_t> starts = good.starts;
        starts[k] += by;
        return starts;
    };
    std::string wrongCrc = good.member;
    wrongCrc[wrongCrc.size() - 8] ^= 1;
    std::string namedHeader = good.member;
    namedHeader[3] = 0x08;  // a file name flag: the header is no longer the packer's
    struct Row {
        const char* name;
        std::string member;
        std::vector<int64_t> starts;
        SegmentOpen opened;
    } rows[] = {
        {"first segment not after the header", good.member, moved(0, 1), SegmentOpen::damaged},
        {"a start one byte early", good.member, moved(2, -1), SegmentOpen::opened},
        {"a start one byte late", good.member, moved(1, 1), SegmentOpen::opened},
        {"a segment missing", good.member, {good.starts[0], good.starts[2]}, SegmentOpen::opened},
        {"the member's CRC-32", wrongCrc, good.starts, SegmentOpen::opened},
        {"a header with a name", namedHeader, good.starts, SegmentOpen::damaged},
    };
    for (const Row& row : rows) {
        testsupport::writeFile(path("s.gz"), row.member + encodeSegmentIndex(segment, row.starts));
        for (const int threads : {1, 2}) {
            int status = 0;
            SegmentOpen opened{};
            readAll("s.gz", threads, 100000, status, opened);
            EXPECT_EQ(opened, row.opened) << row.name;
            EXPECT_EQ(status, segmentsDamaged) << row.name << "/" << threads;
        }
    }
}

TEST_F(SegmentReaderTest, AFileWithoutAnIndexIsLeftToThePlainReader)
{
    const SegmentedFile file = segmentedFileOf(repetitiveText(2 * segment));
    testsupport::writeFile(path("s.gz"), file.member);
    int status = 0;
    SegmentOpen opened{};
    readAll("s.gz", 2, 1000, status, opened);
    EXPECT_EQ(opened, SegmentOpen::none);
}

}  // namespace
