// Where an executable's image ends, read from the real stubs of this build:
// the bare stubs end exactly with their image, a packed file cut short has
// bytes after it, and a certificate table at the end of a PE image belongs
// to the image.
#include "core/image.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core_testutil.h"

using namespace coretest;

namespace {

class ImageTest : public ScratchTest {
protected:
    ImageLayout layoutOf(const std::string& file)
    {
        BinaryFile f;
        assignFile(f, file);
        openFile(f, 1);
        EXPECT_EQ(ioResult(), 0) << file;
        const ImageLayout layout = readImageLayout(f);
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
        Bytes bytes = readFileBytes(stub);
        bytes.insert(bytes.end(), appended.begin(), appended.end());
        writeFileBytes(path(name), bytes);
        return path(name);
    }
};

TEST_F(ImageTest, BareStubsEndWithTheirImageAndCutPackedFilesDoNot)
{
    if (stubs().empty())
        GTEST_SKIP() << "no stubs in this build";
    for (const std::string& stub : stubs()) {
        SCOPED_TRACE(stub);
        const std::size_t size = readFileBytes(stub).size();
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

TEST_F(ImageTest, CertificateTableAtTheEndOfAPeImageBelongsToIt)
{
    for (const std::string& path : stubs()) {
        const Bytes stub = readFileBytes(path);
        if (stub.size() < 2 || stub[0] != 'M' || stub[1] != 'Z')
            continue;
        SCOPED_TRACE(path);
        const uint32_t peAt = stub[0x3C] | stub[0x3D] << 8;
        const bool pe32plus = (stub[peAt + 24] | stub[peAt + 25] << 8) == 0x20B;
        const std::size_t security = peAt + 24 + (pe32plus ? 112 : 96) + 4 * 8;  // data directory 4
        const Bytes table(64, 0xC7);

        Bytes signedStub = stub;
        const uint32_t tableAt = static_cast<uint32_t>(stub.size());
        std::memcpy(&signedStub[security], &tableAt, 4);
        const uint32_t tableSize = static_cast<uint32_t>(table.size());
        std::memcpy(&signedStub[security + 4], &tableSize, 4);
        signedStub.insert(signedStub.end(), table.begin(), table.end());
        writeFileBytes(this->path("signed"), signedStub);

        const ImageLayout layout = layoutOf(this->path("signed"));
        EXPECT_TRUE(layout.known);
        EXPECT_EQ(layout.sectionsEnd, static_cast<int64_t>(stub.size()));
        EXPECT_EQ(layout.certificateOffset, static_cast<int64_t>(stub.size()));
        EXPECT_EQ(layout.certificateSize, 64);
        EXPECT_EQ(layout.end, static_cast<int64_t>(signedStub.size()));
        EXPECT_FALSE(hasBytesAfterImage(this->path("signed")));
    }
}

TEST_F(ImageTest, FilesWhoseTablesCannotBeReadHaveNoKnownImage)
{
    writeFileBytes(path("text"), Bytes{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'});
    EXPECT_FALSE(layoutOf(path("text")).known);
    EXPECT_FALSE(hasBytesAfterImage(path("text")));
    if (stubs().empty())
        return;
    // Cut inside its own tables: what is left cannot say where it ends.
    Bytes stub = readFileBytes(stubs()[0]);
    stub.resize(stub.size() - 16);
    writeFileBytes(path("short"), stub);
    EXPECT_FALSE(hasBytesAfterImage(path("short")));
}

} // namespace
