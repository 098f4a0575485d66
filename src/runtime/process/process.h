// Room runtime/process: the command line and the environment, starting a
// program and waiting for it. May include: runtime/os, runtime/signals,
// runtime/failure, runtime/base (docs/architecture.md).
//
// Starting a program and waiting for it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The command line handed to the operating system: the program between double
// quotes unless it already holds one, then one blank and the arguments when
// they are not empty.
std::string buildCommandLine(std::string_view path, std::string_view arguments);

// Windows' lookup of a bare program name, apart from the system calls.
// The file that a command line names when its program (the first token as
// Windows delimits it, without its quotes) is a bare name, without "\", "/"
// or ":"; ".exe" is added to a name without a dot, as CreateProcessA does.
// Empty when the name is not bare.
std::string bareProgramFile(std::string_view commandLine);
// The directories such a name is looked for in, in order: first (when not
// empty), the system directory, the Windows directory, then the absolute
// entries of PATH (quotes around an entry dropped). A relative entry is
// left out: it would be looked up from the current directory.
std::vector<std::string> programSearchDirectories(std::string_view first, std::string_view systemDir,
                                                  std::string_view windowsDir, std::string_view pathVariable);

// The text that %args% inserts into a command whose command line, with the
// launcher's exact arguments (exactArguments) in place, is commandLine. On
// Windows, where cmd reads the arguments (cmd itself or a batch file), each
// argument is written again for cmd (quoteArgumentsForCmd, with cmd's
// delayed expansion as the command's switches and the registry set it);
// elsewhere, and on Linux, the exact arguments as they are. False when an
// argument cannot reach cmd as text.
bool argumentsForCommand(std::string_view commandLine, std::string_view exactArgs, std::string& inserted);

// Starts the program, waits for it without a time limit and sets exitCode
// to its exit code (on Linux 128 + N when it died of signal N). While it
// runs, the stop signals are passed on to it (see stopsignals.h); a second
// TERM a second or more after the first gives 143 at once, the program left
// running. Returns 0, or the operating-system code of a failure to start or
// wait, which the caller raises as EOSError with executeFailureMessage.
// On Windows a bare program name (no "\", "/" or ":") is looked up by zop:
// in searchFirst when given, then the system directory, the Windows
// directory and PATH, never the launcher's folder or the current directory.
// Linux leaves the lookup of a bare name to PATH alone.
[[nodiscard]] uint32_t executeProgram(std::string_view path, std::string_view arguments,
                                      std::string_view searchFirst, uint32_t& exitCode);
// "Failed to execute <command line> : <code>".
std::string executeFailureMessage(std::string_view path, std::string_view arguments, uint32_t code);

// The longest command line the system takes for one program: 32,767 bytes
// on Windows, the ARG_MAX that Linux reports.
std::size_t commandLineMax();

// What a command text counts against commandLineMax: on Windows the text
// itself, the command line the program receives; on Linux the arguments it
// splits into (splitCommandLine), each with the byte that ends it, as the
// program receives them (quotes gone).
std::size_t commandLineLength(std::string_view commandText);
