// Start-up: fills the launch's AppState, reads the program's own trailer,
// creates the work directory (run mode makes its own) and chooses the one
// mode that runs.
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

namespace {

constexpr std::string_view justExtractOption = "--zop-justextract";
constexpr std::string_view listOption = "--zop-list";

// A failure of start-up: its I/O code and, for the packer's --list and
// --extract, the reason its failure line gives (empty: the report's
// message).
struct StartFailure {
    uint16_t code = 0;
    std::string_view reason;
};

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

// The directory the launcher starts in and the one its work directory goes
// to.
uint16_t findDirectories(AppState& state)
{
    state.originalDir = currentDirectory();
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    state.tempDir = temporaryDirectory();
    return ioResult();
}

// workDir and workFile must name exactly what gets created, so a temporary
// directory too long for them to fit in a short text is refused up front.
uint16_t refuseOverlongTempDir(const std::string& tempDir)
{
    return workFileFitsBelow(tempDir) ? uint16_t{0} : uint16_t{ioInvalidFilename};
}

// A file with bytes after its executable image but no recognised trailer is
// a packed executable that lost its end (a download or copy cut short, a
// packer killed while writing). As a packer it would take its arguments for
// a recipe and an output and overwrite a user's file. A sealed trailer whose
// bytes changed (a flipped bit in entryCount, a stub name or stream length
// that is not the packer's) is damage too. Either is code 106, which ends
// the launch through the failure path before anything, its work directory
// included, is created, let alone run. packed: whether the own file is
// packed.
uint16_t readOwnFile(std::string_view path, Container& container, bool& packed)
{
    ContainerKind kind = ContainerKind::unpacked;
    if (const uint16_t code = readContainer(path, container, kind); code != 0)
        return code;
    if (kind == ContainerKind::cut || kind == ContainerKind::brokenSeal)
        return ioInvalidInput;
    packed = kind == ContainerKind::packed;
    return 0;
}

bool inspecting(const PackerCommand& packer)
{
    return packer.action != PackerAction::pack;
}

void describeInspection(const PackerCommand& packer)
{
    describeStep(packer.action == PackerAction::list ? "cannot list" : "cannot extract", packer.file);
}

// The packer's --list and --extract read another file as data, by the same
// checks as the file's own modes: what is not a sound packed file ends with
// one line, before anything is created. The file read takes the place of
// the program's own in context.
StartFailure readInspectedFile(LaunchContext& context)
{
    describeInspection(context.packer);
    ContainerKind kind = ContainerKind::unpacked;
    if (const uint16_t code = readContainer(absolutePath(context.packer.file), context.container, kind); code != 0)
        return {code, {}};
    switch (kind) {
    case ContainerKind::packed:
        return {};
    case ContainerKind::unpacked:
        return {ioInvalidInput, "not a packed file"};
    case ContainerKind::cut:
        return {ioInvalidInput, "damaged: a program with bytes after its image but no trailer (cut short?)"};
    case ContainerKind::brokenSeal:
        return {ioInvalidInput, "damaged: its trailer does not match its seal"};
    }
    return {};
}

// A packed file's own options choose among its modes; a bare stub packs, or
// lists or takes apart the file its --list or --extract names.
Mode chooseMode(bool ownFilePacked, const PackerCommand& packer, const AppState& state)
{
    if (!ownFilePacked) {
        switch (packer.action) {
        case PackerAction::pack:
            return Mode::pack;
        case PackerAction::list:
            return Mode::list;
        case PackerAction::extract:
            return Mode::justExtract;
        }
    }
    if (state.justExtract)
        return Mode::justExtract;
    if (state.listOnly)
        return Mode::list;
    return Mode::run;
}

// Start-up's steps in their order; the first failure ends them. The
// packer's own answers (--help, a call that cannot work) end the process
// there, as they always did.
StartFailure prepareLaunch(LaunchContext& context)
{
    AppState& state = context.state;
    if (const uint16_t code = findDirectories(state); code != 0)
        return {code, {}};
    collectArguments(state);
    context.launch = Launch{commandLineArguments(), threadCount()};
    // The trailer comes first: a bare stub answers its own options, and
    // refuses a call that cannot work, before it creates anything.
    fileOpenMode = 0;
    bool ownFilePacked = false;
    if (const uint16_t code = readOwnFile(launchArgument(context.launch, 0), context.container, ownFilePacked);
        code != 0)
        return {code, {}};
    if (!ownFilePacked) {
        context.packer = answerPackerCommandLine(context.launch.arguments);
        if (inspecting(context.packer)) {
            setFailureAction([](std::string_view message, const void*) { writeFailureLine(message); });
            if (const StartFailure failure = readInspectedFile(context); failure.code != 0)
                return failure;
        }
        preparePacker(state);
    }
    context.mode = chooseMode(ownFilePacked, context.packer, state);
    randomize();
    if (const uint16_t code = refuseOverlongTempDir(state.tempDir); code != 0)
        return {code, {}};
    // Run mode makes its own work directory once it knows whether a cached
    // tree serves: a hit creates nothing in TEMP.
    if (context.mode != Mode::run)
        if (const uint16_t code = makeTempWorkDirectory(state); code != 0)
            return {code, {}};
    return {};
}

// Start-up's one end through the failure path; the packer's --list and
// --extract give their reason on their failure line.
void raiseIfStartFailed(const StartFailure& failure)
{
    raiseIfFailed(failure.reason.empty() ? failure.code : refused(failure.code, failure.reason));
}

void removeWorkDirectoryOf(const void* context)
{
    removeWorkDirectory(*static_cast<const LaunchContext*>(context));
}

} // namespace

void collectArguments(AppState& state)
{
    state.justExtract = false;
    state.listOnly = false;
    state.parms.clear();
    state.quotedParms.clear();
    state.args = exactArguments();
    const std::span<const std::string> arguments = commandLineArguments();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == justExtractOption)
            state.justExtract = true;
        if (a == listOption)
            state.listOnly = true;
        if (state.parms.empty() && state.quotedParms.empty()) {
            state.parms = a;
            state.quotedParms = "'" + a + "'";
        } else {
            state.parms += " " + a;
            state.quotedParms += " '" + a + "'";
        }
    }
}

void startUp(LaunchContext& context)
{
    raiseIfStartFailed(prepareLaunch(context));
    // From here on a request to stop removes the work directory, and a
    // request that came during start-up is acted on now. The clean-up reads
    // context.state when it runs: the work directory as the mode left it.
    setStopCleanup(removeWorkDirectoryOf, &context);
    stopIfRequested();
    if (inspecting(context.packer))
        describeInspection(context.packer);
}

void removeWorkDirectory(const LaunchContext& context)
{
    removeTree(context.state.workDir, context.state.workDirIdentity, context.launch.threads);
}
