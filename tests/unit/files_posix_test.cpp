// The Linux file layer: what it maps by itself rather than by the system's
// own calls — attributes from lstat, backslashes, wildcard matching, DOS
// times, a real full disk and the standard handles.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/process_posix.h"
#include "runtime/os/oscalls.h"
#include "runtime/fs/textfile.h"

namespace {

using namespace testsupport;

class PosixFilesTest : public ScratchDirTest {
protected:
    static uint16_t attributesOf(const std::string& name)
    {
        BinaryFile f;
        assignFile(f, name);
        const uint16_t bits = fileAttributes(f);
        EXPECT_EQ(searchStatus, 0) << name;
        return bits;
    }

    static std::vector<std::string> namesFor(const std::string& pattern)
    {
        std::vector<std::string> names;
        SearchRec rec;
        for (findFirstEntry(pattern, 63, rec); searchStatus == 0; findNextEntry(rec))
            if (rec.name != "." && rec.name != "..")
                names.push_back(rec.name);
        endFind(rec);
        std::sort(names.begin(), names.end());
        return names;
    }

    using Names = std::vector<std::string>;
};

TEST_F(PosixFilesTest, AttributesFromLstat)
{
    writeFile("file", "x");
    writeFile("ro", "x");
    chmod("ro", 0444);
    mkdir("dir", 0755);
    mkdir("rodir", 0555);
    ASSERT_EQ(symlink("dir", "linkdir"), 0);
    ASSERT_EQ(symlink("file", "linkfile"), 0);
    ASSERT_EQ(symlink("nowhere", "dangling"), 0);
    mkfifo("fifo", 0644);

    EXPECT_EQ(attributesOf("file"), faArchive);
    EXPECT_EQ(attributesOf("ro"), faArchive | faReadOnly);
    EXPECT_EQ(attributesOf("dir"), faDirectory);
    EXPECT_EQ(attributesOf("rodir"), faDirectory | faReadOnly);
    // Links are never directories, whatever they point to.
    EXPECT_EQ(attributesOf("linkdir"), faReparsePoint);
    EXPECT_EQ(attributesOf("linkfile"), faReparsePoint);
    EXPECT_EQ(attributesOf("dangling"), faReparsePoint);
    EXPECT_NE(attributesOf("fifo"), 0);
    EXPECT_EQ(attributesOf("fifo") & (faDirectory | faReparsePoint), 0);

    // The enumeration reports the same bits.
    SearchRec rec;
    findFirstEntry("linkdir", 63, rec);
    ASSERT_EQ(searchStatus, 0);
    EXPECT_EQ(rec.attributes, faReparsePoint);
    endFind(rec);
    // A link to a directory is no directory to exclude.
    findFirstEntry("link*", 0, rec);
    EXPECT_EQ(searchStatus, 0);
    endFind(rec);
    EXPECT_TRUE(fileExists("dangling"));
    chmod("rodir", 0755);
}

TEST_F(PosixFilesTest, BackslashesBecomeSlashesEverywhere)
{
    mkdir("d", 0755);
    writeFile("d/f.txt", "content");
    EXPECT_TRUE(fileExists("d\\f.txt"));
    EXPECT_EQ(namesFor("d\\*.*"), (Names{"f.txt"}));
    EXPECT_EQ(attributesOf("d\\f.txt"), faArchive);

    BinaryFile f;
    assignFile(f, "d\\f.txt");
    fileOpenMode = 0;
    openFile(f, 1);
    EXPECT_EQ(fileSize(f), 7);
    closeFile(f);
    eraseFile(f);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_FALSE(exists("d/f.txt"));
    makeDirectory("d\\e");
    changeDirectory("d\\e");
    changeDirectory("..\\..");
    removeDirectory("d\\e");
    EXPECT_EQ(ioResult(), 0);
    EXPECT_FALSE(exists("d/e"));
}

TEST_F(PosixFilesTest, WildcardsAreStarAndQuestionMarkOnly)
{
    for (const char* name : {"a.txt", "b.txt", "abc", ".hidden", "[x].txt", "x.txt", "a.txt.bak"})
        writeFile(name, "");
    EXPECT_EQ(namesFor("*.txt"), (Names{"[x].txt", "a.txt", "b.txt", "x.txt"}));
    EXPECT_EQ(namesFor("?.txt"), (Names{"a.txt", "b.txt", "x.txt"}));
    EXPECT_EQ(namesFor("[x].*"), (Names{"[x].txt"}));
    EXPECT_EQ(namesFor("*"), namesFor("*.*"));
    EXPECT_EQ(namesFor("*").size(), 7u);
    EXPECT_EQ(namesFor(".h*"), (Names{".hidden"}));
}

TEST_F(PosixFilesTest, EntryTimeIsLocalDosDateTime)
{
    writeFile("dated", "x");
    struct tm local{};
    local.tm_year = 2021 - 1900;
    local.tm_mon = 6 - 1;
    local.tm_mday = 17;
    local.tm_hour = 13;
    local.tm_min = 45;
    local.tm_sec = 31;
    local.tm_isdst = -1;
    const time_t when = mktime(&local);
    struct utimbuf times{when, when};
    ASSERT_EQ(utime("dated", &times), 0);

    SearchRec rec;
    findFirstEntry("dated", 63, rec);
    ASSERT_EQ(searchStatus, 0);
    endFind(rec);
    const uint32_t t = static_cast<uint32_t>(rec.time);
    EXPECT_EQ(1980 + (t >> 25), 2021u);
    EXPECT_EQ((t >> 21) & 15, 6u);
    EXPECT_EQ((t >> 16) & 31, 17u);
    EXPECT_EQ((t >> 11) & 31, 13u);
    EXPECT_EQ((t >> 5) & 63, 45u);
    EXPECT_EQ((t & 31) * 2, 30u);  // two-second steps
}

TEST_F(PosixFilesTest, EnumerationOfUnreadableDirectoryNamesTheCode)
{
    writeFile("plain", "x");
    SearchRec rec;
    findFirstEntry("plain/*", 63, rec);  // a file where a directory should be
    EXPECT_EQ(searchStatus, 3);
    endFind(rec);
}

TEST_F(PosixFilesTest, DiskFullIsReportedAs112)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    BinaryFile f;
    assignFile(f, "/dev/full");
    createFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    writeBlock(f, "data", 4);
    EXPECT_EQ(ioResult(), 112);
    EXPECT_EQ(writeCounted(f, "data", 4), 0);
    EXPECT_EQ(ioResult(), 112);
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(describeIoError(112).message, "Unknown Run-Time error : 112");

