// The cache of unpacked trees ("o cache") as a user meets it, on Linux and
// under Wine: the recipe option and its trailer record, the key that
// guards the cache, and launches that hit, miss or fall back.
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <zlib.h>

#include <gmock/gmock.h>

#include "harness.h"

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
        {"PackedFileDeleted", [](CacheRunTest& t) {
             ASSERT_EQ(t.launch(t.packApp()).exitCode, 0);
             std::filesystem::remove(t.root() + "/" + t.rootNames()[0] + "/data/a.txt");
         }, "cache/zop."},
        {"PackedFileCutShort", [](CacheRunTest& t) {
             ASSERT_EQ(t.launch(t.packApp()).exitCode, 0);
             writeFile(t.root() + "/" + t.rootNames()[0] + "/data/a.txt", "packed");
         }, "cache/zop."},
        {"RecordOfAnotherKey", [](CacheRunTest& t) {
             ASSERT_EQ(t.launch(t.packApp()).exitCode, 0);
             const std::string record = t.root() + "/" + t.rootNames()[0] + "/zop.rec";
             std::string bytes = readFile(record);
             bytes[8] ^= 1;
             writeFile(record, bytes);
         }, "cache/zop."},
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
