// Run mode as a user sees it, on Linux and under Wine: placeholders, the
// command line each packed command receives, its current directory, the
// launcher's exit code, the extracted bytes, the work directory's removal
// and the damaged containers that must end with the report. Containers are
// put together byte by byte, so run mode is tested apart from the packer.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include <gmock/gmock.h>

#include "harness.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// Bytes that deflate cannot shrink much, with a few long runs, so that a
// file crosses transfer blocks and inflate buffers at odd offsets.
std::string binaryContent(std::size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    for (std::size_t run = 1000; run + 5000 < size; run += 70001)
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(run), 5000, '\0');
    return bytes;
}

std::vector<std::string> topLevelNames(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry below dir, links shown by their own names (not resolved).
std::vector<std::string> namesBelow(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        names.push_back(it->path().lexically_relative(dir).generic_string() + (it->is_symlink() ? "@" : ""));
    return names;
}

class RunTest : public PlatformTest {
protected:
    std::string stubName() const { return "zop" + platform().exeSuffix; }

    // A packed executable in the current directory of the runs.
    std::string writeApp(const std::vector<Entry>& entries, const std::string& name = "app")
    {
        return writeAppBytes(makeContainer(readFile(platform().stub), stubName(), entries), name);
    }

    std::string writeAppBytes(const std::string& bytes, const std::string& name = "app")
    {
        const std::string path = scratch.cwd() + "/" + name + platform().exeSuffix;
        writeFile(path, bytes);
        chmod(path.c_str(), 0755);
        return path;
    }

    // The probe as the launcher names it.
    std::string probe() const { return seen(platform().probe); }
    // A command entry that starts the probe with the given argument text.
    Entry probeEntry(char kind, const std::string& arguments = "") const
    {
        return commandEntry(kind, arguments.empty() ? probe() : probe() + " " + arguments);
    }
    // A command that cannot start: the run ends there with the report, and
    // the work directory stays for the test to look at.
    Entry keepWorkDirEntry() const
    {
        return commandEntry('c', seen(scratch.path("missing/program")) + platform().exeSuffix);
    }

    std::string probeLog() const { return scratch.path("probe.log"); }
    RunOptions probeOptions() const
    {
        RunOptions options;
        options.env["PROBE_OUT"] = seen(probeLog());
        return options;
    }
    std::vector<ProbeRecord> probeRecords() const
    {
        return exists(probeLog()) ? readProbeRecords(probeLog()) : std::vector<ProbeRecord>{};
    }

    RunResult runApp(const std::string& exe, const std::vector<std::string>& args = {})
    {
        return run(exe, args, probeOptions());
    }

    char separator() const { return onWindows() ? '\\' : '/'; }
    // The pattern every work directory of these runs matches, as the
    // launcher names it.
    std::string workDirPattern() const
    {
        return std::regex_replace(seen(scratch.temp()), std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)") +
               (onWindows() ? R"(\\)" : "/") + R"(zop\.[0-9]+)";
    }

    // The one work directory left in TEMP (host path); fails the test when
    // there is not exactly one.
    std::string leftWorkDir() const
    {
        const auto names = topLevelNames(scratch.temp());
        EXPECT_EQ(names.size(), 1u) << "work directories left in TEMP";
        if (names.size() != 1)
            return scratch.path("no-work-dir");
        EXPECT_THAT(names[0], MatchesRegex(R"(zop\.[0-9]+)"));
        return scratch.temp() + "/" + names[0];
    }

    void expectReport(const RunResult& r, const std::string& secondLine)
    {
        EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
        const auto lines = reportLines(r.out);
        ASSERT_GE(lines.size(), 3u) << r.out << r.err;
        EXPECT_THAT(lines[0], StartsWith("An unhandled exception occurred at 0x"));
        EXPECT_EQ(lines[1], secondLine);
    }
};

// ------------------------------------------------------------------ placeholders and command lines

TEST_P(RunTest, ParmsAndQuotedParmsFollowTheArguments)
{
    const std::string exe = writeApp({probeEntry('c', "-x %parms%"), probeEntry('c', "-x %quotedparms%")});
    const RunResult r = runApp(exe, {"a", "b c"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 2u);
    if (onWindows()) {
        EXPECT_EQ(records[0].cmdline, "\"" + probe() + "\" -x a b c");
        EXPECT_EQ(records[1].cmdline, "\"" + probe() + "\" -x 'a' 'b c'");
    } else {
        // The Linux launcher splits by its own rules: single quotes group.
        EXPECT_THAT(records[0].argv, ElementsAre(probe(), "-x", "a", "b", "c"));
        EXPECT_THAT(records[1].argv, ElementsAre(probe(), "-x", "a", "b c"));
    }
}

TEST_P(RunTest, TempdirPlaceholdersNameTheWorkDirectoryInThreeForms)
{
    // "%tempdir%" inside an argument is expanded after %parms% put it there;
    // a placeholder in another letter case is not one.
    const std::string exe = writeApp({probeEntry('c', "%tempdir% %tempdir1% %tempdir2% %parms%")});
    const RunResult r = runApp(exe, {"x%tempdir%y", "%PARMS%"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 1u);
    const auto& argv = records[0].argv;
    ASSERT_EQ(argv.size(), 6u);
    const std::string workDir = argv[1];
    EXPECT_THAT(workDir, MatchesRegex(workDirPattern()));
    std::string slash = workDir, backslash = workDir;
    std::replace(slash.begin(), slash.end(), '\\', '/');
    std::replace(backslash.begin(), backslash.end(), '/', '\\');
    EXPECT_EQ(argv[2], slash);
    EXPECT_EQ(argv[3], backslash);
    EXPECT_EQ(argv[4], "x" + workDir + "y");
    EXPECT_EQ(argv[5], "%PARMS%");
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_P(RunTest, ExpandedCommandLongerThan255BytesIsPassedWhole)
{
    const std::string exe = writeApp({probeEntry('c', "%parms%")});
    const std::string longArgument(600, 'L');
    ASSERT_EQ(runApp(exe, {longArgument, "end"}).exitCode, 0);
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0].argv, ElementsAre(::testing::_, longArgument, "end"));
}

TEST_P(RunTest, PackedToolRunsFromTheWorkDirectory)
{
    // The example of a packed application: a directory, a program in it, a
    // command that names it through %tempdir% and gets the arguments, and a t
    // command that names it relative to the work directory. On Linux the
    // extracted program must be executable.
    const std::string tool = "bin\\tool" + platform().exeSuffix;
    const std::string exe = writeApp({dirEntry("bin"), fileEntry(tool, readFile(platform().probe)),
                                      commandEntry('c', "%tempdir%\\" + tool + " -x %parms%"),
                                      commandEntry('t', tool + " -y")});
    const RunResult r = runApp(exe, {"a", "b c"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 2u);
    if (onWindows()) {
        EXPECT_THAT(*records[0].cmdline, MatchesRegex("\"" + workDirPattern() + R"(\\bin\\tool\.exe" -x a b c)"));
        EXPECT_EQ(records[1].cmdline, "\"bin\\tool.exe\" -y");
    } else {
        // Backslashes in the program's path became slashes.
        EXPECT_THAT(records[0].argv[0], MatchesRegex(workDirPattern() + "/bin/tool"));
        EXPECT_THAT(records[0].argv, ElementsAre(::testing::_, "-x", "a", "b", "c"));
        EXPECT_THAT(records[1].argv, ElementsAre("bin/tool", "-y"));
    }
    EXPECT_THAT(records[1].cwd, MatchesRegex(workDirPattern()));
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_P(RunTest, CommandWithoutBlankRunsWithoutArguments)
{
    const std::string exe = writeApp({probeEntry('c')});
    ASSERT_EQ(runApp(exe, {"ignored"}).exitCode, 0);
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].argv.size(), 1u);
    if (onWindows()) {
        EXPECT_EQ(records[0].cmdline, "\"" + probe() + "\"") << "no blank after the program";
    }
}

TEST_P(RunTest, CommandStartingWithBlankHasAnEmptyProgramAndFails)
{
    const std::string exe = writeApp({commandEntry('c', " " + probe() + " x"), probeEntry('c')});
    const RunResult r = runApp(exe);
    EXPECT_EQ(r.exitCode, 217);
    const auto lines = reportLines(r.out);
    ASSERT_GE(lines.size(), 2u) << r.out << r.err;
    // Linux reports "not found"; Windows refuses the empty name in its own way.
    const std::string start = "EOSError : Failed to execute \"\" " + probe() + " x : ";
    if (onWindows())
        EXPECT_THAT(lines[1], StartsWith(start));
    else
        EXPECT_EQ(lines[1], start + "2");
    EXPECT_THAT(probeRecords(), IsEmpty());
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("zop.gz"));
}

TEST_P(RunTest, ProgramPathWithBlankRunsWhenTheEntryQuotesIt)
{
    const std::string dir = scratch.path("my tools");
    makeDirectories(dir);
    const std::string copy = dir + "/probe" + platform().exeSuffix;
    fs::copy_file(platform().probe, copy);
    chmod(copy.c_str(), 0755);
    const std::string text = "\"" + seen(copy) + "\" -a -b";
    const std::string exe = writeApp({commandEntry('c', text)});
    ASSERT_EQ(runApp(exe).exitCode, 0);
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 1u);
    if (onWindows())
        EXPECT_EQ(records[0].cmdline, text) << "a quoted program is not quoted again";
    else
        EXPECT_THAT(records[0].argv, ElementsAre(copy, "-a", "-b"));
}

TEST_P(RunTest, ProgramPathWithBlankIsCutWhenNotQuoted)
{
    const std::string exe = writeApp({commandEntry('c', seen(scratch.path("my tools/probe")) + " -a")});
    const RunResult r = runApp(exe);
    expectReport(r, "EOSError : Failed to execute \"" + seen(scratch.path("my")) + "\" tools" + separator() +
                        "probe -a : 2");
}

TEST_P(RunTest, MissingProgramEndsTheRunAndLeavesTheWorkDirectory)
{
    const std::string missing = seen(scratch.path("no-such-program")) + platform().exeSuffix;
    const std::string exe = writeApp({dirEntry("d"), commandEntry('c', missing + " -x"), probeEntry('c')});
    const RunResult r = runApp(exe);
    expectReport(r, "EOSError : Failed to execute \"" + missing + "\" -x : 2");
    EXPECT_THAT(probeRecords(), IsEmpty()) << "nothing after the failing command runs";
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("d/", "zop.gz"));
}

