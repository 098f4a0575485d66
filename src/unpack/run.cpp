// Run mode: recreates the packed tree in the work directory and runs the
// packed commands in stream order, each with its placeholders replaced.
#include <string>

#include "app/state.h"
#include "app/text.h"
#include "core/gzstream.h"
#include "core/transfer.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/process.h"
#include "runtime/shorttext.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

namespace {

// A device name (Windows' NUL, COM1, ...) would send the entry to the
// device: such an entry ends the run before anything is created for it.
std::string targetPath(std::string_view entryText)
{
    std::string path = shortText(appState.workDir + pathSeparator + std::string(entryText));
    if (isReservedDeviceName(path))
        failWithIoCode(ioInvalidFilename);
    return path;
}

// The placeholders other than %args%, in their order; a value inserted by
// one is searched by the ones after it.
std::string expandPiece(std::string_view piece)
{
    std::string text = replaceAll(piece, "%parms%", appState.parms);
    text = replaceAll(text, "%quotedparms%", appState.quotedParms);
    text = replaceAll(text, "%tempdir%", appState.workDir);
    text = replaceAll(text, "%tempdir1%", appState.workDirSlash);
    return replaceAll(text, "%tempdir2%", appState.workDirBackslash);
}

} // namespace

std::string expandPlaceholders(std::string_view entryText)
{
    // %args% is replaced first, in the text as stored, and what it inserts
    // is never searched again: the pieces between its occurrences are
    // expanded each on its own.
    constexpr std::string_view argsPlaceholder = "%args%";
    std::string text;
    std::size_t from = 0;
    for (std::size_t at; (at = entryText.find(argsPlaceholder, from)) != std::string_view::npos;
         from = at + argsPlaceholder.size()) {
        text += expandPiece(entryText.substr(from, at - from));
        text += appState.args;
    }
    return text + expandPiece(entryText.substr(from));
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
    }
    finishEntryStream(stream);
    return static_cast<int>(lastExitCode);
}
