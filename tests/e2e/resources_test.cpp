// A packed Windows executable with the application's own icon and version
// information, packed by the Linux and the Windows packer: Debian's wrestool
// finds both (and the icon it extracts holds the input's images), the file
// runs, lists and comes apart under Wine, its parts pack to the same bytes
// again, and osslsigncode signs and verifies it. With a Linux stub the
// options are said not to apply. Every one of the four Windows stubs packs.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::IcoImage;

bool haveTool(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string utf16(std::string_view ascii)
{
    std::string out;
    for (char c : ascii)
        out += {c, '\0'};
    return out;
}

class ResourcesTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        if (!IsSkipped() && !haveWindows())
            GTEST_SKIP() << "needs the Windows build";
    }

    RunResult tool(const std::vector<std::string>& args)
    {
        return e2e::run(linuxPlatform(), scratch, "/usr/bin/env", args);
    }

    static std::vector<IcoImage> images()
    {
        return {testsupport::bitmapIconImage(16, 7), testsupport::bitmapIconImage(32, 8), testsupport::pngIconImage(0, 9)};
    }

    // Packs app.zop of dir with the platform's packer and stub, into out.
    RunResult pack(const std::string& dir, const std::string& stub, const std::string& out)
    {
        RunOptions options;
        options.cwd = dir;
        options.env["ZOP_EXE"] = seen(stub);
        const RunResult r = run(platform().stub, {"app.zop", seen(out)}, options);
        chmod(out.c_str(), 0755);
        return r;
    }

    // A directory with an icon, a data file and a recipe that gives the
    // output the icon and every version field.
    std::string application()
    {
        const std::string dir = scratch.path("src");
        makeDirectories(dir);
        writeFile(dir + "/app.ico", testsupport::icoFile(images()));
        writeFile(dir + "/data.txt", "data\n");
        writeFile(dir + "/app.zop", "o icon app.ico\n"
                                    "o product-name Zop Shop\n"
                                    "o company-name zop developers\n"
                                    "o file-description The shop, packed\n"
                                    "o file-version 1.2.3.4\n"
                                    "o product-version 1.2\n"
                                    "o copyright \xC2\xA9 2026 nobody\n"
                                    "f data.txt\n"
                                    "t " + toWindowsPath(windowsPlatform().probe) + " %parms%\n");
        return dir;
    }
};

TEST_P(ResourcesTest, OutputShowsItsIconAndVersionAndBehavesAsEver)
{
    const std::string out = scratch.path("app.exe");
    const RunResult packed = pack(application(), windowsPlatform().stub, out);
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    const std::string bytes = readFile(out);

    if (haveTool("wrestool")) {
        const RunResult listed = tool({"wrestool", "-l", out});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        EXPECT_THAT(listed.out, HasSubstr("--type=14 --name=1"));
        EXPECT_THAT(listed.out, HasSubstr("--type=16 --name=1"));
        EXPECT_THAT(listed.out, HasSubstr("--type=24 --name=1"));
        const RunResult icon = tool({"wrestool", "-x", "--type=14", "-o", scratch.path("icon.ico"), out});
        EXPECT_EQ(icon.exitCode, 0) << icon.err;
        EXPECT_EQ(testsupport::readIcoFile(readFile(scratch.path("icon.ico"))), images());
        const RunResult version = tool({"wrestool", "-x", "--raw", "--type=16", "-o", scratch.path("version.bin"), out});
        EXPECT_EQ(version.exitCode, 0) << version.err;
        const std::string info = readFile(scratch.path("version.bin"));
        for (const char* text : {"VS_VERSION_INFO", "Zop Shop", "zop developers", "The shop, packed", "1.2.3.4", "000004b0"})
            EXPECT_THAT(info, HasSubstr(utf16(text))) << text;
        EXPECT_THAT(info, HasSubstr(std::string("\xA9\0 \0", 4)));
    } else {
        ADD_FAILURE() << "wrestool is missing (icoutils; scripts/install-deps.sh installs it)";
    }

    // Under Wine: it runs, lists, and comes apart into a stub that carries
    // the icon and version, and a recipe that packs the same bytes with it.
    const Platform& windows = windowsPlatform();
    RunOptions options;
    options.env["PROBE_OUT"] = toWindowsPath(scratch.path("run.probe"));
    const RunResult ran = e2e::run(windows, scratch, out, {"one", "two"}, options);
    EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
    const auto records = readProbeRecords(scratch.path("run.probe"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].argv.back(), "two");
    const RunResult listing = e2e::run(windows, scratch, out, {"--zop-list"});
    EXPECT_EQ(listing.exitCode, 0);
    EXPECT_THAT(listing.out, HasSubstr("f data.txt (5)"));
    RunOptions apart;
    apart.cwd = scratch.path("apart");
    makeDirectories(apart.cwd);
    const RunResult extracted = e2e::run(windows, scratch, out, {"--zop-justextract"}, apart);
    ASSERT_EQ(extracted.exitCode, 0) << extracted.out << extracted.err;
    EXPECT_EQ(listTree(apart.cwd), (std::vector<std::string>{"app.zop", "data.txt", "zop.exe"}));
    EXPECT_TRUE(readFile(apart.cwd + "/zop.exe") == splitPacked(bytes).stub);
    const RunResult again = pack(apart.cwd, apart.cwd + "/zop.exe", scratch.path("again.exe"));
    ASSERT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_TRUE(readFile(scratch.path("again.exe")) == bytes) << "its parts packed to other bytes";

    if (haveTool("osslsigncode") && haveTool("openssl")) {
        const std::string key = scratch.path("key.pem"), cert = scratch.path("cert.pem");
        ASSERT_EQ(tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=zop test signer", "-addext", "extendedKeyUsage=codeSigning"})
                      .exitCode,
                  0);
        const std::string signedExe = scratch.path("signed.exe");
        const RunResult signing =
            tool({"osslsigncode", "sign", "-certs", cert, "-key", key, "-in", out, "-out", signedExe});
        EXPECT_EQ(signing.exitCode, 0) << signing.out << signing.err;
        const RunResult verified = tool({"osslsigncode", "verify", "-CAfile", cert, "-in", signedExe});
        EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    } else {
        ADD_FAILURE() << "osslsigncode or openssl is missing (scripts/install-deps.sh installs them)";
    }
}

