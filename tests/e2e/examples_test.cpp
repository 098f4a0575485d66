// The bundled examples, packed and run as their users would: a Lua and a
// Python application with Debian's interpreters on Linux; a batch application through
// Wine's own cmd.exe and a C program with its DLL under Wine; and a Windows
// executable packed by the Linux stub. Each is built in a scratch directory,
// the staged files are removed after packing (so only the packed copies can
// serve), and it is started from an unrelated directory.
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::string examplesDir = std::string(ZOP_SOURCE_DIR) + "/examples";

class ExampleTest : public ::testing::Test {
protected:
    // Copies examples/<name> (recipe and tree) into the scratch's stage/.
    std::string stageExample(const std::string& name)
    {
        const std::string stage = scratch.path("stage");
        fs::copy(examplesDir + "/" + name, stage, fs::copy_options::recursive);
        return stage;
    }

    // Packs stage/app.zop into stage/output with the given stub, started by
    // the platform's way (natively or under Wine) in the stage directory.
    std::string pack(const Platform& platform, const std::string& stage, const std::string& output,
                     RunOptions options = {})
    {
        options.cwd = stage;
        const RunResult r = run(platform, scratch, platform.stub, {"app.zop", output}, options);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        const std::string packed = stage + "/" + output;
        EXPECT_TRUE(exists(packed));
        return packed;
    }

    // Moves the packed executable out of the stage and removes the stage.
    std::string keepOnly(const std::string& packed)
    {
        const std::string kept = scratch.path("dist/" + fs::path(packed).filename().string());
        makeDirectories(scratch.path("dist"));
        fs::rename(packed, kept);
        fs::remove_all(scratch.path("stage"));
        return kept;
    }

    // Lays out examples/lua with this machine's lua5.4 (gather.sh), packs it
    // and returns the packed executable, alone in dist/.
    std::string packLuaApplication()
    {
        EXPECT_TRUE(exists("/usr/bin/lua5.4")) << "lua5.4 is missing: run scripts/install-deps.sh";
        const std::string stage = scratch.path("stage");
        const RunResult gathered =
            run(linuxPlatform(), scratch, "/bin/sh", {examplesDir + "/lua/gather.sh", stage});
        EXPECT_EQ(gathered.exitCode, 0) << gathered.out << gathered.err;
        return keepOnly(pack(linuxPlatform(), stage, "lua-app"));
    }

    // Lays out examples/python with this machine's CPython (gather.sh, which
    // also compiles it), packs it and returns the packed executable, alone in
    // dist/.
    std::string packPythonApplication()
    {
        const std::string stage = scratch.path("stage");
        const RunResult gathered =
            run(linuxPlatform(), scratch, "/bin/sh", {examplesDir + "/python/gather.sh", stage});
        EXPECT_EQ(gathered.exitCode, 0) << gathered.out << gathered.err;
        return keepOnly(pack(linuxPlatform(), stage, "shop"));
    }

    // Lays out examples/dll-windows with the program and DLL the Windows
    // build compiled, packs it and returns the packed executable.
    std::string packDllApplication()
    {
        const std::string stage = stageExample("dll-windows");
        const std::string built = std::string(ZOP_WINDOWS_DIR) + "/examples/dll-windows/";
        makeDirectories(stage + "/bin");
        for (const char* file : {"wordcount.exe", "textlib.dll"}) {
            EXPECT_TRUE(exists(built + file)) << built + file;
            if (exists(built + file))
                fs::copy_file(built + file, stage + "/bin/" + file);
        }
        return keepOnly(pack(windowsPlatform(), stage, "wordcount.exe"));
    }

    std::string packHello() { return keepOnly(pack(linuxPlatform(), stageExample("hello"), "hello.out")); }
    std::string packBatchApplication()
    {
        return keepOnly(pack(windowsPlatform(), stageExample("hello-windows"), "hello.exe"));
    }

    void expectNoWorkDirectoryLeft() { EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}); }

    Scratch scratch;
};

// ------------------------------------------------------------------ Linux

