// Faults from outside: a full disk while packing, a TEMP where no directory
// can be made, and packed commands that are killed or never end.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

// The second line of the report in r's standard output ("" when none).
std::string reportException(const RunResult& r)
{
    const std::size_t start = r.out.find("An unhandled exception occurred at");
    if (start == std::string::npos)
        return {};
    const auto lines = reportLines(r.out.substr(start));
    return lines.size() >= 2 ? lines[1] : std::string();
}

// A small tmpfs mounted for one test (root only; skipped elsewhere).
class SmallFileSystem {
public:
    SmallFileSystem(const std::string& path, const std::string& options) : path_(path)
    {
        makeDirectories(path);
        mounted_ = geteuid() == 0 && mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted_)
            umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    void remountReadOnly()
    {
        mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr);
    }

private:
    std::string path_;
    bool mounted_ = false;
};

class FaultTest : public PlatformTest {};

TEST_P(FaultTest, PackingOntoAFullDiskEndsWithDiskFullAndRemovesTheWorkDirectory)
{
    // TEMP on a 256 KiB file system; the packer's work file needs 1 MiB.
    const std::string small = scratch.path("small");
    SmallFileSystem fs(small, "size=256k");
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    writeFile(scratch.cwd() + "/big.bin", mixedBytes(1 << 20, 99, 100));
    writeFile(scratch.cwd() + "/recipe.zop", "f big.bin\n");
    RunOptions options;
    options.env["TEMP"] = seen(small);
    if (onWindows())
        options.env["TMP"] = seen(small);
    const RunResult r = run(platform().stub, {"recipe.zop", "out"}, options);
    EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
    EXPECT_EQ(reportException(r), "EInOutError : Disk Full") << r.out;
    EXPECT_THAT(listTree(small), IsEmpty()) << "the packer's work directory goes on every failure";
    EXPECT_FALSE(exists(scratch.cwd() + "/out")) << "no output file after a failure before it";
}

TEST_P(FaultTest, LaunchOntoAFullDiskRemovesWhatItUnpacked)
{
    // TEMP on a 256 KiB file system; one entry inflates to 4 MiB. A full
    // disk leaves nothing worth inspecting, so the launch ends with the
    // report and an empty TEMP, with one writer or several.
    const std::string small = scratch.path("small");
    SmallFileSystem fs(small, "size=256k");
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string exe = scratch.cwd() + "/app" + platform().exeSuffix;
    writeFile(exe, makeContainer(readFile(platform().stub), "zop" + platform().exeSuffix,
                                 {dirEntry("d"), fileEntry("d\\big.bin", std::string(4 << 20, 'z')),
                                  commandEntry('c', "never-run")}));
    chmod(exe.c_str(), 0755);
    for (const std::string threads : {"1", "2"}) {
        SCOPED_TRACE(threads);
        RunOptions options;
        options.env["TEMP"] = seen(small);
        if (onWindows())
            options.env["TMP"] = seen(small);
        options.env["ZOP_THREADS"] = threads;
        const RunResult r = run(exe, {}, options);
        EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
        EXPECT_EQ(reportException(r), "EInOutError : Disk Full") << r.out;
        EXPECT_THAT(listTree(small), IsEmpty()) << "TEMP stays full";
    }
}

TEST_P(FaultTest, OutputOntoAFullDiskEndsWithDiskFull)
{
    // The output file lands on the full file system, TEMP has room.
    const std::string small = scratch.path("small");
    SmallFileSystem fs(small, "size=256k");
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    writeFile(scratch.cwd() + "/big.bin", mixedBytes(1 << 20, 99, 100));
    writeFile(scratch.cwd() + "/recipe.zop", "f big.bin\n");
    writeFile(small + "/out", "an older output");
    const RunResult r = run(platform().stub, {"recipe.zop", seen(small + "/out")});
    EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
    EXPECT_EQ(reportException(r), "EInOutError : Disk Full") << r.out;
    EXPECT_EQ(readFile(small + "/out"), "an older output") << "the older output stays whole";
    EXPECT_EQ(listTree(small), std::vector<std::string>{"out"}) << "the temporary output is removed";
    EXPECT_THAT(r.err, HasSubstr("zop: cannot write \"" + seen(small + "/out") + "\": disk full"));
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty()) << "the work directory goes";
}

