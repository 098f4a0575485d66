// The cache of unpacked trees ("o cache") as a user meets it, on Linux and
// under Wine: the recipe option and its trailer record, the key that
// guards the cache, and launches that hit, miss or fall back.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
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

    std::string packApp(const std::string& name = "app", const std::string& lastCommand = "")
    {
        makeDirectories(inCwd("data"));
        writeFile(inCwd("data/a.txt"), "packed content");
        const std::string cat = onWindows() ? "cmd /c type data\\a.txt" : "/bin/cat data/a.txt";
        return pack("o cache\nr data\nt " + seen(platform().probe) + " %tempdir%\nt " +
                        (lastCommand.empty() ? cat : lastCommand) + "\n",
                    name);
    }

    RunResult launch(const std::string& exe, std::map<std::string, std::optional<std::string>> env = {})
    {
        RunOptions options;
        options.env = env;
        options.env["PROBE_OUT"] = seen(probeLog());
        if (!options.env.contains("ZOP_CACHE_DIR"))
            options.env["ZOP_CACHE_DIR"] = seen(root());
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

    // A hold on path as a running launcher has it on its tree's record (or
    // its private directory), kept by a probe of the platform until release.
    struct Hold {
        std::string releaseFile;
        std::future<RunResult> holder;
    };
    Hold holdSharedLock(const std::string& path)
    {
        static int holds = 0;
        const std::string id = std::to_string(++holds);
        Hold hold{scratch.path("release" + id), {}};
        const std::string log = scratch.path("holder" + id + ".log");
        RunOptions options;
        options.env = {{"PROBE_HOLD", seen(path)}, {"PROBE_RELEASE", seen(hold.releaseFile)}, {"PROBE_OUT", seen(log)}};
        hold.holder = std::async(std::launch::async, [this, options] { return run(platform().probe, {}, options); });
        for (int i = 0; i < 6000 && !exists(log); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(exists(log)) << "the holder did not start";
        return hold;
    }
    void release(Hold& hold)
    {
        writeFile(hold.releaseFile, "");
        const RunResult r = hold.holder.get();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_THAT(r.err, ::testing::Not(HasSubstr("cannot hold")));
    }

    // Waits (at most about 5 s) for the private directory of the launcher
    // pid, which unpacks a miss, and stops the launcher there (SIGSTOP): the
    // directory, or empty when none appeared or the tree was already whole.
    std::string privateDirectoryOfStopped(pid_t pid) const
    {
        std::string found;
        for (int i = 0; i < 5000 && found.empty(); ++i) {
            for (const std::string& name : rootNames())
                if (name.starts_with("zop."))
                    found = root() + "/" + name;
            if (found.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(pid, SIGSTOP);
        if (!onlyTree().empty())
            found.clear();  // too late: the tree was complete
        return found;
    }

    // The private directory of a launcher killed while unpacking.
    std::string leftoverOfAKilledLauncher();
    std::string madeLeftover();

    std::vector<std::string> rootNames() const
    {
        std::vector<std::string> names;
        if (std::filesystem::is_directory(root()))
            for (const auto& e : std::filesystem::directory_iterator(root()))
                names.push_back(e.path().filename().string());
        return names;
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
    EXPECT_EQ(lastWorkDir(), seen(tree));
    EXPECT_EQ(readProbeRecords(probeLog()).back().cwd, seen(tree));
    EXPECT_EQ(listTree(tree), (std::vector<std::string>{"data/", "data/a.txt", "zop.rec"}));
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
    struct stat info{};
    ASSERT_EQ(stat(root().c_str(), &info), 0);
    if (!onWindows())
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
    EXPECT_EQ(lastWorkDir(), seen(tree));
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "a hit makes nothing in TEMP";

    writeFile(exe, bytes);
    const RunResult off = launch(exe, {{"ZOP_CACHE", "0"}});
    EXPECT_EQ(off.exitCode, 0) << off.out << off.err;
    EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(seen(scratch.temp() + "/zop.")));
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

// Every launch that cannot use a tree of the cache runs as before, from a
// fresh work directory in TEMP, and leaves no private directory behind.
// Windows trusts any plain directory: ownership and the rights of others
// are Linux's checks (and Wine maps no owners).
TEST_P(CacheRunTest, ProblemsWithTheCacheFallBackToAFreshWorkDirectory)
{
    const struct {
        std::string name;
        bool linuxOnly;
        std::function<void(CacheRunTest&)> spoil;
    } cases[] = {
        {"RootWritableByOthers", true, [](CacheRunTest& t) { makeDirectories(t.root()); chmod(t.root().c_str(), 0777); }},
        {"RootOfAnotherUser", true, [](CacheRunTest& t) {
             makeDirectories(t.root());
             chmod(t.root().c_str(), 0700);
             ASSERT_EQ(chown(t.root().c_str(), 65534, 65534), 0) << "the tests run as root";
         }},
        {"RootIsAFile", false, [](CacheRunTest& t) { writeFile(t.root(), "x"); }},
        {"RootNotCreatable", false, [](CacheRunTest&) {}},
    };
    const std::string exe = packApp();
    for (const auto& c : cases) {
        if (c.linuxOnly && onWindows())
            continue;
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root());
        c.spoil(*this);
        const RunResult r = c.name == "RootNotCreatable"
                                ? launch(exe, {{"ZOP_CACHE_DIR", seen("/proc/zop-cache")}})
                                : launch(exe);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "packed content");
        EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(seen(scratch.temp() + "/zop.")));
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
        if (std::filesystem::is_directory(root()))
            EXPECT_EQ(rootNames(), std::vector<std::string>{}) << "nothing is made in an untrusted root";
    }
}

// A root on a full file system: the miss fails to write (the copy of the
// stream, or a packed file through the writer threads), its private
// directory goes, and the launch runs from TEMP as if there were no cache.
TEST_P(CacheRunTest, MissOnAFullFileSystemRunsFromTemp)
{
    makeDirectories(root());
    if (mount("tmpfs", root().c_str(), "tmpfs", 0, "size=512k,mode=0700") != 0)
        GTEST_SKIP() << "a small file system needs mount rights: " << strerror(errno);
    const struct {
        std::string name;
        std::string content;
    } cases[] = {
        {"StreamDoesNotFit", mixedBytes(1 << 20, 1, 100)},
        {"PackedFileDoesNotFit", std::string(3 << 20, 'z')},
    };
    makeDirectories(inCwd("data"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(inCwd("data/big"), c.content);
        const std::string exe = packApp(c.name);
        std::filesystem::remove(inCwd("data/big"));
        const RunResult r = launch(exe);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "packed content");
        EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(seen(scratch.temp() + "/zop.")));
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
        EXPECT_EQ(rootNames(), std::vector<std::string>{});
    }
    EXPECT_EQ(umount(root().c_str()), 0);
}

