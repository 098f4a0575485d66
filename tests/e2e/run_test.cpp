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

#include <sys/mount.h>
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

    // With ZOP_THREADS set: the removal's tests run on one thread and on two.
    RunResult runAppOn(const std::string& threads, const std::string& exe)
    {
        RunOptions options = probeOptions();
        options.env["ZOP_THREADS"] = threads;
        return run(exe, {}, options);
    }

    char separator() const { return onWindows() ? '\\' : '/'; }
    // The pattern every work directory of these runs matches, as the
    // launcher names it (in TEMP, else in the given temporary directory).
    std::string workDirPattern(const std::string& temp = {}) const
    {
        return std::regex_replace(seen(temp.empty() ? scratch.temp() : temp), std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)") +
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

TEST_P(RunTest, ArgsHandsEveryArgumentOnExactly)
{
    // Quotes, blanks, empty arguments and placeholder names all arrive as
    // the user gave them: what %args% inserts is not searched again.
    const std::string exe = writeApp({probeEntry('c', "-x %args% end")});
    if (onWindows()) {
        // The launcher's own command-line tail, compared with a direct start
        // of the probe with the same tail.
        const std::string tail = "\"Bob Smith\" \"say \\\"hi\\\"\" O'Brien \"\" %tempdir% a&b \"tab\there\"";
        ASSERT_EQ(runCommandLine("\"" + seen(exe) + "\"  " + tail, probeOptions()).exitCode, 0);
        ASSERT_EQ(runCommandLine("\"" + probe() + "\" -x " + tail + " end", probeOptions()).exitCode, 0);
        const auto records = probeRecords();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].cmdline, "\"" + probe() + "\" -x " + tail + " end");
        EXPECT_EQ(records[0].argv, records[1].argv);
        EXPECT_THAT(records[0].argv, ElementsAre(::testing::_, "-x", "Bob Smith", "say \"hi\"", "O'Brien", "",
                                                 "%tempdir%", "a&b", "tab\there", "end"));
    } else {
        const std::vector<std::string> args = {"Bob Smith", "say \"hi\"", "O'Brien", "", "it's 'q'",
                                               "%tempdir%", "%args%", "a\tb\nc"};
        ASSERT_EQ(runApp(exe, args).exitCode, 0);
        const auto records = probeRecords();
        ASSERT_EQ(records.size(), 1u);
        std::vector<std::string> expected = {probe(), "-x"};
        expected.insert(expected.end(), args.begin(), args.end());
        expected.push_back("end");
        EXPECT_EQ(records[0].argv, expected);
    }
}

TEST_P(RunTest, ArgsReachCmdAsTextOnly)
{
    // A command that cmd reads gets each argument quoted for cmd: operators,
    // carets, variables and quotes in it stay text, and the program behind
    // cmd splits every argument back. An argument cmd cannot take as text
    // ends the run before the command starts.
    if (!onWindows())
        GTEST_SKIP() << "cmd reads the arguments on Windows only";
    const std::string pwned = seen(scratch.path("pwned.txt"));
    const struct Case {
        std::string command;            // the c command
        std::string tail;               // the launcher's arguments, quoted as Wine and .NET quote
        std::vector<std::string> argv;  // what the probe gets after "-x"; empty: refused
    } cases[] = {
        {"cmd /c " + probe() + " -x %args%",
         "x&ver \"a\\\"&echo INJECTED>" + pwned + "&\\\"b\" %OS% ^ !x! (a)|b \"two words\" \"\" C:\\dir\\ %x%",
         {"x&ver", "a\"&echo INJECTED>" + pwned + "&\"b", "%OS%", "^", "!x!", "(a)|b", "two words", "", "C:\\dir\\",
          "%x%"}},
        {"cmd /c " + probe() + " -x %args%", "Alice", {"Alice"}},
        // A batch file as the program: Windows hands it to cmd.
        {"\"%tempdir%\\run.bat\" %args%", "x&ver \"a\\\"&echo INJECTED&\\\"b\" ^ \"two words\" \"\"",
         {"x&ver", "a\"&echo INJECTED&\"b", "^", "two words", ""}},
        {"cmd /c " + probe() + " -x %args%", "\"line\nbreak\"", {}},
        {"cmd /v:on /c " + probe() + " -x %args%", "!x!", {}},
        // cmd takes the outer quotes off "/c "..." ...": only bare arguments are safe.
        {"cmd /c \"" + probe() + "\" -x %args%", "x&ver", {}},
        {"cmd /c \"" + probe() + "\" -x %args%", "Alice", {"Alice"}},
    };
    const std::string exe = seen(scratch.cwd() + "/app.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " | " + c.tail);
        writeApp({fileEntry("run.bat", "@\"" + probe() + "\" -x %*\r\n"), commandEntry('c', c.command)});
        fs::remove(probeLog());
        const RunResult r = runCommandLine("\"" + exe + "\" " + c.tail, probeOptions());
        EXPECT_FALSE(exists(scratch.path("pwned.txt")));
        if (c.argv.empty()) {
            EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
            EXPECT_THAT(r.out, HasSubstr("EOSError : Failed to execute \"cmd\" "));
            EXPECT_THAT(r.out, HasSubstr(c.tail + " : 87\r\n"));
            EXPECT_THAT(probeRecords(), IsEmpty());
            continue;
        }
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const auto records = probeRecords();
        ASSERT_EQ(records.size(), 1u) << r.out << r.err;
        std::vector<std::string> expected = {records[0].argv.at(0), "-x"};
        expected.insert(expected.end(), c.argv.begin(), c.argv.end());
        EXPECT_EQ(records[0].argv, expected) << records[0].cmdline.value_or("");
    }
}

TEST_P(RunTest, ArgumentsRichInSingleQuotesCountAsTheProgramReceivesThem)
{
    // On Linux each argument is quoted for the launcher's splitter, which
    // makes "a'b'c..." three times longer; the limit is the system's on what
    // the program receives, so arguments the probe takes directly pass.
    if (onWindows())
        GTEST_SKIP() << "Linux case";
    const long limit = sysconf(_SC_ARG_MAX);
    ASSERT_GT(limit, 0);
    std::string argument;
    while (argument.size() < 1000)
        argument += "a'";
    const std::vector<std::string> args(static_cast<std::size_t>(limit) / 2 / 1001, argument);
    const std::string exe = writeApp({probeEntry('c', "%args%")});
    const RunResult r = runApp(exe, args);
    ASSERT_EQ(r.exitCode, 0) << r.out.substr(0, 300) << r.err;
    ASSERT_EQ(probeRecords().size(), 1u);
    EXPECT_EQ(probeRecords()[0].argv.size(), args.size() + 1);
    EXPECT_EQ(probeRecords()[0].argv.back(), argument);
}

