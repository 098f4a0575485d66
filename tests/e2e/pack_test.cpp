// The packer as a user drives it: a recipe file in, a packed executable out,
// on Linux and under Wine. Every output is taken apart independently of the
// program's own reader (and its gzip member checked by the real gzip), so a
// fault shared by the packer and the unpacking modes still shows here.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// The exact stream of a recipe without entries: gzip header, the empty final
// deflate block, CRC-32 0 and length 0.
constexpr std::string_view emptyMember{"\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x00"
                                       "\x03\x00"
                                       "\x00\x00\x00\x00\x00\x00\x00\x00",
                                       20};

std::string lastBytes(const std::string& bytes, std::size_t n) { return bytes.substr(bytes.size() - n); }

// The trailer the packer writes: zero filler, the four fields, the
// integrity check of the member after the recognition string, and the seal
// over the whole trailer.
std::string packedTail(std::string_view stubName, std::string_view member, int32_t entryCount)
{
    std::string t = makeTail(stubName, static_cast<int32_t>(member.size()), entryCount);
    t.replace(crcFieldAt, 8, crcField(member));
    sealTail(t);
    return t;
}

std::vector<Entry> sortedByText(std::vector<Entry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.text < b.text; });
    return entries;
}

// Depth-first pre-order: each entry's directory was recorded before it, and
// every directory's contents follow it as one unbroken run.
void expectPreOrder(const std::vector<Entry>& entries)
{
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].text;
        const std::size_t cut = name.rfind('\\');
        if (cut == std::string::npos) {
            EXPECT_EQ(i, 0u) << "only the root has no parent: " << name;
            continue;
        }
        const std::string parent = name.substr(0, cut);
        const auto at = std::find_if(entries.begin(), entries.end(),
                                     [&](const Entry& e) { return e.kind == 'd' && e.text == parent; });
        ASSERT_NE(at, entries.end()) << "no d entry for the directory of " << name;
        EXPECT_LT(static_cast<std::size_t>(at - entries.begin()), i) << name << " comes before its directory";
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind != 'd')
            continue;
        const std::string inside = entries[i].text + "\\";
        std::size_t end = i + 1;
        while (end < entries.size() && entries[end].text.starts_with(inside))
            ++end;
        for (std::size_t k = end; k < entries.size(); ++k)
            EXPECT_FALSE(entries[k].text.starts_with(inside))
                << entries[k].text << " is separated from the rest of " << entries[i].text;
    }
}

int shell(const std::string& command) { return std::system(command.c_str()); }

// Makes the directory and its parents; returns its path.
std::string makeDirs(const std::string& path)
{
    makeDirectories(path);
    return path;
}

class PackTest : public PlatformTest {
protected:
    std::string inCwd(std::string_view relative) const { return scratch.cwd() + "/" + std::string(relative); }

    void putFile(const std::string& relative, std::string_view bytes)
    {
        const std::string path = inCwd(relative);
        makeDirectories(std::filesystem::path(path).parent_path());
        writeFile(path, bytes);
    }

    // Writes the recipe into the current directory and packs it into out.exe.
    RunResult pack(std::string_view recipe, const RunOptions& options = {})
    {
        writeFile(inCwd("recipe.zop"), recipe);
        return run(platform().stub, {"recipe.zop", "out.exe"}, options);
    }

    std::string output() const { return readFile(inCwd("out.exe")); }

    // A packed file that ended well: exit code 0, work directory gone.
    void expectPacked(const RunResult& r)
    {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "the work directory stays";
    }

    void expectFailure(const RunResult& r, const std::string& secondLine)
    {
        EXPECT_EQ(r.exitCode, 217);
        const auto lines = reportLines(r.out);
        ASSERT_GE(lines.size(), 4u) << r.out << r.err;
        EXPECT_THAT(lines[0], StartsWith("An unhandled exception occurred at 0x"));
        EXPECT_EQ(lines[1], secondLine);
        // The packer's work directory holds nothing to inspect: it goes on
        // the failure road too.
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "the work directory stays";
    }

    const Platform& otherPlatform() const { return onWindows() ? linuxPlatform() : windowsPlatform(); }
};

// ------------------------------------------------------------------ recipe lines

TEST_P(PackTest, RecipeLinesBecomeEntriesByTheLineRules)
{
    const std::string big = mixedBytes(250001, 7);  // spans three transfer blocks
    putFile("a.txt", "alpha\r\nbeta\n");
    putFile("empty.bin", "");
    putFile("big.bin", big);
    putFile(".txt", "the file named .txt");

    const std::string recipe = std::string("# a comment\r\n")
                             + "\r\n"
                             + "d bin\n"
                             + "f a.txt\r"  // a lone CR ends a line
                             + "f empty.bin\r\n"
                             + "f big.bin\n"
                             + "c %tempdir%\\bin\\tool.exe %parms%\n"
                             + "t run it  \n"  // trailing blanks stay
                             + "F a.txt\n"
                             + " f a.txt\n"
                             + "\tf a.txt\n"
                             + "x a.txt\n"
                             + "fa.txt\n"  // byte 2 is dropped whatever it is
                             + "c\n"
                             + "c #x\n"    // only byte 1 makes a comment
                             + "d:sep\n"
                             + "d " + std::string(298, 'y') + "\n"
                             + "d after long\n"
                             + "d p\n\rd q\n"  // LF then CR: an empty line between
                             + "d in\x1A" "side\n"
                             + "\x1A" "d never\n";  // Ctrl-Z at a line start ends the recipe
    const RunResult r = pack(recipe);
    expectPacked(r);

    const std::vector<Entry> expected{
        dirEntry("bin"),
        fileEntry("a.txt", "alpha\r\nbeta\n"),
        fileEntry("empty.bin", ""),
        fileEntry("big.bin", big),
        commandEntry('c', "%tempdir%\\bin\\tool.exe %parms%"),
        commandEntry('t', "run it  "),
        fileEntry(".txt", "the file named .txt"),
        commandEntry('c', ""),
        commandEntry('c', "#x"),
        dirEntry("sep"),
        dirEntry(std::string(253, 'y')),
        dirEntry("after long"),
        dirEntry("p"),
        dirEntry("q"),
        dirEntry("in\x1Aside"),
    };
    const std::string packed = output();
    const PackedFile p = splitPacked(packed);
    EXPECT_EQ(p.stub, readFile(platform().stub)) << "the stub part is the running stub, byte for byte";
    EXPECT_EQ(p.tail.stubName, "zop" + platform().exeSuffix);
    EXPECT_EQ(p.tail.signature, recognitionString);
    EXPECT_EQ(p.tail.entryCount, static_cast<int32_t>(expected.size()));
    EXPECT_EQ(p.tail.gzLength, static_cast<int32_t>(p.member.size()));
    EXPECT_EQ(static_cast<uint8_t>(packed[packed.size() - 260]), 78);

    // Byte for byte: every header with zero filler and gap, the file bytes
    // right behind their headers, nothing after the last entry.
    const std::string stream = inflateMember(p.member);
    EXPECT_TRUE(stream == entryStream(expected)) << "the entry stream differs";
    EXPECT_EQ(parseEntries(stream, p.tail.entryCount), expected);
}

