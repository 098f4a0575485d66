// Small text rules shared by the runtime. Short texts: at most 255 bytes;
// assigning or concatenating past that keeps the first 255 bytes and drops
// the rest without a report.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t shortTextMax = 255;

inline std::string shortText(std::string_view s)
{
    return std::string(s.substr(0, shortTextMax));
}

// ASCII letters in upper case, every other byte as it is.
inline char upperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The text with its ASCII letters in lower case, every other byte as it is.
inline std::string lowerAscii(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}
