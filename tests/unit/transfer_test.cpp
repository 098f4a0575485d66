#include "core/bytes/filecopy.h"
#include "core/gzip/gzcopy.h"

#include <gtest/gtest.h>

#include "runtime/failure/failure.h"

#include "core/gzip/gzstream.h"
#include "support/scratch.h"

using namespace testsupport;

namespace {

class TransferTest : public ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        source_ = mixedBytes<Bytes>(250005, 31);
        writeFile(path("source"), source_);
    }

    void openSource(BinaryFile& f)
    {
        assignFile(f, path("source"));
        openFile(f, 1);
        ASSERT_EQ(ioResult(), 0);
    }

    void createDestination(BinaryFile& f, const std::string& name = "destination")
    {
        assignFile(f, path(name));
        createFile(f, 1);
        ASSERT_EQ(ioResult(), 0);
    }

    // The next byte a counted read delivers, or -1 at the end of the file.
    static int nextByte(BinaryFile& f)
    {
        unsigned char c;
        return readCounted(f, &c, 1) == 1 ? c : -1;
    }

    Bytes prefix(std::size_t n) const { return Bytes(source_.begin(), source_.begin() + n); }

    // Writes `content` as one gzip member through copyFileToGz, after a
    // 264-byte header written directly, the way the packer writes an entry.
    void packSource(int32_t n)
    {
        GzStream* s = openGz(path("stream.gz"), "w");
        ASSERT_NE(s, nullptr);
        const Bytes head(headerBytes, 'h');
        writeGz(s, head.data(), headerBytes);
        BinaryFile f;
        openSource(f);
        raiseIfFailed(copyFileToGz(f, s, n));
        closeFile(f);
        EXPECT_EQ(closeGz(s), gzOk);
    }

    static constexpr int32_t headerBytes = 264;
    Bytes source_;
};

} // namespace

TEST_F(TransferTest, CopyFileToFileMovesExactlyNBytes)
{
    for (const int32_t n : {0, 1, 99999, 100000, 100001, 200000, 250000}) {
        for (const bool withCrc : {false, true}) {
            BinaryFile src, dst;
            openSource(src);
            createDestination(dst);
            if (withCrc) {
                // Carried on from a CRC of one byte, over all the blocks.
                const unsigned char first = 0xA5;
                const uint32_t before = static_cast<uint32_t>(crc32(0, &first, 1));
                Bytes all = {first};
                all.insert(all.end(), source_.begin(), source_.begin() + n);
                uint32_t crc = before;
                EXPECT_EQ(copyFileToFileWithCrc(src, dst, n, crc), 0);
                EXPECT_EQ(crc, static_cast<uint32_t>(crc32(0, all.data(), static_cast<uInt>(all.size()))))
                    << "n=" << n;
            } else {
                EXPECT_EQ(copyFileToFile(src, dst, n), 0);
            }
            EXPECT_EQ(nextByte(src), source_[n]) << "source left right after the copied bytes, n=" << n;
            closeFile(src);
            closeFile(dst);
            ASSERT_EQ(ioResult(), 0);
            EXPECT_EQ(readFile<Bytes>(path("destination")), prefix(n)) << "n=" << n;
        }
    }
}

TEST_F(TransferTest, CopyFileToFileFromAShortSourceCopiesWhatIsThere)
{
    BinaryFile src, dst;
    openSource(src);
    createDestination(dst);
    EXPECT_EQ(copyFileToFile(src, dst, static_cast<int32_t>(source_.size()) + 10), 0);
    // At the end of the source a further copy of nothing is no failure.
    EXPECT_EQ(copyFileToFile(src, dst, 0), 0);
    EXPECT_EQ(copyFileToFile(src, dst, 300000), 0);
    closeFile(src);
    closeFile(dst);
    EXPECT_EQ(readFile<Bytes>(path("destination")), source_);
}

TEST_F(TransferTest, NegativeCountsMoveNothing)
{
    for (const int32_t n : {-1, -99999, -100000, -250000, INT32_MIN}) {
        BinaryFile src, dst;
        openSource(src);
        createDestination(dst);
        EXPECT_EQ(copyFileToFile(src, dst, n), 0);
        EXPECT_EQ(skipFile(src, n), 0);
        EXPECT_EQ(nextByte(src), source_[0]) << "n=" << n;
        closeFile(src);
        closeFile(dst);
        EXPECT_TRUE(readFile<Bytes>(path("destination")).empty()) << "n=" << n;
    }
}