TEST_P(PackTest, FirstLineIsReadEvenWhenItStartsWithCtrlZ)
{
    // The end test comes after each line: a leading Ctrl-Z is a line of an
    // unknown kind, and the recipe goes on.
    expectPacked(pack("\x1A\nd one\n\x1A\nd two\n"));
    EXPECT_EQ(readEntries(output()), std::vector<Entry>{dirEntry("one")});
}

TEST_P(PackTest, RecipeOfCommentsOnlyGivesTheEmptyStream)
{
    expectPacked(pack("# nothing to pack\n\n#\r\n# d bin\r\n"));
    const PackedFile p = splitPacked(output());
    EXPECT_EQ(p.tail.entryCount, 0);
    EXPECT_EQ(p.tail.gzLength, 20);
    EXPECT_EQ(p.member, emptyMember);
    EXPECT_EQ(p.stub, readFile(platform().stub));
}

TEST_P(PackTest, StreamIsAcceptedByGzip)
{
    putFile("data.bin", mixedBytes(120000, 3));
    putFile("tree/x.txt", "x");
    expectPacked(pack("d bin\nf data.bin\nr tree\nc run\n"));
    const PackedFile p = splitPacked(output());
    const std::string member = scratch.path("member.gz");
    writeFile(member, p.member);
    EXPECT_EQ(shell("gzip -t " + member), 0);
    const std::string unpacked = scratch.path("member.raw");
    ASSERT_EQ(shell("gzip -dc " + member + " > " + unpacked), 0);
    const std::string stream = readFile(unpacked);
    EXPECT_TRUE(stream == inflateMember(p.member));
    EXPECT_EQ(parseEntries(stream, p.tail.entryCount).size(), 5u);
}

// ------------------------------------------------------------------ trees

TEST_P(PackTest, TreeIsWrittenDepthFirstWithEveryEntry)
{
    putFile("app/main.exe", "MZ main");
    putFile("app/.hidden", "hidden file");
    putFile("app/zz.txt", "");
    putFile("app/lib/x.dll", mixedBytes(150000, 11));
    putFile("app/lib/deep/y.txt", "deepest");
    makeDirectories(inCwd("app/empty"));
    makeDirectories(inCwd("app/lib/emptier"));
    putFile("a.txt", "a.txt of the starting directory");
    putFile("app/a.txt", "a.txt inside app");
    putFile("app/B.txt", "upper case sorts before lower case");

    // The last line has no line end; the f line after the tree resolves
    // against the starting directory again.
    expectPacked(pack("r app\nf a.txt"));
    const PackedFile p = splitPacked(output());
    const std::string stream = inflateMember(p.member);
    const std::vector<Entry> entries = parseEntries(stream, p.tail.entryCount);
    EXPECT_TRUE(stream == entryStream(entries)) << "header filler and gap are zero";

    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), fileEntry("a.txt", "a.txt of the starting directory"));
    const std::vector<Entry> tree(entries.begin(), entries.end() - 1);
    EXPECT_EQ(tree.front(), dirEntry("app"));
    EXPECT_EQ(sortedByText(tree), sortedByText({
                                      dirEntry("app"),
                                      fileEntry("app\\main.exe", "MZ main"),
                                      fileEntry("app\\.hidden", "hidden file"),
                                      fileEntry("app\\zz.txt", ""),
                                      fileEntry("app\\a.txt", "a.txt inside app"),
                                      fileEntry("app\\B.txt", "upper case sorts before lower case"),
                                      dirEntry("app\\lib"),
                                      fileEntry("app\\lib\\x.dll", mixedBytes(150000, 11)),
                                      dirEntry("app\\lib\\deep"),
                                      fileEntry("app\\lib\\deep\\y.txt", "deepest"),
                                      dirEntry("app\\lib\\emptier"),
                                      dirEntry("app\\empty"),
                                  }));
    expectPreOrder(tree);
    // Siblings in bytewise order of their names, whatever the file system
    // lists first.
    std::vector<std::string> names;
    for (const Entry& e : tree)
        names.push_back(e.text);
    EXPECT_EQ(names, (std::vector<std::string>{"app", "app\\.hidden", "app\\B.txt", "app\\a.txt", "app\\empty",
                                                "app\\lib", "app\\lib\\deep", "app\\lib\\deep\\y.txt",
                                                "app\\lib\\emptier", "app\\lib\\x.dll", "app\\main.exe",
                                                "app\\zz.txt"}));
}

