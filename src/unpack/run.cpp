// Run mode: recreates the packed tree in the work directory and runs the
// packed commands in stream order, each with its placeholders replaced.
#include <string>

#include "core/launch/appstate.h"
#include "core/paths/paths.h"
#include "core/gzip/gzstream.h"
#include "core/bytes/text.h"
#include "core/bytes/filecopy.h"
#include "core/gzip/gzcopy.h"
#include "core/launch/writerpool.h"
#include "runtime/process/cmdline.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "runtime/process/process.h"
#include "runtime/workdir/removetree.h"
#include "runtime/signals/stopsignals.h"
#include "runtime/threads/threads.h"
#include "unpack/cache.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

namespace {

// ---------------------------------------------------------------- writer threads
//
// A launch with a payload of at least parallelFrom bytes, at least
// writerBytesPerEntry of it per entry on average, has its files created and
// filled by writer threads (unless one thread is all there is): the main
// thread inflates, makes the directories and runs the commands, in stream
// order as ever. Below that, starting threads costs more than it saves: a
// small file costs the hand-over to a writer and back more than writing it
// takes (20,000 files of 4 KiB on tmpfs: 1.0 s on one thread, 1.1-1.2 s with
// writers; of 16 KiB: 1.7-1.8 s against 1.5-1.6 s). Every failure still ends the process from the main thread, and the
// one reported is the first in stream order: the files queued before the
// entry the main thread failed at are finished first, and a writer's
// failure among them comes before the main thread's own.

constexpr uint32_t parallelFrom = 1u << 20;
constexpr uint32_t writerBytesPerEntry = 16 * 1024;

// What a launch reads (its container, its state and the threads it may use)
// and what its run holds while it unpacks, passed to every step. Each step
// returns 0 or the I/O code of its failure (ioStopRequested for a request to
// stop); failRun decides what a failure does.
struct Run {
    const Container& container;
    // The launch's one state: the work directory is made, or moved to a
    // cached tree, in it, where the stop clean-up finds it.
    AppState& state;
    int threads;
    WriterPool* writers = nullptr;
    // The entry stream while it is read.
    GzStream* stream = nullptr;
    // Set once unpacking has started: after "Disk Full" the work directory
    // goes (see failRun).
    bool unpacking = false;

