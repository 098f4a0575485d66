// Load: many launchers of one packed executable at once over one TEMP, and
// packing big and deep trees in constant memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include <gmock/gmock.h>

#include "harness.h"
#include "support/process_posix.h"

namespace e2e {
namespace {

using ::testing::MatchesRegex;

using testsupport::ProcessEnd;
using testsupport::startProcess;
using testsupport::waitForProcess;

// The sanitizer build's stubs carry their runtime and its shadow memory: the
// memory bound is for the shipped build only.
bool sanitizedStub()
{
    return readFile(linuxPlatform().stub).find("__asan_init") != std::string::npos;
}

class LoadTest : public PlatformTest {
protected:
    std::string probeRecordDir() const { return scratch.path("records"); }

    // A packed executable: a file, a directory, and the probe started with
    // the work directory current (it records that directory). On Linux a
    // last command then waits until every launcher has recorded its own, so
    // that all work directories exist at the same time.
    std::string writeApp(int launchers)
    {
        std::vector<Entry> entries = {dirEntry("d"), fileEntry("d\\data.txt", std::string(20000, 'x')),
                                      commandEntry('t', seen(platform().probe))};
        if (!onWindows())
            entries.push_back(commandEntry(
                'c', "/bin/sh -c \"i=0; while [ $(ls " + probeRecordDir() + " | grep -c -v -F .) -lt " +
                         std::to_string(launchers) + " ] && [ $i -lt 1000 ]; do sleep 0.02; i=$((i+1)); done\""));
        makeDirectories(scratch.path("bin"));
        const std::string exe = scratch.path("bin/app") + platform().exeSuffix;
        writeFile(exe, makeContainer(readFile(platform().stub), onWindows() ? "zop.exe" : "zop", entries));
        chmod(exe.c_str(), 0755);
        return exe;
    }

    pid_t startLauncher(const std::string& exe, int index)
    {
        const std::string record = probeRecordDir() + "/" + std::to_string(index);
        const std::string out = probeRecordDir() + "/" + std::to_string(index) + ".log";
        if (!onWindows())
            return startProcess({exe}, {.env = {{"TEMP", scratch.temp()}, {"PROBE_OUT", record}},
                                        .cwd = scratch.cwd(), .outPath = out});
        // Under Wine, TEMP comes from inside the Wine process: envrun sets it.
        const std::string control = probeRecordDir() + "/" + std::to_string(index) + ".control";
        writeFile(control, "set TEMP=" + seen(scratch.temp()) + "\nset TMP=" + seen(scratch.temp()) +
                               "\nset PROBE_OUT=" + seen(record) + "\ncmdline\n" +
                               quoteWindowsArgument(seen(exe)));
        return startProcess({ZOP_WINE, platform().envrun},
                            {.env = {{"WINEPREFIX", ZOP_WINEPREFIX}, {"WINEDEBUG", "-all"}, {"ENVRUN_CONTROL", control}},
                             .cwd = scratch.cwd(), .outPath = out});
    }
};

TEST_P(LoadTest, ManyLaunchersAtOnceEachGetTheirOwnWorkDirectory)
{
    const int launchers = onWindows() ? 12 : 50;
    makeDirectories(probeRecordDir());
    const std::string exe = writeApp(launchers);
    std::vector<pid_t> started;
    for (int i = 0; i < launchers; ++i)
        started.push_back(startLauncher(exe, i));
    std::set<std::string> workDirs;
    for (int i = 0; i < launchers; ++i) {
        const ProcessEnd ended = waitForProcess(started[i]);
        EXPECT_EQ(ended.exitCode, 0) << "launcher " << i << ": "
                                     << readFile(probeRecordDir() + "/" + std::to_string(i) + ".log");
        const auto records = readProbeRecords(probeRecordDir() + "/" + std::to_string(i));
        ASSERT_EQ(records.size(), 1u) << "launcher " << i;
        const std::string cwd = onWindows() ? toHostPath(records[0].cwd) : records[0].cwd;
        EXPECT_THAT(cwd, MatchesRegex(".*/temp/zop\\.[0-9]+")) << "launcher " << i;
        workDirs.insert(cwd);
    }
    // Under Wine the launchers may not overlap: a name is free again once
    // its launcher has removed its directory.
    if (!onWindows())
        EXPECT_EQ(workDirs.size(), static_cast<std::size_t>(launchers)) << "two launchers shared a work directory";
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Platforms, LoadTest, ::testing::ValuesIn(testedPlatforms()), platformName);

// ------------------------------------------------------------------ big and deep trees (Linux)

class PackTreeTest : public ::testing::Test {
protected:
    // Packs "r tree" from the scratch cwd into out, natively, and measures
    // the packer's peak resident memory.
    // The packer is started through /usr/bin/time: a child started straight
    // from this (big) test process would count the test's own pages in its
    // peak, which is carried over into the new program.
    ProcessEnd pack()
    {
        writeFile(scratch.cwd() + "/recipe.zop", "r tree\n");
        makeDirectories(scratch.temp());
        const std::string timeLog = scratch.path("time.log");
        ProcessEnd ended = waitForProcess(
            startProcess({"/usr/bin/time", "-f", "%M", "-o", timeLog, linuxPlatform().stub, "recipe.zop", "out"},
                         {.env = {{"TEMP", scratch.temp()}}, .cwd = scratch.cwd(), .outPath = scratch.path("pack.log")}));
        ended.maxRssKiB = exists(timeLog) ? std::atol(readFile(timeLog).c_str()) : 0;
        return ended;
    }

