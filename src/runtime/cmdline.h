// Command line and environment.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Splits a raw command line by the system's own rules: separators are bytes
// 1..32, two quote characters (" and '), a doubled quote vanishes, no
// backslash escapes. Returns every token, the program name first.
std::vector<std::string> splitCommandLine(std::string_view raw);

// One argument quoted so that splitCommandLine gives it back exactly: runs
// of single quotes between double quotes, everything else between single
// quotes ('' for the empty argument).
std::string quoteForSplitter(std::string_view argument);

// Where the arguments start in a raw command line by the Windows rules: the
// program name is a quoted first token up to its closing quote, else the
// text up to the first blank or tab; the blanks and tabs after it are
// skipped as well.
std::size_t windowsArgumentsStart(std::string_view raw);

// The launcher's arguments as one text that hands every one of them on
// exactly: on Windows the command-line tail as typed, from
// windowsArgumentsStart on; on Linux each argument quoteForSplitter'ed,
// joined by blanks. Empty when there are no arguments.
std::string exactArguments();

// Builds the argument table once, at process start. On Linux argv[1..] are
// taken as delivered; on Windows argc/argv are ignored and GetCommandLineA is
// split. Argument 0 is always the running executable's path, whole (a path
// the system could deliver only cut is longer than the file services take,
// so that opening it fails with code 3).
void initCommandLine(int argc, char** argv);

int32_t argumentCount();
std::string argumentAt(int32_t index);

// First environment entry whose name matches (ASCII case ignored); entries
// are cut to 255 bytes before splitting. Empty when nothing matches.
std::string environmentValue(std::string_view name);

// Pure lookup over one entry; used by both platforms' environment walks.
// Returns true and sets value when entry (already cut) matches upperName.
bool matchEnvironmentEntry(std::string_view entry, std::string_view upperName, std::string& value);