// ------------------------------------------------------------------ current directory

TEST_P(RunTest, TCommandsRunInTheWorkDirectoryAndCCommandsInTheLaunchers)
{
    const std::string exe = writeApp({probeEntry('c'), probeEntry('t'), probeEntry('c'), probeEntry('t')});
    ASSERT_EQ(runApp(exe).exitCode, 0);
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].cwd, seen(scratch.cwd()));
    EXPECT_THAT(records[1].cwd, MatchesRegex(workDirPattern()));
    EXPECT_EQ(records[2].cwd, seen(scratch.cwd())) << "the directory is restored after a t command";
    EXPECT_EQ(records[3].cwd, records[1].cwd);
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

// ------------------------------------------------------------------ exit codes

TEST_P(RunTest, LauncherExitsWithTheLastCommandsCode)
{
    struct Case {
        std::vector<Entry> entries;
        int exitCode;
        std::size_t commands;
    };
    const std::vector<Case> cases = {
        // A failing command does not stop the run.
        {{probeEntry('c', "--probe-exit=3"), probeEntry('c', "--probe-exit=0")}, 0, 2},
        {{probeEntry('c', "--probe-exit=0"), probeEntry('t', "--probe-exit=7")}, 7, 2},
        {{probeEntry('t', "--probe-exit=5"), dirEntry("after"), fileEntry("after\\f", "x")}, 5, 1},
        // No command at all; r and unknown kinds are passed over.
        {{dirEntry("a"), Entry{'r', "a", "", 0}, Entry{'x', "a", "", 0}, fileEntry("a\\b", "y")}, 0, 0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i + 1));
        fs::remove(probeLog());
        const std::string exe = writeApp(cases[i].entries, "app" + std::to_string(i));
        const RunResult r = runApp(exe);
        EXPECT_EQ(r.exitCode, cases[i].exitCode) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(probeRecords().size(), cases[i].commands);
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
    }
}