TEST_F(ExampleTest, LuaApplicationWithItsInterpreterRunsFromAnUnrelatedDirectory)
{
    const std::string app = packLuaApplication();
    ASSERT_FALSE(HasFailure());

    RunOptions options;
    options.cwd = scratch.path("elsewhere");
    makeDirectories(options.cwd);
    const RunResult r = run(linuxPlatform(), scratch, app,
                            {"hello world", "say \"hi\" twice", "  padded  ", "%tempdir%"}, options);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // %args% hands on an argument "%tempdir%" as it was typed.
    EXPECT_EQ(r.out,
              "Lua text statistics, packed by zop\n"
              "1: [hello world] 11 chars, 2 words, reversed [dlrow olleh], longest [hello]\n"
              "2: [say \"hi\" twice] 14 chars, 3 words, reversed [eciwt \"ih\" yas], longest [twice]\n"
              "3: [  padded  ] 10 chars, 1 words, reversed [  deddap  ], longest [padded]\n"
              "4: [%tempdir%] 9 chars, 1 words, reversed [%ridpmet%], longest [%tempdir%]\n"
              "4 arguments, 7 words\n");
    EXPECT_EQ(r.err, "");
    expectNoWorkDirectoryLeft();
    EXPECT_EQ(listTree(options.cwd), std::vector<std::string>{});
}

TEST_F(ExampleTest, LuaApplicationListsItsInterpreterScriptsAndCommand)
{
    const std::string app = packLuaApplication();
    ASSERT_FALSE(HasFailure());

    const RunResult r = run(linuxPlatform(), scratch, app, {"--zop-list"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, StartsWith("d bin\r\n"));
    EXPECT_THAT(r.out, HasSubstr("f bin\\lua5.4 ("));
    EXPECT_THAT(r.out, HasSubstr("f bin\\ld-linux-x86-64.so.2 ("));
    EXPECT_THAT(r.out, HasSubstr("\r\nd app\\lib\r\nf app\\lib\\textstats.lua ("));
    EXPECT_THAT(r.out, ::testing::EndsWith(
                           "\r\nc \"%tempdir1%/bin/ld-linux-x86-64.so.2\" --library-path \"%tempdir1%/bin\" "
                           "\"%tempdir1%/bin/lua5.4\" \"%tempdir1%/app/main.lua\" %args%\r\n"));
    expectNoWorkDirectoryLeft();
}

TEST_F(ExampleTest, LuaApplicationPassesOnTheScriptsExitCode)
{
    const std::string app = packLuaApplication();
    ASSERT_FALSE(HasFailure());

    const RunResult r = run(linuxPlatform(), scratch, app, {});
    EXPECT_EQ(r.exitCode, 1);  // os.exit(1) of the script, through the interpreter
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: lua-app TEXT...\n");
    expectNoWorkDirectoryLeft();
}

TEST_F(ExampleTest, PythonApplicationRunsIsolatedFromTheUsersEnvironment)
{
    if (!exists("/usr/bin/python3"))
        GTEST_SKIP() << "no system python3 (apt-get install python3)";
    const std::string app = packPythonApplication();
    ASSERT_FALSE(HasFailure());

    // Every module is packed with a .pyc whose flags word says "hash-based,
    // never checked against the source": unpacking gives the sources new time
    // stamps, which would make time-stamped .pyc files stale on every launch.
    int compiled = 0;
    for (const Entry& entry : readEntries(readFile(app))) {
        if (entry.kind != 'f' || !entry.text.ends_with(".pyc"))
            continue;
        ++compiled;
        ASSERT_GE(entry.data.size(), 16u) << entry.text;
        EXPECT_EQ(getInt32(entry.data, 4), 1) << entry.text;
    }
    EXPECT_GT(compiled, 500);

    // A PYTHONHOME and a PYTHONPATH with a json module of its own would
    // break or hijack an interpreter that reads the environment.
    const std::string hijack = scratch.path("hijack");
    makeDirectories(hijack);
    writeFile(hijack + "/json.py", "raise SystemExit('the user json module was imported')\n");
    RunOptions options;
    options.cwd = scratch.path("elsewhere");
    makeDirectories(options.cwd);
    options.env["PYTHONHOME"] = hijack;
    options.env["PYTHONPATH"] = hijack;
    const RunResult r = run(linuxPlatform(), scratch, app,
                            {"apple", "3 green tea", "say \"hi\"", "  2   OAT biscuits ", "crème brûlée"},
                            options);
    EXPECT_EQ(r.out,
              "The corner shop\n"
              "  1 x apple               0.40\n"
              "  3 x green tea           9.60\n"
              "  2 x oat biscuits        5.20\n"
              "6 items, total 15.20 EUR\n");
    EXPECT_EQ(r.err, "unknown item: say \"hi\"\nunknown item: crème brûlée\n");
    EXPECT_EQ(r.exitCode, 2);  // some items unknown
    expectNoWorkDirectoryLeft();
    EXPECT_EQ(listTree(options.cwd), std::vector<std::string>{});

    const RunResult usage = run(linuxPlatform(), scratch, app, {});
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err, "usage: shop [QUANTITY ]ITEM...\n");
    EXPECT_EQ(usage.exitCode, 1);
    expectNoWorkDirectoryLeft();
}

