#include "harness.h"

#include "support/process_posix.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

// ------------------------------------------------------------------ platforms

const Platform& linuxPlatform()
{
    static const Platform p{Os::linux, "linux", ZOP_LINUX_STUB, "", ZOP_LINUX_PROBE, "", ""};
    return p;
}

const Platform& windowsPlatform()
{
    static const Platform p{Os::windows,
                            "windows",
                            std::string(ZOP_WINDOWS_DIR) + "/zop.exe",
                            std::string(ZOP_WINDOWS_DIR) + "/zopw.exe",
                            std::string(ZOP_WINDOWS_DIR) + "/tests/probe.exe",
                            std::string(ZOP_WINDOWS_DIR) + "/tests/envrun.exe",
                            ".exe"};
    return p;
}

bool haveWindows() { return ZOP_HAVE_WINDOWS != 0; }

std::vector<Platform> testedPlatforms()
{
    // Windows stays in the list without a Windows build, so that its cases
    // show up as skipped rather than vanish.
    return {linuxPlatform(), windowsPlatform()};
}

std::string platformName(const ::testing::TestParamInfo<Platform>& info) { return info.param.name; }

// ------------------------------------------------------------------ scratch

Scratch::Scratch()
{
    std::string pattern = "/tmp/zop-e2e-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    root_ = pattern;
    fs::create_directories(temp());
    fs::create_directories(cwd());
    fs::create_directories(root_ + "/.run");
}

std::string Scratch::path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

// Makes everything below dir writable so that read-only files left by a test
// do not stop the removal.
static void makeWritable(const std::string& dir)
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_symlink(ec))
            continue;
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
}

Scratch::~Scratch()
{
    if (root_.empty())
        return;
    if (::testing::Test::HasFailure()) {
        std::cerr << "[ harness ] scratch directory kept: " << root_ << "\n";
        return;
    }
    std::error_code ec;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
    makeWritable(root_);
    fs::remove_all(root_, ec);
}

void PlatformTest::SetUp()
{
    if (onWindows() && !haveWindows())
        GTEST_SKIP() << "this build has no Windows tree";
}

std::string PlatformTest::seen(const std::string& hostPath) const
{
    return onWindows() ? toWindowsPath(hostPath) : hostPath;
}

// ------------------------------------------------------------------ running

namespace {

using EnvChanges = std::map<std::string, std::optional<std::string>>;

int runCounter = 0;

RunResult spawnAndWait(const std::vector<std::string>& argv, const EnvChanges& envChanges,
                       const std::string& cwd, const std::string& stdinPath, const std::string& outPath,
                       const std::string& errPath, int timeoutMs)
{
    testsupport::StartOptions options{envChanges, cwd, stdinPath, outPath, errPath, true};
    const pid_t pid = testsupport::startProcess(argv, options);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return {};
    }
    const testsupport::ProcessEnd end = testsupport::waitForProcess(pid, timeoutMs);
    RunResult result;
    result.exitCode = end.exitCode;
    result.timedOut = end.timedOut;
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    if (result.timedOut)
        ADD_FAILURE() << "timed out after " << timeoutMs << " ms: " << argv.back();
    return result;
}

struct RunFiles {
    std::string stdinPath, outPath, errPath, controlPath;
};

RunFiles prepareRunFiles(const Scratch& scratch, const RunOptions& options)
{
    const std::string base = scratch.path(".run/" + std::to_string(++runCounter));
    RunFiles files{base + ".in", base + ".out", base + ".err", base + ".control"};
    if (options.stdinPath)
        files.stdinPath = *options.stdinPath;
    else
        writeFile(files.stdinPath, options.stdinData);
    return files;
}

RunResult runNative(const Scratch& scratch, const std::vector<std::string>& argv, const RunOptions& options)
{
    const RunFiles files = prepareRunFiles(scratch, options);
    EnvChanges env{{"TEMP", scratch.temp()}, {"ZOP_CACHE_DIR", scratch.path("cache")}};
    for (const auto& [name, value] : options.env)
        env[name] = value;
    return spawnAndWait(argv, env, options.cwd.empty() ? scratch.cwd() : options.cwd, files.stdinPath,
                        files.outPath, files.errPath, options.timeoutMs);
}

