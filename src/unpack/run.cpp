// Run mode: recreates the packed tree in the work directory and runs the
// packed commands in stream order, each with its placeholders replaced.
#include <string>

#include "core/appstate.h"
#include "core/gzstream.h"
#include "core/text.h"
#include "core/transfer.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/process.h"
#include "runtime/stopsignals.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

namespace {

// Not cut: a path too long for the file services is refused by them. A
// device name (Windows' NUL, COM1, ...) would send the entry to the device:
// such an entry ends the run before anything is created for it.
std::string targetPath(std::string_view entryText)
{
    std::string path = appState.workDir + pathSeparator + std::string(entryText);
    if (isReservedDeviceName(path))
        failWithIoCode(ioInvalidFilename);
    return path;
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
        failWithIoCode(ioCommandTooLong);
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

std::string expandPlaceholders(std::string_view entryText)
{
    // %args% is replaced first, in the text as stored, and what it inserts
    // is never searched again: the pieces between its occurrences are
    // expanded each on its own.
    constexpr std::string_view argsPlaceholder = "%args%";
    if (occurrences(entryText, argsPlaceholder) * appState.args.size() > commandLineMax())
        failWithIoCode(ioCommandTooLong);
    std::string text;
    std::size_t from = 0;
    for (std::size_t at; (at = entryText.find(argsPlaceholder, from)) != std::string_view::npos;
         from = at + argsPlaceholder.size()) {
        text += expandPiece(entryText.substr(from, at - from));
        text += appState.args;
    }
    text += expandPiece(entryText.substr(from));
    if (text.size() > commandLineMax())
        failWithIoCode(ioCommandTooLong);
    return text;
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
    BinaryFile file;
    assignFile(file, targetPath(entryText));
    createFile(file, 1);
    checkIo();
    copyGzToFile(stream, file, dataLength);
    closeFile(file);
    checkIo();
}

void makeDirectoryEntry(std::string_view entryText)
{
    makeDirectory(targetPath(entryText));
    checkIo();
}

uint32_t runCommandEntry(std::string_view entryText, bool inWorkDirectory)
{
    const SplitCommand command = splitCommand(entryText);
    std::string saved;
    // A t command's bare program name is found among the packed files first.
    std::string searchFirst;
    if (inWorkDirectory) {
        saved = currentDirectory();
        checkIo();
        changeDirectory(appState.workDir);
        checkIo();
        searchFirst = currentDirectory();
    }
    const uint32_t exitCode = executeProgram(command.program, command.arguments, searchFirst);
    if (inWorkDirectory) {
        changeDirectory(saved);
        checkIo();
    }
    return exitCode;
}

int runMode()
{
    BinaryFile executable;
    skipFile(executable, openOwnExecutable(executable));
    GzStream* stream = copyStreamToWorkFile(executable);

    // The launcher ends with the exit code of the last command it ran, so
    // that a failing packed application does not report success.
    uint32_t lastExitCode = 0;
    header h;
    for (int32_t i = 1; i <= appState.trailer.entryCount; ++i) {
        stopIfRequested();
        readEntryHeader(stream, h);
        const std::string text = expandPlaceholders(h.text.view());
        if (isKind(h, 'f'))
            extractFileEntry(stream, text, h.dataLength);
        else if (isKind(h, 'd'))
            makeDirectoryEntry(text);
        else if (isKind(h, 'c'))
            lastExitCode = runCommandEntry(text, false);
        else if (isKind(h, 't'))
            lastExitCode = runCommandEntry(text, true);
        // A request to stop that came while a command ran was passed on to
        // it: no later entry is acted on, and the launcher ends with the
        // command's status.
        if (pendingStop() != 0) {
            answerStop();
            return static_cast<int>(lastExitCode);
        }
    }
    finishEntryStream(stream);
    return static_cast<int>(lastExitCode);
}
