#include "core/container/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

#include "runtime/failure/failure.h"
#include "support/scratch.h"

using namespace testsupport;

namespace {

// A recognised trailer whose filler holds the byte given.
tail trailerFilledWith(unsigned char filler)
{
    tail t;
    std::memset(&t, filler, sizeof t);
    t.stubName.assign("zop.exe");
    t.gzLength = 123456;
    t.signature.assign(recognitionString);
    t.entryCount = 7;
    return t;
}

tail packedTrailer()
{
    return trailerFilledWith(0x5A);
}

Bytes bytesOf(const tail& t)
{
    const auto* p = reinterpret_cast<const unsigned char*>(&t);
    return Bytes(p, p + sizeof t);
}

class RecordsTest : public ScratchDirTest {};

} // namespace

TEST(Records, FieldsSitAtTheirOffsets)
{
    EXPECT_EQ(offsetof(tail, gzLength), 256u);
    EXPECT_EQ(offsetof(tail, signature), 260u);
    EXPECT_EQ(offsetof(tail, entryCount), 516u);

    header h;
    std::memset(&h, 0, sizeof h);
    h.kind.assign("d");
    h.text.assign("bin");
    h.dataLength = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(&h);
    EXPECT_EQ(Bytes(p, p + 6), (Bytes{0x01, 0x64, 0x03, 0x62, 0x69, 0x6E}));
    EXPECT_EQ(Bytes(p + 260, p + 264), (Bytes{0, 0, 0, 0}));
    h.dataLength = 0x01020304;
    EXPECT_EQ(Bytes(p + 260, p + 264), (Bytes{4, 3, 2, 1}));
}

TEST(Records, OnlyTheExactSignatureIsRecognised)
{
    tail t = packedTrailer();
    EXPECT_TRUE(isPackedTrailer(t));
    std::memset(t.signature.bytes + 78, 0, sizeof t.signature.bytes - 78);
    EXPECT_TRUE(isPackedTrailer(t)) << "filler plays no part";

    std::string s(recognitionString);
    s[40] ^= 1;
    t.signature.assign(s);
    EXPECT_FALSE(isPackedTrailer(t));
    t.signature.assign("zop: Dit is mijn herkennigsstring voor het herkennen van pakin of pakuit mode.");
    EXPECT_FALSE(isPackedTrailer(t));
    t.signature.assign(recognitionString.substr(0, 77));
    EXPECT_FALSE(isPackedTrailer(t));
    t.signature.assign(std::string(recognitionString) + " ");
    EXPECT_FALSE(isPackedTrailer(t));
    t.signature.assign(recognitionString);
    t.signature.length = 79;  // the filler byte after the text becomes part of it
    EXPECT_FALSE(isPackedTrailer(t));
    std::memset(&t, 0, sizeof t);
    EXPECT_FALSE(isPackedTrailer(t));
}

TEST(Records, StreamCrcSitsInTheSignatureFillerAfterTheRecognitionString)
{
    tail t = packedTrailer();
    uint32_t crc = 0;
    EXPECT_FALSE(storedStreamCrc(t, crc)) << "a trailer without the marker";
    storeStreamCrc(t, 0x89ABCDEF);
    Bytes expected = bytesOf(packedTrailer());
    const Bytes field = {'C', 'R', 'C', '1', 0xEF, 0xCD, 0xAB, 0x89};
    std::copy(field.begin(), field.end(), expected.begin() + 339);
    EXPECT_EQ(bytesOf(t), expected) << "only trailer offsets 339 to 346 change";
    EXPECT_TRUE(isPackedTrailer(t));
    ASSERT_TRUE(storedStreamCrc(t, crc));
    EXPECT_EQ(crc, 0x89ABCDEFu);
    t.signature.bytes[78 + 3] = '2';
    EXPECT_FALSE(storedStreamCrc(t, crc)) << "another marker is no integrity check";
}

// A trailer as the packer leaves it: zero filler, the stream CRC in place.
tail cleanTrailer()
{
    tail t = trailerFilledWith(0);
    storeStreamCrc(t, 0x01020304);
    return t;
}

