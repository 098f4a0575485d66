// End-to-end test harness: drives the real stubs as a user would, natively
// and (for the Windows build) under Wine, each test case in a scratch
// directory of its own with its own TEMP. It also builds containers byte by
// byte and takes packed files apart with zlib directly, so that tests check
// the stubs against an independent reading of the format.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/support.h"

namespace e2e {

// Whole files, test data and the reference gzip member: shared with the unit
// tests.
using testsupport::exists;
using testsupport::gzipMember;
using testsupport::mixedBytes;
using testsupport::packerStream;
using testsupport::readFile;
using testsupport::writeFile;

// ------------------------------------------------------------------ platforms

enum class Os { linux, windows };

struct Platform {
    Os os;
    std::string name;          // "linux" or "windows": used in test names
    std::string stub;          // console stub (host path)
    std::string windowedStub;  // zopw.exe; empty on Linux
    std::string probe;         // the probe program built for this platform
    std::string envrun;        // envrun.exe; empty on Linux
    std::string exeSuffix;     // "" or ".exe"
};

// Test names and failure messages show the platform by name.
inline void PrintTo(const Platform& platform, std::ostream* os) { *os << platform.name; }

const Platform& linuxPlatform();
const Platform& windowsPlatform();
bool haveWindows();
// The platforms this build tests: Linux, and Windows when it was built.
std::vector<Platform> testedPlatforms();
// For INSTANTIATE_TEST_SUITE_P(..., ::testing::ValuesIn(testedPlatforms()), platformName).
std::string platformName(const ::testing::TestParamInfo<Platform>& info);

// ------------------------------------------------------------------ running

struct RunOptions {
    // Current directory of the started program (host path); empty: the
    // scratch directory's "cwd".
    std::string cwd;
    // Environment changes on top of the defaults: a value sets, nullopt
    // unsets. On Windows the values are set inside the Wine process and
    // should be Windows paths where a path is meant. TEMP defaults to the
    // scratch directory's "temp" (in Windows form under Wine), TMP likewise
    // under Wine; ZOP_CACHE_DIR to the scratch directory's "cache" (in the
    // same form), so that no test fills the user's cache.
    std::map<std::string, std::optional<std::string>> env;
    // Standard input: the file stdinPath when given, else stdinData.
    std::optional<std::string> stdinPath;
    std::string stdinData;
    // WINEDEBUG for this run; "+relay" shows MessageBoxA's text and caption.
    std::string wineDebug = "-all";
    int timeoutMs = 120000;
};

struct RunResult {
    int exitCode = -1;   // the program's exit code; 128 + N when killed by signal N
    bool timedOut = false;
    std::string out;     // standard output
    std::string err;     // standard error (Wine's own messages included)
};

class Scratch;

// Starts exe (a host path) with the given arguments. Under Wine the command
// line is built with the usual Windows quoting (arguments holding blanks or
// tabs, or empty ones, between double quotes).
RunResult run(const Platform& platform, const Scratch& scratch, const std::string& exe,
              const std::vector<std::string>& args, const RunOptions& options = {});
// Starts an exact raw command line. Under Wine the program under test sees
// these bytes from GetCommandLineA; natively the line goes to /bin/sh -c.
RunResult runCommandLine(const Platform& platform, const Scratch& scratch,
                         const std::string& commandLine, const RunOptions& options = {});

// Windows command-line quoting of one argument (no backslash escapes: the
// stub splits by the system's own rules).
std::string quoteWindowsArgument(const std::string& argument);

// ------------------------------------------------------------------ scratch

// A fresh directory per test case: root/temp is the TEMP of every run,
// root/cwd the default current directory. Removed when the test passes, kept
// (and its path printed) when it fails.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& root() const { return root_; }
    std::string temp() const { return root_ + "/temp"; }
    std::string cwd() const { return root_ + "/cwd"; }
    // A path below the root (created directories are the caller's business).
    std::string path(std::string_view relative) const;

private:
    std::string root_;
};

// Fixture for tests parameterised over the platforms; Windows cases are
// skipped when the build has no Windows tree.
class PlatformTest : public ::testing::TestWithParam<Platform> {
protected:
    void SetUp() override;
    const Platform& platform() const { return GetParam(); }
    bool onWindows() const { return GetParam().os == Os::windows; }
    // The path as the program under test sees it (Windows form under Wine).
    std::string seen(const std::string& hostPath) const;

    RunResult run(const std::string& exe, const std::vector<std::string>& args,
                  const RunOptions& options = {})
    {
        return e2e::run(platform(), scratch, exe, args, options);
    }
    RunResult runCommandLine(const std::string& commandLine, const RunOptions& options = {})
    {
        return e2e::runCommandLine(platform(), scratch, commandLine, options);
    }