TEST_P(PackTest, TreeWithEmptyTextPacksTheCurrentDirectory)
{
    putFile("one.txt", "1");
    putFile("sub/two.txt", "22");
    // Recipe and output lie outside the packed directory.
    writeFile(scratch.path("recipe.zop"), "r\n");
    const RunResult r =
        run(platform().stub, {seen(scratch.path("recipe.zop")), seen(scratch.path("out.exe"))});
    expectPacked(r);
    const std::vector<Entry> entries = readEntries(readFile(scratch.path("out.exe")));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.front(), dirEntry(""));
    EXPECT_EQ(sortedByText(entries), sortedByText({dirEntry(""), fileEntry("\\one.txt", "1"), dirEntry("\\sub"),
                                                   fileEntry("\\sub\\two.txt", "22")}));
}

// ------------------------------------------------------------------ stub and trailer

TEST_P(PackTest, TrailerHoldsTheFourFieldsAndZeroFiller)
{
    // ZOP_EXE may name any bare stub: it is copied whole. Only its bare name
    // goes into the trailer; nothing of its directories.
    const std::string fake = scratch.path("stubs/deeper/fake" + platform().exeSuffix);
    makeDirectories(scratch.path("stubs/deeper"));
    writeFile(fake, readFile(platform().stub));
    RunOptions options;
    options.env["ZOP_EXE"] = seen(fake);
    expectPacked(pack("d bin\nc go\n", options));

    const std::string packed = output();
    const PackedFile p = splitPacked(packed);
    EXPECT_EQ(p.stub, readFile(fake));
    EXPECT_EQ(p.tail.stubName, "fake" + platform().exeSuffix);
    EXPECT_TRUE(p.tailBytes == packedTail("fake" + platform().exeSuffix, p.member, 2))
        << "trailer bytes differ";
}

TEST_P(PackTest, StubNameKeepsWhatIsNoSeparator)
{
    if (onWindows()) {
        // Only "\" separates: forward slashes and the drive colon stay.
        std::string slashed = seen(platform().windowedStub);
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        RunOptions options;
        options.env["ZOP_EXE"] = slashed;
        expectPacked(pack("", options));
        const PackedFile p = splitPacked(output());
        EXPECT_EQ(p.tail.stubName, slashed);
        EXPECT_EQ(p.stub, readFile(platform().windowedStub));
        EXPECT_TRUE(p.tailBytes == packedTail(slashed, p.member, 0));
    } else {
        // The Linux port cuts at "/" and at "\" alike (its file layer takes
        // both as separators).
        makeDirectories(scratch.path("stubs/sub"));
        writeFile(scratch.path("stubs/sub/mystub"), readFile(platform().stub));
        RunOptions options;
        options.env["ZOP_EXE"] = scratch.path("stubs\\sub\\mystub");
        expectPacked(pack("", options));
        const PackedFile p = splitPacked(output());
        EXPECT_EQ(p.tail.stubName, "mystub");
        EXPECT_EQ(p.stub, readFile(platform().stub));
    }
}

TEST_P(PackTest, EmptyZopExeMeansTheRunningStub)
{
    RunOptions options;
    options.env["ZOP_EXE"] = "";
    expectPacked(pack("d x\n", options));
    const PackedFile p = splitPacked(output());
    EXPECT_EQ(p.stub, readFile(platform().stub));
    EXPECT_EQ(p.tail.stubName, "zop" + platform().exeSuffix);
}

// Packing with the other platform's stub writes that platform's executable,
// and it runs there.
TEST_P(PackTest, CrossPackedExecutableRunsOnTheOtherPlatform)
{
    if (!haveWindows())
        GTEST_SKIP() << "this build has no Windows tree";
    const Platform& other = otherPlatform();
    const std::string probeOut = scratch.path("probe.out");
    const std::string probeSeenThere = other.os == Os::windows ? toWindowsPath(other.probe) : other.probe;
    RunOptions options;
    options.env["ZOP_EXE"] = seen(other.stub);
    expectPacked(pack("d bin\nc " + probeSeenThere + " --from-cross-pack\n", options));

    const std::string packed = output();
    const PackedFile p = splitPacked(packed);
    EXPECT_EQ(p.stub, readFile(other.stub));
    EXPECT_EQ(p.tail.stubName, "zop" + other.exeSuffix);
    EXPECT_EQ(readEntries(packed),
              (std::vector<Entry>{dirEntry("bin"), commandEntry('c', probeSeenThere + " --from-cross-pack")}));

    const std::string app = scratch.cwd() + "/app" + other.exeSuffix;
    writeFile(app, packed);
    chmod(app.c_str(), 0755);
    RunOptions there;
    there.env["PROBE_OUT"] = other.os == Os::windows ? toWindowsPath(probeOut) : probeOut;
    const RunResult r = e2e::run(other, scratch, app, {}, there);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto records = readProbeRecords(probeOut);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].argv.back(), "--from-cross-pack");
}

// ------------------------------------------------------------------ standard input and output

TEST_P(PackTest, EmptyArgumentsMeanStandardInputAndOutput)
{
    putFile("a.txt", "aaa");
    RunOptions options;
    options.stdinData = "d bin\r\nf a.txt\r\n";
    const RunResult both = run(platform().stub, {"", ""}, options);
    expectPacked(both);
    EXPECT_EQ(readEntries(both.out), (std::vector<Entry>{dirEntry("bin"), fileEntry("a.txt", "aaa")}));

    // Only the recipe named: the packed file still goes to standard output.
    writeFile(inCwd("recipe.zop"), "c go\n");
    const RunResult one = run(platform().stub, {"recipe.zop"});
    expectPacked(one);
    const PackedFile p = splitPacked(one.out);
    EXPECT_EQ(p.stub, readFile(platform().stub));
    EXPECT_EQ(parseEntries(inflateMember(p.member), p.tail.entryCount),
              std::vector<Entry>{commandEntry('c', "go")});
    EXPECT_EQ(listTree(scratch.cwd()), (std::vector<std::string>{"a.txt", "recipe.zop"}));
}

