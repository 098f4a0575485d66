// The operating-system side of the file services, one implementation per
// platform (files_win32.cpp, files_posix.cpp). Every primitive that can fail
// returns an operating-system error code in the Windows numbering (0 = ok);
// the common code turns it into an I/O code with translateOsError.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "runtime/files.h"

// Windows error codes the common code looks at.
constexpr uint32_t osFileNotFound = 2;      // ERROR_FILE_NOT_FOUND
constexpr uint32_t osPathNotFound = 3;      // ERROR_PATH_NOT_FOUND
constexpr uint32_t osAccessDenied = 5;      // ERROR_ACCESS_DENIED
constexpr uint32_t osNoMoreFiles = 18;      // ERROR_NO_MORE_FILES
constexpr uint32_t osBrokenPipe = 109;      // ERROR_BROKEN_PIPE
constexpr uint32_t osInvalidParameter = 87; // ERROR_INVALID_PARAMETER

// Access bits of an open.
constexpr uint32_t osRead = 1;
constexpr uint32_t osWrite = 2;
// Sharing granted to other opens of the same file.
constexpr uint32_t osShareRead = 1;
constexpr uint32_t osShareWrite = 2;

// The separator that the name conversion replaces by pathSeparator: "/" on
// Windows, "\" on Linux.
extern const char foreignSeparator;
// Linux converts every name; Windows leaves the names of the enumeration and
// of the attribute and existence queries exactly as written.
extern const bool convertLookupNames;
// Windows reserves the device names (CON, NUL, COM1, ...) in every folder.
extern const bool deviceNamesReserved;

// What an open does with the name: open an existing file; open it only when
// it is a regular file (without waiting on a FIFO or device, refused with
// osNotRegularFile); create or truncate; create a file that must not exist.
enum class OsOpenKind { existing, existingRegular, createAlways, createNew };
constexpr uint32_t osNotRegularFile = 222;  // ERROR_BAD_FILE_TYPE

uint32_t osOpen(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                OsHandle& handle);
uint32_t osReadBytes(OsHandle handle, void* buffer, uint32_t count, uint32_t& got);
uint32_t osWriteBytes(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written);
void osClose(OsHandle handle);
bool osIsCharacterDevice(OsHandle handle);
// True when the handle is an interactive terminal (a console on Windows).
bool osIsTerminal(OsHandle handle);

// origin: 0 from the start, 1 from the current position, 2 from the end.
constexpr int osFromStart = 0;
constexpr int osFromCurrent = 1;
constexpr int osFromEnd = 2;
uint32_t osSeek(OsHandle handle, int32_t distance, int origin, uint32_t& position);

// 0 standard input, 1 standard output, 2 standard error.
OsHandle osStandardHandle(int which);

uint32_t osDeleteFile(const std::string& name);
// True when name is a directory whose removal through osDeleteFile is
// refused for that reason alone.
bool osIsPlainDirectory(const std::string& name);
uint32_t osGetAttributes(const std::string& name, uint16_t& attributes);
// Renames from to to, replacing an existing file to in one step.
uint32_t osRenameReplacing(const std::string& from, const std::string& to);
// What tells a file apart from every other on the machine (device and inode,
// volume and file index); false when the file cannot be looked at.
struct OsFileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
};
bool osFileIdentity(const std::string& name, OsFileIdentity& identity);
// True when name exists and is a device, pipe or socket: no regular file and
// no directory.
bool osIsDeviceOrPipe(const std::string& name);

uint32_t osMakeDirectory(const std::string& name);
uint32_t osRemoveDirectory(const std::string& name);
uint32_t osChangeDirectory(const std::string& name);
// The whole current directory; empty when the system cannot deliver it.
std::string osCurrentDirectory();
// Whether path is complete without the current directory (on Windows: a
// drive and a root, or a UNC name), and path taken against base.
bool osIsAbsolutePath(std::string_view path);
std::string osJoinPath(const std::string& base, std::string_view path);

// One directory entry as the enumeration delivers it.
struct OsEntry {
    uint16_t attributes = 0;
    int32_t time = 0;
    int32_t size = 0;
    std::string name;
};
// Starts an enumeration (rec.handle and rec.platform set on success) and
// yields its first entry; osFindNext yields the next one.
uint32_t osFindFirst(const std::string& pattern, SearchRec& rec, OsEntry& entry);
uint32_t osFindNext(SearchRec& rec, OsEntry& entry);
void osFindClose(SearchRec& rec);

// Milliseconds since some fixed point, low 32 bits.
uint32_t osTickCount();

// ---- common helpers shared by binary and text files (files.cpp)

// Every foreign separator replaced by pathSeparator.
std::string systemName(std::string_view name);
// The name as the lookups hand it to the system.
std::string lookupName(std::string_view name);

// The open of binary and text files: the empty name binds the standard input
// (read-only access) or standard output handle; sharing from fileOpenMode.
// Returns 0 or the translated I/O code.
uint16_t openByName(const char* name, uint32_t access, OsOpenKind kind, OsHandle& handle);

// True for the handles that are never closed: the three standard handles.
bool isStandardHandle(OsHandle handle);

// Closes a handle unless it is a standard handle or a character device.
void closeHandleOf(OsHandle handle);
