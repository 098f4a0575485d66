// The process-wide values every mode reads, filled once by start-up.
#pragma once
#include <string>
#include "core/records.h"
#include "runtime/removetree.h"

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