TEST_F(TransferTest, SkipFilePassesOverExactlyNBytes)
{
    for (const int32_t n : {0, 99999, 100000, 250000}) {
        BinaryFile src;
        openSource(src);
        EXPECT_EQ(skipFile(src, n), 0);
        EXPECT_EQ(nextByte(src), source_[n]) << "n=" << n;
        closeFile(src);
    }
    BinaryFile src;
    openSource(src);
    // Ends on a full block's boundary: no failure.
    EXPECT_EQ(skipFile(src, static_cast<int32_t>(source_.size())), 0);
    EXPECT_EQ(skipFile(src, 0), 0);
    EXPECT_EQ(nextByte(src), -1);
    closeFile(src);
}

TEST_F(TransferTest, SkipFilePastTheEndEndsTheProcess)
{
    EXPECT_EXIT(
        {
            BinaryFile src;
            openSource(src);
            raiseIfFailed(skipFile(src, static_cast<int32_t>(source_.size()) + 1));
            std::exit(0);
        },
        ::testing::ExitedWithCode(217), "");
}

TEST_F(TransferTest, GzRoutinesMoveTheEntryContent)
{
    const int32_t n = 250000;
    packSource(n);
    Bytes expected(headerBytes, 'h');
    expected.insert(expected.end(), source_.begin(), source_.begin() + n);
    EXPECT_EQ(readFile<Bytes>(path("stream.gz")), blockMember(expected));

    GzStream* s = openGz(path("stream.gz"), "r");
    ASSERT_NE(s, nullptr);
    Bytes head(headerBytes);
    EXPECT_EQ(readGz(s, head.data(), headerBytes), headerBytes);
    int64_t delivered = 0;
    EXPECT_EQ(skipGz(s, 99999, delivered), 0);
    BinaryFile dst;
    createDestination(dst);
    EXPECT_EQ(copyGzToFile(s, dst, 0), 0);
    EXPECT_EQ(copyGzToFile(s, dst, 100001), 0);
    EXPECT_EQ(copyGzToFile(s, dst, 50000), 0);
    closeFile(dst);
    char c;
    EXPECT_EQ(readGz(s, &c, 1), 0) << "the stream is used up";
    EXPECT_EQ(closeGz(s), gzOk);
    EXPECT_EQ(readFile<Bytes>(path("destination")), Bytes(source_.begin() + 99999, source_.begin() + n));
}

// The header already announced n bytes: a source that delivers fewer would
// shift every later entry of the stream, so the packer stops instead.
TEST_F(TransferTest, CopyFileToGzFromAShortSourceEndsTheProcess)
{
    EXPECT_EXIT(packSource(static_cast<int32_t>(source_.size()) + 1), ::testing::ExitedWithCode(217), "");
}

TEST_F(TransferTest, GzRoutinesOnANullStreamMoveNothingSilently)
{
    BinaryFile src;
    openSource(src);
    int64_t delivered = 0;
    EXPECT_EQ(skipGz(nullptr, 250000, delivered), 0);
    EXPECT_EQ(copyFileToGz(src, nullptr, 1000), 0);
    closeFile(src);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(TransferTest, CopyGzToFileEndsTheProcessWhenTheStreamEndsEarly)
{
    packSource(1000);
    EXPECT_EXIT(
        {
            GzStream* s = openGz(path("stream.gz"), "r");
            BinaryFile dst;
            createDestination(dst);
            raiseIfFailed(copyGzToFile(s, dst, headerBytes + 1001));
            std::exit(0);
        },
        ::testing::ExitedWithCode(217), "");
    // Exactly the bytes that are there: no failure.
    GzStream* s = openGz(path("stream.gz"), "r");
    BinaryFile dst;
    createDestination(dst);
    EXPECT_EQ(copyGzToFile(s, dst, headerBytes + 1000), 0);
    closeFile(dst);
    closeGz(s);
    EXPECT_EQ(readFile<Bytes>(path("destination")).size(), static_cast<std::size_t>(headerBytes + 1000));
}

TEST_F(TransferTest, CopyGzToFileEndsTheProcessOnADamagedStream)
{
    Bytes member = gzipMember(mixedBytes<Bytes>(1000));
    member[2] = 7;  // unknown compression method
    writeFile(path("damaged.gz"), member);
    EXPECT_EXIT(
        {
            GzStream* s = openGz(path("damaged.gz"), "r");
            BinaryFile dst;
            createDestination(dst);
            raiseIfFailed(copyGzToFile(s, dst, 0));
            std::exit(0);
        },
        ::testing::ExitedWithCode(217), "");
}
