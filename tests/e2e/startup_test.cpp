// Start-up as a user sees it: the temporary directory, the work directory's
// life, the failure report and its exit code, on Linux and under Wine.
#include <sys/stat.h>

#include <optional>
#include <regex>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class StartupTest : public PlatformTest {
protected:
    // A TEMP that names no directory, in the form the platform's users write.
    std::string missingTemp() const { return onWindows() ? seen(scratch.path("nonexistent")) : "/nonexistent"; }

    // A bare stub with no arguments is the packer reading its recipe from
    // standard input; an empty recipe makes it pack nothing.
    RunResult startBareStub(const std::string& stub, RunOptions options = {})
    {
        return run(stub, {}, options);
    }

    // Writes a container into the current directory as an executable file.
    std::string writeExecutable(const std::string& name, const std::string& bytes)
    {
        const std::string path = scratch.cwd() + "/" + name + platform().exeSuffix;
        writeFile(path, bytes);
        chmod(path.c_str(), 0755);
        return path;
    }

    void expectInvalidFilenameReport(const RunResult& r)
    {
        EXPECT_EQ(r.exitCode, 217);
        const auto lines = reportLines(r.out);
        ASSERT_GE(lines.size(), 4u) << r.out << r.err;
        EXPECT_THAT(lines[0], StartsWith("An unhandled exception occurred at 0x"));
        EXPECT_EQ(lines[1], "EInOutError : Invalid filename");
        EXPECT_THAT(lines[2], StartsWith("  $"));
        EXPECT_EQ(lines.back(), "");
    }
};

TEST_P(StartupTest, MissingTempEndsWithTheReportAndExitCode217)
{
    RunOptions options;
    options.env["TEMP"] = missingTemp();
    const RunResult r = startBareStub(platform().stub, options);
    expectInvalidFilenameReport(r);
    // Every line of the report ends with CR LF.
    EXPECT_THAT(r.out, HasSubstr("Invalid filename\r\n"));
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "\r\n\r\n");
    EXPECT_FALSE(exists(scratch.path("nonexistent")));
}