RunResult runUnderWine(const Scratch& scratch, const std::string& commandLine, const RunOptions& options)
{
    const RunFiles files = prepareRunFiles(scratch, options);
    EnvChanges inside{{"TEMP", toWindowsPath(scratch.temp())},
                      {"TMP", toWindowsPath(scratch.temp())},
                      {"ZOP_CACHE_DIR", toWindowsPath(scratch.path("cache"))}};
    for (const auto& [name, value] : options.env)
        inside[name] = value;
    std::string control;
    for (const auto& [name, value] : inside)
        control += value ? "set " + name + "=" + *value + "\n" : "unset " + name + "\n";
    control += "cmdline\n" + commandLine;
    writeFile(files.controlPath, control);

    const EnvChanges outside{{"WINEPREFIX", std::string(ZOP_WINEPREFIX)},
                             {"WINEDEBUG", options.wineDebug},
                             {"WINEDLLOVERRIDES", std::string("mscoree,mshtml=")},
                             {"ENVRUN_CONTROL", toWindowsPath(files.controlPath)}};
    // Wine on a loaded machine now and then ends with exit code 1 before
    // envrun runs at all (envrun deletes the control file once it has read
    // it): nothing of the test has run then, so the start is tried again.
    for (int attempt = 1;; ++attempt) {
        RunResult result = spawnAndWait({ZOP_WINE, windowsPlatform().envrun}, outside,
                                        options.cwd.empty() ? scratch.cwd() : options.cwd, files.stdinPath,
                                        files.outPath, files.errPath, options.timeoutMs);
        if (result.exitCode == 0 || attempt == 3 || !std::filesystem::exists(files.controlPath))
            return result;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

}  // namespace

std::string quoteWindowsArgument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t") == std::string::npos)
        return argument;
    return "\"" + argument + "\"";
}

RunResult run(const Platform& platform, const Scratch& scratch, const std::string& exe,
              const std::vector<std::string>& args, const RunOptions& options)
{
    if (platform.os == Os::linux) {
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), args.begin(), args.end());
        return runNative(scratch, argv, options);
    }
    std::string commandLine = quoteWindowsArgument(toWindowsPath(exe));
    for (const auto& a : args)
        commandLine += " " + quoteWindowsArgument(a);
    return runUnderWine(scratch, commandLine, options);
}

RunResult runCommandLine(const Platform& platform, const Scratch& scratch, const std::string& commandLine,
                         const RunOptions& options)
{
    if (platform.os == Os::linux)
        return runNative(scratch, {"/bin/sh", "-c", commandLine}, options);
    return runUnderWine(scratch, commandLine, options);
}

// ------------------------------------------------------------------ container bytes

void putInt32(std::string& bytes, std::size_t offset, int32_t value)
{
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

int32_t getInt32(std::string_view bytes, std::size_t offset)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
    return static_cast<int32_t>(v);
}

static void putShortText(std::string& bytes, std::size_t offset, std::string_view text, std::size_t capacity)
{
    const std::size_t n = std::min(text.size(), capacity);
    bytes[offset] = static_cast<char>(n);
    bytes.replace(offset + 1, n, text.substr(0, n));
}

std::string makeHeader(char kind, std::string_view text, int32_t dataLength)
{
    std::string h(headerSize, '\0');
    h[0] = 1;
    h[1] = kind;
    putShortText(h, 2, text, 255);
    putInt32(h, 260, dataLength);
    return h;
}

std::string makeTail(std::string_view stubName, int32_t gzLength, int32_t entryCount)
{
    std::string t(tailSize, '\0');
    putShortText(t, 0, stubName, 255);
    putInt32(t, 256, gzLength);
    putShortText(t, 260, recognitionString, 255);
    putInt32(t, 516, entryCount);
    return t;
}