TEST_P(RunTest, EntryCountZeroWithEntriesInTheStreamIsRefused)
{
    // The entries after the count are never acted on, and the stream that
    // holds more than the count says is damage.
    std::string bytes = makeContainer(readFile(platform().stub), stubName(),
                                      {probeEntry('c', "--probe-exit=4"), dirEntry("d")});
    putInt32(bytes, bytes.size() - tailSize + 516, 0);
    const RunResult r = runApp(writeAppBytes(bytes), {"a"});
    expectReport(r, "EInOutError : Invalid input");
    EXPECT_THAT(probeRecords(), IsEmpty());
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("zop.gz"));
}

TEST_P(RunTest, EmptyContainerRunsNothingAndEndsNormally)
{
    // No stream and no entries: nothing to do, not even a work file.
    const RunResult r = runApp(writeAppBytes(assemble(readFile(platform().stub), "", makeTail(stubName(), 0, 0))));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

// ------------------------------------------------------------------ extracted files and directories

TEST_P(RunTest, FilesAreExtractedByteForByte)
{
    const std::string big = binaryContent(300001, 7);
    const std::string exact = binaryContent(100000, 11);
    const std::string exe = writeApp({dirEntry("data"), dirEntry("data\\sub"), fileEntry("data\\big.bin", big),
                                      fileEntry("empty.dat", ""), fileEntry("data\\sub\\exact.bin", exact),
                                      fileEntry("last.txt", "last\r\n"), keepWorkDirEntry()});
    const RunResult r = runApp(exe);
    ASSERT_EQ(r.exitCode, 217) << r.out << r.err;
    const std::string workDir = leftWorkDir();
    EXPECT_THAT(listTree(workDir), ElementsAre("data/", "data/big.bin", "data/sub/", "data/sub/exact.bin",
                                               "empty.dat", "last.txt", "zop.gz"));
    EXPECT_TRUE(readFile(workDir + "/data/big.bin") == big) << "big.bin differs";
    EXPECT_TRUE(readFile(workDir + "/data/sub/exact.bin") == exact) << "exact.bin differs";
    EXPECT_EQ(fs::file_size(workDir + "/empty.dat"), 0u);
    EXPECT_EQ(readFile(workDir + "/last.txt"), "last\r\n");
}

TEST_P(RunTest, DuplicateDirectoryEndsTheRun)
{
    const std::string exe = writeApp({dirEntry("x"), dirEntry("x"), probeEntry('c')});
    const RunResult r = runApp(exe);
    expectReport(r, "EInOutError : Access denied");
    EXPECT_THAT(probeRecords(), IsEmpty());
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("x/", "zop.gz"));
}

