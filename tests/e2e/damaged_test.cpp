// Damaged packed executables read by each unpacking mode, on Linux and under
// Wine: truncations, wrong trailer fields, damaged deflate data and checksums.
// The packer's --list and --extract, which read the file as data, meet every
// damage exactly as the file's own --zop-list and --zop-justextract do.
// Whatever the damage, a mode either ends normally with correct output or
// ends with exit code 217 and the report. Never a signal, a hang, a file
// written outside the work directory (run, list) or the current directory
// (just-extract), nor a normal end that extracted a damaged file.
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <functional>

#include <gmock/gmock.h>

#include "harness.h"

namespace e2e {
namespace {

enum class Mode { run, list, justExtract, packerList, packerExtract };

// The file's own mode that a packer command stands for.
Mode ownMode(Mode mode)
{
    switch (mode) {
    case Mode::packerList:
        return Mode::list;
    case Mode::packerExtract:
        return Mode::justExtract;
    default:
        return mode;
    }
}

const char* modeName(Mode mode)
{
    switch (mode) {
    case Mode::run:
        return "run";
    case Mode::list:
        return "list";
    case Mode::justExtract:
        return "just-extract";
    case Mode::packerList:
        return "zop --list";
    case Mode::packerExtract:
        return "zop --extract";
    }
    return "?";
}

// Content that deflate cannot squeeze to almost nothing, so that the middle
// of the stream is really deflate data.
std::string payload()
{
    std::string text;
    uint32_t x = 12345;
    for (int i = 0; i < 6000; ++i) {
        x = x * 1103515245u + 12345u;
        text += static_cast<char>('a' + (x >> 16) % 26);
    }
    return text;
}

std::vector<Entry> sampleEntries()
{
    return {dirEntry("dir"), fileEntry("dir\\a.txt", payload()), fileEntry("b.txt", "small\n")};
}

// How the damage was made, for the matrix the test prints.
struct Damage {
    std::string name;
    std::function<void(std::string& bytes, std::size_t stubLength, std::size_t gzLength)> apply;
    // False for a file whose own start-up takes it for a bare stub: its
    // options are then a recipe's name, and only the packer reads it.
    bool startsAsPackedFile = true;
};

std::size_t trailerAt(const std::string& bytes)
{
    return bytes.size() - tailSize;
}

// Trailer edits as a writer that knows the format would make them: the
// seal computed anew, so that the damage reaches the entry reader. The
// "Unsealed" forms leave the seal as it was.
void setGzLengthUnsealed(std::string& bytes, int32_t value)
{
    putInt32(bytes, trailerAt(bytes) + 256, value);
}

void setEntryCountUnsealed(std::string& bytes, int32_t value)
{
    putInt32(bytes, trailerAt(bytes) + 516, value);
}

void setGzLength(std::string& bytes, int32_t value)
{
    setGzLengthUnsealed(bytes, value);
    sealTail(bytes);
}

void setEntryCount(std::string& bytes, int32_t value)
{
    setEntryCountUnsealed(bytes, value);
    sealTail(bytes);
}

// Cuts the entry stream to keep bytes (the trailer stays, gzLength follows).
void cutStream(std::string& bytes, std::size_t stubLength, std::size_t keep)
{
    const std::string trailer = bytes.substr(trailerAt(bytes));
    bytes.resize(stubLength + keep);
    bytes += trailer;
    setGzLength(bytes, static_cast<int32_t>(keep));
}

// Stores the packer's integrity check of the stream as it now stands.
void markStreamCrc(std::string& bytes, std::size_t stubLength, std::size_t gzLength)
{
    bytes.replace(trailerAt(bytes) + crcFieldAt, 8, crcField(std::string_view(bytes).substr(stubLength, gzLength)));
    sealTail(bytes);
}

void flipBit(std::string& bytes, std::size_t offset, int bit)
{
    bytes[offset] = static_cast<char>(bytes[offset] ^ (1 << bit));
}

class DamagedTest : public PlatformTest {
protected:
    std::string stubName() const { return onWindows() ? "zop.exe" : "zop"; }

