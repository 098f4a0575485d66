// Filled by the platform's initCommandLine: every entry of the argument
// table, argument 0 (the running executable) first.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

void setArgumentTable(std::vector<std::string> arguments);

// The name environmentValue looks for: cut to 255 bytes, ASCII upper case.
std::string environmentLookupName(std::string_view name);

// Environment entries are cut to this length before they are split.
constexpr std::size_t environmentEntryMax = 255;