    ~Run();
};

void startWritersFor(Run& run, uint32_t payloadSize, int32_t entryCount)
{
    if (payloadSize < parallelFrom || payloadSize / static_cast<uint32_t>(entryCount > 0 ? entryCount : 1) <
                                          writerBytesPerEntry)
        return;
    if (run.threads >= 2)
        run.writers = startWriterPool(run.threads);
}

// Stops the writers once the queued files are finished; the I/O code of
// the first that failed, 0 when none did (or no writer ran).
uint16_t releaseWriters(Run& run)
{
    if (run.writers == nullptr)
        return 0;
    const uint16_t code = stopWriterPool(run.writers);
    run.writers = nullptr;
    return code;
}

// The run's failure as reported: a request to stop is answered here (the
// writers stopped first, so that the clean-up removes a quiet tree, and the
// process ends); otherwise the files queued before the failure are
// finished, and a writer's failure among them comes first, in stream order.
uint16_t settledFailure(Run& run, uint16_t code)
{
    if (code == ioStopRequested || pendingStop() != 0) {
        if (run.writers != nullptr)
            abandonWriterPool(run.writers);
        stopIfRequested();
    }
    const uint16_t earlier = releaseWriters(run);
    return earlier != 0 ? earlier : code;
}

// Closes the entry stream, which lives in the work directory: the
// directory can then be removed on every system.
void closeStream(Run& run)
{
    if (run.stream != nullptr)
        closeGz(run.stream);
    run.stream = nullptr;
}

// A run left behind (a failure that a harness catches) closes its stream.
Run::~Run()
{
    closeStream(*this);
}

// The one end of a failed run. A full disk leaves the work directory useless
// and TEMP full, so after "Disk Full" (or the system's own disk-full code)
// what was unpacked goes; every other failure keeps it for inspection.
[[noreturn]] void failRun(Run& run, uint16_t code)
{
    code = settledFailure(run, code);
    if (run.unpacking && (code == ioDiskFull || code == osDiskFull)) {
        closeStream(run);
        removeTree(run.state.workDir, run.state.workDirIdentity);
    }
    raiseIoError(code);
}

// A failure of a miss that is no damage of the stream (a full disk, a
// refused write, a path too long below the cache root) is a problem of the
// cache: the launch runs from a fresh work directory in TEMP instead,
// silently. What fails there for the same reason (an unsafe name) is
// reported from there.
bool isCacheProblem(uint16_t code)
{
    return code != ioInvalidInput && code != ioReadPastEnd;
}

// The checkpoint of every entry and every block of file data: a request to
// stop and a writer's failure.
uint16_t checkpoint(Run& run)
{
    if (const uint16_t code = stopRequestCode(); code != 0)
        return code;
    if (run.writers != nullptr && writerFailed(run.writers))
        return releaseWriters(run);
    return 0;
}

// The entry's place below the work directory, its placeholders replaced.
// Just-extract's rule holds for the expanded name: an argument could
// otherwise lead an entry out of the work directory ("../../notes.txt"
// through %parms%), and a device name (Windows' NUL, COM1, ...) would send
// it to the device. Such an entry ends the run before anything is created
// for it. Not cut: a path too long for the file services is refused by them.
uint16_t targetPath(const Run& run, std::string_view entryText, std::string& path)
{
    if (isUnsafeEntryName(entryText))
        return ioInvalidFilename;
    path = joinPath(run.state.workDir, entryText);
    return 0;
}

// extractFileEntry through the writers: the content goes to them in buffers
// as it is inflated; copyGzToFile's rules for a damaged or short stream hold.
uint16_t queueFileEntry(Run& run, std::string_view entryText, int32_t dataLength, int32_t position)
{
    std::string path;
    if (const uint16_t code = targetPath(run, entryText, path); code != 0)
        return code;
    if (const uint16_t code = queueFile(run.writers, std::move(path), position); code != 0)
        return code;
    for (int32_t left = dataLength; left > 0;) {
        if (const uint16_t code = checkpoint(run); code != 0)
            return code;
        int32_t capacity = 0;
        unsigned char* bytes = nullptr;
        if (const uint16_t code = fileBuffer(run.writers, bytes, capacity); code != 0)
            return code;
        const int32_t wanted = left < capacity ? left : capacity;
        const int32_t got = readGz(run.stream, bytes, wanted);
        passBytes(run.writers, got > 0 ? got : 0, got == left);
        if (got < 0)
            return gzFailure(run.stream) != 0 ? gzFailure(run.stream) : uint16_t{ioInvalidInput};
        if (got < wanted)
            return ioReadPastEnd;
        left -= got;
    }
    endFile(run.writers);
    return 0;
}

std::size_t occurrences(std::string_view text, std::string_view pattern)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(pattern); at != std::string_view::npos; at = text.find(pattern, at + pattern.size()))
        ++count;
    return count;
}

// One replacement of the expansion. Each occurrence of a placeholder inserts
// its whole value, and an inserted text is searched by the later
// placeholders: a few arguments that hold placeholders themselves could grow
// a command without bound. The length is counted first, and a text longer
// than the system takes for one command line fails with code 206 (the
// system's "file name or extension too long") before it is built.
uint16_t replaceBounded(std::string& text, std::string_view pattern, std::string_view value)
{
    const uint64_t count = occurrences(text, pattern);
    const uint64_t length = text.size() - count * pattern.size() + count * value.size();
    if (length > commandLineMax())
        return ioCommandTooLong;
    text = replaceAll(text, pattern, value);
    return 0;
}

