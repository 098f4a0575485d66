// The cache of unpacked trees ("o cache") as a user meets it, on Linux and
// under Wine: the recipe option and its trailer record, the key that
// guards the cache, and launches that hit, miss or fall back.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <future>
#include <zlib.h>

#include <gmock/gmock.h>

#include "harness.h"
#include "support/process_posix.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

// The tagged records of the trailer's filler, as the packer lays them out
// after the CRC-32 field: tag, size byte, payload.
std::map<std::string, std::string> trailerRecords(std::string_view tailBytes)
{
    std::map<std::string, std::string> records;
    for (std::size_t at = crcFieldAt + 8; at + 5 <= 516 && tailBytes[at] != 0;) {
        const std::size_t size = static_cast<unsigned char>(tailBytes[at + 4]);
        records[std::string(tailBytes.substr(at, 4))] = std::string(tailBytes.substr(at + 5, size));
        at += 5 + size;
    }
    return records;
}

class CacheTest : public PlatformTest {
protected:
    std::string inCwd(std::string_view relative) const { return scratch.cwd() + "/" + std::string(relative); }
    std::string stubFileName() const { return onWindows() ? "zop.exe" : "zop"; }

    // Packs the recipe (in the current directory) into name; returns its path.
    std::string pack(std::string_view recipe, const std::string& name = "app")
    {
        writeFile(inCwd("recipe.zop"), recipe);
        const std::string exe = inCwd(name + platform().exeSuffix);
        const RunResult r = run(platform().stub, {"recipe.zop", seen(exe)});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        chmod(exe.c_str(), 0755);
        return exe;
    }
};

TEST_P(CacheTest, CacheOptionIsRecordedAndSurvivesJustExtract)
{
    makeDirectories(inCwd("bin"));
    writeFile(inCwd("bin/a.txt"), "a");
    const std::string cached = pack("o cache\nd bin\nf bin/a.txt\nc x\nt y\n", "cached");
    const std::string plain = pack("d bin\nf bin/a.txt\nc x\nt y\n", "plain");
    EXPECT_TRUE(trailerRecords(splitPacked(readFile(cached)).tailBytes).contains("CACH"));
    EXPECT_FALSE(trailerRecords(splitPacked(readFile(plain)).tailBytes).contains("CACH"));
    EXPECT_EQ(readEntries(readFile(cached)), readEntries(readFile(plain)));

    const std::string out = scratch.path("out");
    makeDirectories(out);
    RunOptions inOut;
    inOut.cwd = out;
    ASSERT_EQ(run(cached, {"--zop-justextract"}, inOut).exitCode, 0);
    EXPECT_THAT(readFile(out + "/app.zop"), ::testing::StartsWith("o cache\r\n"));
    const std::string stub = out + "/" + stubFileName();
    chmod(stub.c_str(), 0755);
    const RunResult again = run(stub, {"app.zop", "again"}, inOut);
    ASSERT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_EQ(readFile(out + "/again"), readFile(cached));
}

// Launches of a cached app: the probe records the work directory it was
// given and where it ran; cat shows a packed file's content.
class CacheRunTest : public CacheTest {
public:
    std::string root() const { return scratch.path("cache"); }
    std::string probeLog() const { return scratch.path("probe.log"); }

    std::string packApp(const std::string& name = "app")
    {
        makeDirectories(inCwd("data"));
        writeFile(inCwd("data/a.txt"), "packed content");
        return pack("o cache\nr data\nt " + seen(platform().probe) + " %tempdir%\nt /bin/cat data/a.txt\n", name);
    }

    RunResult launch(const std::string& exe, std::map<std::string, std::optional<std::string>> env = {})
    {
        RunOptions options;
        options.env = env;
        options.env["PROBE_OUT"] = seen(probeLog());
        if (!options.env.contains("ZOP_CACHE_DIR"))
            options.env["ZOP_CACHE_DIR"] = root();
        return run(exe, {}, options);
    }