TEST_P(ResourcesTest, LinuxStubPacksWithoutThemAndSaysSo)
{
    const std::string dir = application();
    const RunResult plain = pack(dir, linuxPlatform().stub, scratch.path("withOptions"));
    ASSERT_EQ(plain.exitCode, 0) << plain.out << plain.err;
    EXPECT_THAT(plain.err, HasSubstr("zop: the icon and version options apply to Windows stubs only; packed without them"));
    std::string recipe = readFile(dir + "/app.zop");
    recipe = recipe.substr(recipe.find("f data.txt"));
    writeFile(dir + "/app.zop", recipe);
    const RunResult without = pack(dir, linuxPlatform().stub, scratch.path("without"));
    ASSERT_EQ(without.exitCode, 0) << without.out << without.err;
    EXPECT_THAT(without.err, Not(HasSubstr("do not apply")));
    EXPECT_TRUE(readFile(scratch.path("withOptions")) == readFile(scratch.path("without")));
}

// zop.exe and zopw.exe (32-bit), zop64.exe and zopw64.exe (x86-64): each
// packs from this platform's packer, whole and under its own name; the one
// that this machine's Wine runs runs.
TEST_P(ResourcesTest, EveryWindowsStubIsAPackerTarget)
{
    const std::string shipped = ZOP_WINDOWS_SHIPPED_DIR, x64 = ZOP_WINDOWS_X64_DIR;
    const std::string dir = scratch.path("src");
    makeDirectories(dir);
    writeFile(dir + "/app.zop", "d bin\nt " + toWindowsPath(windowsPlatform().probe) + " %parms%\n");
    for (const std::string& stub :
         {shipped + "/zop.exe", shipped + "/zopw.exe", x64 + "/zop64.exe", x64 + "/zopw64.exe"}) {
        SCOPED_TRACE(stub);
        const std::string name = std::filesystem::path(stub).filename().string();
        const std::string out = scratch.path("out-" + name);
        const RunResult r = pack(dir, stub, out);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        const PackedFile p = splitPacked(readFile(out));
        EXPECT_TRUE(p.stub == readFile(stub));
        EXPECT_EQ(p.tail.stubName, name);
        if (p.stub != readFile(windowsPlatform().stub))
            continue;
        RunOptions options;
        options.env["PROBE_OUT"] = toWindowsPath(scratch.path(name + ".probe"));
        const RunResult ran = e2e::run(windowsPlatform(), scratch, out, {"ran"}, options);
        EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
        EXPECT_EQ(readProbeRecords(scratch.path(name + ".probe")).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, ResourcesTest, ::testing::ValuesIn(testedPlatforms()), platformName);

}  // namespace
}  // namespace e2e