TEST_F(ExampleTest, ShellHelloGreetsEveryArgument)
{
    const std::string app = keepOnly(pack(linuxPlatform(), stageExample("hello"), "hello.out"));
    const RunResult r = run(linuxPlatform(), scratch, app, {"Alice", "Bob Smith"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Hello, Alice!\nHello, Bob Smith!\npacked data: 5 words\n");
    expectNoWorkDirectoryLeft();
}

// ------------------------------------------------------------------ Windows, under Wine

const std::string batchOutput =
    "Hello, Alice \"Bob Smith\"!\r\n"
    "2 arguments\r\n"
    "This line was packed inside the executable.\r\n"
    "color: red\r\n"
    "color: green\r\n"
    "color: blue\r\n";

TEST_F(ExampleTest, BatchApplicationRunsThroughCmdWithItsDataFiles)
{
    if (!haveWindows())
        GTEST_SKIP() << "no Windows build";
    const std::string app = keepOnly(pack(windowsPlatform(), stageExample("hello-windows"), "hello.exe"));
    const RunResult r = run(windowsPlatform(), scratch, app, {"Alice", "Bob Smith"});
    EXPECT_EQ(r.out, batchOutput) << r.err;
    EXPECT_EQ(r.exitCode, 0);
    expectNoWorkDirectoryLeft();
    EXPECT_EQ(listTree(scratch.cwd()), std::vector<std::string>{});  // t ran in the work directory

    // Without arguments the batch file ends with "exit /b 1", which cmd.exe
    // and then the launcher pass on.
    const RunResult usage = run(windowsPlatform(), scratch, app, {});
    EXPECT_EQ(usage.out, "usage: hello NAME...\r\n") << usage.err;
    EXPECT_EQ(usage.exitCode, 1);
    expectNoWorkDirectoryLeft();

    // A quoted argument reaches cmd with its quotes, so "&" and ">" in it
    // are text: the second command it spells does not run.
    const std::string pwned = scratch.path("pwned.txt");
    const std::string argument = "\"pic&echo INJECTED>" + toWindowsPath(pwned) + "&.jpg\"";
    const RunResult quoted =
        runCommandLine(windowsPlatform(), scratch, "\"" + toWindowsPath(app) + "\" " + argument);
    EXPECT_EQ(quoted.exitCode, 0) << quoted.out << quoted.err;
    EXPECT_THAT(quoted.out, StartsWith("Hello, " + argument + "!\r\n1 arguments\r\n"));
    EXPECT_FALSE(exists(pwned));
    expectNoWorkDirectoryLeft();

    // Callers that quote only arguments with blanks (and write a quote as
    // \", as Wine, .NET and Python do): cmd still takes every argument as
    // text, "&" runs nothing, "^" stays, and the batch file gets each one
    // as one quoted argument.
    const RunResult hostile = runCommandLine(
        windowsPlatform(), scratch,
        "\"" + toWindowsPath(app) + "\" x&ver \"a\\\"&echo INJECTED&\\\"b\" ^ !x! \"two words\" \"\"");
    EXPECT_EQ(hostile.exitCode, 0) << hostile.out << hostile.err;
    EXPECT_THAT(hostile.out, StartsWith("Hello, \"x&ver\" \"a\"\"&echo INJECTED&\"\"b\" \"^\" \"!x!\" "
                                        "\"two words\" \"\"!\r\n6 arguments\r\n"));
    EXPECT_THAT(hostile.out, Not(HasSubstr("\nINJECTED"))) << "echo ran";
    EXPECT_THAT(hostile.out, Not(HasSubstr("Windows 6"))) << "ver ran";
    expectNoWorkDirectoryLeft();
}

TEST_F(ExampleTest, LinuxStubCrossPacksTheBatchApplicationForWindows)
{
    if (!haveWindows())
        GTEST_SKIP() << "no Windows build";
    RunOptions options;
    options.env["ZOP_EXE"] = windowsPlatform().stub;
    const std::string app =
        keepOnly(pack(linuxPlatform(), stageExample("hello-windows"), "hello.exe", options));

    const std::string bytes = readFile(app);
    const std::string stub = readFile(windowsPlatform().stub);
    ASSERT_GT(bytes.size(), stub.size() + tailSize);
    EXPECT_TRUE(bytes.compare(0, stub.size(), stub) == 0) << "does not start with zop.exe";
    // The trailer records the stub's file name, which extraction recreates.
    EXPECT_EQ(parseTail(std::string_view(bytes).substr(bytes.size() - tailSize)).stubName, "zop.exe");

    const RunResult r = run(windowsPlatform(), scratch, app, {"Alice", "Bob Smith"});
    EXPECT_EQ(r.out, batchOutput) << r.err;
    EXPECT_EQ(r.exitCode, 0);
    expectNoWorkDirectoryLeft();
}

TEST_F(ExampleTest, WindowsProgramLoadsItsDllFromTheWorkDirectory)
{
    if (!haveWindows())
        GTEST_SKIP() << "no Windows build";
    const std::string app = packDllApplication();
    ASSERT_FALSE(HasFailure());

    const RunResult list = run(windowsPlatform(), scratch, app, {"--zop-list"});
    EXPECT_THAT(list.out, StartsWith("d bin\r\n"));
    EXPECT_THAT(list.out, HasSubstr("\r\nf bin\\textlib.dll ("));
    EXPECT_THAT(list.out, HasSubstr("\r\nd data\\more\r\nf data\\more\\words.txt (26)\r\n"));

    const RunResult r = run(windowsPlatform(), scratch, app, {"alpha beta", "gamma"});
    EXPECT_EQ(r.out,
              "textlib 1.0\r\n"
              "words.txt: 5 words\r\n"
              "[alpha beta]: 2 words\r\n"
              "[gamma]: 1 words\r\n")
        << r.err;
    EXPECT_EQ(r.exitCode, 0);
    expectNoWorkDirectoryLeft();
}

// ------------------------------------------------------------------ every example

// Each example, packed and started with a TEMP that holds a blank, as a user
// name with a blank puts it (C:\Users\John Smith\AppData\Local\Temp): every
// path into the work directory must stay one argument.
TEST_F(ExampleTest, EveryExampleRunsWithABlankInTemp)
{
    struct Case {
        const char* name;
        bool windows;
        std::function<std::string()> packApp;
        std::vector<std::string> args;
        std::string expected;  // the start of standard output
    };
    const Case cases[] = {
        {"hello", false, [this] { return packHello(); }, {"a b"}, "Hello, a b!\npacked data: 5 words\n"},
        {"lua", false, [this] { return packLuaApplication(); }, {"a b"},
         "Lua text statistics, packed by zop\n1: [a b] 3 chars, 2 words, reversed [b a], longest [a]\n"
         "1 arguments, 2 words\n"},
        {"python", false, [this] { return packPythonApplication(); }, {"apple"}, "The corner shop\n  1 x apple"},
        {"hello-windows", true, [this] { return packBatchApplication(); }, {"a b"}, "Hello, \"a b\"!\r\n1 arguments\r\n"},
        {"dll-windows", true, [this] { return packDllApplication(); }, {"a b"}, "textlib 1.0\r\nwords.txt: 5 words\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.windows && !haveWindows()) || (std::string(c.name) == "python" && !exists("/usr/bin/python3")))
            continue;
        fs::remove_all(scratch.path("dist"));
        const std::string app = c.packApp();
        if (HasFailure())
            return;
        const std::string temp = scratch.path("John Smith/Temp");
        makeDirectories(temp);
        const Platform& platform = c.windows ? windowsPlatform() : linuxPlatform();
        RunOptions options;
        options.env["TEMP"] = c.windows ? toWindowsPath(temp) : temp;
        if (c.windows)
            options.env["TMP"] = options.env["TEMP"];
        const RunResult r = run(platform, scratch, app, c.args, options);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_THAT(r.out, StartsWith(c.expected)) << r.err;
        EXPECT_EQ(listTree(temp), std::vector<std::string>{}) << "the work directory is left";
    }
}

}  // namespace
}  // namespace e2e
