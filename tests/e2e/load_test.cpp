// Load: many launchers of one packed executable at once over one TEMP, and
// packing big and deep trees in constant memory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include <gmock/gmock.h>

#include "harness.h"

extern char** environ;

namespace e2e {
namespace {

using ::testing::MatchesRegex;

struct Started {
    pid_t pid = -1;
};

// Starts argv with extra environment entries, standard output and error into
// files; does not wait.
Started start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
              const std::string& outPath, const std::string& cwd)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const auto& e : extraEnv) {
        const std::string name = e.substr(0, e.find('=') + 1);
        std::erase_if(env, [&](const std::string& old) { return old.starts_with(name); });
        env.push_back(e);
    }
    std::vector<char*> argvPointers, envPointers;
    for (const auto& a : argv)
        argvPointers.push_back(const_cast<char*>(a.c_str()));
    argvPointers.push_back(nullptr);
    for (const auto& e : env)
        envPointers.push_back(const_cast<char*>(e.c_str()));
    envPointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    Started started;
    if (posix_spawnp(&started.pid, argvPointers[0], &actions, nullptr, argvPointers.data(), envPointers.data()) != 0)
        started.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

struct Ended {
    int exitCode = -1;
    long maxRssKiB = 0;
};

Ended waitFor(const Started& started)
{
    Ended ended;
    int status = 0;
    rusage usage{};
    if (started.pid > 0 && wait4(started.pid, &status, 0, &usage) == started.pid) {
        ended.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ended.maxRssKiB = usage.ru_maxrss;
    }
    return ended;
}

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

    Started startLauncher(const std::string& exe, int index)
    {
        const std::string record = probeRecordDir() + "/" + std::to_string(index);
        const std::string out = probeRecordDir() + "/" + std::to_string(index) + ".log";
        if (!onWindows())
            return start({exe}, {"TEMP=" + scratch.temp(), "PROBE_OUT=" + record}, out, scratch.cwd());
        // Under Wine, TEMP comes from inside the Wine process: envrun sets it.
        const std::string control = probeRecordDir() + "/" + std::to_string(index) + ".control";
        writeFile(control, "set TEMP=" + seen(scratch.temp()) + "\nset TMP=" + seen(scratch.temp()) +
                               "\nset PROBE_OUT=" + seen(record) + "\ncmdline\n" +
                               quoteWindowsArgument(seen(exe)));
        return start({ZOP_WINE, platform().envrun},
                     {"WINEPREFIX=" + std::string(ZOP_WINEPREFIX), "WINEDEBUG=-all", "ENVRUN_CONTROL=" + control},
                     out, scratch.cwd());
    }
};

TEST_P(LoadTest, ManyLaunchersAtOnceEachGetTheirOwnWorkDirectory)
{
    const int launchers = onWindows() ? 12 : 50;
    makeDirectories(probeRecordDir());
    const std::string exe = writeApp(launchers);
    std::vector<Started> started;
    for (int i = 0; i < launchers; ++i)
        started.push_back(startLauncher(exe, i));
    std::set<std::string> workDirs;
    for (int i = 0; i < launchers; ++i) {
        const Ended ended = waitFor(started[i]);
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
    Ended pack()
    {
        writeFile(scratch.cwd() + "/recipe.zop", "r tree\n");
        makeDirectories(scratch.temp());
        const std::string timeLog = scratch.path("time.log");
        Ended ended = waitFor(start({"/usr/bin/time", "-f", "%M", "-o", timeLog, linuxPlatform().stub,
                                     "recipe.zop", "out"},
                                    {"TEMP=" + scratch.temp()}, scratch.path("pack.log"), scratch.cwd()));
        ended.maxRssKiB = exists(timeLog) ? std::atol(readFile(timeLog).c_str()) : 0;
        return ended;
    }

    void expectSmallMemory(const Ended& ended)
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
    const Ended ended = pack();
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
    const Ended ended = pack();
    ASSERT_EQ(ended.exitCode, 0) << readFile(scratch.path("pack.log"));
    expectSmallMemory(ended);
    const auto kinds = entryKinds();
    EXPECT_EQ(kinds.at('f'), 100000);
    EXPECT_EQ(kinds.at('d'), 1 + 100);
}

} // namespace
} // namespace e2e
