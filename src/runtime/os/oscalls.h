// Room runtime/os: the table of operating-system calls and its two halves,
// errno translation, the platform facts. May include: runtime/base
// (docs/architecture.md).
//
// The bottom of the runtime: every call of the program into the operating
// system's files, directories, environment and program start, one
// implementation per platform (oscalls_win32.cpp, oscalls_posix.cpp), all
// reached through one replaceable table. An entry is the platform's call and
// nothing more: the rules the program keeps on top (the held-files rule,
// answering a stop request when a call was interrupted) sit above the table,
// in runtime/fs and the callers. Every primitive that can fail returns an
// operating-system error code in the Windows numbering (0 = ok; osInterrupted
// when a signal cut it short); the common code turns it into an I/O code with
// translateOsError. Nothing here ends the process.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>
#include "runtime/os/ostypes.h"
#include "runtime/base/iocodes.h"

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
// osNotRegularFile); create or truncate; create a file that must not exist;
// create a file when it is missing and keep the content of one that exists.
enum class OsOpenKind { existing, existingRegular, createAlways, createNew, openOrCreate };

// origin: 0 from the start, 1 from the current position, 2 from the end.
constexpr int osFromStart = 0;
constexpr int osFromCurrent = 1;
constexpr int osFromEnd = 2;

// What tells a file apart from every other on the machine (device and inode,
// volume and file index).
struct OsFileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
};

// What the file open as a handle is: its identity, whether it is a regular
// file, and whether it holds any bytes.
struct OsHandleFacts {
    OsFileIdentity identity;
    bool regular = false;
    bool empty = true;
};

// One directory entry as the enumeration delivers it.
struct OsEntry {
    uint16_t attributes = 0;
    int32_t time = 0;
    int32_t size = 0;
    std::string name;
};

// What one look at a name finds, links not followed (a link, a device or,
// on Windows, any reparse point is `other`).
enum class OsPathKind { file, directory, other };
struct OsPathFacts {
    OsPathKind kind = OsPathKind::other;
    int64_t size = 0;                 // a file's bytes
    int64_t secondsSinceChange = 0;   // since it was last written or marked used
    bool privateToUser = false;       // Linux: this user's, and no one else may write to it; Windows: always
};

// The locks of the cache's trees: shared (waits while an exclusive one is
// held or tested), or exclusive only when no one holds any (never waits).
enum class OsLockKind { shared, exclusiveIfFree };

// ---- The table of operating-system calls. Every call of the program into
// the operating system's files, directories, environment and programs goes
// through it, so that tests and fuzz targets can put their own in place of
// any entry (a disk that fills up, a denied access, a program that never
// starts) and restore the saved table after. The names below dispatch
// through it. Not in the table: threads and their locks, the set-up of
// signal and fault handlers, the message box, memory, and the end of the
// process.
struct OsCalls {
    uint32_t (*open)(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                     OsHandle& handle);
    // One read or write: fewer bytes than asked when the system delivers
    // fewer; osInterrupted when a signal came before any byte moved.
    uint32_t (*readBytes)(OsHandle handle, void* buffer, uint32_t count, uint32_t& got);
    uint32_t (*writeBytes)(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written);
    void (*close)(OsHandle handle);
    uint32_t (*describeHandle)(OsHandle handle, OsHandleFacts& facts);
    uint32_t (*truncate)(OsHandle handle);
    bool (*isCharacterDevice)(OsHandle handle);
    bool (*isTerminal)(OsHandle handle);
    uint32_t (*terminalColumns)(OsHandle handle);
    uint32_t (*seek)(OsHandle handle, int32_t distance, int origin, uint32_t& position);
    OsHandle (*standardHandle)(int which);
    uint32_t (*deleteFile)(const std::string& name);
    bool (*isPlainDirectory)(const std::string& name);
    bool (*isDirectory)(const std::string& name);
    uint32_t (*getAttributes)(const std::string& name, uint16_t& attributes);
    uint32_t (*renameReplacing)(const std::string& from, const std::string& to);
    bool (*fileIdentity)(const std::string& name, OsFileIdentity& identity);
    bool (*isDeviceOrPipe)(const std::string& name);
    uint32_t (*makeDirectory)(const std::string& name, bool ownerOnly);
    uint32_t (*removeDirectory)(const std::string& name);
    uint32_t (*changeDirectory)(const std::string& name);
    std::string (*currentDirectory)();
    bool (*isAbsolutePath)(std::string_view path);
    std::string (*joinPath)(const std::string& base, std::string_view path);
    uint32_t (*findFirst)(const std::string& pattern, OsSearch*& search, OsEntry& entry);
    uint32_t (*findNext)(OsSearch*& search, OsEntry& entry);
    void (*findClose)(OsSearch*& search);
    uint32_t (*tickCount)();
    bool (*randomNumber)(uint32_t& number);
    std::string (*executablePath)();
    std::string (*commandLine)();
    std::string (*environment)();
    std::string (*systemDirectory)(bool windowsFolder);
    bool (*registryNumber)(bool machine, const char* key, const char* value, uint32_t& number);
    uint32_t (*executeProgram)(std::string_view path, std::string_view arguments,
                               std::string_view searchFirst, uint32_t& exitCode);
    // The removal of the work directory, one entry: the walk below it and
    // its rules against links and other mounts belong to each platform's
    // own calls (removetree_posix.cpp, removetree_win32.cpp).
    bool (*directoryIdentity)(std::string_view path, OsFileIdentity& identity);
    void (*removeTree)(std::string_view path, const OsFileIdentity& identity);
    // The same removal in parts that several threads can share (see
    // OsTree below): the checked top held open, one directory's files, one
    // subtree, the top released. removeTree then takes what is left.
    OsTree* (*openTree)(std::string_view path, const OsFileIdentity& identity);
    bool (*emptyTreeDirectory)(OsTree* tree, const std::string& dir, std::vector<std::string>& subdirectories);
    void (*removeSubtree)(OsTree* tree, const std::string& dir);
    void (*closeTree)(OsTree* tree);
    // The cache of unpacked trees (cachecalls_posix.cpp, cachecalls_win32.cpp).
    // A look at a name (false: nothing there, or it cannot be seen).
    bool (*pathFacts)(const std::string& name, OsPathFacts& facts);
    // Forces what the open file holds to the disk.
    bool (*syncHandle)(OsHandle handle);
    // Renames a directory only when nothing has the new name; false, nothing
    // changed, when something has or the rename is refused (on Windows after
    // about a second of retries while something holds a file of it).
    bool (*renameDirectory)(const std::string& from, const std::string& to);
    // Opens name and locks it. A lock counts only while name still leads to
    // the locked file: one renamed away while the lock was awaited is
    // refused. On Windows the shared lock is the file held open without
    // delete sharing (a directory shares everything), and the exclusive one
    // only tests that no one holds the file (handle is then noHandle). The
    // lock ends when the handle is closed.
    bool (*lockFile)(const std::string& name, OsLockKind kind, OsHandle& handle);
    // Marks name (a file or directory) as changed now.
    void (*markUsed)(const std::string& name);
};
// The table in use: the platform's own calls until someone replaces one.
extern OsCalls osCalls;