    std::string writeExecutable(const std::string& bytes)
    {
        makeDirectories(scratch.path("bin"));
        const std::string path = scratch.path("bin") + "/app" + platform().exeSuffix;
        writeFile(path, bytes);
        chmod(path.c_str(), 0755);
        return path;
    }

    // Clears what the previous case left in cwd and TEMP.
    void resetDirectories()
    {
        std::filesystem::remove_all(scratch.cwd());
        std::filesystem::remove_all(scratch.temp());
        makeDirectories(scratch.cwd());
        makeDirectories(scratch.temp());
    }

    std::string hostName(const std::string& entryText) const
    {
        std::string name = entryText;
        for (char& c : name)
            if (c == '\\')
                c = '/';
        return name;
    }

    // Checks one outcome and returns its short form for the matrix.
    std::string checkOutcome(Mode mode, const std::vector<Entry>& entries, const RunResult& r)
    {
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 217) << "exit " << r.exitCode << "\n" << r.out << r.err;
        for (const std::string& name : listTree(scratch.root())) {
            const bool known = name.starts_with("bin/") || name.starts_with("cwd/") ||
                               name.starts_with("temp/") || name.starts_with(".run/");
            EXPECT_TRUE(known) << name << " was written outside the work and current directories";
        }
        if (ownMode(mode) != Mode::justExtract)
            EXPECT_EQ(listTree(scratch.cwd()), std::vector<std::string>{}) << "written into the current directory";
        mode = ownMode(mode);
        if (r.exitCode == 217) {
            const std::size_t start = r.out.find("An unhandled exception occurred at");
            EXPECT_NE(start, std::string::npos) << r.out << r.err;
            const auto lines = reportLines(start == std::string::npos ? "" : r.out.substr(start));
            return "217 " + (lines.size() >= 2 ? lines[1] : std::string("(no report)"));
        }
        if (r.exitCode != 0)
            return "exit " + std::to_string(r.exitCode);
        // A normal end: the output must be complete and right.
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{}) << "work directory left after exit 0";
        if (mode == Mode::list) {
            std::string expected;
            for (const Entry& e : entries) {
                expected += std::string(1, e.kind) + " " + e.text;
                if (e.kind == 'f')
                    expected += " (" + std::to_string(e.dataLength) + ")";
                expected += "\r\n";
            }
            EXPECT_EQ(r.out, expected);
        }
        if (mode == Mode::justExtract) {
            for (const Entry& e : entries)
                if (e.kind == 'f')
                    EXPECT_EQ(readFile(scratch.cwd() + "/" + hostName(e.text)), e.data) << e.text;
        }
        return "0 normal end";
    }

    // The packed file's own modes start it; the packer's commands start the
    // bare stub, which reads it.
    RunResult runIn(Mode mode, const std::string& exe, const RunOptions& options)
    {
        switch (mode) {
        case Mode::list:
            return run(exe, {"--zop-list"}, options);
        case Mode::justExtract:
            return run(exe, {"--zop-justextract"}, options);
        case Mode::packerList:
            return run(platform().stub, {"--list", seen(exe)}, options);
        case Mode::packerExtract:
            return run(platform().stub, {"--extract", seen(exe)}, options);
        case Mode::run:
            break;
        }
        return run(exe, {}, options);
    }

    // A command entry that records its run in the probe log.
    Entry probeEntry() const { return commandEntry('c', seen(platform().probe)); }
    std::string probeLog() const { return scratch.path("bin/probe.log"); }