    // The work directory of the last launch, as the probe saw it.
    std::string lastWorkDir() const
    {
        const auto records = readProbeRecords(probeLog());
        return records.empty() || records.back().argv.size() < 2 ? "" : records.back().argv[1];
    }

    std::string onlyTree() const
    {
        for (const std::string& name : rootNames())
            if (name.size() == 32 && name.find_first_not_of("0123456789abcdef") == std::string::npos)
                return root() + "/" + name;
        return {};
    }

    // Sets the last change of path that many seconds back.
    static void age(const std::string& path, long seconds)
    {
        const timespec then{time(nullptr) - seconds, 0};
        const timespec times[2] = {then, then};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }

    // A shared lock as a running launcher holds it on its tree's record;
    // released when the returned descriptor is closed.
    static int holdSharedLock(const std::string& path)
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(fd >= 0 && flock(fd, LOCK_SH) == 0, true) << path;
        return fd;
    }

    std::vector<std::string> rootNames() const
    {
        std::vector<std::string> names;
        if (std::filesystem::is_directory(root()))
            for (const auto& e : std::filesystem::directory_iterator(root()))
                names.push_back(e.path().filename().string());
        return names;
    }

protected:
    void SetUp() override
    {
        CacheTest::SetUp();
        if (onWindows())
            GTEST_SKIP() << "the cache is kept on Linux only";
    }
};

TEST_P(CacheRunTest, MissThenHitRunFromOneTreeAndZopCacheZeroUnpacksToTemp)
{
    const std::string exe = packApp();
    const RunResult miss = launch(exe);
    ASSERT_EQ(miss.exitCode, 0) << miss.out << miss.err;
    EXPECT_EQ(miss.out, "packed content");
    const std::vector<std::string> names = rootNames();
    ASSERT_EQ(names.size(), 1u) << "one tree, no private directory left";
    EXPECT_THAT(names[0], ::testing::MatchesRegex("[0-9a-f]{32}"));
    const std::string tree = root() + "/" + names[0];
    EXPECT_EQ(lastWorkDir(), tree);
    EXPECT_EQ(readProbeRecords(probeLog()).back().cwd, tree);
    EXPECT_EQ(listTree(tree), (std::vector<std::string>{"data/", "data/a.txt", "zop.rec"}));
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
    struct stat info{};
    ASSERT_EQ(stat(root().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A hit never reads the stream: a file whose stream is gone still runs.
    const std::string bytes = readFile(exe);
    const PackedFile p = splitPacked(bytes);
    std::string hollow = bytes;
    hollow.replace(p.stub.size(), p.member.size(), std::string(p.member.size(), '\0'));
    writeFile(exe, hollow);
    const RunResult hit = launch(exe);
    EXPECT_EQ(hit.exitCode, 0) << hit.out << hit.err;
    EXPECT_EQ(hit.out, "packed content");
    EXPECT_EQ(lastWorkDir(), tree);

    writeFile(exe, bytes);
    const RunResult off = launch(exe, {{"ZOP_CACHE", "0"}});
    EXPECT_EQ(off.exitCode, 0) << off.out << off.err;
    EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(scratch.temp() + "/zop."));
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

// Every launch that cannot use a tree of the cache runs as before, from a
// fresh work directory (TEMP, or a private one that goes with the launch).
TEST_P(CacheRunTest, ProblemsWithTheCacheFallBackToAFreshWorkDirectory)
{
    const struct {
        std::string name;
        std::function<void(CacheRunTest&)> spoil;
        std::string workDirPrefix;  // relative to the scratch root
    } cases[] = {
        {"RootWritableByOthers", [](CacheRunTest& t) { makeDirectories(t.root()); chmod(t.root().c_str(), 0777); },
         "temp/zop."},
        {"RootIsAFile", [](CacheRunTest& t) { writeFile(t.root(), "x"); }, "temp/zop."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root());
        c.spoil(*this);
        const RunResult r = launch(packApp());
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "packed content");
        EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(scratch.path(c.workDirPrefix)));
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
        for (const std::string& name : rootNames())
            EXPECT_THAT(name, ::testing::Not(::testing::StartsWith("zop."))) << "a private directory stays";
    }
    const RunResult uncreatable = launch(packApp(), {{"ZOP_CACHE_DIR", "/proc/zop-cache"}});
    EXPECT_EQ(uncreatable.exitCode, 0);
    EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(scratch.temp() + "/zop."));
}