// ------------------------------------------------------------------ failures

TEST_P(PackTest, MissingRecipeFailsBeforeAnythingIsWritten)
{
    const RunResult r = run(platform().stub, {"missing.zop", "out.exe"});
    expectFailure(r, "EInOutError : File not found");
    EXPECT_THAT(r.err, HasSubstr("zop: cannot read recipe \"missing.zop\": file not found"));
    EXPECT_FALSE(exists(inCwd("out.exe")));
}

TEST_P(PackTest, MissingFileSourceLeavesAnExistingOutputUntouched)
{
    putFile("a.txt", "a");
    writeFile(inCwd("out.exe"), "an older output");
    expectFailure(pack("d bin\nf a.txt\nf missing.txt\n"), "EInOutError : File not found");
    EXPECT_EQ(output(), "an older output");
}

TEST_P(PackTest, MissingTreeIsAnInvalidFilename)
{
    expectFailure(pack("d bin\nr no-such-dir\n"), "EInOutError : Invalid filename");
    EXPECT_FALSE(exists(inCwd("out.exe")));
}

TEST_P(PackTest, MissingStubFileCreatesNoOutput)
{
    RunOptions options;
    options.env["ZOP_EXE"] = seen(scratch.path("no-such-stub"));
    expectFailure(pack("d bin\n", options), "EInOutError : File not found");
    EXPECT_FALSE(exists(inCwd("out.exe")));
}

// Sizes are 32-bit signed: a source of 2 GiB or more cannot be represented
// and is refused before the output exists. Sparse files cost no disk.
TEST_P(PackTest, SourceOfTwoGibibytesOrMoreIsRefused)
{
    for (const uintmax_t size : {uintmax_t{1} << 31, (uintmax_t{1} << 32) + 10}) {
        SCOPED_TRACE(size);
        std::filesystem::remove_all(scratch.temp());
        makeDirectories(scratch.temp());
        writeFile(inCwd("huge.bin"), "");
        std::filesystem::resize_file(inCwd("huge.bin"), size);
        const RunResult r = pack("f huge.bin\n");
        EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
        const auto lines = reportLines(r.out);
        ASSERT_GE(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[1], "Exception : Unknown Run-Time error : 223");
        EXPECT_FALSE(exists(inCwd("out.exe")));
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "the work directory stays";
    }
}

// What the packer cannot store faithfully, or would have to wait for, is
// refused before the output is touched: an older output stays as it was, and
// one line on standard error names the line and the reason.
struct Refusal {
    std::string name;
    std::string recipe;
    std::string reportLine;  // line 2 of the report
    std::string errLine;     // expected within standard error
    bool linuxOnly = false;
    // Prepares the current directory and the run.
    std::function<void(const std::string& cwd, RunOptions&)> setup = [](const std::string&, RunOptions&) {};
};