    // Each damage on a fresh copy of the sample container, in each mode.
    // The container's trailer is sealed (without the stream check, so that
    // damage in the stream reaches the entry reader), unless the packer's
    // own trailer is asked for: the stream check and the seal.
    // Returns the outcomes by damage name and mode.
    enum class Base { sealed, packed, segmented };
    std::map<std::string, std::string> runMatrix(const std::vector<Damage>& damages,
                                                 const std::vector<Entry>& entries = sampleEntries(),
                                                 Base base = Base::sealed)
    {
        std::string good = makeContainer(readFile(platform().stub), stubName(), entries);
        if (base == Base::segmented) {
            const std::string stream = packerStream(entryStream(entries));
            good = assemble(readFile(platform().stub), stream,
                            makeTail(stubName(), static_cast<int32_t>(stream.size()), static_cast<int32_t>(entries.size())));
        }
        const std::size_t stubLength = readFile(platform().stub).size();
        const std::size_t gzLength = good.size() - stubLength - tailSize;
        if (base == Base::packed)
            good.replace(trailerAt(good) + crcFieldAt, 8, crcField(std::string_view(good).substr(stubLength, gzLength)));
        sealTail(good);
        std::map<std::string, std::string> outcomes;
        for (const Damage& damage : damages) {
            std::string bytes = good;
            damage.apply(bytes, stubLength, gzLength);
            const std::string exe = writeExecutable(bytes);
            for (Mode mode : {Mode::run, Mode::list, Mode::justExtract, Mode::packerList, Mode::packerExtract}) {
                const std::string key = damage.name + " / " + modeName(mode);
                SCOPED_TRACE(key);
                resetDirectories();
                std::filesystem::remove(probeLog());
                RunOptions options;
                options.timeoutMs = 60000;
                options.env["PROBE_OUT"] = seen(probeLog());
                options.env["ZOP_THREADS"] = "2";
                const RunResult r = runIn(mode, exe, options);
                const std::string outcome = checkOutcome(mode, entries, r);
                outcomes[key] = outcome;
                commandsRun[key] = exists(probeLog()) ? readProbeRecords(probeLog()).size() : 0;
                cwdAfter[key] = listTree(scratch.cwd());
                tempAfter[key] = listTree(scratch.temp());
                std::printf("[ matrix   ] %s %s / %s: %s\n", platform().name.c_str(), damage.name.c_str(),
                            modeName(mode), outcome.c_str());
                if (mode == ownMode(mode) || !damage.startsAsPackedFile)
                    continue;
                // The packer meets the damage as the file itself does, and
                // names the file in one line of its own when it fails; as on
                // every failure of the packer, its work directory goes.
                const std::string ownKey = damage.name + " / " + modeName(ownMode(mode));
                EXPECT_EQ(outcome, outcomes[ownKey]);
                EXPECT_EQ(cwdAfter[key], cwdAfter[ownKey]);
                EXPECT_EQ(tempAfter[key], std::vector<std::string>{});
                if (r.exitCode == 217)
                    EXPECT_THAT(r.err, ::testing::MatchesRegex("zop: cannot (list|extract) \"[^\n]*\": [^\n]*\n"));
            }
        }
        return outcomes;
    }

    // What each run of the last matrix left in the current directory and in
    // TEMP, and how many packed commands it ran.
    std::map<std::string, std::vector<std::string>> cwdAfter;
    std::map<std::string, std::vector<std::string>> tempAfter;
    std::map<std::string, std::size_t> commandsRun;
};

// ------------------------------------------------------------------ the stream

TEST_P(DamagedTest, StreamCutShortWithTheTrailerKept)
{
    const auto outcomes = runMatrix({
        {"stream cut to its gzip header", [](std::string& b, std::size_t s, std::size_t) { cutStream(b, s, 10); }},
        {"stream cut in the middle", [](std::string& b, std::size_t s, std::size_t g) { cutStream(b, s, g / 2); }},
        {"stream without CRC-32 and ISIZE", [](std::string& b, std::size_t s, std::size_t g) { cutStream(b, s, g - 8); }},
        {"stream without its last byte", [](std::string& b, std::size_t s, std::size_t g) { cutStream(b, s, g - 1); }},
    });
    for (const auto& [name, outcome] : outcomes)
        EXPECT_EQ(outcome.substr(0, 3), "217") << name;
}