std::string crcField(std::string_view member)
{
    std::string field = "CRC1" + std::string(4, '\0');
    putInt32(field, 4, static_cast<int32_t>(crc32(0L, reinterpret_cast<const Bytef*>(member.data()),
                                                  static_cast<uInt>(member.size()))));
    return field;
}

namespace {

constexpr std::size_t tailRecordsEnd = 516;  // entryCount follows the filler

// Where the seal's payload lies in the trailer t, adding the record after
// the last one when there is none.
std::size_t sealPayloadAt(std::string& t)
{
    std::size_t at = tailRecordsAt;
    while (at + 5 <= tailRecordsEnd && t[at] != '\0') {
        const std::size_t size = static_cast<uint8_t>(t[at + 4]);
        if (at + 5 + size > tailRecordsEnd)
            break;
        if (t.compare(at, 4, "TRL1") == 0 && size == 4)
            return at + 5;
        at += 5 + size;
    }
    if (at + 9 > tailRecordsEnd) {
        ADD_FAILURE() << "no room for the seal in the trailer";
        return at;
    }
    t.replace(at, 5, std::string("TRL1\x04", 5));
    return at + 5;
}

} // namespace

void sealTail(std::string& bytes)
{
    if (bytes.size() < tailSize) {
        ADD_FAILURE() << "no trailer to seal";
        return;
    }
    std::string t = bytes.substr(bytes.size() - tailSize);
    const std::size_t payloadAt = sealPayloadAt(t);
    putInt32(t, payloadAt, 0);
    putInt32(t, payloadAt, static_cast<int32_t>(crc32(0L, reinterpret_cast<const Bytef*>(t.data()), tailSize)));
    bytes.replace(bytes.size() - tailSize, tailSize, t);
}

void stripTailRecords(std::string& bytes)
{
    const std::size_t at = bytes.size() - tailSize + tailRecordsAt;
    bytes.replace(at, tailRecordsEnd - tailRecordsAt, tailRecordsEnd - tailRecordsAt, '\0');
}

std::string assemble(std::string_view stub, std::string_view member, std::string_view tail)
{
    std::string bytes(stub);
    bytes += member;
    bytes += tail;
    return bytes;
}

Entry fileEntry(std::string text, std::string data)
{
    const auto n = static_cast<int32_t>(data.size());
    return {'f', std::move(text), std::move(data), n};
}

Entry dirEntry(std::string text) { return {'d', std::move(text), "", 0}; }

Entry commandEntry(char kind, std::string text) { return {kind, std::move(text), "", 0}; }

std::string entryStream(const std::vector<Entry>& entries)
{
    std::string stream;
    for (const auto& e : entries) {
        stream += makeHeader(e.kind, e.text, e.dataLength);
        stream += e.data;
    }
    return stream;
}

std::string makeContainer(std::string_view stub, std::string_view stubName, const std::vector<Entry>& entries)
{
    const std::string member = gzipMember(entryStream(entries));
    return assemble(stub, member,
                    makeTail(stubName, static_cast<int32_t>(member.size()), static_cast<int32_t>(entries.size())));
}

// ------------------------------------------------------------------ reading packed files

Tail parseTail(std::string_view bytes)
{
    Tail t;
    if (bytes.size() != tailSize) {
        ADD_FAILURE() << "a trailer is 520 bytes, not " << bytes.size();
        return t;
    }
    t.stubName = std::string(bytes.substr(1, static_cast<uint8_t>(bytes[0])));
    t.gzLength = getInt32(bytes, 256);
    t.signature = std::string(bytes.substr(261, static_cast<uint8_t>(bytes[260])));
    t.entryCount = getInt32(bytes, 516);
    return t;
}

