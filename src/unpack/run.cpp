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

WriterPool* writers = nullptr;

void startWritersFor(uint32_t payloadSize, int32_t entryCount, int threads)
{
    if (payloadSize < parallelFrom || payloadSize / static_cast<uint32_t>(entryCount > 0 ? entryCount : 1) <
                                          writerBytesPerEntry)
        return;
    if (threads >= 2)
        writers = startWriterPool(threads);
}

// Stops the writers once the queued files are finished; the I/O code of
// the first that failed, 0 when none did (or no writer ran).
uint16_t releaseWriters()
{
    if (writers == nullptr)
        return 0;
    const uint16_t code = stopWriterPool(writers);
    writers = nullptr;
    return code;
}

// The file the main thread is writing, when no writer does: closed on the
// failure road so that the work directory can be removed on every system.
BinaryFile fileBeingWritten;

// The launch whose unpacking into the cache may still turn into a launch
// from TEMP (set while a miss unpacks, before any command ran).
// What a launch reads: its container and the threads it may use.
struct LaunchInput {
    const Container& container;
    int threads;
};
const LaunchInput* unpackingIntoCache = nullptr;

[[noreturn]] void launchFromTempInstead(const LaunchInput& input);

// A failure of a miss that is no damage of the stream (a full disk, a
// refused write, a path too long below the cache root) is a problem of the
// cache: the launch runs from a fresh work directory in TEMP instead,
// silently. What fails there for the same reason (an unsafe name) is
// reported from there.
bool isCacheProblem(uint16_t code)
{
    return unpackingIntoCache != nullptr && code != 0 && code != ioInvalidInput && code != ioReadPastEnd;
}

// A full disk leaves the work directory useless and TEMP full, so after
// "Disk Full" (or the system's own disk-full code) what was unpacked goes;
// every other failure keeps it for inspection.
void onRunFailure(std::string_view)
{
    const uint16_t code = failingIoCode();
    const bool fallBack = isCacheProblem(code);
    if (!fallBack && code != ioDiskFull && code != osDiskFull)
        return;
    if (writers != nullptr)
        abandonWriterPool(writers);
    writers = nullptr;
    closeFile(fileBeingWritten);
    ioResult();
    releaseWorkFile();
    if (fallBack)
        releaseCachedTree();
    removeTree(appState.workDir, appState.workDirIdentity);
    if (fallBack)
        launchFromTempInstead(*unpackingIntoCache);
}

// Ends the run with code, or with the failure of a file before it.
// A request to stop is answered at once instead, once the writers have
// been stopped (the clean-up then removes a quiet tree).
[[noreturn]] void failAfterQueuedFiles(uint16_t code)
{
    if (writers != nullptr && (code == ioStopRequested || pendingStop() != 0)) {
        abandonWriterPool(writers);
        stopIfRequested();
    }
    const uint16_t earlier = releaseWriters();
    raiseIoError(earlier != 0 ? earlier : code);
}

// The check of a step's result.
void failIf(uint16_t code)
{
    if (code != 0)
        failAfterQueuedFiles(code);
}

// Waits until every queued file is written; a writer's failure ends the
// process here.
void finishQueuedWrites()
{
    if (writers == nullptr)
        return;
    failIf(finishQueuedFiles(writers));
}

void stopWriters()
{
    failIf(releaseWriters());
}

// The checkpoint of every entry and every block of file data: a request to
// stop (answered once the writers have stopped, so that the clean-up
// removes a quiet tree) and a writer's failure.
void checkpoint()
{
    if (writers != nullptr && pendingStop() != 0)
        abandonWriterPool(writers);
    stopIfRequested();
    if (writers != nullptr && writerFailed(writers))
        stopWriters();
}

