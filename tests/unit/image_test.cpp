// Where an executable's image ends, read from the real stubs of this build:
// the bare stubs end exactly with their image, a packed file cut short has
// bytes after it, and a certificate table at the end of a PE image belongs
// to the image. Signed files are read natively here, also on Linux.
#include "core/container/image.h"
#include "core/container/records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/scratch.h"

using namespace testsupport;

namespace {

// imageFit of the file read as if it ended after length bytes.
ImageFit fitWithin(const std::string& file, std::size_t length)
{
    ImageLayout layout;
    EXPECT_EQ(readImageLayoutOf(file, layout, false, static_cast<int32_t>(length)), 0) << file;
    return imageFit(layout);
}

class ImageTest : public ScratchDirTest {
protected:
    ImageLayout layoutOf(const std::string& file)
    {
        BinaryFile f;
        assignFile(f, file);
        openFile(f, 1);
        EXPECT_EQ(ioResult(), 0) << file;
        ImageLayout layout;
        EXPECT_EQ(readImageLayout(f, layout), 0) << file;
        closeFile(f);
        EXPECT_EQ(ioResult(), 0);
        return layout;
    }

    // The stubs this build made; a build without one skips its cases.
    static std::vector<std::string> stubs()
    {
        std::vector<std::string> found;
#ifdef ZOP_LINUX_STUB
        found.push_back(ZOP_LINUX_STUB);
#endif
#ifdef ZOP_WINDOWS_STUB
        found.push_back(ZOP_WINDOWS_STUB);
#endif
#ifdef ZOP_WINDOWS_X64_STUB
        found.push_back(ZOP_WINDOWS_X64_STUB);
#endif
        return found;
    }

