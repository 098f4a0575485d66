// "--zop-list" and "--zop-justextract" as a user sees them, on Linux and
// under Wine, on containers assembled byte by byte and made by the packer.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

class ListExtractTest : public PlatformTest {
protected:
    std::string stubBytes() const { return readFile(platform().stub); }
    std::string stubFileName() const { return onWindows() ? "zop.exe" : "zop"; }

    // Writes a packed executable into dir (default: a directory of its own,
    // so that extraction into cwd never meets it).
    std::string writeExecutable(const std::string& bytes, const std::string& name = "app",
                                std::string dir = {})
    {
        if (dir.empty())
            dir = scratch.path("bin");
        makeDirectories(dir);
        const std::string path = dir + "/" + name + (name.find('.') == std::string::npos ? platform().exeSuffix : "");
        writeFile(path, bytes);
        chmod(path.c_str(), 0755);
        return path;
    }

    std::string container(const std::vector<Entry>& entries, const std::string& stubName = {})
    {
        return makeContainer(stubBytes(), stubName.empty() ? stubFileName() : stubName, entries);
    }

    void expectTempEmpty() { EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}); }

    void expectReport(const RunResult& r, const std::string& secondLine)
    {
        EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
        // Lines a mode printed before it failed come first.
        const std::size_t reportStart = r.out.find("An unhandled exception occurred at");
        ASSERT_NE(reportStart, std::string::npos) << r.out << r.err;
        const auto lines = reportLines(r.out.substr(reportStart));
        ASSERT_GE(lines.size(), 2u) << r.out << r.err;
        EXPECT_EQ(lines[1], secondLine);
    }
};

std::vector<Entry> sampleEntries()
{
    std::string binary;
    for (int i = 0; i < 1234; ++i)
        binary += static_cast<char>((i * 7) & 0xFF);
    return {
        dirEntry("bin"),
        fileEntry("bin\\tool.dll", binary),
        fileEntry("bin\\empty.txt", ""),
        dirEntry("bin\\sub"),
        fileEntry("bin\\sub\\note.txt", "a note\r\n"),
        commandEntry('c', "%tempdir%\\bin\\tool.exe -x %parms%"),
        commandEntry('t', "tool %quotedparms% %tempdir1% %tempdir2%"),
    };
}

// ------------------------------------------------------------------ list

