// Room core/launch: what a launch shares: its AppState and the writer pool of
// run mode. May include: core/container, core/gzip, core/bytes, core/paths, runtime
// (docs/architecture.md).
//
// The state of one launch: start-up fills one AppState and hands it to the
// mode, which takes it by reference; whatever moves the work directory (run
// mode to a cached tree or a private directory) changes that one value, so
// the clean-up registered with it always sees the current work directory.
#pragma once
#include <string>
#include <string_view>
#include <span>
#include "core/container/records.h"
#include "runtime/workdir/removetree.h"

struct AppState {
    std::string tempDir;
    bool justExtract = false;
    bool listOnly = false;
    std::string parms;
    std::string quotedParms;
    std::string args;
    std::string originalDir;
    std::string workDir;
    DirectoryIdentity workDirIdentity;
    std::string workFile;
    std::string workDirSlash;
    std::string workDirBackslash;
};

// What start-up hands to the mode it chose, besides its AppState: the command
// line and the number of threads the mode may use.
struct Launch {
    // Argument 0 is the running executable.
    std::span<const std::string> arguments;
    // ZOP_THREADS, read once by start-up (see threadCount); 1: the main
    // thread alone.
    int threads = 1;
};

// Argument index of the launch's command line; empty beyond its end.
std::string launchArgument(const Launch& launch, std::size_t index);

// The work file's name inside the work directory.
constexpr std::string_view workFileName = "zop.gz";

// True when the work file of a work directory made in root (the longest
// name one can have) fits the path limit: workDir and workFile must name
// exactly what gets created.
bool workFileFitsBelow(std::string_view root);

// Points state's workDir (and the work file and the %tempdir% spellings) at
// dir; its identity is left as it was.
void setWorkDirectory(AppState& state, const std::string& dir);

// Creates a fresh "zop.N" in state's tempDir (random N, owner only) and makes
// it the work directory, its identity recorded for the removal. Returns 0, or
// the I/O code of the failure (no name could be created, TEMP or the original
// directory could not be entered); state is unchanged then.
[[nodiscard]] uint16_t makeTempWorkDirectory(AppState& state);
