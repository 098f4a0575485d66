// Removal of the work directory: everything below it, then the directory
// itself. Links are removed, never followed, and nothing is removed through
// a name that no longer leads to the directory start-up created.
#pragma once
#include <cstdint>
#include <string_view>

// What tells one directory from another for as long as it exists: device and
// inode on Linux, volume serial number and file index on Windows.
struct DirectoryIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool known = false;
};

// The identity of the directory that path names now, the name itself not
// followed when it is a link. Not known when path is no directory of this
// process's own (a link, another user's directory, nothing at all).
DirectoryIdentity directoryIdentity(std::string_view path);

// Deletes dir and everything below it when dir still names the directory
// that identity describes. Deletion failures are tolerated: what still
// cannot be deleted after the owner's rights were restored (and, on
// Windows, a few short retries for files held open) stays, silently.
// threads above 1 lets separate subtrees go on that many threads at once,
// with the same checks; the files of one directory always go on one.
void removeTree(std::string_view dir, const DirectoryIdentity& identity, int threads = 1);