// Addresses are 8 upper-case hex digits; a 64-bit Linux address that does not
// fit (a return address inside the C library) may take more.
TEST_P(StartupTest, ReportAddressesAreUpperCaseHex)
{
    RunOptions options;
    options.env["TEMP"] = missingTemp();
    const RunResult r = startBareStub(platform().stub, options);
    const auto lines = reportLines(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    const std::string address = onWindows() ? "[0-9A-F]{8}" : "[0-9A-F]{8,16}";
    EXPECT_THAT(lines[0], ::testing::MatchesRegex("An unhandled exception occurred at 0x" + address + " :"));
    EXPECT_EQ(lines[2].substr(3), lines[0].substr(37, lines[0].size() - 39)) << "the raising address twice";
    for (std::size_t i = 2; i + 1 < lines.size(); ++i)
        EXPECT_THAT(lines[i], ::testing::MatchesRegex("  \\$" + address)) << "line " << i + 1;
    EXPECT_LE(lines.size(), 2u + 1u + 257u + 1u);
}

TEST_P(StartupTest, NormalStartExitsZeroAndLeavesTempEmpty)
{
    const RunResult r = startBareStub(platform().stub);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

TEST_P(StartupTest, EmptyRecipeFromStdinPacksAnEmptyContainerToStdout)
{
    const RunResult r = startBareStub(platform().stub);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const PackedFile p = splitPacked(r.out);
    EXPECT_EQ(p.stub, readFile(platform().stub)) << "the stub part is the running stub, byte for byte";
    EXPECT_EQ(p.tail.signature, recognitionString);
    EXPECT_EQ(p.tail.entryCount, 0);
    EXPECT_EQ(p.tail.stubName, "zop" + platform().exeSuffix);
    // An empty stream is the 20-byte member: header, empty block, CRC 0, size 0.
    EXPECT_EQ(p.member.size(), 20u);
    EXPECT_EQ(inflateMember(p.member), "");
}

TEST_P(StartupTest, RepeatedStartsWithOneTempLeaveItEmpty)
{
    // Natively many starts; under Wine each start costs a Wine process.
    const int starts = onWindows() ? 20 : 200;
    for (int i = 0; i < starts; ++i) {
        const RunResult r = startBareStub(platform().stub);
        ASSERT_EQ(r.exitCode, 0) << "start " << i + 1 << ": " << r.err;
    }
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

TEST_P(StartupTest, ExistingEntriesInTempAreLeftAlone)
{
    // Names a run might draw are already taken: start-up draws again and
    // removes only its own directory.
    for (int n = 0; n < 1000; n += 2)
        makeDirectories(scratch.temp() + "/zop." + std::to_string(n));
    writeFile(scratch.temp() + "/zop.1", "a file, not a directory");
    const auto before = listTree(scratch.temp());
    for (int i = 0; i < (onWindows() ? 3 : 20); ++i)
        ASSERT_EQ(startBareStub(platform().stub).exitCode, 0);
    EXPECT_EQ(listTree(scratch.temp()), before);
}

// A TEMP path so long that the work file's path could not be held whole is
// refused before any directory is made; one short enough is used.
TEST_P(StartupTest, OverlongTempIsRefusedBeforeAnythingIsCreated)
{
    // A directory whose path, as the stub sees it, is exactly length bytes.
    auto tempOfSeenLength = [&](const std::string& root, std::size_t length) {
        const std::size_t hostLength = length - (seen("/").size() - 1);
        std::string host = scratch.path(root);
        while (host.size() + 2 <= hostLength)
            host += "/d";
        host += std::string(hostLength - host.size(), 'd');
        makeDirectories(host);
        return host;
    };
    // TEMP + separator + the longest work directory name ("zop.999", on
    // Linux "zop.2147483647") + separator + "zop.gz" fits in 255 bytes.
    const std::size_t longest = onWindows() ? 240 : 233;
    const std::string tooLong = tempOfSeenLength("long1", longest + 1);
    ASSERT_EQ(seen(tooLong).size(), longest + 1);
    RunOptions options;
    options.env["TEMP"] = seen(tooLong);
    expectInvalidFilenameReport(startBareStub(platform().stub, options));
    EXPECT_EQ(listTree(tooLong), std::vector<std::string>{});

    const std::string fits = tempOfSeenLength("long2", longest);
    ASSERT_EQ(seen(fits).size(), longest);
    options.env["TEMP"] = seen(fits);
    const RunResult r = startBareStub(platform().stub, options);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(listTree(fits), std::vector<std::string>{});
}

// Linux: any local user can create names in a shared /tmp. Every name from
// zop.0 to zop.999 taken does not stop a launch.
TEST_P(StartupTest, TempFilledWithTheFirstThousandNamesDoesNotStopALaunch)
{
    if (onWindows())
        GTEST_SKIP() << "Windows keeps 0 to 999 in its per-user TEMP";
    for (int n = 0; n < 1000; ++n)
        makeDirectories(scratch.temp() + "/zop." + std::to_string(n));
    const auto before = listTree(scratch.temp());
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(startBareStub(platform().stub).exitCode, 0);
    EXPECT_EQ(listTree(scratch.temp()), before);
}

// A container put together byte by byte, independently of the packer.
class EmptyContainerTest : public StartupTest {};

TEST_P(EmptyContainerTest, ListPrintsNothing)
{
    const std::string exe = writeExecutable(
        "empty", makeContainer(readFile(platform().stub), "zop" + platform().exeSuffix, {}));
    const RunResult r = run(exe, {"--zop-list"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

TEST_P(EmptyContainerTest, RunDoesNothing)
{
    const std::string exe = writeExecutable(
        "empty", makeContainer(readFile(platform().stub), "zop" + platform().exeSuffix, {}));
    const RunResult r = run(exe, {"a", "b"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listTree(scratch.cwd()), std::vector<std::string>{"empty" + platform().exeSuffix});
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Platforms, StartupTest, ::testing::ValuesIn(testedPlatforms()), platformName);
INSTANTIATE_TEST_SUITE_P(Platforms, EmptyContainerTest, ::testing::ValuesIn(testedPlatforms()), platformName);

// The windowed stub has no console: its report goes into one message box.
class WindowedStubTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveWindows())
            GTEST_SKIP() << "this build has no Windows tree";
    }
    Scratch scratch;
};

TEST_F(WindowedStubTest, FailureShowsOneMessageBoxWithTheWholeReport)
{
    RunOptions options;
    options.env["TEMP"] = toWindowsPath(scratch.path("nonexistent"));
    options.wineDebug = "+relay";
    const RunResult r = e2e::run(windowsPlatform(), scratch, windowsPlatform().windowedStub, {}, options);
    EXPECT_EQ(r.exitCode, 217);
    EXPECT_EQ(r.out, "") << "the windowed stub writes nothing to standard output";
    const auto calls = messageBoxCalls(r.err);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].caption, "Error");
    const auto lines = reportLines(calls[0].text);
    ASSERT_GE(lines.size(), 3u) << calls[0].text;
    EXPECT_THAT(lines[0], ::testing::MatchesRegex("An unhandled exception occurred at 0x[0-9A-F]{8} :"));
    EXPECT_EQ(lines[1], "EInOutError : Invalid filename");
    EXPECT_THAT(lines[2], StartsWith("  $"));
    // Wine prints only the first 300 bytes or so of a long text; when it
    // printed all of it, the box ends with the report's empty line.
    if (!calls[0].textCut)
        EXPECT_EQ(calls[0].text.substr(calls[0].text.size() - 4), "\r\n\r\n");
}

TEST_F(WindowedStubTest, NormalStartShowsNoMessageBox)
{
    // The windowed stub has no standard input or output: the recipe and the
    // packed file are named on the command line.
    const std::string recipe = scratch.path("empty.zop");
    writeFile(recipe, "");
    RunOptions options;
    options.wineDebug = "+relay";
    const RunResult r = e2e::run(windowsPlatform(), scratch, windowsPlatform().windowedStub,
                                 {toWindowsPath(recipe), toWindowsPath(scratch.path("out.exe"))}, options);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(messageBoxCalls(r.err).size(), 0u);
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
    EXPECT_EQ(readEntries(readFile(scratch.path("out.exe"))).size(), 0u);
}

TEST_F(WindowedStubTest, ListingShowsOneMessageBoxAndRunsNothing)
{
    // The windowed stub has nowhere to print: its --zop-list, and its
    // packer's --list, show the listing in a box, and run nothing.
    const Platform& windows = windowsPlatform();
    const std::string command = toWindowsPath(windows.probe) + " %parms%";
    const std::string app = scratch.path("app.exe");
    writeFile(app, makeContainer(readFile(windows.windowedStub), "zopw.exe",
                                 {dirEntry("tree"), fileEntry("tree\\a.txt", "abc"), commandEntry('c', command)}));
    chmod(app.c_str(), 0755);
    const std::string probeOut = scratch.path("probe.out");
    RunOptions options;
    options.wineDebug = "+relay";
    options.env["PROBE_OUT"] = toWindowsPath(probeOut);
    const RunResult own = e2e::run(windows, scratch, app, {"--zop-list", "x"}, options);
    const RunResult packer = e2e::run(windows, scratch, windows.windowedStub, {"--list", toWindowsPath(app)}, options);
    for (const RunResult* r : {&own, &packer}) {
        EXPECT_EQ(r->exitCode, 0);
        EXPECT_EQ(r->out, "");
        const auto calls = messageBoxCalls(r->err);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].caption, "app.exe");
        const std::string listing = "d tree\r\nf tree\\a.txt (3)\r\nc " + command + "\r\n";
        if (calls[0].textCut)
            EXPECT_THAT(listing, StartsWith(calls[0].text));
        else
            EXPECT_EQ(calls[0].text, listing);
    }
    EXPECT_FALSE(exists(probeOut)) << "a command ran";
    EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
}

