// Planning a launch with the cache while another launcher finishes: the
// other one renames its whole tree into place between this launch's first
// look (no tree) and its second (a directory is there). The tree is taken
// as a hit; it is neither set aside nor unpacked again.
#include <gmock/gmock.h>
#include <stdlib.h>

#include <filesystem>

#include "core/container/records.h"
#include "core/launch/appstate.h"
#include "runtime/os/oscalls.h"
#include "support/scratch.h"
#include "unpack/cache.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

OsCalls native;
std::string finishedTree, treeInRoot;

// The other launcher's rename lands just after the first lock on the
// missing record failed.
bool lockFileThenLetTheOtherFinish(const std::string& name, OsLockKind kind, OsHandle& handle)
{
    const bool locked = native.lockFile(name, kind, handle);
    if (!locked && !finishedTree.empty()) {
        fs::rename(finishedTree, treeInRoot);
        finishedTree.clear();
    }
    return locked;
}

std::string int32Bytes(int32_t value)
{
    const auto bits = static_cast<uint32_t>(value);
    return {static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
            static_cast<char>((bits >> 16) & 0xFF), static_cast<char>(bits >> 24)};
}

class CachePlanTest : public ScratchDirTest {};

TEST_F(CachePlanTest, TreeRenamedIntoPlaceBetweenTwoLooksIsAHit)
{
    const std::string key(32, '\x5A');
    tail trailer{};
    ASSERT_TRUE(addTrailerRecord(trailer, cacheOptionTag, {}));
    ASSERT_TRUE(addTrailerRecord(trailer, streamKeyTag, key));
    const std::string root = path("cache");
    fs::create_directory(root);
    fs::permissions(root, fs::perms::owner_all);
    setenv("ZOP_CACHE_DIR", root.c_str(), 1);
    treeInRoot = root + "/";
    for (int i = 0; i < 16; ++i)
        treeInRoot += "5a";  // the key's first 16 bytes in hex
    finishedTree = path("other");
    fs::create_directory(finishedTree);
    writeFile(finishedTree + "/a.txt", "hello");
    writeFile(finishedTree + "/zop.rec",
              "ZOPTREE1" + key + "f" + int32Bytes(5) + int32Bytes(5) + "a.txt" + "END1");

    native = osCalls;
    osCalls.lockFile = lockFileThenLetTheOtherFinish;
    AppState state;
    CachePlan plan = planCache(trailer, state);
    osCalls = native;
    const bool heldTheTree = plan.treeLock.handle != noHandle;
    releaseCachedTree(plan);
    unsetenv("ZOP_CACHE_DIR");

    EXPECT_TRUE(finishedTree.empty()) << "the first look found no tree";
    EXPECT_EQ(plan.use, CacheUse::hit);
    EXPECT_TRUE(heldTheTree) << "a hit runs under the shared lock on the tree's record";
    EXPECT_EQ(readFile(treeInRoot + "/a.txt"), "hello");
    EXPECT_THAT(plan.privateDir, testing::IsEmpty());
    // The launch runs in the tree, which no end of the launch removes.
    EXPECT_EQ(state.workDir, treeInRoot);
    EXPECT_EQ(state.workFile, treeInRoot + "/zop.gz");
    EXPECT_FALSE(state.workDirIdentity.known);
}

// A record that would outgrow what a hit reads (64 MiB) drops the files and
// directories that do not fit and says so; commands still go in, since a
// miss runs them from the record.
TEST(TreeRecord, PastTheLargestSizeOnlyCommandsGoIn)
{
    TreeRecord record;
    record.bytes.assign((64 << 20) - 20, 'x');
    noteTreeEntry(record, 'f', 1, "a");
    EXPECT_FALSE(record.tooLarge) << "an item that fits with the record's end goes in";
    const std::size_t size = record.bytes.size();
    noteTreeEntry(record, 'd', -1, "b");
    EXPECT_TRUE(record.tooLarge);
    EXPECT_EQ(record.bytes.size(), size);
    noteTreeEntry(record, 'c', -1, "run");
    EXPECT_EQ(record.bytes.size(), size + 9 + 3);
}

} // namespace
