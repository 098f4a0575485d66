// Starting a program and waiting for it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The command line handed to the operating system: the program between double
// quotes unless it already holds one, then one blank and the arguments when
// they are not empty.
std::string buildCommandLine(std::string_view path, std::string_view arguments);

// Starts the program, waits for it without a time limit and returns its exit
// code. A failure to start or wait raises EOSError
// "Failed to execute <command line> : <code>".
// On Windows a bare program name (no "\", "/" or ":") is looked up by zop:
// in searchFirst when given, then the system directory, the Windows
// directory and PATH, never the launcher's folder or the current directory.
// Linux leaves the lookup of a bare name to PATH alone.
uint32_t executeProgram(std::string_view path, std::string_view arguments, std::string_view searchFirst = {});
