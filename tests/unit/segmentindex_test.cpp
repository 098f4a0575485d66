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
    for (const uint64_t claimed : {uint64_t{0}, uint64_t{27}, uint64_t{area}, uint64_t{0xffffffff}}) {
        std::string footer(segmentIndexFooterSize, '\0');
        putAt(footer, 0, claimed, 4);
        footer.replace(4, 8, segmentIndexTag);
        int64_t length = 0;
        EXPECT_EQ(readSegmentIndexFooter(footer, area, length), IndexFooter::damaged) << claimed;
    }
}

}  // namespace
