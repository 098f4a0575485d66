// The cache of unpacked trees ("o cache") as a user meets it, on Linux and
// under Wine: the recipe option and its trailer record, the key that
// guards the cache, and launches that hit, miss or fall back.
#include <sys/stat.h>


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

INSTANTIATE_TEST_SUITE_P(Platforms, CacheTest, ::testing::ValuesIn(testedPlatforms()), platformName);

}  // namespace
}  // namespace e2e
