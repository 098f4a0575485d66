// Packed executables signed with Authenticode by osslsigncode, with a
// throw-away self-signed code-signing certificate made by each test case:
// the signature verifies (the certificate as its own CA), and the signed
// file runs, lists and extracts exactly like the unsigned one. Signing
// appends a certificate table, so these cases fail wherever the trailer is
// looked for at the very end of the file.
#include <sys/stat.h>

#include <cstdlib>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

bool haveSigningTools()
{
    return std::system("command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1") == 0;
}

class SigningTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        if (IsSkipped())
            return;
        if (!haveWindows())
            GTEST_SKIP() << "needs the Windows build";
        if (!haveSigningTools())
            GTEST_SKIP() << "needs osslsigncode and openssl (scripts/install-deps.sh)";
        makeDirectories(scratch.path("bin"));
        const RunResult made =
            tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", scratch.path("key.pem"),
                  "-out", cert(), "-days", "2", "-subj", "/CN=zop test signer", "-addext",
                  "extendedKeyUsage=codeSigning"});
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }

    std::string cert() const { return scratch.path("cert.pem"); }

    RunResult tool(std::vector<std::string> args)
    {
        return e2e::run(linuxPlatform(), scratch, "/usr/bin/env", args);
    }

    // Signs in into out (a new file); extra options such as -nest first.
    bool sign(const std::string& in, const std::string& out, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"osslsigncode", "sign"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"-certs", cert(), "-key", scratch.path("key.pem"), "-in", in, "-out", out});
        const RunResult r = tool(args);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        chmod(out.c_str(), 0755);
        return r.exitCode == 0;
    }

    bool verified(const std::string& file)
    {
        return tool({"osslsigncode", "verify", "-CAfile", cert(), "-in", file}).exitCode == 0;
    }

    // Packs app.zop of src with the given packer, as the platform sees it.
    std::string pack(const Platform& packer, const std::string& src, const std::string& out, RunOptions options = {})
    {
        options.cwd = src;
        const RunResult r = e2e::run(packer, scratch, packer.stub,
                                     {"app.zop", packer.os == Os::windows ? toWindowsPath(out) : out}, options);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        chmod(out.c_str(), 0755);
        return out;
    }

    // A data file and a command that reports its arguments. The data is
    // chosen so that the packed file's size is not a multiple of 8: signing
    // then pads it with zero bytes, right after a trailer that ends with
    // zero bytes itself (the high bytes of the entry count).
    std::string applicationSource()
    {
        const std::string src = scratch.path("src");
        makeDirectories(src);
        const std::string command = "t " + seen(platform().probe) + " %parms%";
        std::string data = "signed data\n";
        const auto member = [&] {
            return gzipMember(entryStream({fileEntry("data.txt", data), commandEntry('t', command.substr(2))}));
        };
        while (member().size() % 8 != 5)
            data += static_cast<char>('a' + data.size() % 26);
        writeFile(src + "/data.txt", data);
        writeFile(src + "/app.zop", "f data.txt\n" + command + "\n");
        return src;
    }

    // What a user sees of a packed file: running it (the command's
    // arguments), its listing, and what just-extract writes.
    std::string uses(const std::string& exe, const std::string& tag)
    {
        RunOptions options;
        const std::string probeOut = scratch.path(tag + ".probe");
        options.env["PROBE_OUT"] = seen(probeOut);
        const RunResult ran = run(exe, {"one", "two"}, options);
        std::string seenByUser = "run " + std::to_string(ran.exitCode) + ":";
        for (const ProbeRecord& record : readProbeRecords(probeOut))
            seenByUser += " " + record.argv.back();
        const RunResult listed = run(exe, {"--zop-list"});
        seenByUser += "\nlist " + std::to_string(listed.exitCode) + ":\n" + listed.out;
        RunOptions in;
        in.cwd = scratch.path(tag);
        makeDirectories(in.cwd);
        const RunResult extracted = run(exe, {"--zop-justextract"}, in);
        seenByUser += "extract " + std::to_string(extracted.exitCode) + ":";
        for (const std::string& entry : listTree(in.cwd))
            seenByUser += " " + entry;
        seenByUser += "\n" + readFile(in.cwd + "/app.zop");
        if (exists(in.cwd + "/zop.exe"))
            EXPECT_TRUE(readFile(in.cwd + "/zop.exe") == readFile(platform().stub))
                << tag << ": the extracted stub is not the stub that was packed";
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << tag;
        return seenByUser;
    }
};