// A tree that fails its check is replaced by a fresh one, unless a launcher
// runs from it (a shared lock on its record): then the launch unpacks
// privately and leaves the tree as it is.
TEST_P(CacheRunTest, TreeThatFailsItsCheckIsReplacedUnlessInUse)
{
    const struct {
        std::string name;
        std::function<void(const std::string& tree)> spoil;
    } damages[] = {
        {"PackedFileDeleted", [](const std::string& tree) { std::filesystem::remove(tree + "/data/a.txt"); }},
        {"PackedFileCutShort", [](const std::string& tree) { writeFile(tree + "/data/a.txt", "packed"); }},
        {"RecordOfAnotherKey", [](const std::string& tree) {
             std::string bytes = readFile(tree + "/zop.rec");
             bytes[8] ^= 1;
             writeFile(tree + "/zop.rec", bytes);
         }},
    };
    for (const auto& d : damages)
        for (const bool inUse : {false, true}) {
            SCOPED_TRACE(d.name + (inUse ? " in use" : ""));
            std::filesystem::remove_all(root());
            const std::string exe = packApp();
            ASSERT_EQ(launch(exe).exitCode, 0);
            const std::string tree = onlyTree();
            const std::string record = readFile(tree + "/zop.rec");
            d.spoil(tree);
            const int lock = inUse ? holdSharedLock(tree + "/zop.rec") : -1;
            const RunResult r = launch(exe);
            EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
            EXPECT_EQ(r.out, "packed content");
            EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(inUse ? root() + "/zop." : tree));
            EXPECT_EQ(rootNames().size(), 1u) << "the old tree or a private directory stays";
            const bool whole = exists(tree + "/data/a.txt") && readFile(tree + "/data/a.txt") == "packed content" &&
                               readFile(tree + "/zop.rec") == record;
            EXPECT_EQ(whole, !inUse) << "replaced exactly when no launcher runs from it";
            if (inUse)
                close(lock);
        }
}

// A launcher killed while it unpacks leaves its private directory; later
// launches run, and remove it once it is old (an hour) and no launcher
// holds it.
TEST_P(CacheRunTest, LeftoverOfAKilledLauncherGoesOnceOld)
{
    makeDirectories(inCwd("data"));
    writeFile(inCwd("data/big"), std::string(48 << 20, 'z'));
    const std::string big = pack("o cache\nr data\nt /bin/true\n", "big");
    std::string leftover;
    for (int attempt = 0; attempt < 5 && leftover.empty(); ++attempt) {
        std::filesystem::remove_all(root());
        testsupport::StartOptions options;
        options.env = {{"ZOP_CACHE_DIR", root()}, {"TEMP", scratch.temp()}};
        const pid_t pid = testsupport::startProcess({big}, options);
        ASSERT_GT(pid, 0);
        for (int i = 0; i < 5000 && leftover.empty(); ++i) {
            for (const std::string& name : rootNames())
                if (name.starts_with("zop."))
                    leftover = root() + "/" + name;
            if (leftover.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(pid, SIGSTOP);
        if (!onlyTree().empty())
            leftover.clear();  // too late: the tree was complete
        kill(pid, SIGKILL);
        testsupport::waitForProcess(pid, 20000);
    }
    ASSERT_FALSE(leftover.empty()) << "no launcher killed while unpacking";

    const std::string exe = packApp();
    RunResult r = launch(exe);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "packed content");
    EXPECT_TRUE(exists(leftover)) << "too young to tell from a launcher that just began";

    age(leftover, 2 * 3600);
    const int held = holdSharedLock(leftover);
    EXPECT_EQ(launch(exe).exitCode, 0);
    EXPECT_TRUE(exists(leftover)) << "held by a launcher";
    close(held);
    r = launch(exe);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "packed content");
    EXPECT_FALSE(exists(leftover));
    EXPECT_EQ(rootNames().size(), 1u);
}