PackedFile splitPacked(std::string_view bytes)
{
    PackedFile p;
    if (bytes.size() < tailSize) {
        ADD_FAILURE() << "packed file of " << bytes.size() << " bytes has no trailer";
        return p;
    }
    p.tailBytes = std::string(bytes.substr(bytes.size() - tailSize));
    p.tail = parseTail(p.tailBytes);
    const auto g = static_cast<long long>(p.tail.gzLength);
    if (g < 0 || g > static_cast<long long>(bytes.size() - tailSize)) {
        ADD_FAILURE() << "gzLength " << g << " does not fit a file of " << bytes.size() << " bytes";
        return p;
    }
    const std::size_t stubSize = bytes.size() - tailSize - static_cast<std::size_t>(g);
    p.stub = std::string(bytes.substr(0, stubSize));
    p.member = std::string(bytes.substr(stubSize, static_cast<std::size_t>(g)));
    return p;
}

std::string inflateMember(std::string_view stream)
{
    const std::string_view member = testsupport::memberOfStream(stream);
    std::string out;
    if (member.size() < 18) {
        ADD_FAILURE() << "gzip member of " << member.size() << " bytes is too short";
        return out;
    }
    EXPECT_EQ(member.substr(0, 10), std::string_view("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x00", 10))
        << "gzip header bytes";
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        ADD_FAILURE() << "inflateInit2 failed";
        return out;
    }
    const std::string_view body = member.substr(10, member.size() - 18);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = static_cast<uInt>(body.size());
    char block[65536];
    int status;
    do {
        z.next_out = reinterpret_cast<Bytef*>(block);
        z.avail_out = sizeof block;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(block, sizeof block - z.avail_out);
    } while (status == Z_OK);
    const uInt leftOver = z.avail_in;
    inflateEnd(&z);
    EXPECT_EQ(status, Z_STREAM_END) << "the deflate data does not end cleanly";
    EXPECT_EQ(leftOver, 0u) << "bytes between the deflate data and the gzip trailer";
    const auto crc = crc32(0L, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()));
    EXPECT_EQ(static_cast<uint32_t>(getInt32(member, member.size() - 8)), static_cast<uint32_t>(crc)) << "CRC-32";
    EXPECT_EQ(static_cast<uint32_t>(getInt32(member, member.size() - 4)), static_cast<uint32_t>(out.size()))
        << "ISIZE";
    return out;
}

std::vector<Entry> parseEntries(std::string_view stream, int32_t count)
{
    std::vector<Entry> entries;
    std::size_t at = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (stream.size() - at < headerSize) {
            ADD_FAILURE() << "stream ends inside header " << i + 1 << " of " << count;
            return entries;
        }
        const std::string_view h = stream.substr(at, headerSize);
        at += headerSize;
        Entry e;
        EXPECT_EQ(static_cast<uint8_t>(h[0]), 1) << "kind length of entry " << i + 1;
        e.kind = h[1];
        e.text = std::string(h.substr(3, static_cast<uint8_t>(h[2])));
        e.dataLength = getInt32(h, 260);
        if (e.kind == 'f') {
            if (e.dataLength < 0 || stream.size() - at < static_cast<std::size_t>(e.dataLength)) {
                ADD_FAILURE() << "file data of entry " << i + 1 << " runs past the stream";
                return entries;
            }
            e.data = std::string(stream.substr(at, static_cast<std::size_t>(e.dataLength)));
            at += static_cast<std::size_t>(e.dataLength);
        }
        entries.push_back(std::move(e));
    }
    EXPECT_EQ(at, stream.size()) << "bytes after the last entry";
    return entries;
}

std::vector<Entry> readEntries(std::string_view packedBytes)
{
    const PackedFile p = splitPacked(packedBytes);
    EXPECT_EQ(p.tail.signature, recognitionString);
    return parseEntries(inflateMember(p.member), p.tail.entryCount);
}

// ------------------------------------------------------------------ probe records

