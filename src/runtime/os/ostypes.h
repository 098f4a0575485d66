// The facts of the platform that the operating-system layer and the file
// services share: handles, separators, name limits and attribute bits.
#pragma once
#include <cstddef>
#include <cstdint>

// OS handle: a HANDLE on Windows, a descriptor on Linux.
using OsHandle = intptr_t;
constexpr OsHandle noHandle = -1;

// The separator of the paths the program builds for the operating system.
extern const char pathSeparator;
// Windows: "C:name" names a file on drive C, so a colon ends a directory
// part as a separator does.
extern const bool driveLetters;
// Linux: the POSIX variable TMPDIR names the temporary directory.
extern const bool tmpdirVariable;

// The longest path the file services hand to the operating system: 32767 bytes
// on Windows (past MAX_PATH only where the system's long-path setting is on),
// PATH_MAX less its terminator on Linux. A longer path is never cut
// (a cut path would name another file): the operation fails with code 3.
extern const std::size_t fileNameMax;

// Attribute bits of a directory entry.
constexpr uint16_t faReadOnly = 0x01;
constexpr uint16_t faHidden = 0x02;
constexpr uint16_t faSystem = 0x04;
constexpr uint16_t faVolume = 0x08;
constexpr uint16_t faDirectory = 0x10;
constexpr uint16_t faArchive = 0x20;
constexpr uint16_t faAnyFile = faReadOnly | faHidden | faSystem | faVolume | faDirectory | faArchive;
constexpr uint16_t faReparsePoint = 0x400;  // symbolic links and junctions

// The platform's own state of a running enumeration.
struct OsSearch;
// The platform's own state of a tree being removed in parts (oscalls.h).
struct OsTree;
