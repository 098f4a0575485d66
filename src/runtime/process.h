// Starting a program and waiting for it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The command line handed to the operating system: the program between double
// quotes unless it already holds one, then one blank and the arguments when
// they are not empty.
std::string buildCommandLine(std::string_view path, std::string_view arguments);

// Starts the program, waits for it without a time limit and returns its exit
// code (on Linux 128 + N when it died of signal N). While it runs, the stop
// signals are passed on to it (see stopsignals.h); a second TERM a second or
// more after the first returns 143 at once, the program left running. A
// failure to start or wait raises EOSError
// "Failed to execute <command line> : <code>".
uint32_t executeProgram(std::string_view path, std::string_view arguments);

// The longest command line the system takes for one program: 32,767 bytes
// on Windows, the ARG_MAX that Linux reports.
std::size_t commandLineMax();
