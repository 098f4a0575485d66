// The work directory's removal on one thread and on two: links are removed
// as links, never followed, and a directory swapped for a link while the
// removal runs is not entered through it.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "runtime/os/oscalls.h"
#include "runtime/workdir/removetree.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

// The swap a case makes, once, just before the table call for `when` runs:
// the directory `swapped` (relative to the tree) goes outside and a link to
// the victim takes its place.
OsCalls native;
std::string treeRoot, swapped, victimDir, movedAway;
std::string swapWhen;
std::atomic<bool> swapDone{false};

void swapIfDue(const std::string& dir)
{
    if (dir != swapWhen || swapDone.exchange(true))
        return;
    fs::rename(treeRoot + "/" + swapped, movedAway);
    fs::create_directory_symlink(victimDir, treeRoot + "/" + swapped);
}

bool emptyDirectorySwapping(OsTree* tree, const std::string& dir, std::vector<std::string>& found)
{
    swapIfDue(dir);
    return native.emptyTreeDirectory(tree, dir, found);
}

void removeSubtreeSwapping(OsTree* tree, const std::string& dir)
{
    swapIfDue(dir);
    native.removeSubtree(tree, dir);
}

class RemoveTreeTest : public ScratchDirTest {
protected:
    // A tree wide enough to be split for two threads: x/s00 .. x/s19, each
    // with a file and a subdirectory; links to outside in x/s03 and on top.
    void makeTree()
    {
        treeRoot = path("work");
        victimDir = path("victim");
        movedAway = path("moved");
        fs::create_directories(victimDir + "/inner");
        writeFile(victimDir + "/inner/keep", "keep");
        writeFile(path("outside.txt"), "keep too");
        for (int i = 0; i < 20; ++i) {
            const std::string sub = treeRoot + "/x/s" + (i < 10 ? "0" : "") + std::to_string(i);
            fs::create_directories(sub + "/deep");
            writeFile(sub + "/f", "f");
            writeFile(sub + "/deep/g", "g");
        }
        fs::create_directory_symlink(victimDir, treeRoot + "/x/s03/dlink");
        fs::create_directory_symlink(victimDir, treeRoot + "/x/s03/deep/dlink");
        fs::create_symlink(path("outside.txt"), treeRoot + "/x/s03/flink");
        fs::create_symlink(path("outside.txt"), treeRoot + "/flink");
        fs::create_symlink("/nonexistent", treeRoot + "/x/dangling");
    }

    void expectOutsideKept()
    {
        EXPECT_EQ(readFile(victimDir + "/inner/keep"), "keep");
        EXPECT_EQ(readFile(path("outside.txt")), "keep too");
    }
};

TEST_F(RemoveTreeTest, LinksGoAsLinksOnOneThreadAndOnTwo)
{
    for (const int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        makeTree();
        chmod((treeRoot + "/x/s07").c_str(), 0);  // the owner's rights come back
        removeTree(treeRoot, directoryIdentity(treeRoot), threads);
        EXPECT_FALSE(fs::exists(fs::symlink_status(treeRoot)));
        expectOutsideKept();
    }
}

TEST_F(RemoveTreeTest, DirectorySwappedForALinkDuringRemovalIsNotFollowed)
{
    // Swapped as its subtree is handed out, as its parent is, and as the
    // split is about to list it. The link goes; the directory moved away
    // stays where the swap put it.
    struct Case {
        std::string when, swapped;
    };
    const std::vector<Case> cases = {{"x/s05", "x/s05"}, {"x/s05", "x"}, {"x", "x"}};
    native = osCalls;
    osCalls.emptyTreeDirectory = emptyDirectorySwapping;
    osCalls.removeSubtree = removeSubtreeSwapping;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.when + " swapping " + c.swapped);
        makeTree();
        swapWhen = c.when;
        swapped = c.swapped;
        swapDone = false;
        removeTree(treeRoot, directoryIdentity(treeRoot), 2);
        EXPECT_TRUE(swapDone);
        EXPECT_FALSE(fs::exists(fs::symlink_status(treeRoot)));
        expectOutsideKept();
        EXPECT_THAT(fs::exists(movedAway), true);
        fs::remove_all(movedAway);
    }
    osCalls = native;
}

} // namespace
