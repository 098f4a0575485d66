// Linux: what the process starter needs from the stop-signal handlers.
#pragma once
#include <signal.h>
#include <stdint.h>

#include <atomic>
#include <sys/types.h>

// Blocks the stop signals (previous receives the mask before) and unblocks
// them again: a command is started, and its id recorded, in between, so
// that no request arrives while the id is not known yet.
void blockStopSignals(sigset_t& previous);
void restoreSignalMask(const sigset_t& previous);

// The process requests are passed on to; 0 while no command runs.
void setStopTarget(pid_t child);

// Adds the stop signals that a command gets with their default disposition:
// those the launcher was not started with ignored.
void addDefaultedStopSignals(sigset_t& set);
// Removes every stop signal from mask.
void removeStopSignals(sigset_t& mask);

// True once a second TERM, a second or more after the first, asked the
// launcher to stop waiting for the command it was passed on to.
bool waitAbandoned();

// The futex word the answering thread is about to sleep on (null: none).
// A stop signal's handler raises it and wakes its sleepers, so that the
// sleep ends and the request is answered.
void watchForStop(std::atomic<uint32_t>* word);