    Scratch scratch;
};

// ------------------------------------------------------------------ container bytes

constexpr std::string_view recognitionString =
    "ZOP: Dit is mijn herkennigsstring voor het herkennen van pakin of pakuit mode.";
constexpr std::size_t headerSize = 264;
constexpr std::size_t tailSize = 520;

void putInt32(std::string& bytes, std::size_t offset, int32_t value);
int32_t getInt32(std::string_view bytes, std::size_t offset);

// One 264-byte header; filler and gap are zero; text is cut to 255 bytes.
std::string makeHeader(char kind, std::string_view text, int32_t dataLength);
// The 520-byte trailer with the recognition string; filler zero.
std::string makeTail(std::string_view stubName, int32_t gzLength, int32_t entryCount);
// The packer's integrity check, as it lies at trailer offset 339: "CRC1"
// and the CRC-32 of the stored member, little-endian.
constexpr std::size_t crcFieldAt = 339;
std::string crcField(std::string_view member);
// The packer's seal, the last of the tagged records that follow the stream
// check (offset 347 on: tag[4] size[1] payload): "TRL1" and the CRC-32 of
// all 520 trailer bytes with its own payload as zeros. sealTail appends it
// to the trailer at the end of bytes (a whole packed file, or the 520
// trailer bytes alone), or computes it anew where there is one, so that a
// test can edit a field and keep the trailer sealed. stripTailRecords clears
// every record (the filler from offset 347 on), leaving a trailer as
// packers before the seal wrote it.
constexpr std::size_t tailRecordsAt = 347;
void sealTail(std::string& bytes);
void stripTailRecords(std::string& bytes);
std::string assemble(std::string_view stub, std::string_view member, std::string_view tail);

struct Entry {
    char kind = 'f';
    std::string text;
    std::string data;          // file content (kind f)
    int32_t dataLength = 0;    // as stored in the header
    bool operator==(const Entry&) const = default;
};
Entry fileEntry(std::string text, std::string data);
Entry dirEntry(std::string text);
Entry commandEntry(char kind, std::string text);

// Uncompressed entry stream of the given entries (headers + file bytes).
std::string entryStream(const std::vector<Entry>& entries);
// A whole packed file: stub + gzip member of the entries + trailer.
std::string makeContainer(std::string_view stub, std::string_view stubName,
                          const std::vector<Entry>& entries);

// ------------------------------------------------------------------ reading packed files

struct Tail {
    std::string stubName;
    int32_t gzLength = 0;
    std::string signature;
    int32_t entryCount = 0;
};
Tail parseTail(std::string_view bytes);  // exactly 520 bytes

struct PackedFile {
    std::string stub;
    std::string member;
    std::string tailBytes;
    Tail tail;
};
// Splits by the trailer's gzLength; fails the test (and returns empty
// pieces) when the layout does not add up.
PackedFile splitPacked(std::string_view bytes);

// Checks the gzip framing (header bytes, CRC-32, ISIZE) with test assertions
// and returns the decompressed bytes.
std::string inflateMember(std::string_view member);
// Parses count entries from an uncompressed stream; fails the test on a
// stream that is too short or has bytes left over.
std::vector<Entry> parseEntries(std::string_view stream, int32_t count);
// splitPacked + inflateMember + parseEntries.
std::vector<Entry> readEntries(std::string_view packedBytes);

// ------------------------------------------------------------------ probe records

struct ProbeRecord {
    std::vector<std::string> argv;
    std::optional<std::string> cmdline;  // Windows only
    std::string exe;                     // the file of the copy that ran
    std::string cwd;
    std::map<std::string, std::optional<std::string>> env;  // PROBE_ENV names
};
// The records a probe appended to file, in order.
std::vector<ProbeRecord> readProbeRecords(const std::string& file);

// ------------------------------------------------------------------ files

void makeDirectories(const std::string& path);
// Every entry below dir, relative, sorted; directories end in "/", symbolic
// links in "@".
std::vector<std::string> listTree(const std::string& dir);
// Host path -> Wine's view (Z: drive, backslashes) and back.
std::string toWindowsPath(const std::string& hostPath);
std::string toHostPath(const std::string& windowsPath);

// The lines of a report, split at CR LF (a trailing empty piece dropped).
std::vector<std::string> reportLines(std::string_view text);
// Calls of MessageBoxA in a +relay log, in order.
struct MessageBoxCall {
    std::string text;      // escapes decoded
    std::string caption;
    bool textCut = false;  // Wine printed only the first 300 bytes or so
};
std::vector<MessageBoxCall> messageBoxCalls(std::string_view relayLog);

}  // namespace e2e
