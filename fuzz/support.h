// What the fuzz targets share: a scratch directory per fuzzing process, and
// running the program's code on one input in this very process. The modes
// end the process through the failure path (exit code 217) on damaged
// input; here the failure path's final step throws back to the harness
// instead, which unwinds the modes' frames (they close what they opened),
// and the runtime's process-wide state is reset before the next input. While
// the code runs, the table of OS calls keeps every path it names inside the
// scratch directory and starts no program at all.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace fuzz {

// The scratch directory of this fuzzing process (made on first use).
const std::string& scratchRoot();

// Writes bytes into the file at path (created or truncated). Aborts on failure.
void writeFile(const std::string& path, std::string_view bytes);
// Removes everything below dir and leaves dir itself, empty.
void emptyDirectory(const std::string& dir);

// What a confined run saw.
struct RunResult {
    int exitCode = 0;          // 0 when body returned, else the code the program ended with
    bool refusedPath = false;  // a path outside the scratch directory was refused
    bool startedProgram = false;  // a command was "run" (it never starts)
};

// Runs body in the directory with the runtime's process-wide state reset
// and the OS table confined: every name outside scratchRoot() is refused as
// access denied, and a program start ends with 0 without starting anything.
// Returns when body returns or the program's code ends the process, back in
// the current directory of the call (the fuzzer's paths are relative to it).
// Aborts when body left a descriptor open.
RunResult runConfined(const std::string& directory, const std::function<void()>& body);

} // namespace fuzz