// The placeholders other than %args%, in their order; a value inserted by
// one is searched by the ones after it.
uint16_t expandPiece(std::string_view piece, const AppState& state, std::string& text)
{
    text.assign(piece);
    uint16_t code = replaceBounded(text, "%parms%", state.parms);
    if (code == 0)
        code = replaceBounded(text, "%quotedparms%", state.quotedParms);
    if (code == 0)
        code = replaceBounded(text, "%tempdir%", state.workDir);
    if (code == 0)
        code = replaceBounded(text, "%tempdir1%", state.workDirSlash);
    if (code == 0)
        code = replaceBounded(text, "%tempdir2%", state.workDirBackslash);
    return code;
}

// expandPlaceholders with the text that %args% inserts.
uint16_t expandWith(std::string_view entryText, std::string_view args, const AppState& state, std::string& text)
{
    // %args% is replaced first, in the text as stored, and what it inserts
    // is never searched again: the pieces between its occurrences are
    // expanded each on its own.
    constexpr std::string_view argsPlaceholder = "%args%";
    // Every placeholder starts with "%": a text without one stays as it is
    // (and, at most 255 bytes long, fits any command line).
    if (entryText.find('%') == std::string_view::npos) {
        text.assign(entryText);
        return 0;
    }
    // Counted as the program receives them: on Linux without the quotes
    // that keep each argument whole, which may take more room than the
    // argument itself.
    if (occurrences(entryText, argsPlaceholder) * commandLineLength(args) > commandLineMax())
        return ioCommandTooLong;
    text.clear();
    std::string piece;
    std::size_t from = 0;
    for (std::size_t at; (at = entryText.find(argsPlaceholder, from)) != std::string_view::npos;
         from = at + argsPlaceholder.size()) {
        if (const uint16_t code = expandPiece(entryText.substr(from, at - from), state, piece); code != 0)
            return code;
        text += piece;
        text += args;
    }
    if (const uint16_t code = expandPiece(entryText.substr(from), state, piece); code != 0)
        return code;
    text += piece;
    return commandLineLength(text) > commandLineMax() ? uint16_t{ioCommandTooLong} : uint16_t{0};
}

// Ends the run as a command that cannot start ends it: EOSError with the
// system's code.
void refuseCommand(const SplitCommand& command, uint32_t code)
{
    raiseException("EOSError", executeFailureMessage(command.program, command.arguments, code));
}

// A command's text with its placeholders replaced. Where cmd reads the
// arguments (Windows: cmd itself or a batch file), %args% inserts each
// argument written so that cmd takes it as text; an argument that cannot be
// written so ends the run before the command starts, as a command that
// cannot start does (EOSError, ERROR_INVALID_PARAMETER).
uint16_t expandCommand(std::string_view entryText, const AppState& state, std::string& text)
{
    if (const uint16_t code = expandWith(entryText, state.args, state, text); code != 0)
        return code;
    if (entryText.find("%args%") == std::string_view::npos)
        return 0;
    const SplitCommand command = splitCommand(text);
    std::string inserted;
    if (!argumentsForCommand(buildCommandLine(command.program, command.arguments), state.args, inserted))
        refuseCommand(command, osInvalidParameter);
    if (inserted == state.args)
        return 0;
    // cmd takes the first and the last quote off a command after /C that
    // starts with one, which would undo the quoting of the arguments.
    std::string quotedText;
    if (const uint16_t code = expandWith(entryText, inserted, state, quotedText); code != 0)
        return code;
    const SplitCommand quotedCommand = splitCommand(quotedText);
    const std::string quotedLine = buildCommandLine(quotedCommand.program, quotedCommand.arguments);
    if (inserted.find('"') != std::string::npos && cmdReaderOf(quotedLine) == CmdReader::interpreter &&
        cmdStripsOuterQuotes(std::string_view(quotedLine).substr(windowsArgumentsStart(quotedLine))))
        refuseCommand(command, osInvalidParameter);
    text = std::move(quotedText);
    return 0;
}

// Creates the file and fills it from the stream on the main thread; the
// file is closed again whatever the result.
uint16_t extractFileEntry(Run& run, std::string_view entryText, int32_t dataLength)
{
    std::string path;
    if (const uint16_t code = targetPath(run, entryText, path); code != 0)
        return code;
    BinaryFile file;
    assignFile(file, path);
    createFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    return closeFileAfter(file, copyGzToFile(run.stream, file, dataLength));
}

