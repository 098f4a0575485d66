// Checks of the harness itself: what the program under test receives (raw
// command line, current directory, TEMP) must be exactly what a test asked
// for, or every other end-to-end test proves nothing.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>

#include "harness.h"

namespace e2e {
namespace {

class HarnessTest : public PlatformTest {
protected:
    std::string probeOut() const { return scratch.path("probe.out"); }

    RunOptions probeOptions() const
    {
        RunOptions options;
        options.env["PROBE_OUT"] = seen(probeOut());
        options.env["PROBE_ENV"] = "TEMP,ZOP_HARNESS_X,ZOP_HARNESS_UNSET";
        options.env["ZOP_HARNESS_X"] = "a b\\c";
        options.env["ZOP_HARNESS_UNSET"] = std::nullopt;
        return options;
    }
};

TEST_P(HarnessTest, ProgramSeesTheCurrentDirectoryTempAndEnvironment)
{
    makeDirectories(scratch.path("elsewhere"));
    RunOptions options = probeOptions();
    options.cwd = scratch.path("elsewhere");
    const RunResult r = run(platform().probe, {"one", "two words", ""}, options);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto records = readProbeRecords(probeOut());
    ASSERT_EQ(records.size(), 1u);
    const ProbeRecord& p = records[0];
    ASSERT_EQ(p.argv.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(p.argv.begin() + 1, p.argv.end()),
              (std::vector<std::string>{"one", "two words", ""}));
    EXPECT_EQ(p.cwd, seen(scratch.path("elsewhere")));
    EXPECT_EQ(p.env.at("TEMP"), seen(scratch.temp()));
    EXPECT_EQ(p.env.at("ZOP_HARNESS_X"), "a b\\c");
    EXPECT_EQ(p.env.at("ZOP_HARNESS_UNSET"), std::nullopt);
}

TEST_P(HarnessTest, RawCommandLineArrivesUnchangedAndExitCodeComesBack)
{
    const std::string line = quoteWindowsArgument(seen(platform().probe)) + "  x\t\"y z\" --probe-exit=42";
    const RunResult r = runCommandLine(line, probeOptions());
    EXPECT_EQ(r.exitCode, 42) << r.err;
    const auto records = readProbeRecords(probeOut());
    ASSERT_EQ(records.size(), 1u);
    if (onWindows())
        EXPECT_EQ(records[0].cmdline, line);
    EXPECT_EQ(records[0].argv.at(1), "x");
    EXPECT_EQ(records[0].argv.at(2), "y z");
}

TEST_P(HarnessTest, StandardInputIsFedAndOutputCaptured)
{
    const std::string cat = onWindows() ? "cmd /c more" : "cat";
    RunOptions options;
    options.stdinData = "hello\n";
    const RunResult r = runCommandLine(cat, options);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, ::testing::StartsWith("hello"));
}

TEST_P(HarnessTest, HangingProgramIsKilledAtTheTimeout)
{
    RunOptions options;
    options.timeoutMs = 1500;
    const std::string hang = onWindows() ? "cmd /c \"for /l %i in (1,0,2) do @rem\"" : "sleep 30";
    bool timedOut = false;
    EXPECT_NONFATAL_FAILURE(timedOut = runCommandLine(hang, options).timedOut, "timed out");
    EXPECT_TRUE(timedOut);
}

INSTANTIATE_TEST_SUITE_P(Platforms, HarnessTest, ::testing::ValuesIn(testedPlatforms()), platformName);

TEST(ContainerBytes, HeaderOfDirectoryBin)
{
    const std::string h = makeHeader('d', "bin", 0);
    ASSERT_EQ(h.size(), 264u);
    EXPECT_EQ(h.substr(0, 6), std::string("\x01\x64\x03\x62\x69\x6E", 6));
    EXPECT_EQ(h.substr(260), std::string(4, '\0'));
}

TEST(ContainerBytes, EmptyMemberIsTwentyBytesAndRoundTrips)
{
    EXPECT_EQ(gzipMember("").size(), 20u);
    const std::vector<Entry> entries{dirEntry("bin"), fileEntry("bin\\a.txt", "abc"), fileEntry("empty", ""),
                                     commandEntry('t', "%tempdir%\\bin\\tool.exe -x %parms%"),
                                     fileEntry(std::string(255, 'n'), std::string(300000, 'z'))};
    const std::string packed = makeContainer("STUB", "zop.exe", entries);
    const PackedFile p = splitPacked(packed);
    EXPECT_EQ(p.stub, "STUB");
    EXPECT_EQ(p.tail.stubName, "zop.exe");
    EXPECT_EQ(static_cast<uint8_t>(packed[packed.size() - 260]), 78);
    EXPECT_EQ(readEntries(packed), entries);
}

TEST(ContainerBytes, MessageBoxCallsAreDecodedFromARelayLog)
{
    const std::string log =
        "0024:Call user32.MessageBoxA(00000000,0040404a \"line \\\"one\\\"\\r\\nC:\\\\x\\r\\n\",00404044 "
        "\"Error\",00000000) ret=004015dc\n"
        "0024:Call user32.MessageBoxA(00000000,0040404a \"abc\"...,00404044 \"Error\",00000000) ret=1\n";
    const auto calls = messageBoxCalls(log);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, "line \"one\"\r\nC:\\x\r\n");
    EXPECT_EQ(calls[0].caption, "Error");
    EXPECT_FALSE(calls[0].textCut);
    EXPECT_EQ(calls[1].text, "abc");
    EXPECT_TRUE(calls[1].textCut);
}

}  // namespace
}  // namespace e2e