// A tree that fails its check is replaced by a fresh one, unless a launcher
// runs from it (a shared lock on its record): then the launch unpacks
// privately and leaves the tree as it is.
TEST_P(CacheRunTest, TreeThatFailsItsCheckIsReplacedUnlessInUse)
{
    // A record that names other commands (another app's, over the same
    // files) is never taken for this stream's: the key decides.
    const std::string otherApp = packApp("other", seen(platform().probe) + " --probe-exit=9");
    ASSERT_EQ(launch(otherApp).exitCode, 9);
    const std::string otherRecord = readFile(onlyTree() + "/zop.rec");
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
        {"RecordOfAnotherApp", [&](const std::string& tree) { writeFile(tree + "/zop.rec", otherRecord); }},
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
            Hold hold;
            if (inUse)
                hold = holdSharedLock(tree + "/zop.rec");
            const RunResult r = launch(exe);
            EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
            EXPECT_EQ(r.out, "packed content");
            EXPECT_THAT(lastWorkDir(), ::testing::StartsWith(seen(inUse ? root() + "/zop." : tree)));
            EXPECT_EQ(rootNames().size(), 1u) << "the old tree or a private directory stays";
            const bool whole = exists(tree + "/data/a.txt") && readFile(tree + "/data/a.txt") == "packed content" &&
                               readFile(tree + "/zop.rec") == record;
            EXPECT_EQ(whole, !inUse) << "replaced exactly when no launcher runs from it";
            if (inUse)
                release(hold);
        }
}