    // A copy of the stub with the bytes appended, as a packed file that lost
    // its trailer looks.
    std::string withAppended(const std::string& stub, const Bytes& appended, const std::string& name)
    {
        Bytes bytes = readFile<Bytes>(stub);
        bytes.insert(bytes.end(), appended.begin(), appended.end());
        writeFile(path(name), bytes);
        return path(name);
    }
};

TEST_F(ImageTest, BareStubsEndWithTheirImageAndCutPackedFilesDoNot)
{
    if (stubs().empty())
        GTEST_SKIP() << "no stubs in this build";
    for (const std::string& stub : stubs()) {
        SCOPED_TRACE(stub);
        const std::size_t size = readFile<Bytes>(stub).size();
        const ImageLayout layout = layoutOf(stub);
        EXPECT_TRUE(layout.known);
        EXPECT_EQ(layout.end, static_cast<int64_t>(size));
        EXPECT_EQ(layout.certificateSize, 0);
        EXPECT_FALSE(hasBytesAfterImage(stub));

        // The start of an entry stream, without the rest and the trailer.
        const std::string cut = withAppended(stub, {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0, 0xED}, "cut");
        EXPECT_EQ(layoutOf(cut).end, static_cast<int64_t>(size));
        EXPECT_TRUE(hasBytesAfterImage(cut));
    }
}

// What signing does to a PE file: zero padding to a multiple of 8 bytes, a
// certificate table appended and named by the security directory, and a new
// checksum.
Bytes signedCopy(const Bytes& file, std::size_t tableSize = 64)
{
    Bytes signedFile = file;
    const uint32_t peAt = file[0x3C] | file[0x3D] << 8;
    const std::size_t optional = peAt + 24;
    const bool pe32plus = (file[optional] | file[optional + 1] << 8) == 0x20B;
    const std::size_t security = optional + (pe32plus ? 112 : 96) + 4 * 8;  // data directory 4
    signedFile.resize((file.size() + 7) / 8 * 8, 0);
    const uint32_t tableAt = static_cast<uint32_t>(signedFile.size());
    const uint32_t size = static_cast<uint32_t>(tableSize);
    std::memcpy(&signedFile[security], &tableAt, 4);
    std::memcpy(&signedFile[security + 4], &size, 4);
    std::memset(&signedFile[optional + 64], 0xA5, 4);
    signedFile.insert(signedFile.end(), tableSize, 0xC7);
    return signedFile;
}

bool isPe(const Bytes& file) { return file.size() > 2 && file[0] == 'M' && file[1] == 'Z'; }

TEST_F(ImageTest, CertificateTableAtTheEndOfAPeImageBelongsToIt)
{
    for (const std::string& path : stubs()) {
        const Bytes stub = readFile<Bytes>(path);
        if (!isPe(stub))
            continue;
        SCOPED_TRACE(path);
        const Bytes signedStub = signedCopy(stub);
        writeFile(this->path("signed"), signedStub);

        const ImageLayout layout = layoutOf(this->path("signed"));
        EXPECT_TRUE(layout.known);
        EXPECT_EQ(layout.sectionsEnd, static_cast<int64_t>(stub.size()));
        EXPECT_EQ(layout.certificateOffset, static_cast<int64_t>(signedStub.size() - 64));
        EXPECT_EQ(layout.certificateSize, 64);
        EXPECT_EQ(layout.end, static_cast<int64_t>(signedStub.size()));
        EXPECT_TRUE(endsWithCertificateTable(layout));
        EXPECT_FALSE(hasBytesAfterImage(this->path("signed")));

        // Cut inside its table (a download cut short): no longer complete.
        Bytes packed = stub;
        packed.resize(stub.size() + 600, 0x11);
        Bytes cut = signedCopy(packed);
        cut.resize(cut.size() - 10);
        writeFile(this->path("cut"), cut);
        EXPECT_TRUE(hasBytesAfterImage(this->path("cut")));
    }
}

// A signed packed file is read as the file it was before signing, whatever
// padding signing added after a trailer that itself ends with zero bytes.
TEST_F(ImageTest, TrailerOfASignedPackedFileLiesBeforeItsCertificateTable)
{
    for (const std::string& path : stubs()) {
        const Bytes stub = readFile<Bytes>(path);
        if (!isPe(stub))
            continue;
        SCOPED_TRACE(path);
        for (int32_t streamLength = 40; streamLength < 48; ++streamLength) {
            tail t;
            std::memset(&t, 0, sizeof t);
            t.signature.assign(recognitionString);
            t.gzLength = streamLength;
            t.entryCount = 2;
            Bytes packed = stub;
            packed.insert(packed.end(), static_cast<std::size_t>(streamLength), 0x1F);
            const auto* record = reinterpret_cast<const unsigned char*>(&t);
            packed.insert(packed.end(), record, record + tailSize);
            writeFile(this->path("signed"), signedCopy(packed));

            tail read{};
            int32_t end = 0;
            EXPECT_EQ(readTrailer(this->path("signed"), read, end), 0);
            EXPECT_EQ(end, static_cast<int32_t>(packed.size()));
            EXPECT_TRUE(isPackedTrailer(read));
            EXPECT_EQ(read.gzLength, streamLength);
            EXPECT_EQ(read.entryCount, 2);
        }
    }
}

// The packer and just-extract copy a signed stub as the stub that was
// signed: no table, no padding, no directory entry, and its checksum.
TEST_F(ImageTest, SignedStubIsCopiedAsItWasBeforeSigning)
{
    for (const std::string& path : stubs()) {
        const Bytes stub = readFile<Bytes>(path);
        if (!isPe(stub))
            continue;
        SCOPED_TRACE(path);
        writeFile(this->path("signed"), signedCopy(stub, 100));
        const ImageLayout layout = layoutOf(this->path("signed"));
        tail bare{};
        int32_t end = 0;
        EXPECT_EQ(readTrailer(this->path("signed"), bare, end), 0);
        EXPECT_EQ(end, static_cast<int32_t>(stub.size()));
        EXPECT_FALSE(isPackedTrailer(bare));
        EXPECT_EQ(std::memcmp(&bare, stub.data() + stub.size() - tailSize, tailSize), 0);

        BinaryFile source, copy;
        assignFile(source, this->path("signed"));
        openFile(source, 1);
        assignFile(copy, this->path("copy"));
        createFile(copy, 1);
        EXPECT_EQ(copyImageUnsigned(source, copy, static_cast<int32_t>(layout.fileSize), layout, this->path("signed")), 0);
        closeFile(source);
        closeFile(copy);
        ASSERT_EQ(ioResult(), 0);
        EXPECT_TRUE(readFile<Bytes>(this->path("copy")) == stub);
    }
}

TEST_F(ImageTest, FilesWhoseTablesCannotBeReadHaveNoKnownImage)
{
    writeFile(path("text"), Bytes{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'});
    EXPECT_FALSE(layoutOf(path("text")).known);
    EXPECT_FALSE(hasBytesAfterImage(path("text")));
    EXPECT_EQ(imageFitOf(path("text")), ImageFit::unknown);
    writeFile(path("long text"), Bytes(5000, 'x'));
    EXPECT_EQ(imageFitOf(path("long text")), ImageFit::unknown);
    writeFile(path("empty"), Bytes{});
    EXPECT_EQ(imageFitOf(path("empty")), ImageFit::unknown);
}

// The fit of each stub, whole, with bytes after it, and cut at the places a
// download cut short leaves it: inside its last table or section, inside
// its first header. A length reads a file as if it ended there.
TEST_F(ImageTest, FitTellsWholeStubsFromLongerAndCutOnes)
{
    for (const std::string& stub : stubs()) {
        SCOPED_TRACE(stub);
        const Bytes bytes = readFile<Bytes>(stub);
        EXPECT_EQ(imageFitOf(stub), ImageFit::whole);
        const std::string longer = withAppended(stub, Bytes(520, 0), "longer");
        EXPECT_EQ(imageFitOf(longer), ImageFit::longer);
        EXPECT_EQ(fitWithin(longer, bytes.size()), ImageFit::whole);
        EXPECT_EQ(fitWithin(longer, bytes.size() + 1), ImageFit::longer);
        for (const std::size_t keep : {bytes.size() - 1, bytes.size() - 16, bytes.size() - 600, std::size_t{63}, std::size_t{4}}) {
            SCOPED_TRACE(keep);
            writeFile(path("cut"), Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep)));
            EXPECT_EQ(imageFitOf(path("cut")), ImageFit::cut);
            EXPECT_FALSE(hasBytesAfterImage(path("cut")));
            EXPECT_EQ(fitWithin(stub, keep), ImageFit::cut);
        }
    }
}

} // namespace
