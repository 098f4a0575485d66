// What the fuzz targets share: a scratch directory per fuzzing process, and
// running one input in a forked child. The modes end the process through the
// failure path (exit code 217) on damaged input, which a fuzzer cannot do in
// its own process; in a child that is simply the expected outcome. The
// child's coverage counters are handed back to the parent before it ends, so
// the fuzzer still learns from what the child reached.
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

// Runs body in a forked child whose standard output goes to /dev/null. With
// confine set, the child first makes scratchRoot() its root directory, so
// that paths chosen by the input (such as "../../x" or "r /") stay inside it;
// body then sees the scratch directory as "/". Returns the child's exit code.
// A child that ends any other way than with 0 or 217 (a sanitizer report, a
// signal) makes this process abort, so that the fuzzer keeps the input.
int runInChild(bool confine, const std::function<void()>& body);

// True when children can be confined (running as root, or in a user
// namespace of our own).
bool canConfine();

} // namespace fuzz