    void expectSmallMemory(const ProcessEnd& ended)
    {
        if (sanitizedStub())
            return;
        if (!exists("/usr/bin/time"))
            GTEST_SKIP() << "no /usr/bin/time to measure memory with";
        EXPECT_GT(ended.maxRssKiB, 0);
        EXPECT_LT(ended.maxRssKiB, 8 * 1024) << "peak resident memory in KiB";
        std::printf("[ memory   ] peak resident memory of the packer: %ld KiB\n", ended.maxRssKiB);
    }

    // Counts the entries of the packed file by kind, reading it independently.
    std::map<char, int> entryKinds()
    {
        std::map<char, int> kinds;
        for (const Entry& e : readEntries(readFile(scratch.cwd() + "/out")))
            ++kinds[e.kind];
        return kinds;
    }

    void makeFlatTree(int files)
    {
        const std::string tree = scratch.cwd() + "/tree";
        for (int i = 0; i < files; ++i) {
            if (i % 1000 == 0)
                makeDirectories(tree + "/g" + std::to_string(i / 1000));
            writeFile(tree + "/g" + std::to_string(i / 1000) + "/f" + std::to_string(i), std::to_string(i));
        }
    }

    Scratch scratch;
};

TEST_F(PackTreeTest, TwentyLevelsOfNesting)
{
    std::string dir = scratch.cwd() + "/tree";
    for (int level = 1; level <= 20; ++level) {
        dir += "/level" + std::to_string(level);
        makeDirectories(dir);
        writeFile(dir + "/file" + std::to_string(level), std::string(level * 100, 'n'));
    }
    const ProcessEnd ended = pack();
    ASSERT_EQ(ended.exitCode, 0) << readFile(scratch.path("pack.log"));
    expectSmallMemory(ended);
    const auto entries = readEntries(readFile(scratch.cwd() + "/out"));
    ASSERT_EQ(entries.size(), 1u + 20u + 20u);
    // The deepest file, with every level in its name.
    std::string deepest = "tree";
    for (int level = 1; level <= 20; ++level)
        deepest += "\\level" + std::to_string(level);
    deepest += "\\file20";
    bool found = false;
    for (const Entry& e : entries)
        if (e.kind == 'f' && e.text == deepest) {
            found = true;
            EXPECT_EQ(e.data, std::string(2000, 'n'));
        }
    EXPECT_TRUE(found) << deepest;
}

TEST_F(PackTreeTest, HundredThousandSmallFilesInConstantMemory)
{
    makeFlatTree(100000);
    const ProcessEnd ended = pack();
    ASSERT_EQ(ended.exitCode, 0) << readFile(scratch.path("pack.log"));
    expectSmallMemory(ended);
    const auto kinds = entryKinds();
    EXPECT_EQ(kinds.at('f'), 100000);
    EXPECT_EQ(kinds.at('d'), 1 + 100);
}

} // namespace
} // namespace e2e
