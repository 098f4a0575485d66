// Start-up: fills appState (core/appstate.h), creates the work directory and
// chooses the one mode that runs.
#pragma once
#include "core/appstate.h"

enum class Mode { pack, justExtract, list, run };

// Start-up steps up to the windowed-stub test: fills appState and creates the
// work directory.
void startUp();
// Removes the work directory start-up created (see removeTree).
void removeWorkDirectory();
// The argument lists and option flags (part of start-up; separate for tests).
void collectArguments();
Mode selectMode();
