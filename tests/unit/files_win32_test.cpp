// The Windows file layer: sharing as the file-open mode grants it, and the
// separators each operation hands to the system.
#include <windows.h>

#include <string>

#include "support/scratch.h"
#include "runtime/os/oscalls.h"

namespace {

using namespace testsupport;

class Win32FilesTest : public ScratchDirTest {
protected:
    // Error of a second, independent open; 0 when it succeeds.
    static DWORD secondOpen(const char* name, DWORD access)
    {
        const HANDLE h = CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        CloseHandle(h);
        return 0;
    }
};

TEST_F(Win32FilesTest, HeldFileIsReadableButNotWritableAfterStartUpMode)
{
    writeFile("held", "payload");
    fileOpenMode = 0;
    BinaryFile f;
    assignFile(f, "held");
    openFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_EQ(secondOpen("held", GENERIC_READ), 0u);
    EXPECT_EQ(secondOpen("held", GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    closeFile(f);
    EXPECT_EQ(secondOpen("held", GENERIC_WRITE), 0u);

    // A file being written under that mode is still readable by others.
    assignFile(f, "written");
    createFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_EQ(secondOpen("written", GENERIC_READ), 0u);
    EXPECT_EQ(secondOpen("written", GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(Win32FilesTest, InitialModeSharesNothing)
{
    writeFile("held", "payload");
    fileOpenMode = 2;
    BinaryFile f;
    assignFile(f, "held");
    openFile(f, 1);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_EQ(f.mode, fmInOut);
    EXPECT_EQ(secondOpen("held", GENERIC_READ), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    // Our own second open is refused the same way, translated to 5.
    BinaryFile other;
    assignFile(other, "held");
    fileOpenMode = 0;
    openFile(other, 1);
    EXPECT_EQ(ioResult(), 5);
    closeFile(f);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(Win32FilesTest, LookupsKeepSlashesChangingCallsGetBackslashes)
{
    EXPECT_EQ(systemName("a/b\\c/d"), "a\\b\\c\\d");
    EXPECT_EQ(lookupName("a/b\\c"), "a/b\\c");
    CreateDirectoryA("d", nullptr);
    writeFile("d\\f.txt", "x");
    EXPECT_TRUE(fileExists("d/f.txt"));
    SearchRec rec;
    findFirstEntry("d/*.txt", 63, rec);
    EXPECT_EQ(searchStatus, 0);
    EXPECT_EQ(rec.name, "f.txt");
    endFind(rec);
}

TEST_F(Win32FilesTest, DirectoryWithMoreThanTheDirectoryBitStaysAccessDenied)
{
    CreateDirectoryA("plain", nullptr);
    CreateDirectoryA("hidden", nullptr);
    SetFileAttributesA("hidden", FILE_ATTRIBUTE_HIDDEN);
    BinaryFile f;
    assignFile(f, "plain");
    eraseFile(f);
    EXPECT_EQ(ioResult(), 2);
    if (GetFileAttributesA("hidden") != (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN))
        GTEST_SKIP() << "attributes not kept by this file system";
    assignFile(f, "hidden");
    eraseFile(f);
    EXPECT_EQ(ioResult(), 5);
    SetFileAttributesA("hidden", FILE_ATTRIBUTE_NORMAL);
}

} // namespace
