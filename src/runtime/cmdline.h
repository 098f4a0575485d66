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