TEST_P(FaultTest, TempWhereNoDirectoryCanBeMadeEndsAfterTheBoundedLoop)
{
    // Root ignores permissions, so "not writable" comes from a read-only
    // mount: entering the directory works, every mkdir fails (EROFS).
    const std::string readOnly = scratch.path("ro");
    SmallFileSystem fs(readOnly, "size=64k");
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    fs.remountReadOnly();
    RunOptions options;
    options.env["TEMP"] = seen(readOnly);
    if (onWindows())
        options.env["TMP"] = seen(readOnly);
    options.timeoutMs = 60000;
    const auto started = std::chrono::steady_clock::now();
    const RunResult r = run(platform().stub, {}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
    // The code of the last failed attempt: a read-only file system reads as
    // access denied on both platforms (Wine reports it so as well).
    EXPECT_EQ(reportException(r), "EInOutError : Access denied") << r.out;
    EXPECT_THAT(listTree(readOnly), IsEmpty());
    std::printf("[ timing   ] gave up after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started).count()));
}

TEST_P(FaultTest, TempInsideProcEndsAfterTheBoundedLoop)
{
    // Without mounting: /proc can be entered, but no directory can be made
    // in it, not even by root.
    if (onWindows())
        GTEST_SKIP() << "Linux only";
    RunOptions options;
    options.env["TEMP"] = "/proc";
    options.timeoutMs = 60000;
    const RunResult r = run(platform().stub, {}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
    EXPECT_EQ(reportException(r), "EInOutError : File not found") << r.out;  // ENOENT, the last attempt
}

INSTANTIATE_TEST_SUITE_P(Platforms, FaultTest, ::testing::ValuesIn(testedPlatforms()), platformName);

// ------------------------------------------------------------------ commands that are killed (Linux)

class KilledCommandTest : public ::testing::Test {
protected:
    std::string writeApp(const std::vector<Entry>& entries)
    {
        makeDirectories(scratch.path("bin"));
        const std::string exe = scratch.path("bin/app");
        writeFile(exe, makeContainer(readFile(linuxPlatform().stub), "zop", entries));
        chmod(exe.c_str(), 0755);
        return exe;
    }

    Scratch scratch;
};

TEST_F(KilledCommandTest, KilledAndNeverEndingCommandsEndTheRunNormally)
{
    // The first command kills itself; the last records its pid and then
    // sleeps "forever", until the test kills it after a bounded time. A
    // child killed by signal N counts as exit code 128 + N, is not a failure
    // of the launcher, and the work directory is removed as after any run.
    const std::string pidFile = scratch.path("pid");
    const std::string first = scratch.path("first");
    const std::string exe = writeApp({
        fileEntry("payload.txt", "p"),
        commandEntry('c', "/bin/sh -c \"echo ran > " + first + "; kill -TERM $$\""),
        commandEntry('t', "/bin/sh -c \"echo $$ > " + pidFile + ".new; mv " + pidFile + ".new " + pidFile +
                              "; exec sleep 600\""),
    });
    RunResult r;
    std::thread launcher([&] {
        RunOptions options;
        options.timeoutMs = 60000;
        r = e2e::run(linuxPlatform(), scratch, exe, {}, options);
    });
    pid_t child = 0;
    for (int waited = 0; waited < 20000 && child == 0; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (exists(pidFile))
            child = std::atoi(readFile(pidFile).c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // sleep has replaced the shell
    EXPECT_GT(child, 0) << "the last command never started";
    EXPECT_THAT(listTree(scratch.temp()), ::testing::Contains(MatchesRegex("zop\\.[0-9]+/payload\\.txt")));
    if (child > 0)
        kill(child, SIGKILL);
    launcher.join();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 128 + SIGKILL) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(exists(first)) << "the first command ran";
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

} // namespace
} // namespace e2e