// The platform's own start of a program (process_posix.cpp,
// process_win32.cpp): the exit code, or the operating-system code of a
// failure to start or wait. Everything else calls executeProgram
// (process.h), which raises that failure.
uint32_t nativeExecuteProgram(std::string_view path, std::string_view arguments,
                              std::string_view searchFirst, uint32_t& exitCode);
// The platform's own identity of a directory (false when path is no
// directory of this process's own: a link, another user's directory,
// nothing) and removal of a tree that still has the recorded identity
// (see runtime/workdir/removetree.h).
bool nativeDirectoryIdentity(std::string_view path, OsFileIdentity& identity);
void nativeRemoveTree(std::string_view path, const OsFileIdentity& identity);
// The platform's own calls of the cache (see the table's entries).
bool nativePathFacts(const std::string& name, OsPathFacts& facts);
bool nativeSyncHandle(OsHandle handle);
bool nativeRenameDirectory(const std::string& from, const std::string& to);
bool nativeLockFile(const std::string& name, OsLockKind kind, OsHandle& handle);
void nativeMarkUsed(const std::string& name);

// A tree being removed in parts, on any number of threads at once: the top
// directory, checked against the recorded identity (and given its owner's
// rights back), held open until closeTree. Every part is named by its path
// relative to the top, "" for the top itself, components separated by "/",
// and is reached from the held top one component at a time, never through
// a link and never into another mount (a volume in a folder on Windows);
// a part that cannot be reached so is left alone, for removeTree's walk.
// Null when the path no longer leads to the recorded directory.
OsTree* nativeOpenTree(std::string_view path, const OsFileIdentity& identity);
// Deletes the files and links of directory dir and appends the relative
// paths of its subdirectories; false when dir cannot be reached. Called on
// one thread, before any removeSubtree: the tree may keep the directories
// of the deepest level so emptied open, to reach their subtrees faster.
bool nativeEmptyTreeDirectory(OsTree* tree, const std::string& dir, std::vector<std::string>& subdirectories);
// Deletes dir (not the top) with everything below it, by the walk of
// removeTree.
void nativeRemoveSubtree(OsTree* tree, const std::string& dir);
void nativeCloseTree(OsTree* tree);

inline uint32_t osOpen(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                       OsHandle& handle)
{
    return osCalls.open(name, access, sharing, kind, handle);
}

inline uint32_t osReadBytes(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    return osCalls.readBytes(handle, buffer, count, got);
}

inline uint32_t osWriteBytes(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    return osCalls.writeBytes(handle, buffer, count, written);
}

inline void osClose(OsHandle handle)
{
    osCalls.close(handle);
}

inline uint32_t osDescribeHandle(OsHandle handle, OsHandleFacts& facts)
{
    return osCalls.describeHandle(handle, facts);
}