// The entry's place below the work directory, its placeholders replaced.
// Just-extract's rule holds for the expanded name: an argument could
// otherwise lead an entry out of the work directory ("../../notes.txt"
// through %parms%), and a device name (Windows' NUL, COM1, ...) would send
// it to the device. Such an entry ends the run before anything is created
// for it. Not cut: a path too long for the file services is refused by them.
std::string targetPath(std::string_view entryText)
{
    if (isUnsafeEntryName(entryText))
        failAfterQueuedFiles(ioInvalidFilename);
    return joinPath(appState.workDir, entryText);
}

// extractFileEntry through the writers: the content goes to them in buffers
// as it is inflated; copyGzToFile's rules for a damaged or short stream hold.
void queueFileEntry(GzStream* stream, std::string_view entryText, int32_t dataLength, int32_t position)
{
    failIf(queueFile(writers, targetPath(entryText), position));
    for (int32_t left = dataLength; left > 0;) {
        checkpoint();
        int32_t capacity = 0;
        unsigned char* bytes = nullptr;
        failIf(fileBuffer(writers, bytes, capacity));
        const int32_t wanted = left < capacity ? left : capacity;
        const int32_t got = readGz(stream, bytes, wanted);
        passBytes(writers, got > 0 ? got : 0, got == left);
        if (got < 0)
            failAfterQueuedFiles(gzFailure(stream) != 0 ? gzFailure(stream) : uint16_t{ioInvalidInput});
        if (got < wanted)
            failAfterQueuedFiles(ioReadPastEnd);
        left -= got;
    }
    endFile(writers);
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
// than the system takes for one command line ends the process (code 206,
// the system's "file name or extension too long") before it is built.
std::string replaceBounded(std::string_view text, std::string_view pattern, std::string_view value)
{
    const uint64_t count = occurrences(text, pattern);
    const uint64_t length = text.size() - count * pattern.size() + count * value.size();
    if (length > commandLineMax())
        failAfterQueuedFiles(ioCommandTooLong);
    return replaceAll(text, pattern, value);
}

// The placeholders other than %args%, in their order; a value inserted by
// one is searched by the ones after it.
std::string expandPiece(std::string_view piece)
{
    std::string text = replaceBounded(piece, "%parms%", appState.parms);
    text = replaceBounded(text, "%quotedparms%", appState.quotedParms);
    text = replaceBounded(text, "%tempdir%", appState.workDir);
    text = replaceBounded(text, "%tempdir1%", appState.workDirSlash);
    return replaceBounded(text, "%tempdir2%", appState.workDirBackslash);
}

} // namespace

namespace {

// expandPlaceholders with the text that %args% inserts.
std::string expandWith(std::string_view entryText, std::string_view args)
{
    // %args% is replaced first, in the text as stored, and what it inserts
    // is never searched again: the pieces between its occurrences are
    // expanded each on its own.
    constexpr std::string_view argsPlaceholder = "%args%";
    // Every placeholder starts with "%": a text without one stays as it is
    // (and, at most 255 bytes long, fits any command line).
    if (entryText.find('%') == std::string_view::npos)
        return std::string(entryText);
    // Counted as the program receives them: on Linux without the quotes
    // that keep each argument whole, which may take more room than the
    // argument itself.
    if (occurrences(entryText, argsPlaceholder) * commandLineLength(args) > commandLineMax())
        failAfterQueuedFiles(ioCommandTooLong);
    std::string text;
    std::size_t from = 0;
    for (std::size_t at; (at = entryText.find(argsPlaceholder, from)) != std::string_view::npos;
         from = at + argsPlaceholder.size()) {
        text += expandPiece(entryText.substr(from, at - from));
        text += args;
    }
    text += expandPiece(entryText.substr(from));
    if (commandLineLength(text) > commandLineMax())
        failAfterQueuedFiles(ioCommandTooLong);
    return text;
}

// Ends the run before the command starts: an argument cannot reach the
// program's cmd as text (ERROR_INVALID_PARAMETER).
[[noreturn]] void refuseArguments(const std::string& commandLine)
{
    raiseException("EOSError", "Failed to execute " + commandLine + " : " + std::to_string(osInvalidParameter));
}

// A command's text with its placeholders replaced. Where cmd reads the
// arguments (Windows: cmd itself or a batch file), %args% inserts each
// argument written so that cmd takes it as text; an argument that cannot be
// written so ends the run before the command starts.
std::string expandCommand(std::string_view entryText)
{
    std::string text = expandWith(entryText, appState.args);
    if (entryText.find("%args%") == std::string_view::npos)
        return text;
    const SplitCommand command = splitCommand(text);
    const std::string commandLine = buildCommandLine(command.program, command.arguments);
    std::string inserted;
    if (!argumentsForCommand(commandLine, appState.args, inserted))
        refuseArguments(commandLine);
    if (inserted == appState.args)
        return text;
    // cmd takes the first and the last quote off a command after /C that
    // starts with one, which would undo the quoting of the arguments.
    std::string quotedText = expandWith(entryText, inserted);
    const SplitCommand quotedCommand = splitCommand(quotedText);
    const std::string quotedLine = buildCommandLine(quotedCommand.program, quotedCommand.arguments);
    if (inserted.find('"') != std::string::npos && cmdReaderOf(quotedLine) == CmdReader::interpreter &&
        cmdStripsOuterQuotes(std::string_view(quotedLine).substr(windowsArgumentsStart(quotedLine))))
        refuseArguments(commandLine);
    return quotedText;
}

} // namespace