TEST_P(SigningTest, SignedPackedFileVerifiesAndBehavesLikeTheUnsigned)
{
    if (!onWindows())
        GTEST_SKIP() << "only the Windows stub is a PE file";
    const std::string plain = pack(platform(), applicationSource(), scratch.path("bin/app.exe"));
    const std::size_t plainSize = readFile(plain).size();
    EXPECT_NE(plainSize % 8, 0u) << "the case meant to exercise the padding does not";
    const std::string expected = uses(plain, "plain");
    EXPECT_THAT(expected, HasSubstr("run 0: two\nlist 0:\nf data.txt"));

    const std::string signedExe = scratch.path("bin/signed.exe");
    ASSERT_TRUE(sign(plain, signedExe));
    ASSERT_GT(readFile(signedExe).size(), plainSize + tailSize);
    EXPECT_TRUE(verified(signedExe));
    EXPECT_EQ(uses(signedExe, "signed"), expected);

    // Signing again, replacing the signature or nesting a second one.
    const std::string resigned = scratch.path("bin/resigned.exe");
    const std::string nested = scratch.path("bin/nested.exe");
    ASSERT_TRUE(sign(signedExe, resigned));
    ASSERT_TRUE(sign(signedExe, nested, {"-nest"}));
    for (const std::string& exe : {resigned, nested}) {
        SCOPED_TRACE(exe);
        EXPECT_TRUE(verified(exe));
        const RunResult listed = run(exe, {"--zop-list"});
        EXPECT_EQ(listed.exitCode, 0) << listed.out << listed.err;
        EXPECT_THAT(expected, HasSubstr(listed.out));
    }

    // One flipped byte of the payload: the signature no longer verifies,
    // and the packed file's own integrity check refuses it before anything
    // runs.
    std::string bytes = readFile(signedExe);
    bytes[readFile(platform().stub).size() + 40] ^= 0x01;
    const std::string damaged = scratch.path("bin/damaged.exe");
    writeFile(damaged, bytes);
    chmod(damaged.c_str(), 0755);
    EXPECT_FALSE(verified(damaged));
    RunOptions options;
    options.env["PROBE_OUT"] = seen(scratch.path("damaged.probe"));
    for (const std::string& option : {"--zop-list", "now"}) {
        const RunResult r = run(damaged, {option}, options);
        EXPECT_EQ(r.exitCode, 217) << option;
        EXPECT_THAT(r.out, HasSubstr("EInOutError : Invalid input")) << r.out << r.err;
    }
    EXPECT_FALSE(exists(scratch.path("damaged.probe")));
}

TEST_P(SigningTest, SignedStubGivesAnUnsignedOutputThatCanBeSigned)
{
    // The platform's packer takes a signed Windows stub through ZOP_EXE: on
    // Linux that is the native packer reading a signed PE file.
    const std::string signedStub = scratch.path("bin/zop.exe");
    ASSERT_TRUE(sign(windowsPlatform().stub, signedStub));
    RunOptions options;
    options.env["ZOP_EXE"] = seen(signedStub);
    const std::string out =
        pack(platform(), applicationSource(), scratch.path("bin/app.exe"), options);
    const std::string bytes = readFile(out);
    // The stub as it was before signing, byte for byte (its checksum too).
    EXPECT_TRUE(splitPacked(bytes).stub == readFile(windowsPlatform().stub));
    EXPECT_EQ(readEntries(bytes).size(), 2u);

    const std::string signedOut = scratch.path("bin/app-signed.exe");
    ASSERT_TRUE(sign(out, signedOut));
    EXPECT_TRUE(verified(signedOut));
    if (onWindows()) {
        const RunResult listed = run(signedOut, {"--zop-list"});
        EXPECT_EQ(listed.exitCode, 0) << listed.out << listed.err;
        EXPECT_THAT(listed.out, HasSubstr("f data.txt"));
    }

    // The platform's packer reads the signed file as data, as the file's own
    // options do: the same listing, the same parts, the stub unsigned.
    const RunResult ownList = e2e::run(windowsPlatform(), scratch, signedOut, {"--zop-list"});
    ASSERT_EQ(ownList.exitCode, 0) << ownList.out << ownList.err;
    const RunResult listed = run(platform().stub, {"--list", seen(signedOut)});
    EXPECT_EQ(listed.exitCode, 0) << listed.out << listed.err;
    EXPECT_EQ(listed.out, ownList.out);
    const std::string parts = scratch.path("parts");
    const RunResult extracted = run(platform().stub, {"--extract", seen(signedOut), seen(parts)});
    ASSERT_EQ(extracted.exitCode, 0) << extracted.out << extracted.err;
    EXPECT_EQ(listTree(parts), (std::vector<std::string>{"app.zop", "data.txt", "zop.exe"}));
    EXPECT_TRUE(readFile(parts + "/zop.exe") == readFile(windowsPlatform().stub));
}

INSTANTIATE_TEST_SUITE_P(Platforms, SigningTest, ::testing::ValuesIn(testedPlatforms()), platformName);

}  // namespace
}  // namespace e2e