// ------------------------------------------------------------------ Windows stubs: the manifest

// The bytes of resource type/id (first language) of a PE32 or PE32+ file, read
// through its resource directory; empty when there is none.
std::string peResource(const std::string& pe, uint32_t type, uint32_t id)
{
    auto u16 = [&](std::size_t at) -> uint32_t {
        return at + 2 <= pe.size() ? uint8_t(pe[at]) | uint32_t(uint8_t(pe[at + 1])) << 8 : 0;
    };
    auto u32 = [&](std::size_t at) -> uint32_t {
        return at + 4 <= pe.size() ? static_cast<uint32_t>(getInt32(pe, at)) : 0;
    };
    const std::size_t fileHeader = u32(0x3c) + 4;
    if (pe.compare(fileHeader - 4, 4, std::string("PE\0\0", 4)) != 0)
        return {};
    const std::size_t optional = fileHeader + 20;
    const std::size_t sections = optional + u16(fileHeader + 16);
    // The data directories start at offset 96 in a PE32 optional header
    // (magic 0x10b), at 112 in a PE32+ one (0x20b); resources are entry 2.
    const uint32_t magic = u16(optional);
    if (magic != 0x10b && magic != 0x20b)
        return {};
    const uint32_t resourceRva = u32(optional + (magic == 0x10b ? 96 : 112) + 2 * 8);
    auto offsetOf = [&](uint32_t rva) -> std::size_t {
        for (uint32_t i = 0; i < u16(fileHeader + 2); ++i) {
            const std::size_t section = sections + i * 40;
            const uint32_t start = u32(section + 12), size = u32(section + 16);
            if (rva >= start && rva < start + size)
                return u32(section + 20) + (rva - start);
        }
        return pe.size();
    };
    const std::size_t root = offsetOf(resourceRva);
    // The offset field of a directory's entry with the given id (any: the
    // first entry), relative to root; none when there is no such entry.
    auto child = [&](std::size_t dir, std::optional<uint32_t> wanted) -> std::optional<uint32_t> {
        const uint32_t count = u16(dir + 12) + u16(dir + 14);
        for (uint32_t i = 0; i < count; ++i)
            if (!wanted || u32(dir + 16 + i * 8) == *wanted)
                return u32(dir + 16 + i * 8 + 4);
        return std::nullopt;
    };
    const auto byType = child(root, type);
    const auto byId = byType ? child(root + (*byType & 0x7FFFFFFF), id) : std::nullopt;
    const auto byLanguage = byId ? child(root + (*byId & 0x7FFFFFFF), std::nullopt) : std::nullopt;
    if (!byLanguage || (*byLanguage & 0x80000000) != 0)
        return {};
    const std::size_t data = root + *byLanguage;
    const std::size_t at = offsetOf(u32(data));
    return at < pe.size() ? pe.substr(at, u32(data + 4)) : std::string();
}