TEST_P(DamagedTest, FlippedBitsAndWrongChecksums)
{
    const auto outcomes = runMatrix({
        {"bit 0 of the first deflate byte", [](std::string& b, std::size_t s, std::size_t) { flipBit(b, s + 10, 0); }},
        {"bit 7 in the middle of the deflate data", [](std::string& b, std::size_t s, std::size_t g) { flipBit(b, s + g / 2, 7); }},
        {"bit 3 of the last deflate byte", [](std::string& b, std::size_t s, std::size_t g) { flipBit(b, s + g - 9, 3); }},
        {"wrong CRC-32", [](std::string& b, std::size_t s, std::size_t g) { flipBit(b, s + g - 8, 0); }},
        {"wrong ISIZE", [](std::string& b, std::size_t s, std::size_t g) { flipBit(b, s + g - 4, 1); }},
    });
    // The CRC-32 and ISIZE are checked when the stream is closed: after the
    // last entry, so every mode ends through the failure path, run mode after
    // its work (leaving the work directory for inspection).
    EXPECT_EQ(outcomes.at("wrong CRC-32 / run"), "217 EInOutError : Invalid input");
    EXPECT_EQ(outcomes.at("wrong CRC-32 / list"), "217 EInOutError : Invalid input");
    EXPECT_EQ(outcomes.at("wrong CRC-32 / just-extract"), "217 EInOutError : Invalid input");
    EXPECT_EQ(outcomes.at("wrong ISIZE / run"), "217 EInOutError : Invalid input");
    EXPECT_EQ(outcomes.at("wrong ISIZE / just-extract"), "217 EInOutError : Invalid input");
    // A flip in the deflate data proper breaks the data; one in the padding
    // bits after the last block changes nothing, and a normal end with the
    // right output (checked for every case) is then the right outcome.
    for (const auto& [name, outcome] : outcomes)
        if (name.find("last deflate byte") == std::string::npos)
            EXPECT_EQ(outcome.substr(0, 3), "217") << name;
}

TEST_P(DamagedTest, IntegrityCheckRefusesADamagedStreamBeforeAnyEntry)
{
    auto marked = [](auto damage) {
        return [damage](std::string& b, std::size_t s, std::size_t g) {
            markStreamCrc(b, s, g);
            damage(b, s, g);
        };
    };
    const auto outcomes = runMatrix({
        {"marked, intact", marked([](std::string&, std::size_t, std::size_t) {})},
        {"marked, bit 7 in the middle", marked([](std::string& b, std::size_t s, std::size_t g) { flipBit(b, s + g / 2, 7); })},
        {"marked, bit 3 of the last deflate byte", marked([](std::string& b, std::size_t s, std::size_t g) { flipBit(b, s + g - 9, 3); })},
        {"marked, wrong CRC-32 stored", [](std::string& b, std::size_t s, std::size_t g) {
             markStreamCrc(b, s, g);
             flipBit(b, trailerAt(b) + crcFieldAt + 4, 0);
             sealTail(b); }},
    });
    for (const auto& [name, outcome] : outcomes) {
        if (name.starts_with("marked, intact"))
            EXPECT_EQ(outcome, "0 normal end") << name;
        else
            EXPECT_EQ(outcome, "217 EInOutError : Invalid input") << name;
    }
    // Refused before the first entry: nothing but the copied stream in the
    // work directory, nothing in the current directory (the stream is
    // checked before the stub is written).
    EXPECT_EQ(cwdAfter.at("marked, bit 7 in the middle / just-extract"), std::vector<std::string>{});
    const auto& left = tempAfter.at("marked, bit 7 in the middle / run");
    ASSERT_EQ(left.size(), 2u);
    EXPECT_TRUE(left[1].ends_with("/zop.gz")) << left[1];
}

// ------------------------------------------------------------------ the trailer

