// The rule that keeps a stored path inside the directory it is unpacked into:
// shared by the packer, which refuses such paths, and just-extract mode,
// which refuses them in a container that was not packed by it.
#pragma once
#include <string_view>

enum class PathFault { none, absolute, drive, parent };

// Why path would lead out of the directory it is taken relative to: a
// leading separator, a drive prefix ("C:"), or a ".." component ("\" and "/"
// both separate).
PathFault entryPathFault(std::string_view path);
