// For the program-start tests of both platforms.
#pragma once
#include <cstdint>
#include <string_view>

#include "runtime/failure/failure.h"
#include "runtime/process/process.h"

// executeProgram as a command entry runs it: a failure to start or wait
// raises EOSError.
inline uint32_t exitCodeOf(std::string_view path, std::string_view arguments)
{
    uint32_t exitCode = 0;
    if (const uint32_t code = executeProgram(path, arguments, {}, exitCode); code != 0)
        raiseException("EOSError", executeFailureMessage(path, arguments, code));
    return exitCode;
}
