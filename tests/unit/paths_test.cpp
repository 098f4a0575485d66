// The rules of names and paths: each way of taking a path apart keeps its
// own separators, and the entry-path rule finds every way out of the
// directory an entry is unpacked into.
#include <gtest/gtest.h>

#include "core/paths/paths.h"
#include "runtime/os/ostypes.h"

namespace {

TEST(Paths, EachSplitKeepsItsOwnSeparators)
{
    struct Case {
        std::string_view path, name, nameAfterDrive, parent;
    };
    const Case cases[] = {
        {"zop", "zop", "zop", ""},
        {"dir\\sub/zop.exe", "zop.exe", "zop.exe", "dir\\sub"},
        {"C:zop.exe", "C:zop.exe", "zop.exe", ""},
        {"dir/", "", "", "dir"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(fileNamePart(c.path), c.name);
        EXPECT_EQ(fileNamePartAfterDrive(c.path), c.nameAfterDrive);
        EXPECT_EQ(parentDirectory(c.path), c.parent);
    }
    // Only the Windows side reads "C:" as a directory to put a name behind,
    // and only the Linux side cuts its own "/" for the stub's stored name.
    EXPECT_EQ(directoryPrefix("out/x.exe"), "out/");
    EXPECT_EQ(directoryPrefix("C:x.exe"), driveLetters ? "C:" : "");
    EXPECT_EQ(nativeFileNamePart("a/b\\zop"), "zop");
    EXPECT_EQ(nativeFileNamePart("a\\b/zop"), pathSeparator == '/' ? "zop" : "b/zop");
    EXPECT_EQ(joinPath("dir", "name"), std::string("dir") + pathSeparator + "name");
}

TEST(Paths, EntryPathFaultsFindEveryWayOut)
{
    EXPECT_EQ(entryPathFault("app/lib/x"), PathFault::none);
    EXPECT_EQ(entryPathFault("app/..x/y.."), PathFault::none);
    EXPECT_EQ(entryPathFault("/etc"), PathFault::absolute);
    EXPECT_EQ(entryPathFault("\\x"), PathFault::absolute);
    EXPECT_EQ(entryPathFault("C:x"), PathFault::drive);
    EXPECT_EQ(entryPathFault("a\\..\\..\\b"), PathFault::parent);
    EXPECT_EQ(entryPathFault(".."), PathFault::parent);
    EXPECT_TRUE(isUnsafeEntryName(""));
    EXPECT_TRUE(isUnsafeEntryName("a\tb"));
    EXPECT_FALSE(holdsControlByte("a\tb", true));
    EXPECT_TRUE(fitsPathLength(255));
    EXPECT_FALSE(fitsPathLength(256));
}

} // namespace
