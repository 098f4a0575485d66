// Room runtime/signals: requests to stop and the checkpoints that answer them.
// May include: runtime/failure, runtime/os, runtime/base
// (docs/architecture.md).
//
// Requests from outside to stop the process: on Linux the signals TERM, HUP,
// INT and QUIT (Windows has none of them; there nothing is ever pending).
// From the runtime's initialisation on they are caught and held until the
// program reaches a point where it can stop cleanly, so none is ever lost.
// While a command runs, each is also passed on to it.
#pragma once
#include <cstdint>

#include "runtime/base/iocodes.h"

// Installs the handlers. A signal the process was started with ignored (a
// background job's INT, nohup's HUP) stays ignored, for its commands too.
void holdStopSignals();

// What runs on the way out when a request ends the process: the work
// directory's removal, registered once that directory exists, is called
// with the context registered along with it (the launch it belongs to).
// Null registers nothing; a new registration replaces the last.
using StopCleanup = void (*)(const void* context);
void setStopCleanup(StopCleanup cleanup, const void* context);
// A clean-up that needs no context.
void setStopCleanup(void (*cleanup)());

// The signal of the first request not yet answered; 0 when none, and always
// 0 on a worker thread (only the main thread answers requests).
int pendingStop();

// Marks every request received so far as answered: the command it was passed
// on to has ended, and the launcher ends with that command's status.
void answerStop();

// The services' checkpoint: ioStopRequested when a request is pending
// (always 0 on a worker thread), else 0. It ends nothing: the code travels up
// as a result to the mode, which answers it with stopIfRequested.
[[nodiscard]] uint16_t stopRequestCode();

// The stop path, taken by the modes only: when a request is pending, the
// clean-up runs and the process ends, after INT with the Control-C report
// and exit code 217, after any other signal N with exit code 128 + N.
void stopIfRequested();