uint16_t makeDirectoryEntry(Run& run, std::string_view entryText)
{
    std::string path;
    if (const uint16_t code = targetPath(run, entryText, path); code != 0)
        return code;
    if (run.writers != nullptr)
        if (const uint16_t code = waitForName(run.writers, path); code != 0)
            return code;
    makeDirectory(path);
    return ioResult();
}

// Runs the command and sets exitCode to its exit code; a command that
// cannot start ends the run with EOSError. A t command runs in the work
// directory.
uint16_t runCommandEntry(const Run& run, std::string_view entryText, bool inWorkDirectory, uint32_t& exitCode)
{
    const SplitCommand command = splitCommand(entryText);
    std::string saved;
    // A t command's bare program name is found among the packed files first.
    std::string searchFirst;
    if (inWorkDirectory) {
        saved = currentDirectory();
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        changeDirectory(run.state.workDir);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        searchFirst = currentDirectory();
    }
    if (const uint32_t code = executeProgram(command.program, command.arguments, searchFirst, exitCode); code != 0)
        refuseCommand(command, code);
    if (inWorkDirectory)
        changeDirectory(saved);
    return ioResult();
}

// Runs the cached tree's commands in order; the exit code of the last.
// A request to stop that came while one ran ends the list, as in a run
// from the stream.
int runCachedCommands(Run& run, CachePlan& cache)
{
    struct Commands {
        Run& run;
        uint32_t lastExitCode = 0;
    } commands{run};
    forEachCachedCommand(
        cache.record,
        [](char kind, std::string_view text, void* context) {
            auto& commands = *static_cast<Commands*>(context);
            if (pendingStop() != 0)
                return;
            std::string command;
            uint16_t code = expandCommand(text, commands.run.state, command);
            if (code == 0)
                code = runCommandEntry(commands.run, command, kind == 't', commands.lastExitCode);
            if (code != 0)
                failRun(commands.run, code);
        },
        &commands);
    releaseCachedTree(cache);
    if (pendingStop() != 0)
        answerStop();
    return static_cast<int>(commands.lastExitCode);
}

// On a miss every directory and file comes before the first command (the
// packer refuses "o cache" otherwise): each is noted for the record, and
// the commands are kept to run once the tree is in place. A stream that
// breaks that order was not written by the packer: damage.
uint16_t noteForCache(TreeRecord& record, bool& commandSeen, const header& h, const std::string& text)
{
    const bool command = isKind(h, 'c') || isKind(h, 't');
    if (!command && !isKind(h, 'd') && !isKind(h, 'f'))
        return 0;  // no kind the launcher acts on
    if (commandSeen && !command)
        return ioInvalidInput;
    commandSeen = command;
    noteTreeEntry(record, h.kind.bytes[0], isKind(h, 'f') ? h.dataLength : -1,
                  command ? h.text.view() : std::string_view(text));
    return 0;
}

// Acts on one entry whose header is in h (its text expanded unless it waits
// for the tree to be in place).
uint16_t runEntry(Run& run, TreeRecord* building, bool& commandSeen, const header& h, int32_t position,
                  uint32_t& lastExitCode)
{
    const bool command = isKind(h, 'c') || isKind(h, 't');
    // On a miss the commands wait until the tree is in place.
    if (building != nullptr && command)
        return noteForCache(*building, commandSeen, h, {});
    // A command sees every file that comes before it, complete.
    if (command && run.writers != nullptr)
        if (const uint16_t code = finishQueuedFiles(run.writers); code != 0)
            return code;
    std::string text;
    const uint16_t expanded = command ? expandCommand(h.text.view(), run.state, text)
                                      : expandPlaceholders(h.text.view(), run.state, text);
    if (expanded != 0)
        return expanded;
    if (building != nullptr)
        if (const uint16_t code = noteForCache(*building, commandSeen, h, text); code != 0)
            return code;
    if (isKind(h, 'f') && run.writers != nullptr)
        return queueFileEntry(run, text, h.dataLength, position);
    if (isKind(h, 'f'))
        return extractFileEntry(run, text, h.dataLength);
    if (isKind(h, 'd'))
        return makeDirectoryEntry(run, text);
    if (command)
        return runCommandEntry(run, text, isKind(h, 't'), lastExitCode);
    return 0;
}

