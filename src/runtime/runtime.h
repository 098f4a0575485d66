// Room runtime: initRuntime, which wires the rooms below at process start. May
// include: every runtime room (docs/architecture.md).
//
// Process initialisation of the runtime services, before the program's own
// code runs: argument table, standard text files, fault handlers, stop signals.
#pragma once

void initRuntime(int argc, char** argv);

// Puts the runtime's process-wide state back as it was after initRuntime:
// no I/O code or enumeration status pending, the files that a failure left
// open closed, no failure under way, no failure action or stop clean-up,
// the initial file open mode, the standard text files bound afresh. For
// tests and fuzz targets that run the program's code again after a replaced
// final step (see setFinalStep); the table of OS calls is left as it is.
void resetRuntimeState();
