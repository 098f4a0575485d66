// Binary files, directories, enumeration and attribute queries: the guards
// and codes that the modes rely on, on either platform.
#include <cstring>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "runtime/os/oscalls.h"

namespace {

using namespace testsupport;

class FilesTest : public ScratchDirTest {
protected:
    // Name of a file in a subdirectory, written with the system's separator.
    static std::string inDir(const std::string& dir, const std::string& name)
    {
        return dir + pathSeparator + name;
    }

    // Every entry the enumeration delivers for pattern, with the final status.
    static std::vector<std::string> listAll(const std::string& pattern, uint16_t attributes, uint16_t& status)
    {
        std::vector<std::string> names;
        SearchRec rec;
        for (findFirstEntry(pattern, attributes, rec); searchStatus == 0; findNextEntry(rec))
            names.push_back(rec.name);
        status = searchStatus;
        endFind(rec);
        return names;
    }

    static bool contains(const std::vector<std::string>& names, const std::string& name)
    {
        for (const auto& n : names)
            if (n == name)
                return true;
        return false;
    }
};

TEST_F(FilesTest, PendingErrorBlocksEveryOperationUntilRead)
{
    writeFile("data", "abc");
    ioError = 5;
    BinaryFile f;
    assignFile(f, "data");
    openFile(f, 1);
    EXPECT_EQ(f.mode, fmClosed);
    makeDirectory("sub");
    EXPECT_FALSE(exists("sub"));
    eraseFile(f);
    EXPECT_TRUE(exists("data"));
    EXPECT_EQ(ioError, 5);

    EXPECT_EQ(ioResult(), 5);
    EXPECT_EQ(ioResult(), 0);
    fileOpenMode = 2;
    openFile(f, 1);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(f.mode, fmInOut);
    closeFile(f);
}

TEST_F(FilesTest, GuardsReportTheirCodes)
{
    writeFile("data", "abc");
    char buffer[4];

    BinaryFile never;  // zero-initialised: never assigned
    openFile(never, 1);
    EXPECT_EQ(ioResult(), 102);
    createFile(never, 1);
    EXPECT_EQ(ioResult(), 102);

    BinaryFile f;
    assignFile(f, "data");
    openFile(f, 0);
    EXPECT_EQ(ioResult(), 2);
    EXPECT_EQ(f.mode, fmClosed);
    assignFile(f, "absent");
    openFile(f, 1);
    EXPECT_EQ(ioResult(), 2);
    assignFile(f, inDir("nodir", "absent"));
    openFile(f, 1);
    EXPECT_EQ(ioResult(), 3);
    assignFile(f, "data");

    closeFile(f);
    EXPECT_EQ(ioResult(), 103);
    readBlock(f, buffer, 1);
    EXPECT_EQ(ioResult(), 103);
    EXPECT_EQ(readCounted(f, buffer, 1), 0);
    EXPECT_EQ(ioResult(), 103);
    writeBlock(f, buffer, 1);
    EXPECT_EQ(ioResult(), 103);
    EXPECT_EQ(fileSize(f), 0);
    EXPECT_EQ(ioResult(), 103);

    fileOpenMode = 0;  // read only
    openFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_EQ(f.mode, fmInput);
    writeBlock(f, "x", 1);
    EXPECT_EQ(ioResult(), 105);
    EXPECT_EQ(writeCounted(f, "x", 1), 0);
    EXPECT_EQ(ioResult(), 105);
    closeFile(f);

    fileOpenMode = 1;  // write only
    openFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_EQ(f.mode, fmOutput);
    readBlock(f, buffer, 1);
    EXPECT_EQ(ioResult(), 104);
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(FilesTest, ShortReadDeliversWhatIsThereAndReports100)
{
    std::string content(1000, '\0');
    for (int i = 0; i < 1000; ++i)
        content[i] = static_cast<char>(i * 7);
    writeFile("data", content);
    fileOpenMode = 0;
    BinaryFile f;
    assignFile(f, "data");
    openFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    std::vector<char> block(100000, 'z');
    readBlock(f, block.data(), 100000);
    EXPECT_EQ(ioResult(), 100);
    EXPECT_EQ(std::string(block.data(), 1000), content);
    EXPECT_EQ(block[1000], 'z');

    // At the end a counted read is simply empty.
    EXPECT_EQ(readCounted(f, block.data(), 10), 0);
    EXPECT_EQ(ioResult(), 0);
    // A zero count is no read at all and no failure.
    readBlock(f, block.data(), 0);
    EXPECT_EQ(ioResult(), 0);
    closeFile(f);
}

TEST_F(FilesTest, CreateTruncatesAndWritesInOut)
{
    writeFile("data", "old contents that are long");
    BinaryFile f;
    assignFile(f, "data");
    createFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_EQ(f.mode, fmInOut);
    EXPECT_EQ(fileSize(f), 0);
    EXPECT_EQ(writeCounted(f, "hello", 5), 5);
    writeBlock(f, " world", 6);
    EXPECT_EQ(ioResult(), 0);
    closeFile(f);
    EXPECT_EQ(readFile("data"), "hello world");
}

TEST_F(FilesTest, FileHeldOpenIsNeitherCreatedOverNorOpenedForWriting)
{
    // Windows refuses it as a sharing violation; the Linux file layer keeps
    // the same rule for the files the process holds open.
    writeFile("held", "being read");
    fileOpenMode = 0;
    BinaryFile reader, again, writer;
    assignFile(reader, "held");
    openFile(reader, 1);
    ASSERT_EQ(ioResult(), 0);
    assignFile(again, "held");
    openFile(again, 1);
    EXPECT_EQ(ioResult(), 0) << "reading it twice is fine";
    closeFile(again);
    assignFile(writer, "held");
    createFile(writer, 1);
    EXPECT_EQ(ioResult(), ioAccessDenied);
    fileOpenMode = 1;  // write-only opens
    openFile(writer, 1);
    EXPECT_EQ(ioResult(), ioAccessDenied);
    fileOpenMode = 0;
    EXPECT_EQ(readFile("held"), "being read");

    closeFile(reader);
    createFile(writer, 1);
    EXPECT_EQ(ioResult(), 0) << "closed, it is an ordinary file again";
    closeFile(writer);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(FilesTest, FileSizeLeavesThePositionAlone)
{
    BinaryFile f;
    assignFile(f, "data");
    createFile(f, 1);
    writeBlock(f, "0123456789", 10);
    EXPECT_EQ(fileSize(f), 10);
    writeBlock(f, "abc", 3);  // continues at 10, not at the end or the start
    EXPECT_EQ(fileSize(f), 13);
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(readFile("data"), "0123456789abc");

    fileOpenMode = 0;
    openFile(f, 1);
    char buffer[4] = {};
    readBlock(f, buffer, 3);
    EXPECT_EQ(fileSize(f), 13);
    readBlock(f, buffer, 3);
    EXPECT_EQ(std::string(buffer, 3), "345");
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(FilesTest, ReadOnlyFileOpensAfterStartUpMode)
{
    writeFile("ro", "locked");
    makeReadOnly("ro");
    fileOpenMode = 0;
    BinaryFile f;
    assignFile(f, "ro");
    openFile(f, 1);
    EXPECT_EQ(ioResult(), 0);
    char buffer[6];
    readBlock(f, buffer, 6);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(std::string(buffer, 6), "locked");
    closeFile(f);
    makeWritable("ro");
}

TEST_F(FilesTest, EraseFileActsOnlyOnClosedFilesAndCallsDirectoriesMissing)
{
    writeFile("data", "x");
    BinaryFile f;
    assignFile(f, "data");
    fileOpenMode = 0;
    openFile(f, 1);
    eraseFile(f);  // open: nothing happens, nothing is reported
    EXPECT_EQ(ioResult(), 0);
    EXPECT_TRUE(exists("data"));
    closeFile(f);
    eraseFile(f);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_FALSE(exists("data"));

    eraseFile(f);
    EXPECT_EQ(ioResult(), 2);

    makeDirectory("sub");
    assignFile(f, "sub");
    eraseFile(f);
    EXPECT_EQ(ioResult(), 2);
    EXPECT_TRUE(exists("sub"));

    BinaryFile never;
    eraseFile(never);
    EXPECT_EQ(ioResult(), 102);
}

TEST_F(FilesTest, DirectoryCodes)
{
    makeDirectory("sub");
    EXPECT_EQ(ioResult(), 0);
    makeDirectory("sub");
    EXPECT_EQ(ioResult(), 5);
    EXPECT_EQ(ioResult(), 0);

    writeFile(inDir("sub", "f"), "x");
    removeDirectory("sub");
    EXPECT_EQ(ioResult(), 5);  // not empty
    EXPECT_TRUE(exists("sub"));

    removeDirectory(".");
    EXPECT_EQ(ioResult(), 16);

    BinaryFile f;  // a directory is no file to open
    assignFile(f, "sub");
    fileOpenMode = 0;
    openFile(f, 1);
    EXPECT_EQ(ioResult(), 5);

    removeDirectory("absent");
    EXPECT_EQ(ioResult(), 2);

    changeDirectory("absent");
    EXPECT_EQ(ioResult(), 3);  // 2 from the system becomes 3
    changeDirectory(inDir("absent", "deeper"));
    EXPECT_EQ(ioResult(), 3);

    const std::string start = currentDirectory();
    changeDirectory("sub");
    EXPECT_EQ(currentDirectory(), start + pathSeparator + "sub");
    changeDirectory("..");
    EXPECT_EQ(currentDirectory(), start);

    // An empty path does nothing at all.
    makeDirectory("");
    removeDirectory("");
    changeDirectory("");
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(FilesTest, OverlongNamesAreRefusedNotCut)
{
    // A name cut to what the system takes would name another file: the
    // longest one is used whole, a longer one fails with 3 and creates
    // nothing, not even under its cut name.
    const std::string longest = std::string(fileNameMax, 'n');
    const std::string overlong = longest + "x";
    BinaryFile f;
    assignFile(f, overlong);
    EXPECT_EQ(ioResult(), 3);
    createFile(f, 1);
    EXPECT_EQ(ioResult(), 102) << "left unassigned";
    makeDirectory(overlong);
    EXPECT_EQ(ioResult(), 3);
    changeDirectory(overlong);
    EXPECT_EQ(ioResult(), 3);
    assignFile(f, longest);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(f.name, longest);
}

TEST_F(FilesTest, ForeignSeparatorsReachTheSystemConverted)
{
    const std::string foreign(1, foreignSeparator);
    EXPECT_EQ(systemName("a" + foreign + "b" + foreign + "c"),
              std::string("a") + pathSeparator + "b" + pathSeparator + "c");
    if (convertLookupNames)
        EXPECT_EQ(lookupName("a" + foreign + "b"), std::string("a") + pathSeparator + "b");
    else
        EXPECT_EQ(lookupName("a" + foreign + "b"), "a" + foreign + "b");

    // Written either way, the same file and directory are meant.
    makeDirectory("d");
    makeDirectory("d" + foreign + "e");
    ASSERT_EQ(ioResult(), 0);
    BinaryFile f;
    assignFile(f, "d" + foreign + "e" + foreign + "f.bin");
    createFile(f, 1);
    writeBlock(f, "xyz", 3);
    closeFile(f);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_EQ(readFile(inDir(inDir("d", "e"), "f.bin")), "xyz");
    changeDirectory("d" + foreign + "e");
    ASSERT_EQ(ioResult(), 0);
    changeDirectory(std::string("..") + pathSeparator + "..");
    eraseFile(f);  // relative to the scratch directory again
    removeDirectory("d" + foreign + "e");
    EXPECT_EQ(ioResult(), 0);
    EXPECT_FALSE(exists("d/e"));
}

TEST_F(FilesTest, EnumerationOfAnEmptyDirectoryGivesDotEntriesThen18)
{
    makeDirectory("empty");
    SearchRec rec;
    findFirstEntry(inDir("empty", "*.*"), 63, rec);
    std::vector<std::string> names;
    while (searchStatus == 0) {
        names.push_back(rec.name);
        EXPECT_NE(rec.attributes & faDirectory, 0) << rec.name;
        findNextEntry(rec);
    }
    EXPECT_EQ(searchStatus, 18);
    endFind(rec);
    EXPECT_EQ(names.size(), 2u);
    EXPECT_TRUE(contains(names, "."));
    EXPECT_TRUE(contains(names, ".."));
}

TEST_F(FilesTest, EnumerationStatusForMissingDirectoryAndNoMatch)
{
    uint16_t status = 0;
    EXPECT_TRUE(listAll(inDir("nodir", "*.*"), 63, status).empty());
    EXPECT_EQ(status, 3);
    writeFile("a.txt", "1");
    EXPECT_TRUE(listAll("*.xyz", 63, status).empty());
    EXPECT_EQ(status, 18);
    EXPECT_TRUE(listAll("absent.txt", 63, status).empty());
    EXPECT_EQ(status, 18);

    // No enumeration running: nothing is delivered.
    SearchRec rec;
    findNextEntry(rec);
    EXPECT_NE(searchStatus, 0);
    endFind(rec);
}

TEST_F(FilesTest, EnumerationExcludesDirectoriesUnlessAsked)
{
    writeFile("a.txt", "12345");
    writeFile("b.dat", "");
    makeDirectory("sub");
    uint16_t status = 0;

    auto everything = listAll("*", 63, status);
    EXPECT_EQ(status, 18);
    EXPECT_TRUE(contains(everything, "a.txt"));
    EXPECT_TRUE(contains(everything, "b.dat"));
    EXPECT_TRUE(contains(everything, "sub"));
    EXPECT_TRUE(contains(everything, "."));

    auto filesOnly = listAll("*.*", 0, status);
    EXPECT_EQ(status, 18);
    EXPECT_EQ(filesOnly.size(), 2u);
    EXPECT_TRUE(contains(filesOnly, "a.txt"));
    EXPECT_TRUE(contains(filesOnly, "b.dat"));

    auto txt = listAll("*.txt", 63, status);
    ASSERT_EQ(txt.size(), 1u);
    EXPECT_EQ(txt[0], "a.txt");
}

TEST_F(FilesTest, EnumerationFillsSizeTimeAndAttributes)
{
    writeFile("a.txt", std::string(1234, 'q'));
    SearchRec rec;
    findFirstEntry("a.txt", 63, rec);
    ASSERT_EQ(searchStatus, 0);
    EXPECT_EQ(rec.name, "a.txt");
    EXPECT_EQ(rec.size, 1234);
    EXPECT_EQ(rec.attributes & faDirectory, 0);
    // DOS date-time: a year since 1980 in the top 7 bits, month 1..12.
    const uint32_t time = static_cast<uint32_t>(rec.time);
    const uint32_t year = 1980 + (time >> 25);
    const uint32_t month = (time >> 21) & 15;
    EXPECT_GE(year, 2020u);
    EXPECT_GE(month, 1u);
    EXPECT_LE(month, 12u);
    findNextEntry(rec);
    EXPECT_EQ(searchStatus, 18);
    endFind(rec);
}

TEST_F(FilesTest, AttributesAndExistence)
{
    writeFile("f", "x");
    makeDirectory("sub");
    BinaryFile f;
    assignFile(f, "f");
    const uint16_t fileBits = fileAttributes(f);
    EXPECT_EQ(searchStatus, 0);
    EXPECT_NE(fileBits, 0);
    EXPECT_EQ(fileBits & faDirectory, 0);
    assignFile(f, "sub");
    EXPECT_NE(fileAttributes(f) & faDirectory, 0);
    EXPECT_EQ(searchStatus, 0);

    assignFile(f, "absent");
    EXPECT_EQ(fileAttributes(f), 0);
    EXPECT_EQ(searchStatus, 2);
    EXPECT_EQ(ioError, 0);  // the query reports through searchStatus only

    EXPECT_TRUE(fileExists("f"));
    EXPECT_TRUE(fileExists("sub"));
    EXPECT_TRUE(fileExists("*"));
    EXPECT_FALSE(fileExists("absent"));
    EXPECT_FALSE(fileExists(inDir("nodir", "f")));
}

TEST_F(FilesTest, CreateOnReadOnlyFileIsRefused)
{
    writeFile("ro", "keep");
    makeReadOnly("ro");
    BinaryFile f;
    assignFile(f, "ro");
    createFile(f, 1);
    const uint16_t code = ioResult();
    makeWritable("ro");
    if (code == 0) {
        closeFile(f);
        GTEST_SKIP() << "running with rights that override file permissions";
    }
    EXPECT_EQ(code, 5);
    EXPECT_EQ(readFile("ro"), "keep");
}

} // namespace

TEST(DeviceNames, AnyComponentWithOrWithoutExtensionInAnyCase)
{
    for (const char* path : {"NUL", "con", "Aux.txt", "prn.tar.gz", "COM1", "com9.log", "LPT1", "lpt9",
                             "CONIN$", "conout$.x", "sub\\nul", "sub/Com3\\file.txt", "a\\CON \\b", "NUL:",
                             "COM\xc2\xb9", "C:\\TEMP\\zop.7\\aux"})
        EXPECT_TRUE(namesDevice(path)) << path;
    for (const char* path : {"", "NULL", "nul_", "xcon", "console.txt", "COM0", "COM10", "LPT", "com", "COMA",
                             "CONIN", "sub\\connect\\nu", ".nul", "C:\\TEMP\\zop.7\\app"})
        EXPECT_FALSE(namesDevice(path)) << path;
    EXPECT_EQ(isReservedDeviceName("sub\\NUL"), deviceNamesReserved);
    EXPECT_FALSE(isReservedDeviceName("sub\\file"));
}
