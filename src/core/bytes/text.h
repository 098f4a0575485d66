// Text helpers. Positions are 1-based; comparisons are byte for byte.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Position of the first occurrence of pattern in text; 0 when none.
std::size_t find(std::string_view pattern, std::string_view text);
// At most count bytes of text from index on (index below 1 counts as 1).
std::string copyText(std::string_view text, long long index, long long count);
// True when prefix is not empty and text begins with it.
bool startsWith(std::string_view prefix, std::string_view text);
// Every occurrence replaced, left to right, never searching inserted text.
std::string replaceAll(std::string_view text, std::string_view oldPattern, std::string_view newPattern);