TEST_P(RunTest, FileInAMissingDirectoryEndsTheRun)
{
    const std::string exe = writeApp({fileEntry("nodir\\f", "x"), probeEntry('c')});
    const RunResult r = runApp(exe);
    EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("EInOutError : "));
    EXPECT_THAT(probeRecords(), IsEmpty());
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("zop.gz"));
}

// ------------------------------------------------------------------ work-directory removal

TEST_P(RunTest, WorkDirectoryIsRemovedWithWhatTheCommandsLeft)
{
    // A command fills the work directory with nested directories and files,
    // a hidden one among them.
    std::vector<Entry> entries = {dirEntry("app"), fileEntry("app\\packed.txt", "p")};
    if (onWindows()) {
        entries.push_back(commandEntry('t', "cmd /c mkdir made\\a\\b && echo x> made\\a\\b\\f.txt && echo y> "
                                            "made\\g.txt && attrib +h made\\g.txt"));
    } else {
        entries.push_back(commandEntry('c', "/bin/sh -c \"mkdir -p %tempdir%/made/a/b && echo x > "
                                            "%tempdir%/made/a/b/f.txt && echo y > %tempdir%/made/.hidden\""));
    }
    // A last command that reports what the first left behind.
    entries.push_back(onWindows() ? commandEntry('t', "cmd /c dir /s /b /a > " + seen(scratch.path("seen.txt")))
                                  : commandEntry('t', "/bin/sh -c \"find . > " + scratch.path("seen.txt") + "\""));
    const RunResult r = runApp(writeApp(entries));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string listing = readFile(scratch.path("seen.txt"));
    EXPECT_THAT(listing, HasSubstr(onWindows() ? "made\\a\\b\\f.txt" : "made/a/b/f.txt"));
    EXPECT_THAT(listing, HasSubstr(onWindows() ? "made\\g.txt" : "made/.hidden"));
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_P(RunTest, LinksAreRemovedWithoutFollowingThem)
{
    // A command links a directory and a file outside the work directory into
    // it. Under Wine the links are made by a Unix shell started through
    // Wine's own "start /unix", and they show as reparse points.
    const std::string outside = scratch.path("outside");
    makeDirectories(outside + "/inner");
    writeFile(outside + "/inner/keep.txt", "keep");
    writeFile(scratch.path("outside.txt"), "keep too");
    // Wine 8 shows a Unix link to a file as a plain file and deletes the
    // link's target for it, which no Windows link does: only the link to
    // a directory is made there.
    const std::string fileLinks = onWindows() ? ""
                                              : "ln -s " + scratch.path("outside.txt") +
                                                    " \"$d/flink\"; ln -s /nonexistent \"$d/dangling\"; ";
    const std::string script = scratch.path("link.sh");
    writeFile(script, "set -e\nfor d in " + scratch.temp() + "/zop.*; do ln -s " + outside + " \"$d/x/link\"; " +
                          fileLinks + "done\necho made > " + scratch.path("made.txt") + "\n");
    std::vector<Entry> entries = {dirEntry("x")};
    if (onWindows()) {
        // Wine does not wait for a Unix program: the batch file waits for
        // the script's last line.
        entries.push_back(fileEntry("link.bat", "@echo off\r\nstart /unix /bin/sh " + script +
                                                    "\r\n:wait\r\nif not exist " + seen(scratch.path("made.txt")) +
                                                    " goto wait\r\n"));
        entries.push_back(commandEntry('t', "cmd /c link.bat"));
    } else {
        entries.push_back(commandEntry('c', "/bin/sh " + script));
    }
    const std::string exe = writeApp(entries);
    const RunResult r = runApp(exe);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readFile(scratch.path("made.txt")), "made\n") << "the links were not made";
    EXPECT_THAT(listTree(outside), ElementsAre("inner/", "inner/keep.txt"));
    EXPECT_EQ(readFile(outside + "/inner/keep.txt"), "keep");
    EXPECT_EQ(readFile(scratch.path("outside.txt")), "keep too");
    if (onWindows()) {
        // Wine cannot remove a Unix link to a directory: that link and the
        // directories above it may stay, nothing else.
        for (const auto& name : namesBelow(scratch.temp()))
            EXPECT_THAT(name, MatchesRegex(R"(zop\.[0-9]+(/x(/link@)?)?)"));
    } else {
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
    }
}