std::vector<Refusal> refusals(const Platform& platform)
{
    const std::string invalid = "EInOutError : Invalid filename";
    const std::string notRegular = "EInOutError : Not a regular file";
    const std::string deepPath = [] {
        std::string p;
        for (int i = 0; i < 100; ++i)
            p += "./";
        return p + "deep";
    }();
    return {
        {"AbsolutePath", "d bin\nr /usr/lib/x\n", invalid,
         "zop: recipe.zop line 2: \"r /usr/lib/x\": absolute paths cannot be packed"},
        {"DrivePrefix", "f C:x.txt\n", invalid, "zop: recipe.zop line 1: \"f C:x.txt\": paths with a drive cannot be packed"},
        {"ParentComponent", "# up\nd app/../../x\n", invalid,
         "zop: recipe.zop line 2: \"d app/../../x\": paths with a \"..\" component cannot be packed"},
        // "." as the last component names a directory that exists when
        // the entry is made (the work directory itself for ".").
        {"DotDirectory", "d bin\nd .\n", invalid,
         "zop: recipe.zop line 2: \"d .\": a name ending in \".\" cannot be packed"},
        {"DotTree", "r ./\n", invalid, "\"r ./\": a name ending in \".\" cannot be packed", false,
         [](const std::string& cwd, RunOptions&) { writeFile(cwd + "/a.txt", "a"); }},
        {"TreeEndingInDot", "r app\\.\n", invalid, "\"r app\\.\": a name ending in \".\" cannot be packed", false,
         [](const std::string& cwd, RunOptions&) { writeFile(makeDirs(cwd + "/app") + "/a.txt", "a"); }},
        {"Utf16LittleEndianRecipe", std::string("\xFF\xFE" "d\0 \0b\0\n\0", 10), "EInOutError : Invalid input",
         "zop: cannot read recipe \"recipe.zop\": saved as UTF-16 (little-endian); save it as UTF-8 or ANSI"},
        {"Utf16BigEndianRecipe", std::string("\xFE\xFF\0d\0 \0b\0\n", 10), "EInOutError : Invalid input",
         "zop: cannot read recipe \"recipe.zop\": saved as UTF-16 (big-endian)"},
        {"TreeNameOver255Bytes", "r " + deepPath + "\n", invalid, ": entry name longer than 255 bytes", false,
         [](const std::string& cwd, RunOptions&) { writeFile(makeDirs(cwd + "/deep") + "/" + std::string(60, 'n'), "x"); }},
        {"BackslashInATreeName", "r tree\n", invalid,
         "zop: recipe.zop line 1: \"r tree\": tree\\a\\b: names holding \"\\\" cannot be packed", true,
         [](const std::string& cwd, RunOptions&) { writeFile(makeDirs(cwd + "/tree") + "/a\\b", "x"); }},
        {"Fifo", "f pipe\n", notRegular, "zop: recipe.zop line 1: \"f pipe\": not a regular file", true,
         [](const std::string& cwd, RunOptions&) { mkfifo((cwd + "/pipe").c_str(), 0644); }},
        {"FifoInATree", "r tree\n", notRegular, "\"r tree\": tree\\pipe: not a regular file", true,
         [](const std::string& cwd, RunOptions&) { mkfifo((makeDirs(cwd + "/tree") + "/pipe").c_str(), 0644); }},
        {"Device", platform.os == Os::windows ? "f NUL\n" : "f zero\n", notRegular, ": not a regular file", false,
         [](const std::string& cwd, RunOptions&) { std::filesystem::create_symlink("/dev/zero", cwd + "/zero"); }},
        {"UnknownOption", "d bin\no cahce\n", "EInOutError : Invalid input",
         "zop: recipe.zop line 2: \"o cahce\": unknown option \"cahce\""},
        {"ValueForAnOptionWithout", "o cache yes\n", "EInOutError : Invalid input",
         "zop: recipe.zop line 1: \"o cache yes\": option \"cache\" takes no value"},
        // The icon and version options check their values as they are read.
        {"IconThatIsNoIco", "d bin\no icon notes.txt\n", "EInOutError : Invalid input",
         "zop: recipe.zop line 2: \"o icon notes.txt\": not an .ico file", false,
         [](const std::string& cwd, RunOptions&) { writeFile(cwd + "/notes.txt", "a note, no icon\n"); }},
        {"DamagedIcon", "o icon cut.ico\n", "EInOutError : Invalid input",
         "zop: recipe.zop line 1: \"o icon cut.ico\": damaged .ico file", false,
         [](const std::string& cwd, RunOptions&) {
             const std::string ico = testsupport::icoFile({testsupport::bitmapIconImage(16, 1)});
             writeFile(cwd + "/cut.ico", ico.substr(0, ico.size() - 10));
         }},
        {"IconWithoutAFileName", "o icon\n", "EInOutError : Invalid input",
         "zop: recipe.zop line 1: \"o icon\": option \"icon\" needs a value"},
        {"VersionThatIsNoNumber", "o file-version 1.2-beta\n", "EInOutError : Invalid input",
         "\"o file-version 1.2-beta\": a version is 1 to 4 numbers below 65536 with dots: 1.2.3.4"},
        {"VersionTextThatIsNoUtf8", "o product-name caf\xE9\n", "EInOutError : Invalid input",
         "\"o product-name caf\xE9\": not UTF-8 text"},
        {"CacheWithACommandBeforeAFile", "d bin\nc run\nd two\nt go\no cache\n", "EInOutError : Invalid input",
         "zop: recipe.zop line 3: \"d two\": with \"o cache\" every c and t line must come after the last d, f "
         "and r line"},
        {"ZopExeNamesTheOutput", "d bin\n", "EInOutError : Access denied",
         "zop: cannot write \"out.exe\": it is the stub that would be copied into it", false,
         [&platform](const std::string& cwd, RunOptions& options) {
             options.env["ZOP_EXE"] = platform.os == Os::windows ? toWindowsPath(cwd + "/out.exe") : cwd + "/out.exe";
         }},
        // Only a bare stub goes at the head of an output.
        {"ZopExeNamesAPackedFile", "d bin\n", "EInOutError : Invalid input",
         "zop: cannot read the stub \"packed\": not a bare stub: it has bytes after its program image (a packed executable?)",
         false,
         [&platform](const std::string& cwd, RunOptions& options) {
             writeFile(cwd + "/packed", makeContainer(readFile(platform.stub), "zop", {commandEntry('c', "hidden")}));
             options.env["ZOP_EXE"] = "packed";
         }},
        {"ZopExeNamesACutStub", "d bin\n", "EInOutError : Invalid input",
         ": not a bare stub: the file ends inside its program image (cut short)", false,
         [&platform](const std::string& cwd, RunOptions& options) {
             const std::string stub = readFile(platform.stub);
             writeFile(cwd + "/cut", stub.substr(0, stub.size() - 100));
             options.env["ZOP_EXE"] = "cut";
         }},
        {"ZopExeNamesATextFile", "d bin\n", "EInOutError : Invalid input",
         ": not a bare stub: no Windows or Linux program", false,
         [&platform](const std::string& cwd, RunOptions& options) {
             writeFile(cwd + "/notes.txt", "a note, no program\n");
             options.env["ZOP_EXE"] = "notes.txt";
         }},
    };
}

TEST_P(PackTest, RefusalsLeaveTheOlderOutputAndNameTheReason)
{
    for (const Refusal& c : refusals(platform())) {
        if (c.linuxOnly && onWindows())
            continue;
        SCOPED_TRACE(c.name);
        for (const std::string& dir : {scratch.cwd(), scratch.temp()}) {
            std::filesystem::remove_all(dir);
            makeDirectories(dir);
        }
        RunOptions options;
        options.timeoutMs = 20000;  // a FIFO must not hold the packer
        c.setup(scratch.cwd(), options);
        writeFile(inCwd("out.exe"), "an older output");
        const std::vector<std::string> before = listTree(scratch.cwd());
        const RunResult r = pack(c.recipe, options);
        EXPECT_FALSE(r.timedOut);
        expectFailure(r, c.reportLine);
        EXPECT_THAT(r.err, HasSubstr(c.errLine));
        EXPECT_EQ(output(), "an older output");
        std::vector<std::string> after = listTree(scratch.cwd());
        EXPECT_EQ(after.size(), before.size() + 1) << "only the recipe is new: " << ::testing::PrintToString(after);
    }
}

