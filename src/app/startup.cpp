// Start-up: fills appState, reads the program's own trailer, creates the work
// directory (run mode makes its own) and chooses the one mode that runs.
#include "app/startup.h"

#include <string>

#include "core/bytes/text.h"
#include "core/launch/appstate.h"
#include "core/paths/paths.h"
#include "pack/cli.h"
#include "pack/pack.h"
#include "runtime/process/cmdline.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "runtime/base/shorttext.h"
#include "runtime/signals/stopsignals.h"
#include "runtime/threads/threads.h"
#include "runtime/workdir/workdir.h"
#include "unpack/container.h"

namespace {

constexpr std::string_view justExtractOption = "--zop-justextract";
constexpr std::string_view listOption = "--zop-list";

// The launch's thread count, for the work directory's removal at the end or
// on a request to stop.
int removalThreads = 1;

// A relative TEMP is taken against the directory the launcher starts in:
// %tempdir% must name the work directory from anywhere, the work directory
// of a t command included.
std::string temporaryDirectory()
{
    std::string dir = environmentValue("TEMP");
    // The Linux port also honours the POSIX variable before the fixed default.
    if (dir.empty() && tmpdirVariable)
        dir = environmentValue("TMPDIR");
    if (dir.empty())
        dir = "/tmp";
    return absolutePath(shortText(dir));
}

// workDir and workFile must name exactly what gets created, so a temporary
// directory too long for them to fit in a short text is refused up front.
void refuseOverlongTempDir(const std::string& tempDir)
{
    if (!workFileFitsBelow(tempDir))
        failWithIoCode(ioInvalidFilename);
}

// The file the chosen mode reads: the program's own file, or the file the
// packer's --list or --extract names, read in its place. Whether the own
// file is packed is all that is kept of it then.
Container selectedFile;
bool ownFilePacked = false;
PackerCommand packerCommand;

// A file with bytes after its executable image but no recognised trailer is
// a packed executable that lost its end (a download or copy cut short, a
// packer killed while writing). As a packer it would take its arguments for
// a recipe and an output and overwrite a user's file. A sealed trailer whose
// bytes changed (a flipped bit in entryCount, a stub name or stream length
// that is not the packer's) is damage too. Either ends the launch through
// the failure path before anything, its work directory included, is
// created, let alone run.
void readOwnFile(std::string_view path)
{
    const ContainerKind kind = readContainer(path, selectedFile);
    if (kind == ContainerKind::cut || kind == ContainerKind::brokenSeal)
        failWithIoCode(ioInvalidInput);
    ownFilePacked = kind == ContainerKind::packed;
}

bool inspecting()
{
    return packerCommand.action != PackerAction::pack;
}

void describeInspection()
{
    describeStep(packerCommand.action == PackerAction::list ? "cannot list" : "cannot extract", packerCommand.file);
}

// The packer's --list and --extract read another file as data, by the same
// checks as the file's own modes: what is not a sound packed file ends with
// one line, before anything is created.
void readInspectedFile()
{
    describeInspection();
    switch (readContainer(absolutePath(packerCommand.file), selectedFile)) {
    case ContainerKind::packed:
        return;
    case ContainerKind::unpacked:
        refuse(ioInvalidInput, "not a packed file");
    case ContainerKind::cut:
        refuse(ioInvalidInput, "damaged: a program with bytes after its image but no trailer (cut short?)");
    case ContainerKind::brokenSeal:
        refuse(ioInvalidInput, "damaged: its trailer does not match its seal");
    }
}

} // namespace

void collectArguments()
{
    appState.justExtract = false;
    appState.listOnly = false;
    appState.parms.clear();
    appState.quotedParms.clear();
    appState.args = exactArguments();
    const std::span<const std::string> arguments = commandLineArguments();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == justExtractOption)
            appState.justExtract = true;
        if (a == listOption)
            appState.listOnly = true;
        if (appState.parms.empty() && appState.quotedParms.empty()) {
            appState.parms = a;
            appState.quotedParms = "'" + a + "'";
        } else {
            appState.parms += " " + a;
            appState.quotedParms += " '" + a + "'";
        }
    }
}

Launch startUp()
{
    appState.originalDir = currentDirectory();
    checkIo();
    appState.tempDir = temporaryDirectory();
    checkIo();
    collectArguments();
    const Launch launch{commandLineArguments(), threadCount()};
    removalThreads = launch.threads;
    // The trailer comes first: a bare stub answers its own options, and
    // refuses a call that cannot work, before it creates anything.
    fileOpenMode = 0;
    readOwnFile(launchArgument(launch, 0));
    if (!ownFilePacked) {
        packerCommand = answerPackerCommandLine(launch.arguments);
        if (inspecting()) {
            setFailureAction(writeFailureLine);
            readInspectedFile();
        }
        preparePacker();
    }
    randomize();
    refuseOverlongTempDir(appState.tempDir);
    // Run mode makes its own work directory once it knows whether a cached
    // tree serves: a hit creates nothing in TEMP.
    if (selectMode() != Mode::run)
        raiseIfFailed(makeTempWorkDirectory());
    // From here on a request to stop removes the work directory, and a
    // request that came during start-up is acted on now.
    setStopCleanup(removeWorkDirectory);
    stopIfRequested();
    if (inspecting())
        describeInspection();
    return launch;
}

void removeWorkDirectory()
{
    removeTree(appState.workDir, appState.workDirIdentity, removalThreads);
}

Mode selectMode()
{
    if (!ownFilePacked) {
        switch (packerCommand.action) {
        case PackerAction::pack:
            return Mode::pack;
        case PackerAction::list:
            return Mode::list;
        case PackerAction::extract:
            return Mode::justExtract;
        }
    }
    if (appState.justExtract)
        return Mode::justExtract;
    if (appState.listOnly)
        return Mode::list;
    return Mode::run;
}

const Container& selectedContainer()
{
    return selectedFile;
}

std::string_view selectedDirectory()
{
    return packerCommand.directory;
}
