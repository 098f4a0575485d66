// Room core/paths: the rules of names and paths. May include: runtime
// (docs/architecture.md).
//
// One home for how zop takes paths apart and puts them together: the
// separators ("\" and "/" both separate, wherever a path comes from), drive
// letters, the 255-byte limit of every path a mode keeps, and the rules that
// keep a stored path inside the directory it is unpacked into (shared by the
// packer, which refuses such paths, and the run and just-extract modes,
// which refuse them in a container not packed by it).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/base/shorttext.h"

// ---------------------------------------------------------------- splitting and joining

// "\" and "/": both separate in stored names and in the paths zop is given.
bool isPathSeparator(char c);

// The name after the last "\" or "/" (all of path when it has none).
std::string_view fileNamePart(std::string_view path);
// fileNamePart that drops a drive ("C:name") as well: after the last "\",
// "/" or ":".
std::string_view fileNamePartAfterDrive(std::string_view path);
// fileNamePart with this platform's own separators only: "\", and "/" in
// the Linux port (a Windows "a/b" stays whole).
std::string_view nativeFileNamePart(std::string_view path);

// The directory a name is created in: everything before the last "\" or
// "/", without it; empty when path has no separator.
std::string_view parentDirectory(std::string_view path);
// The directory part to put a new name behind: everything through the last
// separator (on Windows, a drive's colon counts as one: "C:x" gives "C:");
// empty when path has none.
std::string_view directoryPrefix(std::string_view path);

// directory, this platform's separator, name.
std::string joinPath(std::string directory, std::string_view name);

// ---------------------------------------------------------------- limits

// The longest path a mode keeps (a short text): one longer would be cut.
constexpr std::size_t pathLengthMax = shortTextMax;

// True when a path of `length` bytes fits pathLengthMax.
inline bool fitsPathLength(std::size_t length)
{
    return length <= pathLengthMax;
}

// ---------------------------------------------------------------- stored names

enum class PathFault { none, absolute, drive, parent };

// Why path would lead out of the directory it is taken relative to: a
// leading separator, a drive prefix ("C:"), or a ".." component ("\" and "/"
// both separate).
PathFault entryPathFault(std::string_view path);

// True when text holds a byte below 0x20 (a tab excepted when allowed).
bool holdsControlByte(std::string_view text, bool tabAllowed);

// True when a d or f entry's name may not be created below the directory it
// is unpacked into: empty (a name that is empty or starts with NUL would
// bind a standard handle), holding a control byte, leading out of that
// directory (entryPathFault), or naming a device where the platform
// reserves device names. The run mode asks it of the name after its
// placeholders are replaced, just-extract of the name as stored.
bool isUnsafeEntryName(std::string_view name);