    const ChildRun run = runInChild([] {
        BinaryFile full;
        assignFile(full, "/dev/full");
        createFile(full, 1);
        writeBlock(full, "data", 4);
        checkIo();
    });
    EXPECT_TRUE(run.exitedWith(217));
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 2u) << run.output;
    EXPECT_EQ(lines[1], "Exception : Unknown Run-Time error : 112");
}

TEST_F(PosixFilesTest, TextWriteToFullDiskIs101)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    TextFile t;
    assignText(t, "/dev/full");
    createText(t);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_TRUE(t.flushAfterLine);  // a character device: flushed at each line end
    writeText(t, std::string_view("line"));
    EXPECT_EQ(ioResult(), 0);
    writeLine(t);
    EXPECT_EQ(ioResult(), 101);
    closeText(t);
    EXPECT_EQ(ioResult(), 0);
}

// Standard output replaced by a file for the length of one test.
class RedirectedOutputTest : public ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int fd = open("captured", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }

    void TearDown() override
    {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        bindStandardFiles(windowedBuild);
        ScratchDirTest::TearDown();
    }

    static bool standardOutputOpen() { return fcntl(STDOUT_FILENO, F_GETFD) != -1; }

    int saved_ = -1;
};

TEST_F(RedirectedOutputTest, EmptyNameBindsStandardOutputWhichIsNeverClosed)
{
    BinaryFile f;
    assignFile(f, "");
    createFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    writeBlock(f, "packed", 6);
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_TRUE(standardOutputOpen());
    EXPECT_EQ(readFile("captured"), "packed");

    TextFile t;
    assignText(t, "");
    createText(t);
    writeText(t, std::string_view("text"));
    closeText(t);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_TRUE(standardOutputOpen());
    EXPECT_EQ(readFile("captured"), "packedtext");
}

TEST_F(RedirectedOutputTest, ConsoleStandardOutputFlushesEachLine)
{
    bindStandardFiles(false);
    writeText(standardOutput, std::string_view("entry"));
    EXPECT_EQ(readFile("captured"), "");
    writeLine(standardOutput);
    EXPECT_EQ(readFile("captured"), "entry\r\n");
    closeText(standardOutput);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_TRUE(standardOutputOpen());
}

} // namespace