TEST_P(DamagedTest, TrailerFieldChangedBehindTheSealIsRefusedBeforeAnything)
{
    // The packer's trailer: stream check and seal. A field changed without
    // the seal (a flipped bit, an edit) is damage found before any entry is
    // read: nothing is created, nothing runs. An older packer's trailer
    // (stream check only, no records) is read as before.
    const std::vector<Entry> entries = {dirEntry("dir"), fileEntry("dir\\a.txt", payload()), probeEntry()};
    const auto outcomes = runMatrix(
        {
            {"entryCount 3 -> 2", [](std::string& b, std::size_t, std::size_t) { setEntryCountUnsealed(b, 2); }},
            {"entryCount 3 -> 7", [](std::string& b, std::size_t, std::size_t) { setEntryCountUnsealed(b, 7); }},
            {"gzLength one too small", [](std::string& b, std::size_t, std::size_t g) {
                 setGzLengthUnsealed(b, static_cast<int32_t>(g - 1)); }},
            {"stub name", [](std::string& b, std::size_t, std::size_t) { b[trailerAt(b) + 1] ^= 0x20; }},
            {"stream check only (records stripped)", [](std::string& b, std::size_t, std::size_t) { stripTailRecords(b); }},
        },
        entries, Base::packed);
    for (const auto& [name, outcome] : outcomes) {
        if (name.starts_with("stream check only")) {
            EXPECT_EQ(outcome, "0 normal end") << name;
            EXPECT_EQ(commandsRun.at(name), name.ends_with("/ run") ? 1u : 0u) << name;
            continue;
        }
        EXPECT_EQ(outcome, "217 EInOutError : Invalid input") << name;
        EXPECT_EQ(commandsRun.at(name), 0u) << name;
        EXPECT_EQ(tempAfter.at(name), std::vector<std::string>{}) << name;
        EXPECT_EQ(cwdAfter.at(name), std::vector<std::string>{}) << name;
    }
}

TEST_P(DamagedTest, GzLengthOutOfRangeOrOffByOne)
{
    const auto outcomes = runMatrix({
        {"gzLength -1", [](std::string& b, std::size_t, std::size_t) { setGzLength(b, -1); }},
        {"gzLength INT_MIN", [](std::string& b, std::size_t, std::size_t) { setGzLength(b, INT_MIN); }},
        {"gzLength beyond the file", [](std::string& b, std::size_t, std::size_t) {
             setGzLength(b, static_cast<int32_t>(b.size() - tailSize + 1)); }},
        {"gzLength INT_MAX", [](std::string& b, std::size_t, std::size_t) { setGzLength(b, INT_MAX); }},
        {"gzLength one too large", [](std::string& b, std::size_t, std::size_t g) {
             setGzLength(b, static_cast<int32_t>(g + 1)); }},
        {"gzLength one too small", [](std::string& b, std::size_t, std::size_t g) {
             setGzLength(b, static_cast<int32_t>(g - 1)); }},
        {"gzLength 0", [](std::string& b, std::size_t, std::size_t) { setGzLength(b, 0); }},
    });
    // No stream and no entries: an empty container, nothing to do.
    const auto empty = runMatrix({{"gzLength 0 and entryCount 0", [](std::string& b, std::size_t s, std::size_t) {
                                       cutStream(b, s, 0);
                                       setEntryCount(b, 0); }}},
                                 {});
    for (const char* mode : {"run", "list", "just-extract"}) {
        const std::string m = mode;
        EXPECT_EQ(outcomes.at("gzLength -1 / " + m), "217 EInOutError : Read past end of file");
        EXPECT_EQ(outcomes.at("gzLength INT_MIN / " + m), "217 EInOutError : Read past end of file");
        EXPECT_EQ(outcomes.at("gzLength beyond the file / " + m), "217 EInOutError : Read past end of file");
        EXPECT_EQ(outcomes.at("gzLength INT_MAX / " + m), "217 EInOutError : Read past end of file");
        // Refused before anything is copied: not even the stub file exists.
        for (const char* name : {"gzLength -1", "gzLength INT_MIN", "gzLength beyond the file", "gzLength INT_MAX"})
            EXPECT_EQ(cwdAfter.at(std::string(name) + " / " + m), std::vector<std::string>{}) << name;
        EXPECT_EQ(outcomes.at("gzLength 0 / " + m), "217 EInOutError : Read past end of file");
        EXPECT_EQ(empty.at("gzLength 0 and entryCount 0 / " + m), "0 normal end");
        // One byte off in either direction: the stream no longer starts with
        // the gzip magic and is refused, instead of being read as raw bytes.
        EXPECT_EQ(outcomes.at("gzLength one too large / " + m), "217 EInOutError : Invalid input");
        EXPECT_EQ(outcomes.at("gzLength one too small / " + m), "217 EInOutError : Invalid input");
    }
}

