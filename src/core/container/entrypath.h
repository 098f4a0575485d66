// The rules that keep a stored path inside the directory it is unpacked
// into: shared by the packer, which refuses such paths, and the run and
// just-extract modes, which refuse them in a container not packed by it.
#pragma once
#include <string_view>

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