// Unpacks the stream into the work directory and runs its commands; on a
// miss (building set) the commands are only noted. checkKey: the stream must
// match the trailer's cache key. exitCode: that of the last command run
// (none: 0).
uint16_t runFromStream(Run& run, TreeRecord* building, bool checkKey, int& exitCode)
{
    const Container& container = run.container;
    run.unpacking = true;
    uint32_t payloadSize = 0;
    if (const uint16_t code =
            openEntryStreamOf(container, run.state.workFile, run.stream, payloadSize, checkKey, run.threads);
        code != 0)
        return code;
    startWritersFor(run, payloadSize, container.trailer.entryCount);

    // The launcher ends with the exit code of the last command it ran, so
    // that a failing packed application does not report success.
    uint32_t lastExitCode = 0;
    header h;
    bool commandSeen = false;
    for (int32_t i = 1; i <= container.trailer.entryCount; ++i) {
        if (const uint16_t code = checkpoint(run); code != 0)
            return code;
        if (const uint16_t code = entryHeaderFault(run.stream, h); code != 0)
            return code;
        if (const uint16_t code = runEntry(run, building, commandSeen, h, i, lastExitCode); code != 0)
            return code;
        exitCode = static_cast<int>(lastExitCode);
        // A request to stop that came while a command ran was passed on to
        // it: no later entry is acted on, and the launcher ends with the
        // command's status.
        if (pendingStop() != 0 && (isKind(h, 'c') || isKind(h, 't'))) {
            if (const uint16_t code = releaseWriters(run); code != 0)
                return code;
            answerStop();
            return 0;
        }
    }
    if (const uint16_t code = releaseWriters(run); code != 0)
        return code;
    const uint16_t code = finishEntryStream(container, run.stream);
    run.stream = nullptr;
    return code;
}

// A launch from a fresh work directory in TEMP; the exit code of its last
// command.
int launchFromTemp(Run& run, bool checkKey)
{
    if (const uint16_t code = makeTempWorkDirectory(run.state); code != 0)
        failRun(run, code);
    stopIfRequested();
    int exitCode = 0;
    if (const uint16_t code = runFromStream(run, nullptr, checkKey, exitCode); code != 0)
        failRun(run, code);
    return exitCode;
}

} // namespace

uint16_t expandPlaceholders(std::string_view entryText, const AppState& state, std::string& text)
{
    return expandWith(entryText, state.args, state, text);
}

SplitCommand splitCommand(std::string_view entryText)
{
    const std::size_t p = find(" ", entryText);
    if (p == 0)
        return {std::string(entryText), {}};
    const long long length = static_cast<long long>(entryText.size());
    const long long blank = static_cast<long long>(p);
    return {copyText(entryText, 1, blank - 1), copyText(entryText, blank + 1, length - blank)};
}

int runMode(const Container& container, AppState& state, int threads)
{
    Run run{container, state, threads};
    CachePlan cache = planCache(container.trailer, state);
    if (cache.use == CacheUse::hit)
        return runCachedCommands(run, cache);
    if (cache.use == CacheUse::off)
        return launchFromTemp(run, false);
    int exitCode = 0;
    if (uint16_t code = runFromStream(run, &cache.record, true, exitCode); code != 0) {
        code = settledFailure(run, code);
        if (!isCacheProblem(code))
            failRun(run, code);
        // What was unpacked into the cache goes, and the launch runs from
        // TEMP as if the cache were off (the stream's key still checked).
        closeStream(run);
        releaseCachedTree(cache);
        removeTree(state.workDir, state.workDirIdentity);
        run.unpacking = false;
        return launchFromTemp(run, true);
    }
    completeCachedTree(cache, state);
    return runCachedCommands(run, cache);
}