TEST_P(DamagedTest, EntryCountLargerThanTheStreamHolds)
{
    const auto outcomes = runMatrix({
        {"entryCount + 1", [](std::string& b, std::size_t, std::size_t) { setEntryCount(b, 4); }},
        {"entryCount 1000000", [](std::string& b, std::size_t, std::size_t) { setEntryCount(b, 1000000); }},
        {"entryCount INT_MAX", [](std::string& b, std::size_t, std::size_t) { setEntryCount(b, INT_MAX); }},
    });
    for (const auto& [name, outcome] : outcomes)
        EXPECT_EQ(outcome, "217 EInOutError : Read past end of file") << name;
}

TEST_P(DamagedTest, EntryCountSmallerThanTheStreamHolds)
{
    // The entries must use up the stream: what is left over, down to the
    // last file's content, is damage, and the member's own checks come
    // after it. Bytes after the member inside gzLength are not looked at.
    const auto outcomes = runMatrix({
        {"entryCount - 1", [](std::string& b, std::size_t, std::size_t) { setEntryCount(b, 2); }},
        {"entryCount 0", [](std::string& b, std::size_t, std::size_t) { setEntryCount(b, 0); }},
        {"entryCount -1", [](std::string& b, std::size_t, std::size_t) { setEntryCount(b, -1); }},
        {"bytes after the member", [](std::string& b, std::size_t s, std::size_t g) {
             b.insert(s + g, "extra bytes");
             setGzLength(b, static_cast<int32_t>(g + 11)); }},
    });
    for (const auto& [name, outcome] : outcomes) {
        if (name.starts_with("bytes after the member"))
            EXPECT_EQ(outcome, "0 normal end") << name;
        else
            EXPECT_EQ(outcome, "217 EInOutError : Invalid input") << name;
    }
}

TEST_P(DamagedTest, TruncatedFilesLoseTheTrailer)
{
    // A cut anywhere takes the trailer with it. What remains is longer than
    // the stub's executable image, or shorter than it, but carries no
    // recognition string: a damaged packed executable, refused without
    // writing anything (no work directory made), never a packer.
    std::vector<Damage> cuts = {
        {"cut inside the trailer", [](std::string& b, std::size_t, std::size_t) { b.resize(b.size() - 100); }},
        {"cut at the trailer", [](std::string& b, std::size_t, std::size_t) { b.resize(b.size() - tailSize); }},
        {"cut inside the stream", [](std::string& b, std::size_t s, std::size_t g) { b.resize(s + g / 2); }},
        {"cut one byte into the stream", [](std::string& b, std::size_t s, std::size_t) { b.resize(s + 1); }},
    };
    // The stub's last bytes hold no code (the ELF section tables, the
    // padding of the last PE section), so a file cut there still starts;
    // shorter than its own image, it is damaged just the same. A cut into
    // the code leaves a file the system does not load at all.
    cuts.push_back({"cut one byte into the stub's image",
                    [](std::string& b, std::size_t s, std::size_t) { b.resize(s - 1); }});
    if (!onWindows()) {
        // 64-bit ELF: the section header table's offset at byte 0x28.
        const std::size_t tableAt = static_cast<std::size_t>(getInt32(readFile(platform().stub), 0x28));
        cuts.push_back({"cut inside the section data before the table",
                        [tableAt](std::string& b, std::size_t, std::size_t) { b.resize(tableAt - 10); }});
    }
    const auto outcomes = runMatrix(cuts);
    for (const auto& [name, outcome] : outcomes) {
        EXPECT_EQ(outcome, "217 EInOutError : Invalid input") << name;
        EXPECT_EQ(tempAfter.at(name), std::vector<std::string>{}) << name;
        EXPECT_EQ(cwdAfter.at(name), std::vector<std::string>{}) << name;
    }

    // Started as a packer would be, it overwrites nothing, and leaves no
    // work directory behind.
    const std::string stub = readFile(platform().stub);
    const std::string packed = makeContainer(stub, stubName(), sampleEntries());
    const std::vector<std::string> cutFiles = {packed.substr(0, packed.size() - 300), stub.substr(0, stub.size() - 1)};
    for (const std::string& bytes : cutFiles) {
        const std::string exe = writeExecutable(bytes);
        resetDirectories();
        writeFile(scratch.cwd() + "/in.txt", "d made\n");
        writeFile(scratch.cwd() + "/out.txt", "the user's file");
        const RunResult r = run(exe, {"in.txt", "out.txt"});
        EXPECT_EQ(r.exitCode, 217) << r.out << r.err;
        EXPECT_NE(r.out.find("EInOutError : Invalid input"), std::string::npos) << r.out;
        EXPECT_EQ(readFile(scratch.cwd() + "/out.txt"), "the user's file");
        EXPECT_EQ(listTree(scratch.temp()), std::vector<std::string>{});
    }
}