// True when every element of the XML text closes in order (comments and
// the declaration aside): a cheap well-formedness check.
bool tagsBalance(const std::string& xml)
{
    const std::string text = std::regex_replace(xml, std::regex(R"(<!--[\s\S]*?-->|<\?[\s\S]*?\?>)"), "");
    std::vector<std::string> open;
    const std::regex tag(R"(<(/?)([A-Za-z][\w:.-]*)[^<>]*?(/?)>)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), tag); it != std::sregex_iterator(); ++it) {
        const auto& m = *it;
        if (m[1].length() > 0) {
            if (open.empty() || open.back() != m[2].str())
                return false;
            open.pop_back();
        } else if (m[3].length() == 0) {
            open.push_back(m[2].str());
        }
    }
    return open.empty() && text.find('<', 0) != std::string::npos;
}

TEST(WindowsStubManifest, EveryStubCarriesAsInvokerSupportedSystemsUtf8AndLongPaths)
{
    if (!haveWindows())
        GTEST_SKIP() << "this build has no Windows tree";
    constexpr uint32_t rtManifest = 24, processManifestId = 1;
    // The shipped stubs (32- and 64-bit) and the ones the tests run, which
    // may be the x86-64 build.
    const std::string shipped = ZOP_WINDOWS_SHIPPED_DIR;
    const std::string x64 = ZOP_WINDOWS_X64_DIR;
    for (const std::string& stub : {shipped + "/zop.exe", shipped + "/zopw.exe", x64 + "/zop64.exe",
                                    x64 + "/zopw64.exe", windowsPlatform().stub, windowsPlatform().windowedStub}) {
        SCOPED_TRACE(stub);
        const std::string manifest = peResource(readFile(stub), rtManifest, processManifestId);
        ASSERT_FALSE(manifest.empty()) << "no manifest resource";
        EXPECT_THAT(manifest, StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\""));
        EXPECT_TRUE(tagsBalance(manifest)) << manifest;
        EXPECT_THAT(manifest, HasSubstr("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"));
        EXPECT_THAT(manifest, HasSubstr("<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/"
                                        "WindowsSettings\">UTF-8</activeCodePage>"));
        EXPECT_THAT(manifest, HasSubstr("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                                        "WindowsSettings\">true</longPathAware>"));
        for (const char* system : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                                   "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
            EXPECT_THAT(manifest, HasSubstr(std::string("<supportedOS Id=\"") + system + "\"/>"));
    }
}

}  // namespace
}  // namespace e2e