// Cuts the file open for writing as handle to no bytes.
inline uint32_t osTruncate(OsHandle handle)
{
    return osCalls.truncate(handle);
}

inline bool osIsCharacterDevice(OsHandle handle)
{
    return osCalls.isCharacterDevice(handle);
}

// True when the handle is an interactive terminal (a console on Windows).
inline bool osIsTerminal(OsHandle handle)
{
    return osCalls.isTerminal(handle);
}

// The width of the terminal (console window) in columns; 0 when unknown.
inline uint32_t osTerminalColumns(OsHandle handle)
{
    return osCalls.terminalColumns(handle);
}

inline uint32_t osSeek(OsHandle handle, int32_t distance, int origin, uint32_t& position)
{
    return osCalls.seek(handle, distance, origin, position);
}

// 0 standard input, 1 standard output, 2 standard error.
inline OsHandle osStandardHandle(int which)
{
    return osCalls.standardHandle(which);
}

inline uint32_t osDeleteFile(const std::string& name)
{
    return osCalls.deleteFile(name);
}

// True when name is a directory whose removal through osDeleteFile is
// refused for that reason alone.
inline bool osIsPlainDirectory(const std::string& name)
{
    return osCalls.isPlainDirectory(name);
}

// True when name is a directory, a link to one included.
inline bool osIsDirectory(const std::string& name)
{
    return osCalls.isDirectory(name);
}

inline uint32_t osGetAttributes(const std::string& name, uint16_t& attributes)
{
    return osCalls.getAttributes(name, attributes);
}

// Renames from to to, replacing an existing file to in one step.
inline uint32_t osRenameReplacing(const std::string& from, const std::string& to)
{
    return osCalls.renameReplacing(from, to);
}

// False when the file cannot be looked at.
inline bool osFileIdentity(const std::string& name, OsFileIdentity& identity)
{
    return osCalls.fileIdentity(name, identity);
}

// True when name exists and is a device, pipe or socket: no regular file and
// no directory.
inline bool osIsDeviceOrPipe(const std::string& name)
{
    return osCalls.isDeviceOrPipe(name);
}

inline uint32_t osMakeDirectory(const std::string& name)
{
    return osCalls.makeDirectory(name, false);
}

// A directory only its owner can enter (mode 0700 on Linux; on Windows the
// same as osMakeDirectory).
inline uint32_t osMakePrivateDirectory(const std::string& name)
{
    return osCalls.makeDirectory(name, true);
}

inline uint32_t osRemoveDirectory(const std::string& name)
{
    return osCalls.removeDirectory(name);
}

inline uint32_t osChangeDirectory(const std::string& name)
{
    return osCalls.changeDirectory(name);
}

// The whole current directory; empty when the operating system cannot
// deliver it.
inline std::string osCurrentDirectory()
{
    return osCalls.currentDirectory();
}

// Whether path is complete without the current directory (on Windows: a
// drive and a root, or a UNC name), and path taken against base.
inline bool osIsAbsolutePath(std::string_view path)
{
    return osCalls.isAbsolutePath(path);
}

inline std::string osJoinPath(const std::string& base, std::string_view path)
{
    return osCalls.joinPath(base, path);
}

// Starts an enumeration (rec.search set on success) and yields its first
// entry; osFindNext yields the next one.
inline uint32_t osFindFirst(const std::string& pattern, OsSearch*& search, OsEntry& entry)
{
    return osCalls.findFirst(pattern, search, entry);
}

inline uint32_t osFindNext(OsSearch*& search, OsEntry& entry)
{
    return osCalls.findNext(search, entry);
}

inline void osFindClose(OsSearch*& search)
{
    osCalls.findClose(search);
}

// Milliseconds since some fixed point, low 32 bits.
inline uint32_t osTickCount()
{
    return osCalls.tickCount();
}

// Fills number from the system's source of random bytes without waiting;
// false when there is none (Windows: the generator of files.h serves).
inline bool osRandomNumber(uint32_t& number)
{
    return osCalls.randomNumber(number);
}

// The path of the running executable (Linux: /proc/self/exe; empty without
// /proc). A path the system cut to its buffer is kept one byte longer than
// any path the file services accept, so that opening it fails.
inline std::string osExecutablePath()
{
    return osCalls.executablePath();
}

// Windows: the raw command line as the process received it. Linux: empty,
// the arguments arrive split.
inline std::string osCommandLine()
{
    return osCalls.commandLine();
}

// The environment: every entry "NAME=value" followed by a zero byte.
inline std::string osEnvironment()
{
    return osCalls.environment();
}

// Windows: the system directory, or with windowsFolder the Windows
// directory; empty when unknown and on Linux.
inline std::string osSystemDirectory(bool windowsFolder)
{
    return osCalls.systemDirectory(windowsFolder);
}

// Windows: a number value of key under HKEY_LOCAL_MACHINE (machine) or
// HKEY_CURRENT_USER; false when there is none (always on Linux).
inline bool osRegistryNumber(bool machine, const char* key, const char* value, uint32_t& number)
{
    return osCalls.registryNumber(machine, key, value, number);
}

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
