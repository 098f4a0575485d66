// The platform's side of the cache of unpacked trees: where its root is and
// whether it may be trusted, one look at a name, a file forced to the disk,
// a directory renamed into place, and the locks that keep a tree in use
// from being removed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "runtime/fs/files.h"

// The root of this user's cache: ZOP_CACHE_DIR when set, else the
// platform's place ($XDG_CACHE_HOME/zop or ~/.cache/zop on Linux,
// %LOCALAPPDATA%\zop on Windows); created (owner only) when missing. Empty
// when there is none that may be used: not creatable, no directory; on Linux
// also another user's or writable by others, on Windows a reparse point.
std::string usableCacheRoot();
// The root before it is made and checked: the platform's half
// (cachedir_posix.cpp, cachedir_win32.cpp); empty when there is none.
std::string platformCacheRoot();

enum class EntryKind { missing, file, directory, other };
// What name is, links not followed; size is set for a file.
EntryKind entryKind(std::string_view name, int64_t& size);

// Forces what the open file holds to the disk; false when that failed.
bool syncFile(BinaryFile& f);

// Renames the directory from to to; false (nothing changed) when to exists
// or the rename is refused (on Windows after about a second of retries
// while something holds a file of it).
bool renameDirectory(std::string_view from, std::string_view to);

// A lock on a tree's record (or a private directory): shared while a
// launcher runs from the tree (or unpacks into the directory), exclusive to
// remove it. A lock counts only while name still leads to the locked file:
// one that was renamed away while the lock was awaited is refused. On
// Windows the shared lock is the file held open without delete sharing, and
// the exclusive one only tests that no one holds it (no handle is kept): a
// tree with a file open inside cannot be renamed there, so the rename that
// follows the test fails by itself when a launcher came in between.
struct TreeLock {
    OsHandle handle = noHandle;
};
// Opens name and waits for a shared lock; false when either fails.
bool lockShared(std::string_view name, TreeLock& lock);
// Opens name and takes an exclusive lock if no one holds any; false else.
bool tryLockExclusive(std::string_view name, TreeLock& lock);
void unlock(TreeLock& lock);

// Marks name as used now / tells how many seconds ago it was last marked
// or changed (-1 when that cannot be told).
void markUsed(std::string_view name);
int64_t secondsSinceUse(std::string_view name);

// The names in dir (without "." and ".."); empty when it cannot be read.
std::vector<std::string> namesIn(std::string_view dir);