std::vector<ProbeRecord> readProbeRecords(const std::string& file)
{
    std::vector<ProbeRecord> records;
    const std::string bytes = readFile(file);
    std::size_t at = 0;
    auto line = [&]() {
        const std::size_t end = bytes.find('\n', at);
        std::string l = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? bytes.size() : end + 1;
        return l;
    };
    while (at < bytes.size()) {
        if (line() != "probe") {
            ADD_FAILURE() << "malformed probe record in " << file;
            return records;
        }
        ProbeRecord r;
        for (;;) {
            if (at >= bytes.size()) {
                ADD_FAILURE() << "unfinished probe record in " << file;
                return records;
            }
            if (bytes.compare(at, 4, "end\n") == 0) {
                at += 4;
                break;
            }
            const std::size_t equals = bytes.find('=', at);
            const std::size_t colon = bytes.find(':', equals);
            const std::string key = bytes.substr(at, equals - at);
            const std::size_t length = std::stoul(bytes.substr(equals + 1, colon - equals - 1));
            const std::string value = bytes.substr(colon + 1, length);
            at = colon + 1 + length + 1;
            if (key == "argv")
                r.argv.push_back(value);
            else if (key == "cmdline")
                r.cmdline = value;
            else if (key == "exe")
                r.exe = value;
            else if (key == "cwd")
                r.cwd = value;
            else if (key.starts_with("env:"))
                r.env[key.substr(4)] = value;
            else if (key.starts_with("unset:"))
                r.env[key.substr(6)] = std::nullopt;
        }
        records.push_back(std::move(r));
    }
    return records;
}

// ------------------------------------------------------------------ files

void makeDirectories(const std::string& path) { fs::create_directories(path); }

std::vector<std::string> listTree(const std::string& dir)
{
    std::vector<std::string> result;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string name = fs::relative(it->path(), dir).generic_string();
        if (it->is_symlink())
            name += "@";
        else if (it->is_directory())
            name += "/";
        result.push_back(name);
    }
    std::sort(result.begin(), result.end());
    return result;
}

std::string toWindowsPath(const std::string& hostPath)
{
    std::string p = "Z:" + hostPath;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

std::string toHostPath(const std::string& windowsPath)
{
    std::string p = windowsPath;
    if (p.size() >= 2 && (p[0] == 'Z' || p[0] == 'z') && p[1] == ':')
        p.erase(0, 2);
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

std::vector<std::string> reportLines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        std::string l(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(std::move(l));
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return lines;
}

// Decodes one string as Wine's debug output prints it, starting at the
// opening quote; at is left behind the closing quote (and a "..." mark).
static std::string wineString(std::string_view log, std::size_t& at, bool& cut)
{
    std::string s;
    cut = false;
    if (at >= log.size() || log[at] != '"')
        return s;
    ++at;
    while (at < log.size() && log[at] != '"') {
        char c = log[at++];
        if (c == '\\' && at < log.size()) {
            const char e = log[at++];
            switch (e) {
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'x':
                c = static_cast<char>(std::stoi(std::string(log.substr(at, 2)), nullptr, 16));
                at += 2;
                break;
            default: c = e; break;
            }
        }
        s += c;
    }
    ++at;
    if (log.substr(at, 3) == "...") {
        cut = true;
        at += 3;
    }
    return s;
}

std::vector<MessageBoxCall> messageBoxCalls(std::string_view relayLog)
{
    std::vector<MessageBoxCall> calls;
    const std::string_view marker = "Call user32.MessageBoxA(";
    for (std::size_t at = relayLog.find(marker); at != std::string_view::npos;
         at = relayLog.find(marker, at + 1)) {
        MessageBoxCall call;
        // (owner,address "text",address "caption",style)
        std::size_t p = relayLog.find(',', at) + 1;
        p = relayLog.find_first_of("\",", p);
        if (p != std::string_view::npos && relayLog[p] == '"')
            call.text = wineString(relayLog, p, call.textCut);
        p = relayLog.find(',', p) + 1;
        p = relayLog.find_first_of("\",", p);
        bool captionCut = false;
        if (p != std::string_view::npos && relayLog[p] == '"')
            call.caption = wineString(relayLog, p, captionCut);
        calls.push_back(std::move(call));
    }
    return calls;
}

}  // namespace e2e
