#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "runtime/workdir/cachedir.h"
#include "runtime/process/cmdline.h"
#include "runtime/os/oscalls.h"

namespace {

// $XDG_CACHE_HOME (only an absolute one counts), else ~/.cache, made owner
// only when it is made here.
std::string defaultCacheBase()
{
    const std::string xdg = environmentValue("XDG_CACHE_HOME");
    if (!xdg.empty() && xdg[0] == '/')
        return xdg;
    const std::string home = environmentValue("HOME");
    if (home.empty() || home[0] != '/')
        return {};
    const std::string base = home + "/.cache";
    mkdir(base.c_str(), 0700);
    return base;
}

} // namespace

std::string usableCacheRoot()
{
    std::string root = environmentValue("ZOP_CACHE_DIR");
    if (!root.empty() && root[0] != '/') {
        root = absolutePath(root);
        if (ioResult() != 0)
            return {};
    } else if (root.empty()) {
        const std::string base = defaultCacheBase();
        if (base.empty())
            return {};
        root = base + "/zop";
    }
    mkdir(root.c_str(), 0700);
    struct stat info{};
    if (lstat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return {};
    return root;
}

EntryKind entryKind(std::string_view name, int64_t& size)
{
    struct stat info{};
    if (lstat(systemName(name).c_str(), &info) != 0)
        return EntryKind::missing;
    if (S_ISDIR(info.st_mode))
        return EntryKind::directory;
    if (!S_ISREG(info.st_mode))
        return EntryKind::other;
    size = info.st_size;
    return EntryKind::file;
}

bool syncFile(BinaryFile& f)
{
    return fsync(static_cast<int>(f.handle)) == 0;
}

bool renameDirectory(std::string_view from, std::string_view to)
{
    const std::string target(to);
    struct stat info{};
    if (lstat(target.c_str(), &info) == 0)
        return false;
    // rename replaces an empty directory; a tree always holds its record,
    // so a winner's tree is never replaced.
    return rename(std::string(from).c_str(), target.c_str()) == 0;
}

namespace {

bool lockWith(std::string_view name, TreeLock& lock, int operation)
{
    const int fd = open(std::string(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    int result;
    do
        result = flock(fd, operation);
    while (result != 0 && errno == EINTR);
    // Whoever held the lock may have renamed the file away meanwhile.
    struct stat held{};
    struct stat named{};
    if (result != 0 || fstat(fd, &held) != 0 || lstat(std::string(name).c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        close(fd);
        return false;
    }
    lock.handle = fd;
    return true;
}

} // namespace

bool lockShared(std::string_view name, TreeLock& lock)
{
    return lockWith(name, lock, LOCK_SH);
}

bool tryLockExclusive(std::string_view name, TreeLock& lock)
{
    return lockWith(name, lock, LOCK_EX | LOCK_NB);
}

void unlock(TreeLock& lock)
{
    if (lock.handle == noHandle)
        return;
    close(static_cast<int>(lock.handle));
    lock.handle = noHandle;
}

void markUsed(std::string_view name)
{
    utimensat(AT_FDCWD, std::string(name).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}

int64_t secondsSinceUse(std::string_view name)
{
    struct stat info{};
    if (lstat(std::string(name).c_str(), &info) != 0)
        return -1;
    const time_t now = time(nullptr);
    return now < info.st_mtime ? 0 : static_cast<int64_t>(now - info.st_mtime);
}

std::vector<std::string> namesIn(std::string_view dir)
{
    std::vector<std::string> names;
    DIR* listing = opendir(std::string(dir).c_str());
    if (listing == nullptr)
        return names;
    while (const dirent* entry = readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    closedir(listing);
    return names;
}
