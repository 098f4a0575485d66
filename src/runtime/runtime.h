// Process initialisation of the runtime services, before the program's own
// code runs: argument table, standard text files, fault handlers, stop signals.
#pragma once

void initRuntime(int argc, char** argv);