TEST_P(ListExtractTest, ListPrintsOneLinePerEntryWithSizesOfFiles)
{
    const std::string exe = writeExecutable(container(sampleEntries()));
    const RunResult r = run(exe, {"--zop-list"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out,
              "d bin\r\n"
              "f bin\\tool.dll (1234)\r\n"
              "f bin\\empty.txt (0)\r\n"
              "d bin\\sub\r\n"
              "f bin\\sub\\note.txt (8)\r\n"
              "c %tempdir%\\bin\\tool.exe -x %parms%\r\n"
              "t tool %quotedparms% %tempdir1% %tempdir2%\r\n");
    EXPECT_FALSE(exists(scratch.cwd() + "/bin"));
    expectTempEmpty();
}

TEST_P(ListExtractTest, ListKeepsControlBytesExactOffATerminalAndInertOnOne)
{
    // C0 controls and DEL; C1 controls in UTF-8 (CSI, NEL) and as raw
    // bytes; UTF-8 letters whose bytes include 0x80 to 0x9F, which stay.
    const std::string forged = "real\r\x1b[2Kfake \x1b]0;title\x07\x7f \xC2\x9B" "2J\xC2\x85 \x9B" "2J\x90"
                               " \xC3\xA9t\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D";
    const std::string exe = writeExecutable(container({commandEntry('c', forged), fileEntry(std::string("\x1b\x01", 2), "")}));
    // To a pipe: the exact bytes, for scripts.
    const RunResult piped = run(exe, {"--zop-list"});
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(piped.out, "c " + forged + "\r\nf \x1b\x01 (0)\r\n");
    if (onWindows())
        return;  // a console is not reachable under Wine's test runs
    // To a terminal: every control byte shown as '?', in the listing and in
    // the failure report that quotes a command.
    const std::string exe2 = writeExecutable(container({commandEntry('c', "/missing\x1b]0;x\x07 " + forged)}), "app2");
    const std::string onTerminal =
        "import os, pty, subprocess, sys, tty\n"
        "m, s = pty.openpty(); tty.setraw(s)\n"
        "p = subprocess.Popen(sys.argv[1:], stdout=s, stderr=subprocess.DEVNULL); os.close(s)\n"
        "out = b''\n"
        "while True:\n"
        "    try: d = os.read(m, 4096)\n"
        "    except OSError: break\n"
        "    if not d: break\n"
        "    out += d\n"
        "sys.stdout.buffer.write(out); sys.exit(p.wait())\n";
    writeFile(scratch.path("onterminal.py"), onTerminal);
    const RunResult listed = runCommandLine("/usr/bin/python3 " + scratch.path("onterminal.py") + " " + exe + " --zop-list");
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    const std::string shown = "real??[2Kfake ?]0;title?? ?2J? ?2J? \xC3\xA9t\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D";
    EXPECT_EQ(listed.out, "c " + shown + "\r\nf ?? (0)\r\n");
    const RunResult failed = runCommandLine("/usr/bin/python3 " + scratch.path("onterminal.py") + " " + exe2);
    EXPECT_EQ(failed.exitCode, 217);
    EXPECT_THAT(failed.out, HasSubstr("Failed to execute \"/missing?]0;x?\" " + shown + " : 2"));
}

TEST_P(ListExtractTest, ListOfNoEntriesPrintsNothing)
{
    const std::string exe = writeExecutable(container({}));
    const RunResult r = run(exe, {"--zop-list"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    expectTempEmpty();
}

TEST_P(ListExtractTest, ListPrintsFullLengthTexts)
{
    const std::string longText(255, 'x');
    const std::string exe = writeExecutable(container({dirEntry(longText), fileEntry(longText, "abc")}));
    const RunResult r = run(exe, {"--zop-list"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "d " + longText + "\r\nf " + longText + " (3)\r\n");
}

TEST_P(ListExtractTest, ListNeverRunsACommandWhateverTheStubName)
{
    // What kind of stub runs is the running stub's own fact: a stub name in
    // the trailer that holds "zopw" (crafted, or a stub copied under such a
    // name and used to pack) changes nothing.
    const std::string copied = scratch.path("tools/zopwatch" + platform().exeSuffix);
    makeDirectories(scratch.path("tools"));
    makeDirectories(scratch.path("bin"));
    writeFile(copied, stubBytes());
    chmod(copied.c_str(), 0755);
    const std::string command = "c " + seen(platform().probe) + " %parms%";
    writeFile(scratch.path("tools/app.zop"), command + "\n");
    RunOptions inTools;
    inTools.cwd = scratch.path("tools");
    const RunResult packed = run(copied, {"app.zop", seen(scratch.path("bin/packed-by-copy" + platform().exeSuffix))}, inTools);
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    ASSERT_EQ(splitPacked(readFile(scratch.path("bin/packed-by-copy" + platform().exeSuffix))).tail.stubName, "zopwatch" + platform().exeSuffix);

    std::vector<std::string> exes{scratch.path("bin/packed-by-copy" + platform().exeSuffix)};
    for (const std::string stubName : {"zopw.exe", "ZOPW.EXE", "myzopwtool"})
        exes.push_back(writeExecutable(makeContainer(stubBytes(), stubName, {commandEntry('c', command.substr(2))}),
                                       "crafted-" + std::to_string(exes.size())));
    for (const std::string& exe : exes) {
        SCOPED_TRACE(exe);
        chmod(exe.c_str(), 0755);
        const std::string record = scratch.path("probe-" + std::to_string(&exe - exes.data()) + ".out");
        RunOptions options;
        options.env["PROBE_OUT"] = seen(record);
        const RunResult r = run(exe, {"--zop-list", "x"}, options);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.out, command + "\r\n");
        EXPECT_FALSE(exists(record)) << "a command ran";
    }
    expectTempEmpty();
}

TEST_P(ListExtractTest, OptionsAreRecognisedOnlyAsWholeArguments)
{
    const std::string record = scratch.path("probe.out");
    const std::string exe = writeExecutable(container({commandEntry('c', seen(platform().probe))}));
    RunOptions options;
    options.env["PROBE_OUT"] = seen(record);
    const RunResult r = run(exe, {"--ZOP-LIST", "-zop-list", "--zop-list=1", "--zop-justextract "}, options);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readProbeRecords(record).size(), 1u);
    EXPECT_FALSE(exists(scratch.cwd() + "/app.zop"));
}

// ------------------------------------------------------------------ just-extract

TEST_P(ListExtractTest, JustExtractRecreatesStubRecipeAndTree)
{
    const auto entries = sampleEntries();
    const std::string exe = writeExecutable(container(entries));
    const RunResult r = run(exe, {"--zop-justextract"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");

    const std::string cwd = scratch.cwd();
    EXPECT_EQ(readFile(cwd + "/" + stubFileName()), stubBytes());
    EXPECT_EQ(readFile(cwd + "/app.zop"),
              "d bin\r\n"
              "f bin\\tool.dll\r\n"
              "f bin\\empty.txt\r\n"
              "d bin\\sub\r\n"
              "f bin\\sub\\note.txt\r\n"
              "c %tempdir%\\bin\\tool.exe -x %parms%\r\n"
              "t tool %quotedparms% %tempdir1% %tempdir2%\r\n");
    EXPECT_EQ(readFile(cwd + "/bin/tool.dll"), entries[1].data);
    EXPECT_EQ(readFile(cwd + "/bin/empty.txt"), "");
    EXPECT_EQ(readFile(cwd + "/bin/sub/note.txt"), "a note\r\n");
    std::vector<std::string> expected{stubFileName(), "app.zop",          "bin/",        "bin/empty.txt",
                                      "bin/sub/",     "bin/sub/note.txt", "bin/tool.dll"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listTree(cwd), expected);
    expectTempEmpty();
}

TEST_P(ListExtractTest, JustExtractWinsOverListAndCanRunTwice)
{
    const std::string exe = writeExecutable(container(sampleEntries()));
    writeFile(scratch.cwd() + "/app.zop", std::string(5000, 'z'));
    for (int round = 0; round < 2; ++round) {
        const RunResult r = run(exe, {"--zop-list", "--zop-justextract"});
        ASSERT_EQ(r.exitCode, 0) << round << r.out << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(readFile(scratch.cwd() + "/bin/sub/note.txt"), "a note\r\n");
    EXPECT_THAT(readFile(scratch.cwd() + "/app.zop"), ::testing::StartsWith("d bin\r\n"));
    expectTempEmpty();
}

TEST_P(ListExtractTest, JustExtractOfNoEntriesWritesStubAndEmptyRecipe)
{
    const std::string exe = writeExecutable(container({}));
    const RunResult r = run(exe, {"--zop-justextract"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readFile(scratch.cwd() + "/" + stubFileName()), stubBytes());
    EXPECT_EQ(readFile(scratch.cwd() + "/app.zop"), "");
}

TEST_P(ListExtractTest, JustExtractRefusesPathsLeavingTheCurrentDirectory)
{
    const std::vector<Entry> refused = {
        fileEntry("..\\outside.txt", "x"), fileEntry("../outside.txt", "x"),
        dirEntry("sub\\..\\..\\outside"),  fileEntry("\\outside.txt", "x"),
        fileEntry("/outside.txt", "x"),    fileEntry("C:outside.txt", "x"),
        dirEntry("C:\\outside"),           dirEntry(".."),
        // Names that would bind standard output, and control bytes in a name
        // or, apart from tab, in a command (a line break there would add a
        // line of its own to app.zop).
        fileEntry("", "content"),          fileEntry(std::string("\0name", 5), "content"),
        dirEntry(""),                      fileEntry("a\x01b", "x"),
        dirEntry("new\nline"),            commandEntry('c', "run\r\nf other"),
        commandEntry('t', "run\x1b[2J"),
    };
    int n = 0;
    for (const Entry& bad : refused) {
        SCOPED_TRACE(bad.text);
        const std::string cwd = scratch.path("x" + std::to_string(n) + "/cwd");
        makeDirectories(cwd);
        const std::string exe = writeExecutable(container({dirEntry("ok"), bad, fileEntry("after.txt", "y")}),
                                                "app" + std::to_string(n++));
        RunOptions options;
        options.cwd = cwd;
        const RunResult r = run(exe, {"--zop-justextract"}, options);
        expectReport(r, "EInOutError : Invalid filename");
        EXPECT_EQ(r.out.find("An unhandled exception"), 0u) << "written to standard output first";
        EXPECT_FALSE(exists(cwd + "/after.txt"));
        EXPECT_TRUE(exists(cwd + "/ok"));
    }
    EXPECT_FALSE(exists(scratch.root() + "/outside.txt"));
    EXPECT_FALSE(exists(scratch.root() + "/outside"));
    EXPECT_FALSE(exists("/outside.txt"));
}

TEST_P(ListExtractTest, JustExtractRefusesDeviceNamesOnWindows)
{
    const std::string exe = writeExecutable(container(
        {dirEntry("ok"), dirEntry("ok\\sub"), fileEntry("ok\\sub\\Aux.txt", "x"), fileEntry("after.txt", "y")}));
    const RunResult r = run(exe, {"--zop-justextract"});
    if (onWindows()) {
        expectReport(r, "EInOutError : Invalid filename");
        EXPECT_FALSE(exists(scratch.cwd() + "/after.txt"));
        EXPECT_EQ(listTree(scratch.cwd() + "/ok"), std::vector<std::string>{"sub/"});
    } else {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(readFile(scratch.cwd() + "/ok/sub/Aux.txt"), "x");
    }
}

TEST_P(ListExtractTest, JustExtractRefusesADeviceAsTheStubNameOnWindows)
{
    int n = 0;
    for (const std::string stubName : {"AUX", "NUL", "CON", "con.exe", "COM1", "tools\\Lpt9.txt"}) {
        SCOPED_TRACE(stubName);
        const std::string cwd = scratch.path("x" + std::to_string(n) + "/cwd");
        makeDirectories(cwd);
        const std::string exe = writeExecutable(container({fileEntry("a.txt", "a")}, stubName), "app" + std::to_string(n++));
        RunOptions options;
        options.cwd = cwd;
        const RunResult r = run(exe, {"--zop-justextract"}, options);
        if (onWindows()) {
            expectReport(r, "EInOutError : Invalid filename");
            EXPECT_EQ(r.out.find("An unhandled exception"), 0u) << "stub written to a device first";
            EXPECT_EQ(listTree(cwd), std::vector<std::string>{});
        } else {
            // Ordinary names on Linux.
            ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
            EXPECT_EQ(readFile(cwd + "/" + stubName.substr(stubName.find_last_of('\\') + 1)), stubBytes());
        }
    }
}

TEST_P(ListExtractTest, JustExtractRefusesAStubPartThatIsNoBareStub)
{
    // The stub part is what the packer put at the head: a bare stub, one
    // whole image. Anything more would be handed on as "the stub", and a
    // packed file there would run its own hidden commands for whoever packs
    // with it.
    const std::string hidden = container({commandEntry('c', "hidden")});
    const std::vector<std::pair<std::string, std::string>> stubParts = {
        {"a packed file", hidden},
        {"a stub with bytes after its image", stubBytes() + std::string(100, '\0')},
    };
    int n = 0;
    for (const auto& [name, stubPart] : stubParts) {
        SCOPED_TRACE(name);
        const std::string cwd = scratch.path("x" + std::to_string(n) + "/cwd");
        makeDirectories(cwd);
        const std::string exe =
            writeExecutable(makeContainer(stubPart, stubFileName(), {fileEntry("a.txt", "a")}), "app" + std::to_string(n++));
        RunOptions options;
        options.cwd = cwd;
        expectReport(run(exe, {"--zop-justextract"}, options), "EInOutError : Invalid input");
        EXPECT_EQ(listTree(cwd), std::vector<std::string>{});
    }
}

TEST_P(ListExtractTest, JustExtractNeverWritesThroughAnExistingLink)
{
    // Links already in the current directory, named like the stub, the
    // recipe, a packed file or a directory on the way to one; "out" is where
    // they lead. Wine shows a Unix link to a directory as a reparse point,
    // but a link to a file as the file itself: those cases are Linux only.
    struct Case {
        std::string link;    // its name in the current directory
        std::string target;  // relative to the current directory
        std::vector<Entry> entries;
        bool toFile;
    };
    const std::vector<Case> cases = {
        {"app", "../out", {dirEntry("ok"), fileEntry("app\\x.txt", "x")}, false},
        {"deep", "../out", {fileEntry("deep\\sub\\x.txt", "x")}, false},
        {"app.zop", "../out/precious.txt", {dirEntry("ok")}, true},
        {stubFileName(), "../out/precious.txt", {dirEntry("ok")}, true},
        {"data.txt", "../out/precious.txt", {fileEntry("data.txt", "x")}, true},
        {"new.txt", "../out/new.txt", {fileEntry("new.txt", "x")}, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        if (c.toFile && onWindows())
            continue;
        const std::string base = scratch.path("l" + std::to_string(n++));
        makeDirectories(base + "/cwd");
        makeDirectories(base + "/out/sub");
        writeFile(base + "/out/precious.txt", "precious");
        ASSERT_EQ(symlink(c.target.c_str(), (base + "/cwd/" + c.link).c_str()), 0);
        const std::string exe = writeExecutable(container(c.entries), "app" + std::to_string(n));
        RunOptions options;
        options.cwd = base + "/cwd";
        expectReport(run(exe, {"--zop-justextract"}, options), "EInOutError : Access denied");
        EXPECT_EQ(listTree(base + "/out"), (std::vector<std::string>{"precious.txt", "sub/"}));
        EXPECT_EQ(readFile(base + "/out/precious.txt"), "precious");
    }
}

TEST_P(ListExtractTest, JustExtractKeepsTheStubFileInTheCurrentDirectory)
{
    const std::string exe = writeExecutable(container({}, "tools/dir/mystub.exe"));
    const RunResult r = run(exe, {"--zop-justextract"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readFile(scratch.cwd() + "/mystub.exe"), stubBytes());
    EXPECT_FALSE(exists(scratch.cwd() + "/tools"));

    int n = 2;
    for (const std::string stubName : {std::string("C:.."), std::string(), std::string("\0zop", 4), std::string("zop\r\n")}) {
        const std::string exe2 = writeExecutable(makeContainer(stubBytes(), stubName, {}), "app" + std::to_string(n++));
        const RunResult r = run(exe2, {"--zop-justextract"});
        expectReport(r, "EInOutError : Invalid filename");
        EXPECT_EQ(r.out.find("An unhandled exception"), 0u) << "stub written to standard output";
    }
    // A command may hold a tab.
    const std::string exe3 = writeExecutable(container({commandEntry('c', "run\targ")}), "app-tab");
    ASSERT_EQ(run(exe3, {"--zop-justextract"}).exitCode, 0);
    EXPECT_EQ(readFile(scratch.cwd() + "/app.zop"), "c run\targ\r\n");
}

TEST_P(ListExtractTest, JustExtractNeverReplacesTheStubOrTheRecipeItWrites)
{
    // The recipe is open while the entries come, and the stub file stays so:
    // an entry of either name meets the rule that no file the process holds
    // open is created over, on both platforms. Windows names ignore case.
    std::vector<std::string> names = {"app.zop", stubFileName()};
    if (onWindows())
        names.push_back("ZOP.EXE");
    int n = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string cwd = scratch.path("r" + std::to_string(n) + "/cwd");
        makeDirectories(cwd);
        const std::string exe = writeExecutable(container({fileEntry(name, "replaced")}), "app" + std::to_string(n++));
        RunOptions options;
        options.cwd = cwd;
        expectReport(run(exe, {"--zop-justextract"}, options), "EInOutError : Access denied");
        EXPECT_EQ(readFile(cwd + "/" + stubFileName()), stubBytes());
    }
}

TEST_P(ListExtractTest, JustExtractUnderTheStubsOwnNameFailsBeforeExtracting)
{
    // The executable is open for reading while it runs; creating a file of
    // the same name fails (sharing violation on Windows, ETXTBSY on Linux).
    const std::string exe =
        writeExecutable(container(sampleEntries(), stubFileName()), stubFileName(), scratch.cwd());
    const RunResult r = run(exe, {"--zop-justextract"});
    expectReport(r, "EInOutError : Access denied");
    EXPECT_FALSE(exists(scratch.cwd() + "/app.zop"));
    EXPECT_FALSE(exists(scratch.cwd() + "/bin"));
    EXPECT_EQ(readFile(exe).size(), container(sampleEntries(), stubFileName()).size());
}

TEST_P(ListExtractTest, ExtractedRecipeRepacksToTheSameEntries)
{
    // Pack a real tree with the packer, take the result apart, pack the
    // parts again with the extracted stub: the entries are the same.
    const std::string src = scratch.path("src");
    makeDirectories(src + "/app/lib/empty");
    writeFile(src + "/app/main.txt", "main\n");
    writeFile(src + "/app/lib/data.bin", std::string(300000, '\x01') + "tail");
    writeFile(src + "/single.txt", "single");
    writeFile(src + "/app.zop", "# recipe\r\nr app\r\nd extra\r\nf single.txt\r\nc %tempdir%\\app\\main.exe %parms%\r\n");
    RunOptions inSrc;
    inSrc.cwd = src;
    const RunResult packed = run(platform().stub, {"app.zop", seen(scratch.path("first"))}, inSrc);
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    const std::string first = readFile(scratch.path("first"));
    const auto original = readEntries(first);
    ASSERT_EQ(original.size(), 8u);

    const std::string exe = writeExecutable(first);
    const RunResult extracted = run(exe, {"--zop-justextract"});
    ASSERT_EQ(extracted.exitCode, 0) << extracted.out << extracted.err;

    const std::string extractedStub = scratch.cwd() + "/" + stubFileName();
    chmod(extractedStub.c_str(), 0755);
    const RunResult repacked = run(extractedStub, {"app.zop", seen(scratch.path("second"))});
    ASSERT_EQ(repacked.exitCode, 0) << repacked.out << repacked.err;
    const std::string second = readFile(scratch.path("second"));
    EXPECT_EQ(readEntries(second), original);
    EXPECT_EQ(splitPacked(second).stub, stubBytes());
    expectTempEmpty();
}

TEST_P(ListExtractTest, ContainersCrossBetweenPlatforms)
{
    // The other platform's packer writes an executable for this platform
    // (through ZOP_EXE); this platform lists and extracts it.
    if (!haveWindows())
        GTEST_SKIP() << "needs both builds";
    const Platform& other = onWindows() ? linuxPlatform() : windowsPlatform();
    const std::string src = scratch.path("src");
    makeDirectories(src + "/tree/sub");
    writeFile(src + "/tree/sub/a.txt", "cross\n");
    writeFile(src + "/app.zop", "r tree\nc run %parms%\n");
    RunOptions options;
    options.cwd = src;
    const std::string out = scratch.path("crossed");
    options.env["ZOP_EXE"] = other.os == Os::windows ? toWindowsPath(platform().stub) : platform().stub;
    const RunResult packed =
        e2e::run(other, scratch, other.stub, {"app.zop", other.os == Os::windows ? toWindowsPath(out) : out}, options);
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;

    const std::string exe = writeExecutable(readFile(out));
    const RunResult listed = run(exe, {"--zop-list"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out, "d tree\r\nd tree\\sub\r\nf tree\\sub\\a.txt (6)\r\nc run %parms%\r\n");
    const RunResult extracted = run(exe, {"--zop-justextract"});
    ASSERT_EQ(extracted.exitCode, 0) << extracted.out << extracted.err;
    EXPECT_EQ(readFile(scratch.cwd() + "/tree/sub/a.txt"), "cross\n");
    EXPECT_EQ(readFile(scratch.cwd() + "/" + stubFileName()), stubBytes());
}

TEST_P(ListExtractTest, DamagedStreamsEndWithTheReport)
{
    std::string bytes = container(sampleEntries());
    const std::size_t size = bytes.size();
    // Wrong CRC-32 in the member trailer: every byte extracted, then the
    // check at the end fails.
    const int32_t gzLength = getInt32(bytes, size - tailSize + 256);
    const std::size_t crcAt = size - tailSize - 8;
    bytes[crcAt] = static_cast<char>(bytes[crcAt] ^ 0x55);
    ASSERT_GT(gzLength, 20);
    const std::string exe = writeExecutable(bytes);
    expectReport(run(exe, {"--zop-list"}), "EInOutError : Invalid input");

    // gzLength beyond the file: refused before anything is copied.
    std::string tooLong = container(sampleEntries());
    putInt32(tooLong, tooLong.size() - tailSize + 256, static_cast<int32_t>(tooLong.size()));
    const std::string exe2 = writeExecutable(tooLong, "app2");
    expectReport(run(exe2, {"--zop-justextract"}), "EInOutError : Read past end of file");
    EXPECT_FALSE(exists(scratch.cwd() + "/app.zop"));
}

// ------------------------------------------------------------------ the packer looks inside

// The packer's --list and --extract read any packed file as data: what they
// print and write is what the file's own --zop-list and --zop-justextract
// print and write, byte for byte, and nothing of the file runs.
TEST_P(ListExtractTest, PackerListsAndExtractsAsTheFilesOwnOptionsDo)
{
    const std::string src = scratch.path("src");
    makeDirectories(src + "/tree/sub");
    writeFile(src + "/tree/sub/a.txt", "inspected\n");
    writeFile(src + "/tree/b.bin", mixedBytes(70000, 7));
    const std::string probeOut = scratch.path("probe.out");
    for (const Platform& target : testedPlatforms()) {
        for (const Platform& packer : testedPlatforms()) {
            if (!haveWindows() && (target.os == Os::windows || packer.os == Os::windows))
                continue;
            SCOPED_TRACE(target.name + " file packed by the " + packer.name + " packer");
            const auto inPacker = [&](const std::string& path) {
                return packer.os == Os::windows ? toWindowsPath(path) : path;
            };
            const auto inTarget = [&](const std::string& path) {
                return target.os == Os::windows ? toWindowsPath(path) : path;
            };
            const std::string tag = target.name + "-by-" + packer.name;
            writeFile(src + "/app.zop", "r tree\nc " + inTarget(target.probe) + " %parms%\n");
            const std::string file = scratch.path("bin/" + tag + target.exeSuffix);
            makeDirectories(scratch.path("bin"));
            RunOptions packing;
            packing.cwd = src;
            packing.env["ZOP_EXE"] = inPacker(target.stub);
            const RunResult packed = e2e::run(packer, scratch, packer.stub, {"app.zop", inPacker(file)}, packing);
            ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
            chmod(file.c_str(), 0755);

            RunOptions own;
            own.cwd = scratch.path("own-" + tag);
            makeDirectories(own.cwd);
            const RunResult ownList = e2e::run(target, scratch, file, {"--zop-list"}, own);
            ASSERT_EQ(ownList.exitCode, 0) << ownList.out << ownList.err;
            ASSERT_EQ(e2e::run(target, scratch, file, {"--zop-justextract"}, own).exitCode, 0);

            RunOptions inspecting;
            inspecting.env["PROBE_OUT"] = seen(probeOut);
            const RunResult listed = run(platform().stub, {"--list", seen(file)}, inspecting);
            EXPECT_EQ(listed.exitCode, 0) << listed.out << listed.err;
            EXPECT_TRUE(listed.out == ownList.out) << listed.out << "\n--- the file's own:\n" << ownList.out;
            const std::string dir = scratch.path("by-packer-" + tag);
            const RunResult extracted = run(platform().stub, {"--extract", seen(file), seen(dir)}, inspecting);
            EXPECT_EQ(extracted.exitCode, 0) << extracted.out << extracted.err;
            EXPECT_EQ(extracted.out, "");
            ASSERT_EQ(listTree(dir), listTree(own.cwd));
            for (const std::string& name : listTree(dir))
                if (!name.ends_with("/"))
                    EXPECT_TRUE(readFile(dir + "/" + name) == readFile(own.cwd + "/" + name)) << name;
            EXPECT_TRUE(readFile(dir + "/" + (target.os == Os::windows ? "zop.exe" : "zop")) == readFile(target.stub));
        }
    }
    EXPECT_FALSE(exists(probeOut)) << "the packer ran a command of a file it read";
    expectTempEmpty();

    // Without DIR the parts land in the current directory; no entry replaces
    // the file being taken apart (it is held open, as the stub file is).
    const std::string self = "self" + platform().exeSuffix;
    const std::string here =
        writeExecutable(container({fileEntry("inside.txt", "x"), fileEntry(self, "replaced")}), "self", scratch.cwd());
    const std::string before = readFile(here);
    expectReport(run(platform().stub, {"--extract", self}), "EInOutError : Access denied");
    EXPECT_EQ(readFile(scratch.cwd() + "/inside.txt"), "x");
    EXPECT_TRUE(readFile(here) == before) << "the file taken apart was replaced by its own entry";
}

TEST_P(ListExtractTest, PackerRefusesWhatIsNotASoundPackedFile)
{
    // Before anything is created (no work directory, no DIR): one line that
    // names the file, then the report.
    ASSERT_EQ(run(platform().stub, {seen(writeExecutable("", "empty.zop")), seen(scratch.path("bin/sealed"))}).exitCode, 0);
    std::string sealed = readFile(scratch.path("bin/sealed"));
    putInt32(sealed, sealed.size() - 4, 1);  // entryCount 0 -> 1, the seal kept
    std::string cut = container({fileEntry("a.txt", "x")});
    cut.resize(cut.size() - 100);
    const struct {
        std::string name;
        std::string bytes;
        std::string reason;
    } cases[] = {
        {"notes.txt", "not a program\n", "not a packed file"},
        {"short", "x", "not a packed file"},
        {"stub", stubBytes(), "not a packed file"},
        {"cut", cut, "damaged: a program with bytes after its image but no trailer (cut short?)"},
        {"resealed", sealed, "damaged: its trailer does not match its seal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = writeExecutable(c.bytes, c.name + ".in");
        for (const std::string action : {"list", "extract"}) {
            std::vector<std::string> args{"--" + action, seen(file)};
            if (action == "extract")
                args.push_back(seen(scratch.path("out")));
            const RunResult r = run(platform().stub, args);
            expectReport(r, "EInOutError : Invalid input");
            const std::string lineEnd = onWindows() ? "\r\n" : "\n";
            EXPECT_EQ(r.err, "zop: cannot " + action + " \"" + seen(file) + "\": " + c.reason + lineEnd);
            EXPECT_FALSE(exists(scratch.path("out")));
            expectTempEmpty();
        }
    }
    const RunResult missing = run(platform().stub, {"--list", "missing.exe"});
    EXPECT_EQ(missing.exitCode, 217);
    EXPECT_THAT(missing.err, HasSubstr("zop: cannot list \"missing.exe\": file not found"));
    const RunResult noFile = run(platform().stub, {"--extract"});
    EXPECT_EQ(noFile.exitCode, 2);
    EXPECT_THAT(noFile.err, ::testing::StartsWith("zop: --extract needs the packed FILE to read"));
    EXPECT_EQ(run(platform().stub, {"--list", "a", "b"}).exitCode, 2);
    expectTempEmpty();
}

INSTANTIATE_TEST_SUITE_P(Platforms, ListExtractTest, ::testing::ValuesIn(testedPlatforms()), platformName);

}  // namespace
}  // namespace e2e
