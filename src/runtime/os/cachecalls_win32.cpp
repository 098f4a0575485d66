// Windows: the calls of the cache of unpacked trees. A running launcher
// holds its tree's record open without delete or write sharing: while it
// does, neither the record nor the directories above it can be deleted or
// renamed, which is what keeps a tree in use. The exclusive lock is the test
// that no one holds the file at that moment (an open that shares nothing);
// it is not kept, because a directory with a file open inside cannot be
// renamed, and a launcher that opens the record just after the test makes
// the rename that follows fail.
#include <windows.h>

#include "runtime/os/oscalls.h"

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

// The file or directory, opened for reading with the given sharing; not
// passed on to the programs the launcher starts.
HANDLE openForLock(const std::string& name, DWORD sharing)
{
    return CreateFileA(name.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

uint64_t fileTimeValue(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

} // namespace

bool nativePathFacts(const std::string& name, OsPathFacts& facts)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data) == 0)
        return false;
    facts.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? OsPathKind::other
                 : (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? OsPathKind::directory
                                                                        : OsPathKind::file;
    facts.size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t then = fileTimeValue(data.ftLastWriteTime);
    const uint64_t current = fileTimeValue(now);
    facts.secondsSinceChange = current < then ? 0 : static_cast<int64_t>((current - then) / 10000000);
    facts.privateToUser = true;
    return true;
}

bool nativeSyncHandle(OsHandle handle)
{
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

bool nativeRenameDirectory(const std::string& from, const std::string& to)
{
    for (int attempt = 1;; ++attempt) {
        if (GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES)
            return false;
        if (MoveFileExA(from.c_str(), to.c_str(), 0))
            return true;
        if (!isHeldElsewhere(GetLastError()) || attempt == renameTries)
            return false;
        Sleep(renamePause);
    }
}

bool nativeLockFile(const std::string& name, OsLockKind kind, OsHandle& handle)
{
    if (kind == OsLockKind::exclusiveIfFree) {
        const HANDLE h = openForLock(name, 0);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(h);
        handle = noHandle;
        return true;
    }
    // A record is shared for reading only; a private directory shares
    // everything, so that its own launcher can still rename or remove it,
    // and an open that shares nothing still fails while it is held.
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD sharing = (attributes & FILE_ATTRIBUTE_DIRECTORY)
                              ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                              : FILE_SHARE_READ;
    for (int attempt = 1;; ++attempt) {
        const HANDLE h = openForLock(name, sharing);
        if (h != INVALID_HANDLE_VALUE) {
            handle = reinterpret_cast<OsHandle>(h);
            return true;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == lockTries)
            return false;
        Sleep(lockPause);
    }
}

void nativeMarkUsed(const std::string& name)
{
    // Writing attributes is no access that sharing restricts: this works
    // while the record is held.
    const HANDLE h = CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFileTime(h, nullptr, nullptr, &now);
    CloseHandle(h);
}
