// Linux: errno values translated into the Windows error codes that the rest
// of the program relies on (the failure path then maps those to I/O codes).
#pragma once
#include <cstdint>
#include <string_view>

// path, when given, lets ENOENT tell a missing file (2) from a missing
// directory on the way to it (3).
uint32_t osCodeFromErrno(int err, std::string_view path = {});
