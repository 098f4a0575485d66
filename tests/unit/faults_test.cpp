// Faults of the operating system brought about through the table of OS
// calls, instead of a full or read-only file system: no root, nothing
// mounted, the same on both platforms.
#include "support/scratch.h"
#include "runtime/os/oscalls.h"
#include "runtime/fs/textfile.h"
#include "unpack/container.h"

namespace {

using namespace testsupport;

// A disk with room for so many more bytes. When they are used up a write
// either takes what still fits and says nothing (a short write), or fails
// with the operating system's disk-full code before writing anything.
struct FillingDisk {
    uint32_t room = 0;
    bool failsWhenFull = false;
};
FillingDisk disk;
OsCalls native;

uint32_t writeToFillingDisk(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    if (isStandardHandle(handle))
        return native.writeBytes(handle, buffer, count, written);
    written = 0;
    if (count > disk.room && disk.failsWhenFull)
        return osDiskFull;
    const uint32_t code = native.writeBytes(handle, buffer, count < disk.room ? count : disk.room, written);
    disk.room -= written;
    return code;
}

uint32_t denyCreating(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind, OsHandle& handle)
{
    if (kind == OsOpenKind::createAlways || kind == OsOpenKind::createNew || kind == OsOpenKind::openOrCreate)
        return osAccessDenied;
    return native.open(name, access, sharing, kind, handle);
}

// A system whose calls a signal cuts short: every other call is interrupted
// before it moves a byte, and a write moves at most three bytes at a time.
int interruptions = 0;

uint32_t readInterrupted(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    got = 0;
    if (++interruptions % 2 != 0)
        return osInterrupted;
    return native.readBytes(handle, buffer, count, got);
}

uint32_t writeInterrupted(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    if (isStandardHandle(handle))
        return native.writeBytes(handle, buffer, count, written);
    if (++interruptions % 2 != 0)
        return osInterrupted;
    return native.writeBytes(handle, buffer, count < 3 ? count : 3, written);
}

uint32_t openInterrupted(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                         OsHandle& handle)
{
    if (++interruptions % 2 != 0)
        return osInterrupted;
    return native.open(name, access, sharing, kind, handle);
}

uint32_t denyReading(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    if (isStandardHandle(handle))
        return native.readBytes(handle, buffer, count, got);
    got = 0;
    return osAccessDenied;
}

// An open that only counts: the rules above the table must not depend on
// the platform's own entry being in place.
int opens = 0;

uint32_t countedOpen(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind, OsHandle& handle)
{
    ++opens;
    return native.open(name, access, sharing, kind, handle);
}

class OsFaultTest : public testsupport::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        native = osCalls;
        opens = 0;
    }
    void TearDown() override
    {
        osCalls = native;
        ScratchDirTest::TearDown();
    }

    // A file created for writing before the disk turns full.
    void createOutput(BinaryFile& f)
    {
        assignFile(f, "out.bin");
        createFile(f, 1);
        ASSERT_EQ(ioResult(), 0);
        osCalls.writeBytes = writeToFillingDisk;
    }
};

TEST_F(OsFaultTest, ShortWriteOfABlockIsDiskFullAndKeepsWhatFitted)
{
    BinaryFile f;
    createOutput(f);
    disk = {60, false};
    const std::string bytes(100, 'x');
    EXPECT_EQ(writeCounted(f, bytes.data(), 100), 60);
    EXPECT_EQ(ioResult(), 0) << "a short counted write is no failure";
    disk = {10, false};
    writeBlock(f, bytes.data(), 100);
    EXPECT_EQ(ioResult(), ioDiskFull);
    closeFile(f);
    EXPECT_EQ(readFile("out.bin"), std::string(70, 'x'));
}

TEST_F(OsFaultTest, DiskFullFromTheSystemKeepsTheSystemsCode)
{
    BinaryFile f;
    createOutput(f);
    disk = {0, true};
    writeBlock(f, "abc", 3);
    EXPECT_EQ(ioResult(), osDiskFull);
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(OsFaultTest, TextFileWriteFailureOfAnyKindIsDiskFull)
{
    TextFile t;
    assignText(t, "out.txt");
    createText(t);
    ASSERT_EQ(ioResult(), 0);
    osCalls.writeBytes = writeToFillingDisk;
    disk = {0, true};
    writeText(t, std::string_view("line"));
    closeText(t);
    EXPECT_EQ(ioResult(), ioDiskFull);
}

TEST_F(OsFaultTest, CreatingWhereAccessIsDeniedLeavesTheFileClosed)
{
    osCalls.open = denyCreating;
    BinaryFile f;
    assignFile(f, "out.bin");
    createFile(f, 1);
    EXPECT_EQ(ioResult(), ioAccessDenied);
    EXPECT_EQ(f.mode, fmClosed);
    EXPECT_FALSE(exists("out.bin"));
}

TEST_F(OsFaultTest, InterruptedCallsAreTriedAgainAndShortWritesWrittenOn)
{
    osCalls.open = openInterrupted;
    osCalls.readBytes = readInterrupted;
    osCalls.writeBytes = writeInterrupted;
    BinaryFile f;
    assignFile(f, "out.bin");
    createFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    writeBlock(f, "interrupted", 11);
    EXPECT_EQ(ioResult(), 0);
    closeFile(f);
    char back[11] = {};
    openFile(f, 1);
    readBlock(f, back, 11);
    EXPECT_EQ(ioResult(), 0);
    closeFile(f);
    EXPECT_EQ(std::string(back, 11), "interrupted");
    EXPECT_EQ(readFile("out.bin"), "interrupted");
}

TEST_F(OsFaultTest, HeldFilesRuleHoldsWithTheOpenReplaced)
{
    osCalls.open = countedOpen;
    writeFile("held", "being read");
    BinaryFile reader, writer;
    assignFile(reader, "held");
    openFile(reader, 1);
    ASSERT_EQ(ioResult(), 0);
    assignFile(writer, "held");
    createFile(writer, 1);
    EXPECT_EQ(ioResult(), ioAccessDenied);
    EXPECT_EQ(readFile("held"), "being read");
    closeFile(reader);
    EXPECT_EQ(opens, 2) << "both opens went through the table";
}

TEST_F(OsFaultTest, ContainerIsReadThroughOneOpen)
{
    // Size, image layout and trailer all come from the one handle.
    osCalls.open = countedOpen;
    writeFile("program", std::string(4096, 'x'));
    Container container;
    ContainerKind kind = ContainerKind::packed;
    EXPECT_EQ(readContainer(path("program"), container, kind), 0);
    EXPECT_EQ(kind, ContainerKind::unpacked);
    EXPECT_EQ(opens, 1);
}

TEST_F(OsFaultTest, ContainerThatCannotBeReadIsACodeAndLeavesNothingOpen)
{
    // The reader answers; the mode decides. A failed read leaves no code
    // pending and the file closed (else the held-files rule would refuse
    // the create below).
    Container container;
    ContainerKind kind = ContainerKind::packed;
    EXPECT_EQ(readContainer(path("missing"), container, kind), ioFileNotFound);
    writeFile("program", std::string(4096, 'x'));
    osCalls.readBytes = denyReading;
    EXPECT_EQ(readContainer(path("program"), container, kind), ioAccessDenied);
    EXPECT_EQ(ioResult(), 0);
    osCalls.readBytes = native.readBytes;
    BinaryFile f;
    assignFile(f, path("program"));
    createFile(f, 1);
    EXPECT_EQ(ioResult(), 0);
    closeFile(f);
}

} // namespace
