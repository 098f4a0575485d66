// Windows: the root is %LOCALAPPDATA%\zop, a plain directory (no junction
// or other reparse point). A running launcher holds its tree's record open
// without delete or write sharing: while it does, neither the record nor the
// directories above it can be deleted or renamed, which is what keeps a tree
// in use. The exclusive lock is the test that no one holds the file at that
// moment (an open that shares nothing); it is not kept, because a directory
// with a file open inside cannot be renamed, and a launcher that opens the
// record just after the test makes the rename that follows fail.
#include <windows.h>

#include "runtime/workdir/cachedir.h"
#include "runtime/os/oscalls.h"
#include "runtime/process/cmdline.h"

namespace {

// A rename refused because something (a virus scanner, an indexer) holds a
// file of the tree is tried again in short steps, for about a second.
constexpr DWORD renamePause = 50;
constexpr int renameTries = 20;
// A shared lock that meets another launcher's exclusive test waits for it.
constexpr DWORD lockPause = 5;
constexpr int lockTries = 40;

bool isHeldElsewhere(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
}

bool attributesOf(std::string_view name, WIN32_FILE_ATTRIBUTE_DATA& data)
{
    return GetFileAttributesExA(systemName(name).c_str(), GetFileExInfoStandard, &data) != 0;
}

// The file or directory, opened for reading with the given sharing; not
// passed on to the programs the launcher starts.
HANDLE openForLock(std::string_view name, DWORD sharing)
{
    return CreateFileA(systemName(name).c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

uint64_t fileTimeValue(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

} // namespace

std::string usableCacheRoot()
{
    std::string root = environmentValue("ZOP_CACHE_DIR");
    if (root.empty()) {
        const std::string base = environmentValue("LOCALAPPDATA");
        if (base.empty())
            return {};
        root = base + "\\zop";
    }
    root = absolutePath(root);
    if (ioResult() != 0)
        return {};
    CreateDirectoryA(root.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesA(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    return root;
}

EntryKind entryKind(std::string_view name, int64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributesOf(name, data))
        return EntryKind::missing;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryKind::other;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::directory;
    size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return EntryKind::file;
}

bool syncFile(BinaryFile& f)
{
    return FlushFileBuffers(reinterpret_cast<HANDLE>(f.handle)) != 0;
}

bool renameDirectory(std::string_view from, std::string_view to)
{
    const std::string source = systemName(from);
    const std::string target = systemName(to);
    for (int attempt = 1;; ++attempt) {
        if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES)
            return false;
        if (MoveFileExA(source.c_str(), target.c_str(), 0))
            return true;
        if (!isHeldElsewhere(GetLastError()) || attempt == renameTries)
            return false;
        Sleep(renamePause);
    }
}

bool lockShared(std::string_view name, TreeLock& lock)
{
    // A record is shared for reading only; a private directory shares
    // everything, so that its own launcher can still rename or remove it,
    // and an open that shares nothing still fails while it is held.
    const DWORD attributes = GetFileAttributesA(systemName(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD sharing = (attributes & FILE_ATTRIBUTE_DIRECTORY)
                              ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                              : FILE_SHARE_READ;
    for (int attempt = 1;; ++attempt) {
        const HANDLE h = openForLock(name, sharing);
        if (h != INVALID_HANDLE_VALUE) {
            lock.handle = reinterpret_cast<OsHandle>(h);
            return true;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == lockTries)
            return false;
        Sleep(lockPause);
    }
}

bool tryLockExclusive(std::string_view name, TreeLock& lock)
{
    const HANDLE h = openForLock(name, 0);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    lock.handle = noHandle;
    return true;
}

void unlock(TreeLock& lock)
{
    if (lock.handle == noHandle)
        return;
    CloseHandle(reinterpret_cast<HANDLE>(lock.handle));
    lock.handle = noHandle;
}

void markUsed(std::string_view name)
{
    // Writing attributes is no access that sharing restricts: this works
    // while the record is held.
    const HANDLE h = CreateFileA(systemName(name).c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFileTime(h, nullptr, nullptr, &now);
    CloseHandle(h);
}

int64_t secondsSinceUse(std::string_view name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributesOf(name, data))
        return -1;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t then = fileTimeValue(data.ftLastWriteTime);
    const uint64_t current = fileTimeValue(now);
    return current < then ? 0 : static_cast<int64_t>((current - then) / 10000000);
}

std::vector<std::string> namesIn(std::string_view dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA((systemName(dir) + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string_view name = data.cFileName;
        if (name != "." && name != "..")
            names.emplace_back(name);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return names;
}
