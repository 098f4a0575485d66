// Short texts: at most 255 bytes. Assigning or concatenating past that keeps
// the first 255 bytes and drops the rest without a report.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t shortTextMax = 255;

inline std::string shortText(std::string_view s)
{
    return std::string(s.substr(0, shortTextMax));
}
