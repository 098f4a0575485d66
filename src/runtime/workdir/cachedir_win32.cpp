// Windows keeps no cache yet: every launch unpacks into TEMP as before.
#include "runtime/workdir/cachedir.h"

std::string usableCacheRoot()
{
    return {};
}

EntryKind entryKind(std::string_view, int64_t&)
{
    return EntryKind::missing;
}

bool syncFile(BinaryFile&)
{
    return false;
}

bool renameDirectory(std::string_view, std::string_view)
{
    return false;
}

bool lockShared(std::string_view, TreeLock&)
{
    return false;
}

bool tryLockExclusive(std::string_view, TreeLock&)
{
    return false;
}

void unlock(TreeLock&) {}

void markUsed(std::string_view) {}

int64_t secondsSinceUse(std::string_view)
{
    return -1;
}

std::vector<std::string> namesIn(std::string_view)
{
    return {};
}