// A launcher killed while it unpacks leaves its private directory; later
// launches run, and remove it once it is old (an hour) and no launcher
// holds it (the hits here are of a tree last used two hours ago: a more
// recent one leaves the root alone). Under Wine the test cannot stop the
// launcher's own process at a chosen moment, so there the leftover is made
// as a killed launcher leaves it.
TEST_P(CacheRunTest, LeftoverOfAKilledLauncherGoesOnceOld)
{
    const std::string leftover = onWindows() ? madeLeftover() : leftoverOfAKilledLauncher();
    ASSERT_FALSE(leftover.empty()) << "no launcher killed while unpacking";

    const std::string exe = packApp();
    RunResult r = launch(exe);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "packed content");
    EXPECT_TRUE(exists(leftover)) << "too young to tell from a launcher that just began";

    age(leftover, 2 * 3600);
    age(onlyTree() + "/zop.rec", 2 * 3600);
    Hold held = holdSharedLock(leftover);
    EXPECT_EQ(launch(exe).exitCode, 0);
    EXPECT_TRUE(exists(leftover)) << "held by a launcher";
    release(held);
    age(onlyTree() + "/zop.rec", 2 * 3600);
    r = launch(exe);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "packed content");
    EXPECT_FALSE(exists(leftover));
    EXPECT_EQ(rootNames().size(), 1u);
}

std::string CacheRunTest::madeLeftover()
{
    const std::string dir = root() + "/zop.4242";
    makeDirectories(dir + "/data");
    writeFile(dir + "/zop.gz", "half a stream");
    writeFile(dir + "/data/big", "half a file");
    return dir;
}

std::string CacheRunTest::leftoverOfAKilledLauncher()
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
        if (pid <= 0)
            return {};
        leftover = privateDirectoryOfStopped(pid);
        kill(pid, SIGKILL);
        testsupport::waitForProcess(pid, 20000);
    }
    std::filesystem::remove(inCwd("data/big"));
    return leftover;
}

// A request to stop removes the work directory the launch has when it comes
// (Linux; Windows has no such requests): the private directory of a miss
// that is unpacking, never the tree of a hit whose command runs. The
// command waits for TERM once the hold file exists, and traps it.
TEST_P(CacheRunTest, StopRemovesTheDirectoryOfAMissNeverTheTreeOfAHit)
{
    if (onWindows())
        GTEST_SKIP() << "no requests to stop on Windows";
    const std::string hold = inCwd("hold"), ready = inCwd("ready");
    makeDirectories(inCwd("data"));
    writeFile(inCwd("data/a.txt"), "packed content");
    const std::string recipe = "o cache\nr data\nc /bin/sh -c \"[ -e " + hold + " ] || exit 0; trap 'exit 40' TERM; " +
                               "echo ready > " + ready + "; while :; do sleep 0.05; done\"\n";
    const std::string small = pack(recipe, "small");
    writeFile(inCwd("data/big"), std::string(48 << 20, 'z'));
    const std::string big = pack(recipe, "big");
    testsupport::StartOptions options;
    options.env = {{"ZOP_CACHE_DIR", root()}, {"TEMP", scratch.temp()}};
    options.ownGroup = true;

    ASSERT_EQ(launch(small).exitCode, 0);
    const std::string tree = onlyTree();
    ASSERT_FALSE(tree.empty());
    writeFile(hold, "");
    pid_t pid = testsupport::startProcess({small}, options);
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 10000 && !exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(pid, SIGTERM);
    EXPECT_EQ(testsupport::waitForProcess(pid, 20000).exitCode, 40);
    EXPECT_EQ(readFile(tree + "/data/a.txt"), "packed content");
    EXPECT_EQ(rootNames().size(), 1u) << "the tree alone";

    // The miss is held while its private directory exists and its tree is
    // not in place yet; TERM is answered once it goes on.
    std::string privateDir;
    for (int attempt = 0; attempt < 5 && privateDir.empty(); ++attempt) {
        std::filesystem::remove_all(root());
        pid = testsupport::startProcess({big}, options);
        ASSERT_GT(pid, 0);
        privateDir = privateDirectoryOfStopped(pid);
        kill(pid, privateDir.empty() ? SIGKILL : SIGTERM);
        kill(pid, SIGCONT);
        const int exitCode = testsupport::waitForProcess(pid, 20000).exitCode;
        if (!privateDir.empty())
            EXPECT_EQ(exitCode, 143);
    }
    ASSERT_FALSE(privateDir.empty()) << "no miss stopped while unpacking";
    EXPECT_THAT(rootNames(), ::testing::IsEmpty()) << "the private directory stays";
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
    std::filesystem::remove(inCwd("data/big"));
}

