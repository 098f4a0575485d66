// Linux: the calls of the cache of unpacked trees. The lock is flock on the
// tree's record (shared while a launcher runs from the tree, exclusive to
// remove it), counted only while the name still leads to the locked file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/os/oscalls.h"

namespace {

// The user the process runs as, asked once: a cache hit looks at every file
// of its tree, and zop never changes its user.
const uid_t ownUser = geteuid();

} // namespace

bool nativePathFacts(const std::string& name, OsPathFacts& facts)
{
    struct stat info{};
    if (lstat(name.c_str(), &info) != 0)
        return false;
    facts.kind = S_ISDIR(info.st_mode) ? OsPathKind::directory
                 : S_ISREG(info.st_mode) ? OsPathKind::file
                                         : OsPathKind::other;
    facts.size = static_cast<int64_t>(info.st_size);
    const time_t now = time(nullptr);
    facts.secondsSinceChange = now < info.st_mtime ? 0 : static_cast<int64_t>(now - info.st_mtime);
    facts.privateToUser = info.st_uid == ownUser && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    return true;
}

bool nativeSyncHandle(OsHandle handle)
{
    return fsync(static_cast<int>(handle)) == 0;
}

bool nativeRenameDirectory(const std::string& from, const std::string& to)
{
    struct stat info{};
    if (lstat(to.c_str(), &info) == 0)
        return false;
    // rename replaces an empty directory; a tree always holds its record,
    // so a winner's tree is never replaced.
    return rename(from.c_str(), to.c_str()) == 0;
}

bool nativeLockFile(const std::string& name, OsLockKind kind, OsHandle& handle)
{
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const int operation = kind == OsLockKind::shared ? LOCK_SH : LOCK_EX | LOCK_NB;
    int result;
    do
        result = flock(fd, operation);
    while (result != 0 && errno == EINTR);
    // Whoever held the lock may have renamed the file away meanwhile.
    struct stat held{};
    struct stat named{};
    if (result != 0 || fstat(fd, &held) != 0 || lstat(name.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        close(fd);
        return false;
    }
    handle = fd;
    return true;
}

void nativeMarkUsed(const std::string& name)
{
    utimensat(AT_FDCWD, name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}
