// Room app: the program entry, start-up and the choice of the one mode that
// runs. May include: every room (docs/architecture.md).
//
// Start-up: fills the launch's AppState (core/launch/appstate.h), reads the
// program's own trailer, creates the work directory (run mode makes its own)
// and chooses the one mode that runs.
#pragma once
#include <string_view>
#include "core/launch/appstate.h"
#include "pack/cli.h"
#include "unpack/container.h"

enum class Mode { pack, justExtract, list, run };

// What start-up builds, once, and hands to the mode it chose.
struct LaunchContext {
    // The command line and the thread count (ZOP_THREADS, read once).
    Launch launch;
    // The arguments as the placeholders insert them, the option flags, TEMP,
    // the original and the work directory: the one AppState of the launch,
    // which the mode changes in place.
    AppState state;
    Mode mode = Mode::run;
    // The packed file the chosen mode reads: the program's own file, or the
    // file named by the packer's --list or --extract.
    Container container;
    // The packer's command line: its action, the file it inspects and the
    // directory --extract writes to (empty: the current directory).
    PackerCommand packer;
};

// Fills context: reads the program's own file (and the file the
// packer's --list or --extract names), chooses the mode and creates the work
// directory, except for run mode, which first looks for a cached tree. A
// failure of its own ends the process through the failure path before
// anything is created. From its end on, a request to stop removes the work
// directory that context.state names at that moment; context must live, at
// the same address, until the process ends.
void startUp(LaunchContext& context);
// Removes the work directory start-up created (see removeTree), on the
// launch's threads.
void removeWorkDirectory(const LaunchContext& context);
// The argument lists and option flags of state (part of start-up).
void collectArguments(AppState& state);
