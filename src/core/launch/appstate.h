// Room core/launch: what a launch shares: appState and the writer pool of run
// mode. May include: core/container, core/gzip, core/bytes, runtime
// (docs/architecture.md).
//
// The process-wide values every mode reads, filled once by start-up.
#pragma once
#include <string>
#include <string_view>
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

extern AppState appState;

// The work file's name inside the work directory.
constexpr std::string_view workFileName = "zop.gz";

// Points workDir (and the work file and the %tempdir% spellings) at dir.
void setWorkDirectory(const std::string& dir);

// Creates a fresh "zop.N" in tempDir (random N, owner only) and makes it the
// work directory, its identity recorded for the removal; ends the process
// through the failure road when no name can be created.
void makeTempWorkDirectory();