TEST(Records, TaggedRecordsFollowTheStreamCrcAndEndWhereTheFillerEnds)
{
    tail t = cleanTrailer();
    std::string_view payload;
    EXPECT_FALSE(findTrailerRecord(t, "OPT1", payload));
    ASSERT_TRUE(addTrailerRecord(t, "OPT1", "cache"));
    ASSERT_TRUE(addTrailerRecord(t, "KEY2", std::string(32, 'k')));
    ASSERT_TRUE(addTrailerRecord(t, "FLAG", std::string_view())) << "a record without payload";
    const Bytes bytes = bytesOf(t);
    EXPECT_EQ(Bytes(bytes.begin() + 347, bytes.begin() + 357), (Bytes{'O', 'P', 'T', '1', 5, 'c', 'a', 'c', 'h', 'e'}));
    ASSERT_TRUE(findTrailerRecord(t, "KEY2", payload));
    EXPECT_EQ(payload, std::string(32, 'k'));
    ASSERT_TRUE(findTrailerRecord(t, "OPT1", payload));
    EXPECT_EQ(payload, "cache");
    ASSERT_TRUE(findTrailerRecord(t, "FLAG", payload));
    EXPECT_TRUE(payload.empty());
    uint32_t crc = 0;
    ASSERT_TRUE(storedStreamCrc(t, crc)) << "records leave the stream CRC where older launchers read it";
    EXPECT_EQ(crc, 0x01020304u);

    // The filler holds 169 bytes of records: one that does not fit changes nothing.
    const Bytes before = bytesOf(t);
    EXPECT_FALSE(addTrailerRecord(t, "BIG1", std::string(200, 'x')));
    EXPECT_EQ(bytesOf(t), before);
    ASSERT_TRUE(addTrailerRecord(t, "FIL1", std::string(516 - 347 - 10 - 37 - 5 - 5, 'f')));
    EXPECT_FALSE(addTrailerRecord(t, "MORE", ""));

    // A size byte that runs past the filler ends the list instead of reading past it.
    tail crafted = cleanTrailer();
    ASSERT_TRUE(addTrailerRecord(crafted, "OPT1", "cache"));
    reinterpret_cast<unsigned char*>(&crafted)[351] = 255;
    EXPECT_FALSE(findTrailerRecord(crafted, "OPT1", payload));
}

TEST(Records, TheSealCoversEveryTrailerByte)
{
    tail t = cleanTrailer();
    EXPECT_EQ(trailerSeal(t), TrailerSeal::absent) << "older files carry only the stream CRC";
    ASSERT_TRUE(addTrailerRecord(t, "OPT1", "cache"));
    sealTrailer(t);
    EXPECT_EQ(trailerSeal(t), TrailerSeal::intact);
    EXPECT_TRUE(isPackedTrailer(t));
    for (const std::size_t at : {0u, 3u, 200u, 256u, 259u, 340u, 350u, 400u, 516u, 519u}) {
        tail damaged = t;
        reinterpret_cast<unsigned char*>(&damaged)[at] ^= 0x04;
        EXPECT_EQ(trailerSeal(damaged), TrailerSeal::broken) << "a flipped bit at offset " << at;
    }
    tail recounted = t;
    recounted.entryCount = 2;
    EXPECT_EQ(trailerSeal(recounted), TrailerSeal::broken);
    tail untagged = t;
    reinterpret_cast<unsigned char*>(&untagged)[347] = 0;
    EXPECT_EQ(trailerSeal(untagged), TrailerSeal::broken) << "records without their seal are not an older file";
}

TEST_F(RecordsTest, ReadTrailerTakesTheLast520Bytes)
{
    const tail written = packedTrailer();
    for (const std::size_t stub : {0u, 1u, 100000u, 250123u}) {
        Bytes file = mixedBytes<Bytes>(stub, 37);
        const Bytes t = bytesOf(written);
        file.insert(file.end(), t.begin(), t.end());
        writeFile(path("packed"), file);
        tail read;
        std::memset(&read, 0, sizeof read);
        int32_t end = 0;
        EXPECT_EQ(readTrailer(path("packed"), read, end), 0);
        EXPECT_EQ(bytesOf(read), t) << "stub of " << stub << " bytes";
        EXPECT_TRUE(isPackedTrailer(read));
        EXPECT_EQ(read.gzLength, 123456);
        EXPECT_EQ(read.entryCount, 7);
        EXPECT_EQ(read.stubName.view(), "zop.exe");
    }
}

TEST_F(RecordsTest, ReadTrailerOfAFileShorterThanATrailerEndsTheProcess)
{
    writeFile(path("short"), Bytes(519, 1));
    tail t;
    int32_t end = 0;
    EXPECT_EXIT(raiseIfFailed(readTrailer(path("short"), t, end)), ::testing::ExitedWithCode(217), "");
    EXPECT_EXIT(raiseIfFailed(readTrailer(path("missing"), t, end)), ::testing::ExitedWithCode(217), "");
}