// Trees that no launch used for 30 days go when another cached app
// launches; a hit counts as a use, and a tree in use stays.
TEST_P(CacheRunTest, TreesUnusedFor30DaysAreEvictedNeverOneInUse)
{
    const struct {
        std::string name;
        long unusedSeconds;
        bool hitSinceThen;
        bool inUse;
        bool evicted;
    } cases[] = {
        {"Unused31Days", 31 * 86400, false, false, true},
        {"Unused29Days", 29 * 86400, false, false, false},
        {"UsedSince", 31 * 86400, true, false, false},
        {"InUse", 31 * 86400, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root());
        const std::string old = packApp("old");
        ASSERT_EQ(launch(old).exitCode, 0);
        const std::string tree = onlyTree();
        age(tree + "/zop.rec", c.unusedSeconds);
        if (c.hitSinceThen)
            ASSERT_EQ(launch(old).exitCode, 0);
        const int lock = c.inUse ? holdSharedLock(tree + "/zop.rec") : -1;
        writeFile(inCwd("data/b.txt"), "another app");
        const RunResult r = launch(packApp("new"));
        std::filesystem::remove(inCwd("data/b.txt"));
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(exists(tree + "/zop.rec"), !c.evicted);
        EXPECT_EQ(rootNames().size(), c.evicted ? 1u : 2u) << "nothing but the trees";
        if (c.inUse)
            close(lock);
    }
}

TEST_P(CacheRunTest, TwoFirstLaunchesAtOnceBothRunAndLeaveOneTree)
{
    const std::string exe = packApp();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove_all(root());
        auto other = std::async(std::launch::async, [&] { return launch(exe); });
        const RunResult one = launch(exe);
        const RunResult two = other.get();
        EXPECT_EQ(one.exitCode, 0) << one.err;
        EXPECT_EQ(two.exitCode, 0) << two.err;
        EXPECT_EQ(one.out, "packed content");
        EXPECT_EQ(two.out, "packed content");
        EXPECT_EQ(rootNames().size(), 1u);
    }
}

// The key guards the cache: a stream that is not the one the key names
// (here: the key changed, the trailer sealed again) is damage, and nothing
// of it runs or lands in the cache.
TEST_P(CacheRunTest, StreamThatIsNotTheKeysIsDamage)
{
    const std::string exe = packApp();
    std::string bytes = readFile(exe);
    const std::size_t key = bytes.find("SHA2", bytes.size() - tailSize);
    ASSERT_NE(key, std::string::npos);
    bytes[key + 5] ^= 1;
    sealTail(bytes);
    writeFile(exe, bytes);
    const RunResult r = launch(exe);
    EXPECT_EQ(r.exitCode, 217);
    EXPECT_THAT(r.out, HasSubstr("Invalid input"));
    EXPECT_FALSE(exists(probeLog())) << "nothing runs";
    for (const std::string& name : rootNames())
        EXPECT_THAT(name, ::testing::Not(::testing::MatchesRegex("[0-9a-f]{32}")));
}

INSTANTIATE_TEST_SUITE_P(Platforms, CacheRunTest, ::testing::ValuesIn(testedPlatforms()), platformName);

INSTANTIATE_TEST_SUITE_P(Platforms, CacheTest, ::testing::ValuesIn(testedPlatforms()), platformName);

}  // namespace
}  // namespace e2e