TEST_P(RunTest, NonAnsiTempFolderCurrentDirectoryAndArguments)
{
    // A Cyrillic user name on a Western Windows: the manifest's UTF-8 code
    // page lets every name through the stub's ANSI calls.
    const std::string temp = scratch.path("Временные файлы");
    const std::string folder = scratch.path("Загрузки");
    const std::string cwd = scratch.path("Рабочий стол");
    for (const std::string& dir : {temp, folder, cwd})
        makeDirectories(dir);
    const std::string exe = folder + "/приложение" + platform().exeSuffix;
    writeFile(exe, makeContainer(readFile(platform().stub), stubName(),
                                 {dirEntry("данные"), fileEntry("данные\\файл.txt", "x"),
                                  probeEntry('c', "%args% \"%tempdir%\\данные\\файл.txt\""), probeEntry('t')}));
    chmod(exe.c_str(), 0755);
    RunOptions options = probeOptions();
    options.cwd = cwd;
    options.env["TEMP"] = seen(temp);
    const RunResult r = run(exe, {"Привет", "Мир мой"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records[0].argv.size(), 4u);
    EXPECT_EQ(records[0].argv[1], "Привет");
    EXPECT_EQ(records[0].argv[2], "Мир мой");
    EXPECT_THAT(records[0].argv[3], MatchesRegex(workDirPattern(temp) + "[/\\\\]данные[/\\\\]файл\\.txt"));
    EXPECT_EQ(records[0].cwd, seen(cwd));
    EXPECT_THAT(records[1].cwd, MatchesRegex(workDirPattern(temp)));
    EXPECT_THAT(listTree(temp), IsEmpty());
}

TEST_P(RunTest, BareProgramNamesAreNeverTakenFromTheLaunchersFolder)
{
    if (!onWindows())
        GTEST_SKIP() << "Linux looks a bare name up in PATH alone";
    // Copies of the probe planted beside the packed executable, which is the
    // launcher's current directory as well: none of them may run. A t
    // command finds the packed program; cmd comes from the system; a name
    // found nowhere else fails as a missing program.
    for (const char* planted : {"cmd.exe", "tool.exe"})
        fs::copy_file(platform().probe, scratch.cwd() + "/" + planted);
    const std::string exe = writeApp({fileEntry("tool.exe", readFile(platform().probe)),
                                      commandEntry('t', "tool -t"), commandEntry('c', "cmd /c exit 3"),
                                      commandEntry('c', "tool -c")});
    const RunResult r = runApp(exe);
    expectReport(r, "EOSError : Failed to execute \"tool\" -c : 2");
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0].exe, MatchesRegex(workDirPattern() + R"(\\tool\.exe)"));
    EXPECT_EQ(records[0].cmdline, "\"tool\" -t") << "the command line stays as built";
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
    const RunResult r = runApp(exe, {longArgument, "end"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
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
    const std::string big = mixedBytes(300001, 7, 90);
    const std::string exact = mixedBytes(100000, 11, 90);
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

// A tree whose unpacked paths pass 260 characters (MAX_PATH). Linux takes
// them, and so does Windows with its long-path setting on, which the stub's
// manifest opts into; Wine, like a Windows without the setting, refuses
// them: the launch ends with "Invalid filename" before any command runs.
TEST_P(RunTest, PathsPastMaxPathUnpackWhereTheSystemTakesThem)
{
    const std::string level(60, 'l');
    std::vector<Entry> entries;
    std::string path;
    for (int i = 0; i < 4; ++i) {
        path += (path.empty() ? "" : "\\") + level;
        entries.push_back(dirEntry(path));
    }
    entries.push_back(fileEntry(path + "\\deep.txt", "deep"));
    entries.push_back(probeEntry('c', "ran"));
    ASSERT_GT(seen(scratch.temp()).size() + std::string("/zop.999/").size() + path.size() + 9, 260u);
    const RunResult r = runApp(writeApp(entries));
    if (onWindows()) {
        expectReport(r, "EInOutError : Invalid filename");
        EXPECT_THAT(probeRecords(), IsEmpty());
    } else {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(probeRecords().size(), 1u);
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
    }
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

// ------------------------------------------------------------------ writer threads

// A payload of 1 MiB or more is written by writer threads (ZOP_THREADS of
// them); below that, or with ZOP_THREADS=1, by the main thread alone.
std::vector<Entry> paddedForWriters(std::vector<Entry> entries)
{
    entries.insert(entries.begin(), fileEntry("pad.bin", std::string(1 << 20, 'p')));
    return entries;
}

// ThreadSanitizer's runtime starts a thread of its own beside the first one
// a program starts: one more in a Linux stub built with it.
constexpr int sanitizerThreads = ZOP_LINUX_STUB_TSAN ? 1 : 0;

TEST_P(RunTest, ManyFilesComeOutWholeWhateverTheThreadCount)
{
    // 12 directories of 20 files, odd sizes around the 64 KiB buffers and
    // the 100,000-byte block, one name written twice (the second content
    // wins), a command that lists what it sees, then the end that keeps the
    // work directory.
    std::vector<Entry> entries;
    std::vector<std::string> expected = {"dup.bin", "pad.bin", "zop.gz"};
    for (int d = 0; d < 12; ++d) {
        const std::string dir = "d" + std::to_string(d);
        entries.push_back(dirEntry(dir));
        expected.push_back(dir + "/");
        for (int f = 0; f < 20; ++f) {
            const std::size_t size = f % 7 == 0 ? 65536 * (f % 3) + 100001 : static_cast<std::size_t>(d * 977 + f * 331);
            entries.push_back(fileEntry(dir + "\\f" + std::to_string(f), mixedBytes(size, d * 20 + f, 90)));
            expected.push_back(dir + "/f" + std::to_string(f));
        }
    }
    entries.push_back(fileEntry("dup.bin", "first"));
    entries.push_back(fileEntry("dup.bin", "second, longer"));
    const std::string listing = scratch.path("listing.txt"), threads = scratch.path("threads.txt");
    entries.push_back(onWindows() ? commandEntry('t', "cmd /c dir /s /b /a-d > " + seen(listing))
                                  : commandEntry('t', "/bin/sh -c \"find . -type f > " + listing +
                                                          "; grep Threads: /proc/$PPID/status > " + threads + "\""));
    entries.push_back(keepWorkDirEntry());
    entries = paddedForWriters(entries);
    std::sort(expected.begin(), expected.end());
    const std::string exe = writeApp(entries);
    for (const std::string count : {"1", "2", "8"}) {
        SCOPED_TRACE("ZOP_THREADS=" + count);
        RunOptions options = probeOptions();
        options.env["ZOP_THREADS"] = count;
        const RunResult r = run(exe, {}, options);
        ASSERT_EQ(r.exitCode, 217) << r.out << r.err;
        const std::string workDir = leftWorkDir();
        EXPECT_EQ(listTree(workDir), expected);
        for (const Entry& e : entries) {
            if (e.kind == 'f' && e.text != "dup.bin") {
                std::string path = e.text;
                std::replace(path.begin(), path.end(), '\\', '/');
                EXPECT_TRUE(readFile(workDir + "/" + path) == e.data) << e.text << " differs";
            }
        }
        EXPECT_EQ(readFile(workDir + "/dup.bin"), "second, longer");
        const std::string seenFiles = readFile(listing);
        EXPECT_EQ(std::count(seenFiles.begin(), seenFiles.end(), '\n'), 12 * 20 + 3) << seenFiles;
        if (!onWindows())
            EXPECT_EQ(readFile(threads), "Threads:\t" +
                                             std::to_string(std::stoi(count) == 1 ? 1 : std::stoi(count) + 1 + sanitizerThreads) +
                                             "\n");
        fs::remove_all(workDir);
    }
    if (!onWindows()) {
        // Under 1 MiB the main thread writes alone, whatever ZOP_THREADS says.
        RunOptions options = probeOptions();
        options.env["ZOP_THREADS"] = "8";
        const RunResult r = run(writeApp({fileEntry("small.bin", mixedBytes(500000, 1, 90)),
                                          commandEntry('c', "/bin/sh -c \"grep Threads: /proc/$PPID/status > " + threads + "\"")}),
                                {}, options);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(readFile(threads), "Threads:\t1\n");
    }
}

TEST_P(RunTest, FailuresAmongWriterThreadsAreReportedAsWithOneThread)
{
    // Each case fails in the middle of a payload that the writer threads
    // write; the report is the one a single thread gives, the first failure
    // in stream order, and the command after it never runs.
    std::vector<Entry> before, after;
    for (int i = 0; i < 40; ++i) {
        before.push_back(fileEntry("b" + std::to_string(i), mixedBytes(3000 + i * 50, i, 90)));
        after.push_back(fileEntry("a" + std::to_string(i), mixedBytes(2000 + i * 70, 100 + i, 90)));
    }
    const auto around = [&](std::vector<Entry> middle) {
        std::vector<Entry> entries = before;
        entries.insert(entries.end(), middle.begin(), middle.end());
        entries.insert(entries.end(), after.begin(), after.end());
        entries.push_back(probeEntry('c'));
        return paddedForWriters(entries);
    };
    struct Case {
        std::string name;
        std::string bytes;
        std::string report;
        std::string keptFile = {};  // a file that must stay, as written
    };
    const std::string stub = readFile(platform().stub);
    std::vector<Case> cases = {
        {"file in a missing directory", makeContainer(stub, stubName(), around({fileEntry("nodir\\f", "x")})), ""},
        {"directory made twice", makeContainer(stub, stubName(), around({dirEntry("x"), dirEntry("x")})), ""},
        {"writer's failure before the main thread's",
         makeContainer(stub, stubName(), around({fileEntry("nodir\\f", "x"), dirEntry("y"), dirEntry("y")})), ""},
        {"directory where a file was just written",
         makeContainer(stub, stubName(), around({fileEntry("x", mixedBytes(200000, 9, 90)), dirEntry("x")})), "", "x"},
        {"the work file", makeContainer(stub, stubName(), around({fileEntry("zop.gz", "z")})), ""},
    };
    {
        // File data cut short: the stream ends inside the last file.
        std::vector<Entry> entries = paddedForWriters(before);
        std::string stream = entryStream(entries) + makeHeader('f', "cut.bin", 200000) + mixedBytes(150000, 3, 90);
        const std::string member = gzipMember(stream);
        cases.push_back({"data cut short",
                         assemble(stub, member, makeTail(stubName(), static_cast<int32_t>(member.size()),
                                                         static_cast<int32_t>(entries.size()) + 1)),
                         ""});
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string exe = writeAppBytes(c.bytes);
        for (const std::string count : {"1", "2"}) {
            SCOPED_TRACE("ZOP_THREADS=" + count);
            RunOptions options = probeOptions();
            options.env["ZOP_THREADS"] = count;
            const RunResult r = run(exe, {}, options);
            EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
            const auto lines = reportLines(r.out);
            ASSERT_GE(lines.size(), 2u) << r.out << r.err;
            if (c.report.empty())
                c.report = lines[1];
            EXPECT_EQ(lines[1], c.report);
            EXPECT_THAT(probeRecords(), IsEmpty());
            // The work directory stays, with the files before the failure.
            const std::string workDir = leftWorkDir();
            for (const Entry& e : before)
                EXPECT_TRUE(readFile(workDir + "/" + e.text) == e.data) << e.text;
            if (!c.keptFile.empty())
                EXPECT_TRUE(fs::is_regular_file(workDir + "/" + c.keptFile)) << c.keptFile;
            fs::remove_all(workDir);
        }
    }
}

// ------------------------------------------------------------------ work-directory removal

TEST_P(RunTest, WorkDirectoryIsRemovedWithWhatTheCommandsLeft)
{
    // A command fills the work directory with nested directories and files,
    // a hidden one among them, deep enough to be split into subtrees for
    // two threads.
    std::vector<Entry> entries = {dirEntry("app"), fileEntry("app\\packed.txt", "p")};
    if (onWindows()) {
        entries.push_back(commandEntry('t', "cmd /c mkdir made\\a\\b\\c\\d && mkdir made\\a\\b\\e && echo x> "
                                            "made\\a\\b\\c\\d\\f.txt && echo y> made\\g.txt && attrib +h made\\g.txt"));
    } else {
        entries.push_back(commandEntry('c', "/bin/sh -c \"mkdir -p %tempdir%/made/a/b/c/d %tempdir%/made/a/b/e && echo x > "
                                            "%tempdir%/made/a/b/c/d/f.txt && echo y > %tempdir%/made/.hidden\""));
    }
    // A last command that reports what the first left behind.
    entries.push_back(onWindows() ? commandEntry('t', "cmd /c dir /s /b /a > " + seen(scratch.path("seen.txt")))
                                  : commandEntry('t', "/bin/sh -c \"find . > " + scratch.path("seen.txt") + "\""));
    const std::string exe = writeApp(entries);
    for (const std::string threads : {"1", "2"}) {
        SCOPED_TRACE("ZOP_THREADS=" + threads);
        const RunResult r = runAppOn(threads, exe);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        const std::string listing = readFile(scratch.path("seen.txt"));
        EXPECT_THAT(listing, HasSubstr(onWindows() ? "made\\a\\b\\c\\d\\f.txt" : "made/a/b/c/d/f.txt"));
        EXPECT_THAT(listing, HasSubstr(onWindows() ? "made\\g.txt" : "made/.hidden"));
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
    }
}

TEST_P(RunTest, LinksAreRemovedWithoutFollowingThem)
{
    // A command links a directory and a file outside the work directory into
    // it, at the top and in one of the subtrees that two threads share.
    // Under Wine the links are made by a Unix shell started through Wine's
    // own "start /unix", and they show as reparse points.
    const std::string outside = scratch.path("outside");
    makeDirectories(outside + "/inner");
    writeFile(outside + "/inner/keep.txt", "keep");
    writeFile(scratch.path("outside.txt"), "keep too");
    // Wine 8 shows a Unix link to a file as a plain file and deletes the
    // link's target for it, which no Windows link does: only the links to
    // a directory are made there.
    const std::string fileLinks = onWindows() ? ""
                                              : "ln -s " + scratch.path("outside.txt") +
                                                    " \"$d/flink\"; ln -s " + scratch.path("outside.txt") +
                                                    " \"$d/x/a/b/c/flink\"; ln -s /nonexistent \"$d/dangling\"; ";
    const std::string script = scratch.path("link.sh");
    writeFile(script, "set -e\nfor d in " + scratch.temp() + "/zop.*; do ln -s " + outside + " \"$d/x/link\"; ln -s " +
                          outside + " \"$d/x/a/b/c/link\"; " + fileLinks + "done\necho made > " +
                          scratch.path("made.txt") + "\n");
    std::vector<Entry> entries = {dirEntry("x"), dirEntry("x\\a"), dirEntry("x\\a\\b"), dirEntry("x\\a\\b\\c"),
                                  dirEntry("x\\a\\b\\e")};
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
    for (const std::string threads : {"1", "2"}) {
        SCOPED_TRACE("ZOP_THREADS=" + threads);
        fs::remove(scratch.path("made.txt"));
        const RunResult r = runAppOn(threads, exe);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(readFile(scratch.path("made.txt")), "made\n") << "the links were not made";
        EXPECT_THAT(listTree(outside), ElementsAre("inner/", "inner/keep.txt"));
        EXPECT_EQ(readFile(outside + "/inner/keep.txt"), "keep");
        EXPECT_EQ(readFile(scratch.path("outside.txt")), "keep too");
        if (onWindows()) {
            // Wine cannot remove a Unix link to a directory: those links and
            // the directories above them may stay, nothing else.
            for (const auto& name : namesBelow(scratch.temp()))
                EXPECT_THAT(name, MatchesRegex(R"(zop\.[0-9]+(/x(/link@|/a|/a/b|/a/b/c|/a/b/c/link@)?)?)"));
            fs::remove_all(scratch.temp());
            makeDirectories(scratch.temp());
        } else {
            EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
        }
    }
}

TEST_P(RunTest, UndeletableFileStaysWithItsDirectoriesAndTheExitCodeIsTheCommands)
{
    // An immutable file on Linux. Windows has nothing the removal cannot
    // undo short of another process holding a file open for longer than its
    // retries (read-only files go: see ReadOnlyFilesAndDirectoriesAreRemoved).
    std::vector<Entry> entries = {dirEntry("keep"), dirEntry("keep\\deep"), fileEntry("keep\\deep\\ro.txt", "r"),
                                  fileEntry("keep\\gone.txt", "g"), dirEntry("other"), fileEntry("other\\f", "f")};
    if (onWindows()) {
        GTEST_SKIP() << "no lasting lock to test with under Wine";
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

TEST_P(RunTest, ReadOnlyFilesAndDirectoriesAreRemoved)
{
    // Windows refuses to delete what carries the read-only attribute (git
    // objects, copied media): removal clears it and tries again.
    if (!onWindows())
        GTEST_SKIP() << "Linux: see RunLinuxTest.TreesTheApplicationLeftAreRemovedWhole";
    const std::string exe = writeApp(
        {dirEntry("ro"), dirEntry("ro\\sub"), fileEntry("ro\\sub\\f.txt", "r"), fileEntry("ro\\g.txt", "g"),
         commandEntry('t', "cmd /c attrib +r ro\\sub\\f.txt && attrib +r ro\\g.txt && attrib +r ro\\sub && attrib +r ro"),
         probeEntry('c', "--probe-exit=6")});
    const RunResult r = runApp(exe);
    EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_P(RunTest, SwappedWorkDirectoryIsNotRemovedThroughALink)
{
    // While the command runs, the work directory is renamed and a link to
    // another directory put in its place (made on the host, where Wine shows
    // it as a reparse point): the clean-up removes nothing through it. The
    // command is a probe that waits until the swap is done, so nothing but
    // the launcher runs under Wine.
    if (!onWindows())
        GTEST_SKIP() << "Linux: see RunLinuxTest.SwappedWorkDirectoryIsNotRemovedThroughTheLink";
    const std::string victim = scratch.path("victim");
    makeDirectories(victim + "/inner");
    writeFile(victim + "/inner/file", "precious");
    const std::string swapped = scratch.path("swapped");
    bool swapDone = false;
    std::thread swapper([&] {
        for (int i = 0; i < 6000 && !exists(probeLog()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(scratch.temp(), error))
            if (entry.path().filename().string().rfind("zop.", 0) == 0) {
                fs::rename(entry.path(), scratch.temp() + "/moved", error);
                if (!error)
                    fs::create_directory_symlink(victim, entry.path(), error);
                swapDone = !error;
                break;
            }
        writeFile(swapped, "");
    });
    RunOptions options = probeOptions();
    options.env["PROBE_RELEASE"] = seen(swapped);
    const RunResult r = run(writeApp({dirEntry("x"), probeEntry('c')}), {}, options);
    swapper.join();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(swapDone) << "the work directory was not swapped";
    EXPECT_THAT(listTree(victim), ElementsAre("inner/", "inner/file"));
}

TEST_P(RunTest, DeviceNamesAreRefusedOnWindowsBeforeAnythingIsWritten)
{
    // On Windows the entry's data would go to the device; on Linux these are
    // ordinary names.
    const std::vector<std::vector<Entry>> cases = {
        {fileEntry("NUL", "data")},
        {dirEntry("sub"), fileEntry("sub\\aux.txt", "data")},
        {dirEntry("Com1")},
        {dirEntry("lpt9.d"), fileEntry("lpt9.d\\f", "x")},
        {fileEntry("conout$", "data")},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].back().text);
        fs::remove(probeLog());
        std::vector<Entry> entries = cases[i];
        entries.push_back(probeEntry('c'));
        const RunResult r = runApp(writeApp(entries, "app" + std::to_string(i)));
        if (onWindows()) {
            expectReport(r, "EInOutError : Invalid filename");
            EXPECT_THAT(probeRecords(), IsEmpty());
            const std::string workDir = leftWorkDir();
            const std::vector<std::string> before =
                i == 1 ? std::vector<std::string>{"sub/", "zop.gz"} : std::vector<std::string>{"zop.gz"};
            EXPECT_EQ(listTree(workDir), before);
            fs::remove_all(workDir);
        } else {
            EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
            EXPECT_EQ(probeRecords().size(), 1u);
            EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
        }
    }
}

TEST_P(RunTest, EntryNamesLeadingOutOfTheWorkDirectoryAreRefusedAfterExpansion)
{
    // Stored as they are or made so by an argument, these names would land
    // beside the user's files (TEMP is the scratch directory's "temp"):
    // each ends the run before anything is written for it.
    struct Case {
        Entry entry;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {fileEntry("..\\..\\victim\\planted", "x"), {}},
        {fileEntry("%parms%", "x"), {"../../notes.txt"}},
        {dirEntry("%parms%"), {"..\\..\\victim\\sub"}},
        {fileEntry("%tempdir%\\..\\..\\notes.txt", "x"), {}},
        {fileEntry("%parms%", "x"), {onWindows() ? "C:\\planted.txt" : "/planted.txt"}},
        {fileEntry("%parms%", "x"), {""}},
    };
    makeDirectories(scratch.path("victim"));
    writeFile(scratch.path("notes.txt"), "notes");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].entry.text + " " + (cases[i].args.empty() ? "" : cases[i].args[0]));
        fs::remove(probeLog());
        const std::string exe = writeApp({dirEntry("ok"), cases[i].entry, probeEntry('c')}, "app" + std::to_string(i));
        const RunResult r = run(exe, cases[i].args, probeOptions());
        expectReport(r, "EInOutError : Invalid filename");
        EXPECT_THAT(probeRecords(), IsEmpty());
        const std::string workDir = leftWorkDir();
        EXPECT_EQ(listTree(workDir), (std::vector<std::string>{"ok/", "zop.gz"}));
        fs::remove_all(workDir);
    }
    EXPECT_EQ(readFile(scratch.path("notes.txt")), "notes");
    EXPECT_THAT(listTree(scratch.path("victim")), IsEmpty());
    EXPECT_FALSE(exists("/planted.txt"));
}

TEST_P(RunTest, RemovalNeverEntersAnotherFileSystem)
{
    // A command leaves a bind mount of a directory outside (on the same
    // file system, so the device alone cannot tell) in the work directory:
    // its files are not the application's and stay, and so does
    // the mount point with the directories above it; the exit code is the
    // command's. Windows never enters a volume mounted in a folder either
    // (a reparse point, see LinksAreRemovedWithoutFollowingThem).
    if (onWindows())
        GTEST_SKIP() << "bind mounts are a Linux matter";
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    const std::string outside = scratch.path("outside");
    makeDirectories(outside + "/inner");
    writeFile(outside + "/inner/keep.txt", "keep");
    const std::string made = scratch.path("made.txt");
    const RunResult r = runApp(writeApp(
        {dirEntry("app"), fileEntry("app\\gone.txt", "g"),
         commandEntry('c', "/bin/sh -c \"mkdir %tempdir%/app/mnt && mount --bind " + outside +
                               " %tempdir%/app/mnt && echo made > " + made + "\""),
         probeEntry('c', "--probe-exit=6")}));
    const std::string workDir = leftWorkDir();
    umount2((workDir + "/app/mnt").c_str(), MNT_DETACH);
    ASSERT_TRUE(exists(made)) << "the command made no mount: " << r.out << r.err;
    EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
    EXPECT_EQ(readFile(outside + "/inner/keep.txt"), "keep");
    EXPECT_EQ(listTree(workDir), (std::vector<std::string>{"app/", "app/mnt/"}));
}

TEST_P(RunTest, TreesDeeperThanTheWindowsPathLimitAreRemoved)
{
    // A command leaves paths of over 400 characters, beyond Windows'
    // MAX_PATH; under Wine a Unix shell makes them (through "start /unix").
    std::string deep = "made";
    for (int i = 0; i < 40; ++i)
        deep += "/level" + std::to_string(i);
    const std::string made = scratch.path("made.txt");
    const std::string script = scratch.path("deep.sh");
    writeFile(script, "set -e\nfor d in " + scratch.temp() + "/zop.*; do mkdir -p \"$d/" + deep + "\"; echo x > \"$d/" +
                          deep + "/f.txt\"; done\necho made > " + made + "\n");
    std::vector<Entry> entries = {dirEntry("x")};
    if (onWindows()) {
        entries.push_back(fileEntry("deep.bat", "@echo off\r\nstart /unix /bin/sh " + script + "\r\n:wait\r\nif not exist " +
                                                    seen(made) + " goto wait\r\n"));
        entries.push_back(commandEntry('t', "cmd /c deep.bat"));
    } else {
        entries.push_back(commandEntry('c', "/bin/sh " + script));
    }
    entries.push_back(probeEntry('c', "--probe-exit=6"));
    const RunResult r = runApp(writeApp(entries));
    EXPECT_EQ(readFile(made), "made\n") << "the tree was not made";
    EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
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
    std::string bytes = makeContainer(stub, stubName(), {probeEntry('c'), fileEntry("data.bin", mixedBytes(50000, 5, 90))});
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
    const std::string stream = makeHeader('f', "cut.bin", 200000) + mixedBytes(150000, 3, 90);
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

// ------------------------------------------------------------------ Linux: paths and lengths

TEST_P(RunTest, RelativeTempIsMadeAbsolute)
{
    if (onWindows())
        GTEST_SKIP() << "Linux case";
    makeDirectories(scratch.cwd() + "/rt");
    const std::string exe = writeApp({probeEntry('t', "%tempdir1%")});
    const std::vector<std::map<std::string, std::optional<std::string>>> cases = {
        {{"TEMP", "rt"}}, {{"TEMP", std::nullopt}, {"TMPDIR", "rt"}}};
    for (const auto& env : cases) {
        fs::remove(probeLog());
        RunOptions options = probeOptions();
        options.env.insert(env.begin(), env.end());
        ASSERT_EQ(run(exe, {}, options).exitCode, 0);
        const auto records = probeRecords();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_THAT(records[0].argv[1], MatchesRegex(scratch.cwd() + R"(/rt/zop\.[0-9]+)"));
        EXPECT_EQ(records[0].argv[1], records[0].cwd) << "%tempdir1% names the work directory from anywhere";
    }
    EXPECT_THAT(listTree(scratch.cwd() + "/rt"), IsEmpty());
}

TEST_P(RunTest, LongExecutablePathAndCurrentDirectoryAreKeptWhole)
{
    // Over 255 bytes both: the launcher finds its own file, and a c command
    // after a t command runs in the directory the launcher was started in.
    // A current directory the system cannot deliver whole (deeper than
    // PATH_MAX) ends with 217 "Invalid filename" before anything runs.
    if (onWindows())
        GTEST_SKIP() << "Linux case";
    std::string dir = scratch.cwd();
    for (int i = 0; i < 3; ++i)
        dir += "/" + std::string(100, 'a' + i);
    makeDirectories(dir);
    const std::string exe = writeApp({probeEntry('t'), probeEntry('c')});
    const std::string longExe = dir + "/app";
    fs::rename(exe, longExe);
    RunOptions options = probeOptions();
    options.cwd = dir;
    const RunResult r = run(longExe, {}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto records = probeRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].cwd, dir);

    // bash, unlike dash, changes into a directory whose whole path is too
    // long by its relative name.
    const std::string deeper = "bash -c 'for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17; do mkdir " +
                               std::string(250, 'd') + " && cd " + std::string(250, 'd') + " || exit 99; done; exec " +
                               longExe + "'";
    const RunResult tooDeep = runCommandLine(deeper, probeOptions());
    expectReport(tooDeep, "EInOutError : Invalid filename");
    EXPECT_EQ(probeRecords().size(), 2u) << "no command ran";
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_P(RunTest, ExpansionLongerThanTheSystemTakesEndsBeforeTheCommandStarts)
{
    // Each %quotedparms% inside an argument inserts all the arguments again:
    // 3,000 such arguments would make a command of about 150 MB.
    if (onWindows())
        GTEST_SKIP() << "Linux case";
    const std::string exe = writeApp({probeEntry('c', "%parms%")});
    const std::vector<std::string> args(3000, "%quotedparms%");
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = runApp(exe, args);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    expectReport(r, "Exception : Unknown Run-Time error : 206");
    EXPECT_LT(seconds, 10.0);
    EXPECT_THAT(probeRecords(), IsEmpty());
    ASSERT_EQ(runApp(exe, {"%quotedparms%", "b"}).exitCode, 0) << "a short expansion still runs";
    EXPECT_THAT(probeRecords().at(0).argv, ElementsAre(::testing::_, "%quotedparms%", "b", "b"))
        << "the replacement rules stay as they are";
}

INSTANTIATE_TEST_SUITE_P(Platforms, RunTest, ::testing::ValuesIn(testedPlatforms()), platformName);

// ------------------------------------------------------------------ Linux only: signals and names

class RunLinuxTest : public ::testing::Test {
protected:
    // segmented: the stream as the packer writes it, with its segments
    // (every MiB) and their index.
    std::string writeApp(const std::vector<Entry>& entries, bool segmented = false, const std::string& name = "app")
    {
        const std::string path = scratch.cwd() + "/" + name;
        const std::string stub = readFile(linuxPlatform().stub);
        if (segmented) {
            const std::string stream = packerStream(entryStream(entries));
            writeFile(path, assemble(stub, stream,
                                     makeTail("zop", static_cast<int32_t>(stream.size()), static_cast<int32_t>(entries.size()))));
        } else {
            writeFile(path, makeContainer(stub, "zop", entries));
        }
        chmod(path.c_str(), 0755);
        return path;
    }

    // Starts the launcher in a process group of its own, as a shell starts a
    // foreground job, and returns its id. command is the launcher and its
    // arguments, or a program that starts it (timeout, setpriv).
    pid_t startInOwnGroup(const std::vector<std::string>& command, const std::string& temp = {})
    {
        const std::string out = scratch.path("out.txt");
        const std::string tempDir = temp.empty() ? scratch.temp() : temp;
        std::vector<char*> argv;
        for (const std::string& part : command)
            argv.push_back(const_cast<char*>(part.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0 || chdir(scratch.cwd().c_str()) != 0)
                _exit(126);
            setenv("TEMP", tempDir.c_str(), 1);
            // A command killed by SIGQUIT leaves no core file behind.
            const struct rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
                ::signal(signal, SIG_DFL);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (pid > 0)
            setpgid(pid, pid);
        return pid;
    }
    pid_t startInOwnGroup(const std::string& exe) { return startInOwnGroup(std::vector<std::string>{exe}); }

    // The launcher as an ordinary user, whose file permissions count: nobody
    // when the tests run as root (the scratch directory is opened up for
    // it), else the user running the tests.
    std::vector<std::string> asOrdinaryUser(const std::string& exe)
    {
        if (geteuid() != 0)
            return {exe};
        for (const std::string& dir : {scratch.root(), scratch.temp(), scratch.cwd()})
            chmod(dir.c_str(), 0777);
        return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", exe};
    }
    static uid_t ordinaryUser() { return geteuid() == 0 ? 65534 : geteuid(); }

    // The launcher's only work directory, once it exists (host path).
    std::string workDirOf(const std::string& temp) const
    {
        for (int i = 0; i < 1000; ++i) {
            for (const auto& name : topLevelNames(temp))
                if (name.rfind("zop.", 0) == 0)
                    return temp + "/" + name;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    // True once the launcher has no child: it has gone on from its last
    // command and is unpacking.
    static bool waitUntilChildless(pid_t pid)
    {
        const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
        for (int i = 0; i < 1000; ++i) {
            if (exists(children) && readFile(children).empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
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

TEST_F(RunLinuxTest, CommandKilledByInterruptEndsTheRun)
{
    // Control-C ends the command, and the launcher runs nothing after it.
    const std::string ready = scratch.path("ready"), after = scratch.path("after");
    const std::string killed = "/bin/sh -c \"echo ready > " + ready + "; exec sleep 30\"";
    const std::string exe =
        writeApp({commandEntry('c', killed), commandEntry('c', "/bin/sh -c \"echo after > " + after + "\"")});
    const pid_t pid = startInOwnGroup(exe);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForFile(ready));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // sleep has replaced the shell
    kill(-pid, SIGINT);
    EXPECT_EQ(waitForExit(pid), 130);
    EXPECT_FALSE(exists(after)) << "a command ran after the interrupted one";
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_F(RunLinuxTest, StopSignalsReachTheCommandAndTheLauncherEndsCleanly)
{
    // TERM, HUP, INT and QUIT, to the launcher alone (kill PID, systemctl
    // stop), to its whole group, or from `timeout`: the command is told, no
    // later command runs, TEMP is left empty, and the launcher ends with the
    // command's status. A command that traps the signal writes its name and
    // ends with 40; one that does not dies of it (128 + N).
    struct Case {
        const char* name;
        int signal;
        enum { launcher, group, timeout } to;
        bool trapped;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {"TERM", SIGTERM, Case::launcher, true, 40}, {"HUP", SIGHUP, Case::launcher, true, 40},
        {"INT", SIGINT, Case::launcher, true, 40},   {"QUIT", SIGQUIT, Case::launcher, true, 40},
        {"TERM", SIGTERM, Case::group, true, 40},    {"HUP", SIGHUP, Case::group, false, 129},
        {"TERM", SIGTERM, Case::launcher, false, 143}, {"TERM", SIGTERM, Case::timeout, true, 40},
    };
    const std::string ready = scratch.path("ready"), told = scratch.path("told"), after = scratch.path("after");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i + 1) + ": " + c.name);
        fs::remove(ready);
        fs::remove(told);
        const std::string body = c.trapped ? "trap 'echo " + std::string(c.name) + " > " + told + "; exit 40' " +
                                                 c.name + "; echo ready > " + ready +
                                                 "; while :; do sleep 0.05; done"
                                           : "echo ready > " + ready + "; exec sleep 30";
        const std::string exe = writeApp({dirEntry("d"), fileEntry("d\\f", "x"),
                                          commandEntry('c', "/bin/sh -c \"" + body + "\""),
                                          commandEntry('c', "/bin/sh -c \"echo after > " + after + "\"")});
        const pid_t pid = c.to == Case::timeout ? startInOwnGroup({"timeout", "--preserve-status", "0.5", exe}) : startInOwnGroup(exe);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitForFile(ready)) << "the command did not start";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (c.to == Case::launcher)
            kill(pid, c.signal);
        else if (c.to == Case::group)
            kill(-pid, c.signal);
        EXPECT_EQ(waitForExit(pid), c.exitCode);
        if (c.trapped)
            EXPECT_EQ(exists(told) ? readFile(told) : "", std::string(c.name) + "\n");
        EXPECT_FALSE(exists(after)) << "a command ran after the signal";
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
    }
}

TEST_F(RunLinuxTest, SecondTermEndsTheLauncherWhileTheCommandIgnoresIt)
{
    // A command that ignores TERM: a second TERM a second or more after the
    // first ends the launcher with 143 and an empty TEMP; the command is
    // left running.
    const std::string ready = scratch.path("ready");
    const std::string exe = writeApp({dirEntry("d"), commandEntry('c', "/bin/sh -c \"trap '' TERM; echo ready > " +
                                                                           ready + "; while :; do sleep 0.05; done\"")});
    const pid_t pid = startInOwnGroup(exe);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForFile(ready));
    kill(pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the first TERM alone ended the launcher";
    kill(pid, SIGTERM);
    EXPECT_EQ(waitForExit(pid), 143);
    kill(-pid, SIGKILL);  // the command, still in the launcher's group
    EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
}

TEST_F(RunLinuxTest, StopSignalsWhileUnpackingRemoveThePartialWorkDirectory)
{
    // A FIFO that a command leaves where a file entry is extracted holds the
    // launcher in the middle of unpacking once the pipe is full; or, without
    // one, the request comes while worker threads inflate the segments of a
    // large stream (its first file has appeared, 47 segments are to come).
    // INT keeps its report and 217; TERM and HUP end with 128 + N.
    struct Case {
        int signal;
        int exitCode;
        std::string report;
    };
    const std::vector<Case> cases = {
        {SIGINT, 217, "EControlC : Control-C hit"}, {SIGTERM, 143, ""}, {SIGHUP, 129, ""}};
    const std::string after = scratch.path("after");
    // Written by the main thread, and (1 MiB more) by writer threads: there
    // the writer is held by the FIFO while the main thread waits for it.
    enum class Held { mainThread, writerThreads, segmentsInflating };
    const std::string segmentedApp = writeApp({fileEntry("first", "1"), fileEntry("big", mixedBytes(48 << 20, 7)),
                                               commandEntry('c', "/bin/sh -c \"echo after > " + after + "\"")},
                                              true, "segmented");
    for (const Held held : {Held::mainThread, Held::writerThreads, Held::segmentsInflating})
    for (const Case& c : cases) {
        SCOPED_TRACE("signal " + std::to_string(c.signal) + ", held " + std::to_string(static_cast<int>(held)));
        std::vector<Entry> entries = {dirEntry("d"), fileEntry("d\\big", std::string(300000, 'b')),
                                      commandEntry('c', "mkfifo %tempdir%/fifo"), fileEntry("fifo", std::string(300000, 'x')),
                                      commandEntry('c', "/bin/sh -c \"echo after > " + after + "\"")};
        if (held == Held::writerThreads)
            entries.insert(entries.begin(), fileEntry("pad", std::string(1 << 20, 'p')));
        const std::string exe = held == Held::segmentsInflating ? segmentedApp : writeApp(entries);
        setenv("ZOP_THREADS", "2", 1);
        const pid_t pid = startInOwnGroup(exe);
        unsetenv("ZOP_THREADS");
        ASSERT_GT(pid, 0);
        const std::string workDir = workDirOf(scratch.temp());
        ASSERT_FALSE(workDir.empty());
        if (held == Held::segmentsInflating) {
            for (int i = 0; i < 10000 && !exists(workDir + "/first"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            for (int i = 0; i < 1000 && !exists(workDir + "/fifo"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(waitUntilChildless(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid, c.signal);
        EXPECT_EQ(waitForExit(pid), c.exitCode);
        const auto lines = reportLines(readFile(scratch.path("out.txt")));
        if (c.report.empty())
            EXPECT_THAT(lines, IsEmpty());
        else
            EXPECT_THAT(lines, ::testing::Contains(c.report));
        EXPECT_FALSE(exists(after));
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
    }
}

TEST_F(RunLinuxTest, StopSignalsWhilePackingLeaveNeitherWorkDirectoryNorOutput)
{
    // The packer is stopped while it deflates a large file into its work
    // file: INT ends it through the report, TERM with 128 + N; either way
    // the work directory goes and no output (nor its temporary file)
    // appears.
    struct Case {
        int signal;
        int exitCode;
        std::string report;
    };
    const std::vector<Case> cases = {{SIGINT, 217, "EControlC : Control-C hit"}, {SIGTERM, 143, ""}};
    writeFile(scratch.cwd() + "/big.bin", mixedBytes(96 << 20, 3));
    writeFile(scratch.cwd() + "/recipe.zop", "f big.bin\n");
    for (const Case& c : cases) {
        SCOPED_TRACE("signal " + std::to_string(c.signal));
        const pid_t pid = startInOwnGroup({linuxPlatform().stub, "recipe.zop", "out.app"});
        ASSERT_GT(pid, 0);
        const std::string workDir = workDirOf(scratch.temp());
        ASSERT_FALSE(workDir.empty());
        std::error_code error;
        for (int i = 0; i < 1000 && !(fs::file_size(workDir + "/zop.gz", error) > 0 && !error); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kill(pid, c.signal);
        EXPECT_EQ(waitForExit(pid), c.exitCode);
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
        EXPECT_THAT(topLevelNames(scratch.cwd()), ::testing::UnorderedElementsAre("big.bin", "recipe.zop"));
        const auto lines = reportLines(readFile(scratch.path("out.txt")));
        if (c.report.empty())
            EXPECT_THAT(lines, IsEmpty());
        else
            EXPECT_THAT(lines, ::testing::Contains(c.report));
    }
}

TEST_F(RunLinuxTest, SwappedWorkDirectoryIsNotRemovedThroughTheLink)
{
    // TEMP is shared and has no sticky bit. While a command runs, another
    // user renames the work directory and puts a link to a directory the
    // launcher's user may empty in its place: the clean-up must notice that
    // the name no longer leads to its own directory.
    const std::vector<std::string> launcher = asOrdinaryUser(writeApp(
        {dirEntry("d"), commandEntry('c', "/bin/sh -c \"echo ready > " + scratch.cwd() + "/ready; while [ ! -e " +
                                              scratch.cwd() + "/go ]; do sleep 0.05; done\"")}));
    const std::string victim = scratch.path("victim");
    makeDirectories(victim + "/inner");
    writeFile(victim + "/inner/file", "precious");
    writeFile(victim + "/top", "precious");
    for (const std::string& path : {victim, victim + "/inner", victim + "/inner/file", victim + "/top"})
        ASSERT_EQ(chown(path.c_str(), ordinaryUser(), static_cast<gid_t>(-1)), 0);
    const pid_t pid = startInOwnGroup(launcher);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForFile(scratch.cwd() + "/ready")) << readFile(scratch.path("out.txt"));
    const std::string workDir = workDirOf(scratch.temp());
    ASSERT_FALSE(workDir.empty());
    ASSERT_EQ(rename(workDir.c_str(), scratch.temp().append("/moved").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), workDir.c_str()), 0);
    writeFile(scratch.cwd() + "/go", "");
    EXPECT_EQ(waitForExit(pid), 0);
    EXPECT_THAT(listTree(victim), ElementsAre("inner/", "inner/file", "top"));
    EXPECT_THAT(namesBelow(scratch.temp()), ::testing::UnorderedElementsAre(
                                                "moved", "moved/d", "moved/zop.gz", fs::path(workDir).filename().string() + "@"));
}

TEST_F(RunLinuxTest, TreesTheApplicationLeftAreRemovedWhole)
{
    // 1,500 levels deep (more than the descriptors a process may hold), and
    // directories without the owner's write, read or search permission, the
    // work directory itself among them, removed by an ordinary user on one
    // thread and on two. An immutable file (see below) is what stays.
    const std::string deep = "p=d; i=1; while [ $i -lt 1500 ]; do p=$p/d; i=$((i+1)); done; mkdir -p $p && echo x > $p/f";
    const std::string locked = "mkdir -p ro/sub closed && echo x > ro/f && echo y > ro/sub/g && echo z > closed/h && "
                               "chmod 444 ro/f && chmod 555 ro/sub ro && chmod 000 closed";
    const std::vector<std::string> cases = {
        "cd %tempdir% && " + deep,
        "cd %tempdir% && " + locked,
        "cd %tempdir% && " + locked + " && chmod 500 %tempdir%",
        "cd %tempdir% && " + locked + " && chmod 000 %tempdir%",
    };
    for (const char* threads : {"1", "2"})
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i + 1) + ", ZOP_THREADS=" + threads);
        const std::vector<std::string> exe = asOrdinaryUser(writeApp({commandEntry('c', "/bin/sh -c \"" + cases[i] + "\"")}));
        setenv("ZOP_THREADS", threads, 1);
        const pid_t pid = startInOwnGroup(exe);
        unsetenv("ZOP_THREADS");
        ASSERT_GT(pid, 0);
        EXPECT_EQ(waitForExit(pid), 0) << readFile(scratch.path("out.txt"));
        EXPECT_THAT(listTree(scratch.temp()), IsEmpty());
    }
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
    // names that hold one. Removal must never take them for the paths they
    // spell.
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
    EXPECT_THAT(topLevelNames(scratch.temp()), ElementsAre("victim", "victim.txt"))
        << "removal takes such names as names: the work directory goes whole";
}

}  // namespace
}  // namespace e2e
