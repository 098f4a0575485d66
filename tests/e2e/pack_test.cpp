// The packer as a user drives it: a recipe file in, a packed executable out,
// on Linux and under Wine. Every output is taken apart independently of the
// program's own reader (and its gzip member checked by the real gzip), so a
// fault shared by the packer and the unpacking modes still shows here.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

using ::testing::StartsWith;

// The exact stream of a recipe without entries: gzip header, the empty final
// deflate block, CRC-32 0 and length 0.
constexpr std::string_view emptyMember{"\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x00"
                                       "\x03\x00"
                                       "\x00\x00\x00\x00\x00\x00\x00\x00",
                                       20};

// Deterministic bytes that compress somewhat: text runs and noise.
std::string mixedBytes(std::size_t size, uint32_t seed)
{
    std::string bytes;
    bytes.reserve(size);
    uint32_t x = seed;
    while (bytes.size() < size) {
        x = x * 1664525u + 1013904223u;
        if (x >> 31)
            bytes += "packed application line " + std::to_string(x % 997) + "\n";
        else
            for (int i = 0; i < 40; ++i) {
                x = x * 1664525u + 1013904223u;
                bytes += static_cast<char>(x >> 24);
            }
    }
    bytes.resize(size);
    return bytes;
}

std::string lastBytes(const std::string& bytes, std::size_t n) { return bytes.substr(bytes.size() - n); }

// Assigns a short text in place the way the packer fills its trailer: only
// the length byte and the text bytes change.
void assignShortText(std::string& record, std::size_t offset, std::string_view text)
{
    const std::size_t n = std::min<std::size_t>(text.size(), 255);
    record[offset] = static_cast<char>(n);
    record.replace(offset + 1, n, text.substr(0, n));
}

// The trailer the packer must write: the running stub's own last 520 bytes
// with stubName assigned the stub path and then cut one leading directory at
// a time, the three other fields set, and the integrity check of the member
// after the recognition string.
std::string expectedTail(const std::string& runningStub, std::string stubPath, char separator,
                         std::string_view member, int32_t entryCount)
{
    std::string t = lastBytes(runningStub, tailSize);
    stubPath = stubPath.substr(0, 255);
    assignShortText(t, 0, stubPath);
    for (std::size_t p; (p = stubPath.find(separator)) != std::string::npos;) {
        stubPath = stubPath.substr(p + 1);
        assignShortText(t, 0, stubPath);
    }
    putInt32(t, 256, static_cast<int32_t>(member.size()));
    assignShortText(t, 260, recognitionString);
    t.replace(crcFieldAt, 8, crcField(member));
    putInt32(t, 516, entryCount);
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
        // Nothing is cleaned up on the failure road: the work directory stays.
        const auto left = listTree(scratch.temp());
        ASSERT_FALSE(left.empty());
        EXPECT_THAT(left[0], StartsWith("zop."));
    }

    const Platform& otherPlatform() const { return onWindows() ? linuxPlatform() : windowsPlatform(); }

    // The separator at which the packer cuts stubName on this platform for the
    // paths the tests build (only one kind of separator in them).
    char separator() const { return onWindows() ? '\\' : '/'; }
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
                                      dirEntry("app\\lib"),
                                      fileEntry("app\\lib\\x.dll", mixedBytes(150000, 11)),
                                      dirEntry("app\\lib\\deep"),
                                      fileEntry("app\\lib\\deep\\y.txt", "deepest"),
                                      dirEntry("app\\lib\\emptier"),
                                      dirEntry("app\\empty"),
                                  }));
    expectPreOrder(tree);
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

TEST_P(PackTest, TrailerFillerComesFromTheRunningStub)
{
    // ZOP_EXE may name any file: it is copied whole. The trailer is built
    // over the running stub's own last 520 bytes.
    const std::string fake = scratch.path("stubs/deeper/fake" + platform().exeSuffix);
    makeDirectories(scratch.path("stubs/deeper"));
    writeFile(fake, mixedBytes(777, 5));
    RunOptions options;
    options.env["ZOP_EXE"] = seen(fake);
    expectPacked(pack("d bin\nc go\n", options));

    const std::string packed = output();
    const PackedFile p = splitPacked(packed);
    EXPECT_EQ(p.stub, readFile(fake));
    EXPECT_EQ(p.tail.stubName, "fake" + platform().exeSuffix);
    EXPECT_TRUE(p.tailBytes == expectedTail(readFile(platform().stub), seen(fake), separator(), p.member, 2))
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
        EXPECT_TRUE(p.tailBytes == expectedTail(readFile(platform().stub), slashed, '\\', p.member, 0));
    } else {
        // The Linux port cuts at "/" and at "\" alike (its file layer takes
        // both as separators).
        makeDirectories(scratch.path("stubs/sub"));
        writeFile(scratch.path("stubs/sub/mystub"), "stub bytes");
        RunOptions options;
        options.env["ZOP_EXE"] = scratch.path("stubs\\sub\\mystub");
        expectPacked(pack("", options));
        const PackedFile p = splitPacked(output());
        EXPECT_EQ(p.tail.stubName, "mystub");
        EXPECT_EQ(p.stub, "stub bytes");
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

TEST_P(PackTest, StubFileNamedAsTheOutputIsNotOverwritten)
{
    // The stub is open for reading while the output is created: both
    // platforms refuse to create over a file the process holds open.
    const std::string stub = readFile(platform().stub);
    writeFile(inCwd("out.exe"), stub);
    RunOptions options;
    options.env["ZOP_EXE"] = seen(inCwd("out.exe"));
    expectFailure(pack("d bin\n", options), "EInOutError : Access denied");
    EXPECT_TRUE(output() == stub) << "the stub was changed";
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
    }
}

// ------------------------------------------------------------------ reproducibility

TEST_P(PackTest, SameRecipeTwiceGivesIdenticalOutputs)
{
    putFile("app/a.txt", mixedBytes(5000, 1));
    putFile("app/sub/b.bin", mixedBytes(70000, 2));
    putFile("c.txt", "c");
    writeFile(inCwd("recipe.zop"), "d bin\nr app\nf c.txt\nt %tempdir%\\app\\a.txt\n");
    expectPacked(run(platform().stub, {"recipe.zop", "one.exe"}));
    expectPacked(run(platform().stub, {"recipe.zop", "two.exe"}));
    const std::string one = readFile(inCwd("one.exe"));
    EXPECT_FALSE(one.empty());
    EXPECT_TRUE(one == readFile(inCwd("two.exe"))) << "two packs of the same recipe differ";
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
