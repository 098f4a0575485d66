// Room app: the program entry, start-up and the choice of the one mode that
// runs. May include: every room (docs/architecture.md).
//
// Start-up: fills appState (core/appstate.h), creates the work directory (run
// mode makes its own) and chooses the one mode that runs.
#pragma once
#include <string_view>
#include "core/launch/appstate.h"

struct Container;

enum class Mode { pack, justExtract, list, run };

// Fills appState, reads the program's own file (and the file the packer's
// --list or --extract names) and creates the work directory, except for run
// mode, which first looks for a cached tree. Returns what the chosen mode is
// handed: the command line and the thread count (ZOP_THREADS is read here,
// once).
Launch startUp();
// Removes the work directory start-up created (see removeTree), on the
// launch's threads.
void removeWorkDirectory();
// The argument lists and option flags (part of start-up; separate for tests).
void collectArguments();
// A packed file's own options choose among its modes; a bare stub packs, or
// lists or takes apart the file its --list or --extract names.
Mode selectMode();
// The packed file the chosen mode reads: the program's own file, or the
// file named by the packer's --list or --extract.
const Container& selectedContainer();
// Where just-extract writes: the packer's --extract DIR; empty for the
// current directory.
std::string_view selectedDirectory();