std::string expandPlaceholders(std::string_view entryText)
{
    return expandWith(entryText, appState.args);
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

void extractFileEntry(GzStream* stream, std::string_view entryText, int32_t dataLength)
{
    BinaryFile& file = fileBeingWritten;
    assignFile(file, targetPath(entryText));
    createFile(file, 1);
    failIf(ioResult());
    failIf(copyGzToFile(stream, file, dataLength));
    closeFile(file);
    failIf(ioResult());
}

void makeDirectoryEntry(std::string_view entryText)
{
    const std::string path = targetPath(entryText);
    if (writers != nullptr)
        failIf(waitForName(writers, path));
    makeDirectory(path);
    if (const uint16_t code = ioResult(); code != 0)
        failAfterQueuedFiles(code);
}

uint32_t runCommandEntry(std::string_view entryText, bool inWorkDirectory)
{
    const SplitCommand command = splitCommand(entryText);
    std::string saved;
    // A t command's bare program name is found among the packed files first.
    std::string searchFirst;
    if (inWorkDirectory) {
        saved = currentDirectory();
        failIf(ioResult());
        changeDirectory(appState.workDir);
        failIf(ioResult());
        searchFirst = currentDirectory();
    }
    uint32_t exitCode = 0;
    if (const uint32_t code = executeProgram(command.program, command.arguments, searchFirst, exitCode); code != 0)
        raiseException("EOSError", executeFailureMessage(command.program, command.arguments, code));
    if (inWorkDirectory) {
        changeDirectory(saved);
        failIf(ioResult());
    }
    return exitCode;
}

namespace {

// Runs the cached tree's commands in order; the exit code of the last.
// A request to stop that came while one ran ends the list, as in a run
// from the stream.
int runCachedCommands(const TreeRecord& record)
{
    uint32_t lastExitCode = 0;
    forEachCachedCommand(
        record,
        [](char kind, std::string_view text, void* context) {
            if (pendingStop() != 0)
                return;
            *static_cast<uint32_t*>(context) = runCommandEntry(expandCommand(text), kind == 't');
        },
        &lastExitCode);
    releaseCachedTree();
    if (pendingStop() != 0)
        answerStop();
    return static_cast<int>(lastExitCode);
}

// On a miss every directory and file comes before the first command (the
// packer refuses "o cache" otherwise): each is noted for the record, and
// the commands are kept to run once the tree is in place. A stream that
// breaks that order was not written by the packer: damage.
void noteForCache(TreeRecord& record, bool& commandSeen, const header& h, const std::string& text)
{
    const bool command = isKind(h, 'c') || isKind(h, 't');
    if (!command && !isKind(h, 'd') && !isKind(h, 'f'))
        return;  // no kind the launcher acts on
    if (commandSeen && !command)
        failAfterQueuedFiles(ioInvalidInput);
    commandSeen = command;
    noteTreeEntry(record, h.kind.bytes[0], isKind(h, 'f') ? h.dataLength : -1,
                  command ? h.text.view() : std::string_view(text));
}

} // namespace

namespace {

// Unpacks the stream into the work directory and runs its commands; on a
// miss (building set) the commands are only noted. checkKey: the stream must
// match the trailer's cache key. The exit code of the last command run
// (none: 0).
int runFromStream(const LaunchInput& input, TreeRecord* building, bool checkKey)
{
    const Container& container = input.container;
    setFailureAction(onRunFailure);
    BinaryFile executable;
    seekFile(executable, openContainerFile(container, executable));
    failIf(ioResult());
    uint32_t payloadSize = 0;
    GzStream* stream = copyStreamToWorkFile(container, executable, payloadSize, checkKey, input.threads);
    startWritersFor(payloadSize, container.trailer.entryCount, input.threads);

    // The launcher ends with the exit code of the last command it ran, so
    // that a failing packed application does not report success.
    uint32_t lastExitCode = 0;
    header h;
    bool commandSeen = false;
    for (int32_t i = 1; i <= container.trailer.entryCount; ++i) {
        checkpoint();
        if (const uint16_t code = entryHeaderFault(stream, h); code != 0)
            failAfterQueuedFiles(code);
        const bool command = isKind(h, 'c') || isKind(h, 't');
        // On a miss the commands wait until the tree is in place.
        if (building != nullptr && command) {
            noteForCache(*building, commandSeen, h, {});
            continue;
        }
        // A command sees every file that comes before it, complete.
        if (command)
            finishQueuedWrites();
        const std::string text = command ? expandCommand(h.text.view()) : expandPlaceholders(h.text.view());
        if (building != nullptr)
            noteForCache(*building, commandSeen, h, text);
        if (isKind(h, 'f') && writers != nullptr)
            queueFileEntry(stream, text, h.dataLength, i);
        else if (isKind(h, 'f'))
            extractFileEntry(stream, text, h.dataLength);
        else if (isKind(h, 'd'))
            makeDirectoryEntry(text);
        else if (command)
            lastExitCode = runCommandEntry(text, isKind(h, 't'));
        // A request to stop that came while a command ran was passed on to
        // it: no later entry is acted on, and the launcher ends with the
        // command's status.
        if (pendingStop() != 0 && command) {
            stopWriters();
            answerStop();
            return static_cast<int>(lastExitCode);
        }
    }
    stopWriters();
    finishEntryStream(container, stream);
    return static_cast<int>(lastExitCode);
}

// The failure of a miss turned into a launch from TEMP: the failure road
// starts afresh, and the process ends as a launch ends (see main).
void launchFromTempInstead(const LaunchInput& input)
{
    unpackingIntoCache = nullptr;
    resetFailureState();
    failIf(makeTempWorkDirectory());
    stopIfRequested();
    const int exitCode = runFromStream(input, nullptr, true);
    setStopCleanup(nullptr);
    removeTree(appState.workDir, appState.workDirIdentity);
    stopIfRequested();
    terminateProcess(static_cast<uint32_t>(exitCode));
}

} // namespace

int runMode(const Container& container, int threads)
{
    const LaunchInput input{container, threads};
    CachePlan cache = planCache(container.trailer);
    if (cache.use == CacheUse::hit)
        return runCachedCommands(cache.record);
    if (cache.use == CacheUse::off) {
        failIf(makeTempWorkDirectory());
        stopIfRequested();
        return runFromStream(input, nullptr, false);
    }
    unpackingIntoCache = &input;
    runFromStream(input, &cache.record, true);
    unpackingIntoCache = nullptr;
    completeCachedTree(cache);
    return runCachedCommands(cache.record);
}