TEST_P(RunTest, UndeletableFileStaysWithItsDirectoriesAndTheExitCodeIsTheCommands)
{
    // A read-only file on Windows; on Linux, where a file's own permissions
    // do not stop its deletion, an immutable one.
    std::vector<Entry> entries = {dirEntry("keep"), dirEntry("keep\\deep"), fileEntry("keep\\deep\\ro.txt", "r"),
                                  fileEntry("keep\\gone.txt", "g"), dirEntry("other"), fileEntry("other\\f", "f")};
    if (onWindows()) {
        entries.push_back(commandEntry('t', "cmd /c attrib +r keep\\deep\\ro.txt"));
    } else {
        if (geteuid() != 0)
            GTEST_SKIP() << "making a file immutable needs root";
        const std::string trial = scratch.path("trial");
        writeFile(trial, "");
        if (std::system(("chattr +i " + trial + " 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "chattr +i does not work here";
        std::system(("chattr -i " + trial).c_str());
        entries.push_back(commandEntry('t', "chattr +i keep/deep/ro.txt"));
    }
    entries.push_back(probeEntry('c', "--probe-exit=6"));
    const RunResult r = runApp(writeApp(entries));
    const std::string workDir = leftWorkDir();
    const auto left = listTree(workDir);
    if (!onWindows())
        std::system(("chattr -i " + workDir + "/keep/deep/ro.txt").c_str());
    EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(left, ElementsAre("keep/", "keep/deep/", "keep/deep/ro.txt"));
    EXPECT_EQ(readFile(workDir + "/keep/deep/ro.txt"), "r");
}

// ------------------------------------------------------------------ damaged containers

TEST_P(RunTest, StreamWithFewerHeadersThanTheCountEndsWithReadPastEnd)
{
    std::string bytes = makeContainer(readFile(platform().stub), stubName(), {probeEntry('c')});
    putInt32(bytes, bytes.size() - tailSize + 516, 2);
    const RunResult r = runApp(writeAppBytes(bytes));
    expectReport(r, "EInOutError : Read past end of file");
    EXPECT_EQ(probeRecords().size(), 1u) << "the stale header is not acted on again";
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("zop.gz"));
}

TEST_P(RunTest, EntryCannotReplaceTheWorkFileBeingRead)
{
    // "zop.gz" names the work file that the stream is being read from; an
    // entry of that name would have the launcher inflate the entry's own
    // bytes and run what they hold. Both platforms refuse to create over a
    // file the process holds open.
    const std::string hidden = gzipMember(makeHeader('c', probe() + " hidden", 0));
    const RunResult r = runApp(writeApp({fileEntry("zop.gz", hidden), probeEntry('c', "listed")}));
    expectReport(r, "EInOutError : Access denied");
    EXPECT_THAT(probeRecords(), IsEmpty());
}

TEST_P(RunTest, DamagedStreamWithIntegrityCheckRunsNoCommand)
{
    // Without the check, a flip in the last file's content is noticed only
    // by the member's own CRC-32 after the commands ran; with it, nothing
    // is extracted or run.
    const std::string stub = readFile(platform().stub);
    std::string bytes = makeContainer(stub, stubName(), {probeEntry('c'), fileEntry("data.bin", binaryContent(50000, 5))});
    const std::size_t gzLength = bytes.size() - stub.size() - tailSize;
    bytes.replace(bytes.size() - tailSize + crcFieldAt, 8, crcField(std::string_view(bytes).substr(stub.size(), gzLength)));
    bytes[stub.size() + gzLength - 20] ^= 0x10;
    const RunResult r = runApp(writeAppBytes(bytes));
    expectReport(r, "EInOutError : Invalid input");
    EXPECT_THAT(probeRecords(), IsEmpty());
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("zop.gz"));
}

TEST_P(RunTest, NegativeDataLengthEndsWithInvalidInput)
{
    const std::string stream = makeHeader('f', "neg.bin", -5) + "abcde" + makeHeader('c', probe(), 0);
    const std::string member = gzipMember(stream);
    const std::string bytes = assemble(readFile(platform().stub), member,
                                       makeTail(stubName(), static_cast<int32_t>(member.size()), 2));
    const RunResult r = runApp(writeAppBytes(bytes));
    expectReport(r, "EInOutError : Invalid input");
    EXPECT_THAT(probeRecords(), IsEmpty());
    EXPECT_THAT(listTree(leftWorkDir()), ElementsAre("zop.gz"));
}

TEST_P(RunTest, FileDataCutShortEndsWithReadPastEnd)
{
    const std::string stream = makeHeader('f', "cut.bin", 200000) + binaryContent(150000, 3);
    const std::string member = gzipMember(stream);
    const std::string bytes = assemble(readFile(platform().stub), member,
                                       makeTail(stubName(), static_cast<int32_t>(member.size()), 1));
    const RunResult r = runApp(writeAppBytes(bytes));
    expectReport(r, "EInOutError : Read past end of file");
}

TEST_P(RunTest, GzLengthBeyondTheFileEndsBeforeAnythingIsExtracted)
{
    std::string bytes = makeContainer(readFile(platform().stub), stubName(),
                                      {dirEntry("d"), fileEntry("d\\f", "x"), probeEntry('c')});
    putInt32(bytes, bytes.size() - tailSize + 256, static_cast<int32_t>(bytes.size()));
    const RunResult r = runApp(writeAppBytes(bytes));
    expectReport(r, "EInOutError : Read past end of file");
    EXPECT_THAT(probeRecords(), IsEmpty());
    EXPECT_THAT(listTree(leftWorkDir()), IsEmpty());
}

// ------------------------------------------------------------------ real programs

TEST_P(RunTest, PackedScriptRunsThroughTheSystemsInterpreter)
{
    std::vector<Entry> entries = {dirEntry("app")};
    if (onWindows()) {
        // Wine's cmd.exe runs a packed batch file with the work directory
        // current; its exit code becomes the launcher's.
        entries.push_back(fileEntry("app\\main.bat", "@echo off\r\necho hello %1 %2\r\n"
                                                     "type app\\data.txt\r\nexit /b 4\r\n"));
        entries.push_back(fileEntry("app\\data.txt", "packed data\r\n"));
        entries.push_back(commandEntry('t', "cmd /c app\\main.bat %parms%"));
    } else {
        entries.push_back(fileEntry("app\\main.sh", "echo \"hello $1|$2\"\ncat \"$(dirname \"$0\")/data.txt\"\n"
                                                    "echo \"$PWD\" > cwd.txt\nexit 4\n"));
        entries.push_back(fileEntry("app\\data.txt", "packed data\n"));
        entries.push_back(commandEntry('c', "/bin/sh %tempdir1%/app/main.sh %quotedparms%"));
    }
    const RunResult r = run(writeApp(entries), {"big", "world wide"});
    EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
    if (onWindows()) {
        // %parms% joins the arguments with blanks: cmd sees three of them.
        EXPECT_THAT(r.out, HasSubstr("hello big world\r\n"));
        EXPECT_THAT(r.out, HasSubstr("packed data\r\n"));
    } else {
        EXPECT_EQ(r.out, "hello big|world wide\npacked data\n");
        EXPECT_EQ(readFile(scratch.cwd() + "/cwd.txt"), scratch.cwd() + "\n") << "c runs in the launcher's directory";
    }
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Platforms, RunTest, ::testing::ValuesIn(testedPlatforms()), platformName);

// ------------------------------------------------------------------ Linux only: signals and names

class RunLinuxTest : public ::testing::Test {
protected:
    std::string writeApp(const std::vector<Entry>& entries)
    {
        const std::string path = scratch.cwd() + "/app";
        writeFile(path, makeContainer(readFile(linuxPlatform().stub), "zop", entries));
        chmod(path.c_str(), 0755);
        return path;
    }

    // Starts the launcher in a process group of its own, as a shell starts a
    // foreground job, and returns its id.
    pid_t startInOwnGroup(const std::string& exe)
    {
        const std::string out = scratch.path("out.txt");
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0 || chdir(scratch.cwd().c_str()) != 0)
                _exit(126);
            setenv("TEMP", scratch.temp().c_str(), 1);
            // A command killed by SIGQUIT leaves no core file behind.
            const struct rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            signal(SIGINT, SIG_DFL);
            signal(SIGQUIT, SIG_DFL);
            execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid > 0)
            setpgid(pid, pid);
        return pid;
    }

    static bool waitForFile(const std::string& path)
    {
        for (int i = 0; i < 1000; ++i) {
            if (exists(path) && !readFile(path).empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Waits at most 20 s; -1 when the process had to be killed.
    static int waitForExit(pid_t pid)
    {
        int status = 0;
        for (int i = 0; i < 2000; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }

    Scratch scratch;
};

TEST_F(RunLinuxTest, InterruptGoesToTheCommandAndTheLauncherCleansUp)
{
    // Control-C at a terminal signals the whole foreground group: the
    // command handles it and ends; the launcher carries on.
    const std::string ready = scratch.path("ready"), handled = scratch.path("handled");
    const std::string exe = writeApp(
        {dirEntry("d"), commandEntry('c', "/bin/sh -c \"trap 'echo handled > " + handled +
                                              "; exit 9' INT; echo ready > " + ready +
                                              "; while :; do sleep 0.05; done\"")});
    const pid_t pid = startInOwnGroup(exe);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForFile(ready)) << "the command did not start";
    kill(-pid, SIGINT);
    EXPECT_EQ(waitForExit(pid), 9);
    EXPECT_EQ(readFile(handled), "handled\n");
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_F(RunLinuxTest, CommandKilledByInterruptDoesNotStopTheRun)
{
    const std::string ready = scratch.path("ready"), after = scratch.path("after");
    const std::string killed = "/bin/sh -c \"echo ready > " + ready + "; exec sleep 30\"";
    const std::string exe =
        writeApp({commandEntry('c', killed), commandEntry('c', "/bin/sh -c \"echo after > " + after + "\""),
                  commandEntry('c', killed)});
    const pid_t pid = startInOwnGroup(exe);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForFile(ready));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // sleep has replaced the shell
    fs::remove(ready);
    kill(-pid, SIGINT);
    ASSERT_TRUE(waitForFile(ready)) << "the run did not go on after the first command";
    EXPECT_EQ(readFile(after), "after\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(-pid, SIGQUIT);
    // The last command died of SIGQUIT: 128 + 3.
    EXPECT_EQ(waitForExit(pid), 131);
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_F(RunLinuxTest, CommandKilledBySignalGives128PlusItsNumber)
{
    const std::string exe = writeApp({commandEntry('c', "/bin/sh -c \"kill -TERM $$\"")});
    const pid_t pid = startInOwnGroup(exe);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitForExit(pid), 143);
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_F(RunLinuxTest, NamesWithBackslashesNeverLeadOutOfTheWorkDirectory)
{
    // The file services read "\\" as a separator; a command may still create
    // names that hold one. Such entries stay behind rather than be taken for
    // the paths they spell.
    const std::string victim = scratch.temp() + "/victim";
    makeDirectories(victim + "/inner");
    writeFile(victim + "/inner/file", "precious");
    writeFile(scratch.temp() + "/victim.txt", "precious too");
    const std::string exe = writeApp({commandEntry(
        'c', "/bin/sh -c \"mkdir %tempdir%/..\\\\victim && echo x > %tempdir%/..\\\\victim.txt && "
             "mkdir %tempdir%/sub && echo y > %tempdir%/sub/..\\\\victim.txt && echo z > %tempdir%/plain\"")});
    const pid_t pid = startInOwnGroup(exe);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitForExit(pid), 0);
    EXPECT_EQ(readFile(victim + "/inner/file"), "precious");
    EXPECT_EQ(readFile(scratch.temp() + "/victim.txt"), "precious too");
    const auto names = topLevelNames(scratch.temp());
    ASSERT_EQ(names.size(), 3u);
    const std::string workDir = scratch.temp() + "/" + names[2];
    EXPECT_THAT(listTree(workDir), ElementsAre("..\\victim.txt", "..\\victim/", "sub/", "sub/..\\victim.txt"));
}

}  // namespace
}  // namespace e2e