TEST_P(PackTest, OutputNamingTheRecipeIsRefused)
{
    const std::string recipe = "d bin\n";
    for (const std::string output : {"recipe.zop", "./recipe.zop"}) {
        SCOPED_TRACE(output);
        writeFile(inCwd("recipe.zop"), recipe);
        const RunResult r = run(platform().stub, {"recipe.zop", output});
        expectFailure(r, "EInOutError : Access denied");
        EXPECT_THAT(r.err, HasSubstr("zop: cannot write \"" + output + "\": it is the recipe being packed"));
        EXPECT_EQ(readFile(inCwd("recipe.zop")), recipe);
        EXPECT_EQ(listTree(scratch.cwd()), std::vector<std::string>{"recipe.zop"});
    }
}

TEST_P(PackTest, Utf8ByteOrderMarkIsNoPartOfTheFirstLine)
{
    expectPacked(pack("\xEF\xBB\xBF" "d bin\r\nd two\r\n"));
    EXPECT_EQ(readEntries(output()), (std::vector<Entry>{dirEntry("bin"), dirEntry("two")}));
}

// The output is written beside itself under a temporary name and renamed
// over the older one when complete: a new file in every respect.
TEST_P(PackTest, OutputReplacesAnOlderOneWhole)
{
    writeFile(inCwd("out.exe"), std::string(400000, 'o'));
    if (!onWindows())
        chmod(inCwd("out.exe").c_str(), 0644);
    expectPacked(pack("d bin\n"));
    EXPECT_EQ(readEntries(output()), std::vector<Entry>{dirEntry("bin")});
    EXPECT_EQ(listTree(scratch.cwd()), (std::vector<std::string>{"out.exe", "recipe.zop"}));
    if (!onWindows()) {
        const mode_t mask = umask(0);
        umask(mask);
        struct stat info{};
        ASSERT_EQ(stat(inCwd("out.exe").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0777 & ~mask) << "created anew, executable";
    }

    // A device is written as it is, never renamed over.
    expectPacked(run(platform().stub, {"recipe.zop", onWindows() ? "NUL" : "/dev/null"}));
    EXPECT_EQ(listTree(scratch.cwd()), (std::vector<std::string>{"out.exe", "recipe.zop"}));
    struct stat null{};
    EXPECT_TRUE(stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode));
}

