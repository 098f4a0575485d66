// The cache's side of the directories: the root's creation and trust rule,
// and the looks, locks and renames of cache.cpp, all through the table of
// operating-system calls.
#include "runtime/workdir/cachedir.h"

#include "runtime/os/oscalls.h"

std::string usableCacheRoot()
{
    const std::string root = platformCacheRoot();
    if (root.empty() || ioResult() != 0)
        return {};
    (void)osCalls.makeDirectory(systemName(root), true);
    OsPathFacts facts;
    if (!osCalls.pathFacts(systemName(root), facts) || facts.kind != OsPathKind::directory || !facts.privateToUser)
        return {};
    return root;
}

EntryKind entryKind(std::string_view name, int64_t& size)
{
    OsPathFacts facts;
    if (!osCalls.pathFacts(systemName(name), facts))
        return EntryKind::missing;
    if (facts.kind != OsPathKind::file)
        return facts.kind == OsPathKind::directory ? EntryKind::directory : EntryKind::other;
    size = facts.size;
    return EntryKind::file;
}

bool syncFile(BinaryFile& f)
{
    return osCalls.syncHandle(f.handle);
}

bool renameDirectory(std::string_view from, std::string_view to)
{
    return osCalls.renameDirectory(systemName(from), systemName(to));
}

bool lockShared(std::string_view name, TreeLock& lock)
{
    return osCalls.lockFile(systemName(name), OsLockKind::shared, lock.handle);
}

bool tryLockExclusive(std::string_view name, TreeLock& lock)
{
    return osCalls.lockFile(systemName(name), OsLockKind::exclusiveIfFree, lock.handle);
}

void unlock(TreeLock& lock)
{
    if (lock.handle == noHandle)
        return;
    osCalls.close(lock.handle);
    lock.handle = noHandle;
}

void markUsed(std::string_view name)
{
    osCalls.markUsed(systemName(name));
}

int64_t secondsSinceUse(std::string_view name)
{
    OsPathFacts facts;
    return osCalls.pathFacts(systemName(name), facts) ? facts.secondsSinceChange : -1;
}

std::vector<std::string> namesIn(std::string_view dir)
{
    std::vector<std::string> names;
    OsSearch* search = nullptr;
    OsEntry entry;
    const std::string pattern = systemName(std::string(dir) + pathSeparator + "*");
    for (uint32_t code = osCalls.findFirst(pattern, search, entry); code == 0;
         code = osCalls.findNext(search, entry))
        if (entry.name != "." && entry.name != "..")
            names.push_back(entry.name);
    osCalls.findClose(search);
    return names;
}