// Trees that no launch used for 30 days go when another cached app
// launches; a hit counts as a use, and a tree in use stays. A hit of a tree
// used within the hour leaves the root alone: the next miss or later hit
// cleans up.
TEST_P(CacheRunTest, TreesUnusedFor30DaysAreEvictedNeverOneInUse)
{
    const struct {
        std::string name;
        long unusedSeconds;
        bool hitSinceThen;
        bool inUse;
        bool newUsedWithinTheHour;  // the other app's launch is then such a hit
        bool evicted;
    } cases[] = {
        {"Unused31Days", 31 * 86400, false, false, false, true},
        {"Unused29Days", 29 * 86400, false, false, false, false},
        {"UsedSince", 31 * 86400, true, false, false, false},
        {"InUse", 31 * 86400, false, true, false, false},
        {"OnlyARecentHitSince", 31 * 86400, false, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root());
        const std::string old = packApp("old");
        ASSERT_EQ(launch(old).exitCode, 0);
        const std::string tree = onlyTree();
        if (c.newUsedWithinTheHour) {
            writeFile(inCwd("data/b.txt"), "another app");
            ASSERT_EQ(launch(packApp("new")).exitCode, 0);
        }
        age(tree + "/zop.rec", c.unusedSeconds);
        if (c.hitSinceThen)
            ASSERT_EQ(launch(old).exitCode, 0);
        Hold hold;
        if (c.inUse)
            hold = holdSharedLock(tree + "/zop.rec");
        writeFile(inCwd("data/b.txt"), "another app");
        const RunResult r = launch(packApp("new"));
        std::filesystem::remove(inCwd("data/b.txt"));
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(exists(tree + "/zop.rec"), !c.evicted);
        EXPECT_EQ(rootNames().size(), c.evicted ? 1u : 2u) << "nothing but the trees";
        if (c.inUse)
            release(hold);
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
// (the key changed, the trailer sealed again) is damage, as is a damaged
// packed file; nothing of it runs or lands in the cache.
TEST_P(CacheRunTest, DamagedStreamIsAFailureNotAFallBack)
{
    const struct {
        std::string name;
        std::function<void(std::string& bytes)> damage;
    } cases[] = {
        {"KeyOfAnotherStream", [](std::string& bytes) {
             const std::size_t key = bytes.find("SHA2", bytes.size() - tailSize);
             ASSERT_NE(key, std::string::npos);
             bytes[key + 5] ^= 1;
             sealTail(bytes);
         }},
        {"PackedFileDamaged", [](std::string& bytes) {
             const PackedFile p = splitPacked(bytes);
             bytes[p.stub.size() + p.member.size() / 2] ^= 0x40;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root());
        std::filesystem::remove(probeLog());
        const std::string exe = packApp();
        std::string bytes = readFile(exe);
        c.damage(bytes);
        writeFile(exe, bytes);
        const RunResult r = launch(exe);
        EXPECT_EQ(r.exitCode, 217);
        EXPECT_THAT(r.out, HasSubstr("Invalid input"));
        EXPECT_FALSE(exists(probeLog())) << "nothing runs";
        for (const std::string& name : rootNames())
            EXPECT_THAT(name, ::testing::Not(::testing::MatchesRegex("[0-9a-f]{32}")));
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "no run from TEMP either";
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, CacheRunTest, ::testing::ValuesIn(testedPlatforms()), platformName);

INSTANTIATE_TEST_SUITE_P(Platforms, CacheTest, ::testing::ValuesIn(testedPlatforms()), platformName);

}  // namespace
}  // namespace e2e