// ------------------------------------------------------------------ headers

TEST_P(DamagedTest, HeadersThatDoNotMatchTheData)
{
    std::vector<Entry> negative = sampleEntries();
    negative.push_back(Entry{'f', "neg.txt", "", -5});
    const auto negativeOutcomes = runMatrix({{"negative dataLength", [](std::string&, std::size_t, std::size_t) {}}},
                                            negative);
    for (const auto& [name, outcome] : negativeOutcomes)
        EXPECT_EQ(outcome, "217 EInOutError : Invalid input") << name;

    // The last file's header promises more bytes than the stream holds.
    std::vector<Entry> longer = sampleEntries();
    longer.push_back(Entry{'f', "long.txt", "only ten b", 100});
    const auto longerOutcomes = runMatrix({{"dataLength beyond the stream", [](std::string&, std::size_t, std::size_t) {}}},
                                          longer);
    // No mode may present the short file as complete, although the member
    // itself is intact (its checksums match what it holds).
    for (const auto& [name, outcome] : longerOutcomes)
        EXPECT_EQ(outcome, "217 EInOutError : Read past end of file") << name;
}

// ------------------------------------------------------------------ the segment index

// A stream of four segments with its index edited as a writer that knows
// the format would: the launch (on two threads) either reads it right or
// refuses it as damaged; the modes that read on one thread never look at it.
TEST_P(DamagedTest, CraftedSegmentIndexIsReadRightOrRefused)
{
    const std::vector<Entry> entries = {fileEntry("big.bin", mixedBytes<std::string>(3 * 1024 * 1024 + 5000, 9)),
                                        fileEntry("small.txt", "small\n")};
    // Offsets into the index at the stream's end: its length field, its
    // count, and start k.
    const auto indexAt = [](const std::string& b, std::size_t s, std::size_t g) {
        return s + g - static_cast<std::size_t>(getInt32(b, s + g - 12));
    };
    const auto start = [&](const std::string& b, std::size_t s, std::size_t g, int k) {
        return indexAt(b, s, g) + 8 + 8 * static_cast<std::size_t>(k);
    };
    const auto outcomes = runMatrix(
        {
            {"index intact", [](std::string&, std::size_t, std::size_t) {}},
            {"starts out of order", [&](std::string& b, std::size_t s, std::size_t g) {
                 const int32_t second = getInt32(b, start(b, s, g, 1));
                 putInt32(b, start(b, s, g, 1), getInt32(b, start(b, s, g, 2)));
                 putInt32(b, start(b, s, g, 2), second); }},
            {"a start past the member", [&](std::string& b, std::size_t s, std::size_t g) {
                 putInt32(b, start(b, s, g, 3), static_cast<int32_t>(g)); }},
            {"a start inside a segment", [&](std::string& b, std::size_t s, std::size_t g) {
                 putInt32(b, start(b, s, g, 2), getInt32(b, start(b, s, g, 2)) + 100); }},
            {"a count of 2^31", [&](std::string& b, std::size_t s, std::size_t g) {
                 putInt32(b, indexAt(b, s, g) + 4, INT32_MIN); }},
            {"an index longer than the stream", [](std::string& b, std::size_t s, std::size_t g) {
                 putInt32(b, s + g - 12, INT32_MAX); }},
        },
        entries, Base::segmented);
    for (const auto& [name, outcome] : outcomes) {
        if (name.starts_with("index intact") || !name.ends_with("/ run"))
            EXPECT_EQ(outcome, "0 normal end") << name;
        else
            EXPECT_EQ(outcome, "217 EInOutError : Invalid input") << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, DamagedTest, ::testing::ValuesIn(testedPlatforms()), platformName);

} // namespace
} // namespace e2e