// Directories are listed whole and closed before their contents are packed:
// a deep tree needs no handle per level, and a listing that fails is a
// failure, not an empty directory.
TEST_P(PackTest, ListingFailuresEndThePackerAndDeepTreesNeedFewHandles)
{
    if (onWindows())
        GTEST_SKIP() << "handle limits are set through the Linux shell";
    std::string deep = "tree";
    for (int i = 0; i < 40; ++i)
        deep += "/d" + std::to_string(i);
    putFile(deep + "/leaf.txt", "leaf");
    writeFile(inCwd("recipe.zop"), "r tree\n");
    // Only the standard handles stay open below the limit.
    const auto withHandles = [&](int limit) {
        return runCommandLine("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n " + std::to_string(limit) +
                              "; exec '" + platform().stub + "' recipe.zop out.exe");
    };

    expectPacked(withHandles(7));
    const std::vector<Entry> entries = readEntries(output());
    ASSERT_EQ(entries.size(), 42u);
    EXPECT_EQ(entries.back().data, "leaf");

    // Standard handles, recipe and work file take five: no listing is left.
    std::filesystem::remove(inCwd("out.exe"));
    const RunResult r = withHandles(5);
    expectFailure(r, "EInOutError : Too many open files");
    EXPECT_THAT(r.err, HasSubstr("zop: recipe.zop line 1: \"r tree\": too many open files"));
    EXPECT_FALSE(exists(inCwd("out.exe")));

    // A directory its user may enter but not list, packed by a user other
    // than root (who may list anything).
    if (std::system("command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "no setpriv to pack as another user";
    std::filesystem::remove_all(scratch.temp());
    makeDirectories(scratch.temp());
    chmod(scratch.root().c_str(), 0755);
    chmod(scratch.cwd().c_str(), 0777);
    chmod(scratch.temp().c_str(), 0777);
    putFile("tree/locked/f.txt", "f");
    chmod(inCwd("tree/locked").c_str(), 0111);
    const RunResult locked = runCommandLine("exec setpriv --reuid=65534 --regid=65534 --clear-groups '" +
                                            platform().stub + "' recipe.zop out.exe");
    chmod(inCwd("tree/locked").c_str(), 0755);
    expectFailure(locked, "EInOutError : Access denied");
    EXPECT_THAT(locked.err, HasSubstr("\"r tree\": tree\\locked: access denied"));
    EXPECT_FALSE(exists(inCwd("out.exe")));
}

// The bare stub as a command-line tool. Its options and usage errors end it
// before anything is created; a packed executable hands the same arguments
// on to its commands.
TEST_P(PackTest, BareStubAnswersItsOptionsAndRefusesUnworkableCalls)
{
    std::vector<std::string> helpOptions{"--help", "-h"};
    if (onWindows())
        helpOptions.push_back("/?");
    for (const std::string& option : helpOptions) {
        SCOPED_TRACE(option);
        const RunResult r = run(platform().stub, {option});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_THAT(r.out, StartsWith("Usage: zop RECIPE OUTPUT"));
        for (const char* word : {"r DIR", "%quotedparms%", "%tempdir2%", "ZOP_EXE", "--zop-justextract", "README.md",
                                 "zop --list FILE", "zop --extract FILE [DIR]"})
            EXPECT_THAT(r.out, HasSubstr(word));
    }
    const RunResult version = run(platform().stub, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_THAT(version.out, MatchesRegex("zop [0-9]+\\.[0-9]+\\.[0-9]+\r?\n"));

    const RunResult extra = run(platform().stub, {"recipe.zop", "out.exe", "-o"});
    EXPECT_EQ(extra.exitCode, 2);
    EXPECT_THAT(extra.err, StartsWith("zop: too many arguments"));
    EXPECT_THAT(extra.err, HasSubstr("Usage: zop"));
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "no work directory";
    EXPECT_EQ(listTree(scratch.cwd()), std::vector<std::string>{});

    const std::string probeOut = scratch.path("probe.out");
    expectPacked(pack("c " + seen(platform().probe) + " %parms%\n"));
    const std::string app = inCwd("app" + platform().exeSuffix);
    std::filesystem::rename(inCwd("out.exe"), app);
    chmod(app.c_str(), 0755);
    RunOptions options;
    options.env["PROBE_OUT"] = seen(probeOut);
    EXPECT_EQ(run(app, {"--help"}, options).exitCode, 0);
    const auto records = readProbeRecords(probeOut);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].argv.back(), "--help");
}

// A terminal as the recipe's source (nothing named) or as the output's sink
// is a mistake: usage or a one-line refusal, exit code 2. script(1) gives the
// stub a terminal.
TEST_P(PackTest, BareStubRefusesTerminalsForRecipeAndOutput)
{
    if (onWindows())
        GTEST_SKIP() << "a Linux terminal is given through script(1)";
    writeFile(inCwd("recipe.zop"), "d bin\n");
    const auto inTerminal = [&](const std::string& arguments) {
        return runCommandLine("script -qec \"'" + platform().stub + "'" + arguments + "\" /dev/null");
    };
    const RunResult noRecipe = inTerminal("");
    EXPECT_EQ(noRecipe.exitCode, 2) << noRecipe.out;
    EXPECT_THAT(noRecipe.out, HasSubstr("Usage: zop RECIPE OUTPUT"));
    const RunResult toTerminal = inTerminal(" recipe.zop");
    EXPECT_EQ(toTerminal.exitCode, 2) << toTerminal.out;
    EXPECT_THAT(toTerminal.out, HasSubstr("zop: a packed executable is not written to a terminal"));
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "no work directory";
}

// What a terminal shows of bytes written to it: a carriage return goes back
// to the line's start and what follows overwrites; trailing blanks dropped.
std::vector<std::string> shownLines(const std::string& bytes)
{
    std::vector<std::string> lines{""};
    std::size_t column = 0;
    for (char c : bytes) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.push_back("");
            column = 0;
        } else {
            std::string& line = lines.back();
            if (line.size() <= column)
                line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    for (std::string& line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    if (lines.back().empty())
        lines.pop_back();
    return lines;
}

// A person at a terminal sees a progress line on a pack that runs longer
// than a second, cut to the terminal's width and wiped at the end, then a
// summary; a failure wipes the line before its one line. Scripts (a pipe)
// and ZOP_PROGRESS=0 see nothing. The recipe arrives on standard input in
// parts, 1.3 s apart, so that the pack is slow whatever the machine.
TEST_P(PackTest, ProgressAndSummaryOnlyForAPersonAtATerminal)
{
    if (onWindows())
        GTEST_SKIP() << "a console is not reachable under Wine's test runs";
    putFile("big1.bin", mixedBytes(3 << 20, 1));
    putFile("big2.bin", mixedBytes(3 << 20, 2));
    writeFile(scratch.path("slowpack.py"),
              "import fcntl, os, pty, struct, subprocess, sys, termios, time, tty\n"
              "mode, stub, parts = sys.argv[1], sys.argv[2], sys.argv[3:]\n"
              "if mode == 'pipe':\n"
              "    err = subprocess.PIPE\n"
              "else:\n"
              "    m, err = pty.openpty(); tty.setraw(err)\n"
              "    fcntl.ioctl(err, termios.TIOCSWINSZ, struct.pack('HHHH', 24, 40, 0, 0))\n"
              "p = subprocess.Popen([stub, '', 'out.exe'], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=err)\n"
              "for i, part in enumerate(parts):\n"
              "    if i: time.sleep(1.3)\n"
              "    p.stdin.write(part.encode()); p.stdin.flush()\n"
              "p.stdin.close()\n"
              "out = b''\n"
              "if mode == 'pipe':\n"
              "    out = p.stderr.read()\n"
              "else:\n"
              "    os.close(err)\n"
              "    while True:\n"
              "        try: d = os.read(m, 4096)\n"
              "        except OSError: break\n"
              "        if not d: break\n"
              "        out += d\n"
              "sys.stdout.buffer.write(out); sys.exit(p.wait())\n");
    const auto slowPack = [&](const std::string& mode, const std::string& secondPart, const RunOptions& options = {}) {
        return runCommandLine("/usr/bin/python3 " + scratch.path("slowpack.py") + " " + mode + " '" + platform().stub +
                                  "' 'f big1.bin\n' '" + secondPart + "'",
                              options);
    };

    const RunResult shown = slowPack("tty", "f big2.bin\n");
    expectPacked(shown);
    EXPECT_THAT(shown.out, HasSubstr("\rzop: 2 entries, 3.1 MB, ")) << "no progress line";
    std::stringstream pieces(shown.out);
    for (std::string drawn; std::getline(pieces, drawn, '\r');)
        if (drawn.find("packed") == std::string::npos)
            EXPECT_LE(drawn.size(), 39u) << "wider than the 40-column terminal: " << drawn;
    EXPECT_THAT(shownLines(shown.out),
                ::testing::ElementsAre(MatchesRegex("zop: packed 2 entries, 6\\.3 MB -> [0-9.]+ [kM]B "
                                                    "\\([0-9]+ %\\) in [1-9][0-9]*\\.[0-9] s: out\\.exe")))
        << shown.out;

    const RunResult piped = slowPack("pipe", "f big2.bin\n");
    expectPacked(piped);
    EXPECT_EQ(piped.out, "") << "standard error of a pipe";
    RunOptions off;
    off.env["ZOP_PROGRESS"] = "0";
    const RunResult switchedOff = slowPack("tty", "f big2.bin\n", off);
    expectPacked(switchedOff);
    EXPECT_EQ(switchedOff.out, "");

    const RunResult failed = slowPack("tty", "f missing.bin\n");
    EXPECT_EQ(failed.exitCode, 217);
    EXPECT_THAT(failed.out, HasSubstr("\rzop: 2 entries, ")) << "no progress line before the failure";
    EXPECT_THAT(shownLines(failed.out),
                ::testing::ElementsAre("zop: standard input line 2: \"f missing.bin\": file not found"))
        << failed.out;
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "the work directory stays";
}

// ------------------------------------------------------------------ reproducibility

// The stream is deflated on as many threads as there are processors (or
// ZOP_THREADS says): the bytes never depend on how many.
TEST_P(PackTest, SameRecipeTwiceGivesIdenticalOutputs)
{
    putFile("app/a.txt", mixedBytes(5000, 1));
    putFile("app/sub/b.bin", mixedBytes(70000, 2));
    putFile("app/sub/large.bin", mixedBytes(2500000, 3));  // enough blocks for every thread
    putFile("c.txt", "c");
    writeFile(inCwd("recipe.zop"), "d bin\nr app\nf c.txt\nt %tempdir%\\app\\a.txt\n");
    const std::pair<const char*, const char*> packs[] = {{"one.exe", "1"}, {"two.exe", "2"}, {"eight.exe", "8"}};
    for (const auto& [name, threads] : packs) {
        RunOptions options;
        options.env["ZOP_THREADS"] = threads;
        expectPacked(run(platform().stub, {"recipe.zop", name}, options));
    }
    const std::string one = readFile(inCwd("one.exe"));
    EXPECT_EQ(readEntries(one).size(), 8u);
    EXPECT_TRUE(one == readFile(inCwd("two.exe"))) << "one and two threads packed different bytes";
    EXPECT_TRUE(one == readFile(inCwd("eight.exe"))) << "one and eight threads packed different bytes";
}

// The same recipe and stub give the same bytes from the Linux and the Windows
// packer, each started in a directory of its own.
TEST_P(PackTest, LinuxAndWindowsPackersWriteTheSameBytes)
{
    if (!haveWindows() || onWindows())
        GTEST_SKIP() << "runs once, with both packers";
    // Once as the stub is, once with an icon and version information, which
    // each packer writes into its copy of the stub.
    const std::string plainRecipe = "d bin\r\nr app\r\nf c.txt\r\nf large.bin\r\nt %tempdir%\\app\\z.bat %parms%\r\n";
    const std::string resourceLines = "o icon app.ico\r\no product-name Z\xC3\xB6p\r\no file-version 2.0.1\r\n";
    for (const std::string& recipe : {plainRecipe, resourceLines + plainRecipe}) {
        SCOPED_TRACE(recipe);
        for (const std::string dir : {"one/x", "two"}) {
            const std::string root = scratch.path(dir);
            for (const char* name : {"z.bat", "B.txt", "a.txt", "sub/m.bin", "sub/k.txt", "_"})
                writeFile(makeDirs(std::filesystem::path(root + "/app/" + name).parent_path().string()) + "/" +
                              std::filesystem::path(name).filename().string(),
                          mixedBytes(3000, static_cast<uint32_t>(name[0])));
            writeFile(root + "/c.txt", "c");
            writeFile(root + "/large.bin", mixedBytes(1700000, 5));  // deflated on worker threads
            writeFile(root + "/recipe.zop", recipe);
            writeFile(root + "/app.ico", testsupport::icoFile({testsupport::bitmapIconImage(16, 1),
                                                                testsupport::pngIconImage(0, 2)}));
        }
        const Platform& windows = windowsPlatform();
        RunOptions onLinux;
        onLinux.cwd = scratch.path("one/x");
        onLinux.env["ZOP_EXE"] = windows.stub;
        onLinux.env["ZOP_THREADS"] = "1";
        const RunResult a = e2e::run(linuxPlatform(), scratch, linuxPlatform().stub, {"recipe.zop", "out.exe"}, onLinux);
        RunOptions underWine;
        underWine.cwd = scratch.path("two");
        underWine.env["ZOP_EXE"] = toWindowsPath(windows.stub);
        underWine.env["ZOP_THREADS"] = "8";
        const RunResult b = e2e::run(windows, scratch, windows.stub, {"recipe.zop", "out.exe"}, underWine);
        ASSERT_EQ(a.exitCode, 0) << a.out << a.err;
        ASSERT_EQ(b.exitCode, 0) << b.out << b.err;
        const std::string packed = readFile(scratch.path("one/x/out.exe"));
        EXPECT_TRUE(packed == readFile(scratch.path("two/out.exe"))) << "the two packers wrote different bytes";
        EXPECT_EQ(readEntries(packed).size(), 12u);
        EXPECT_EQ(splitPacked(packed).stub == readFile(windows.stub), recipe == plainRecipe);
    }
}

// ------------------------------------------------------------------ smoke

TEST_P(PackTest, PackedCommandRuns)
{
    const std::string probeOut = scratch.path("probe.out");
    expectPacked(pack("c " + seen(platform().probe) + " smoke\n"));
    const std::string app = inCwd("app" + platform().exeSuffix);
    std::filesystem::rename(inCwd("out.exe"), app);
    chmod(app.c_str(), 0755);
    RunOptions options;
    options.env["PROBE_OUT"] = seen(probeOut);
    const RunResult r = run(app, {}, options);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto records = readProbeRecords(probeOut);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].argv.back(), "smoke");
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Platforms, PackTest, ::testing::ValuesIn(testedPlatforms()), platformName);

}  // namespace
}  // namespace e2e
