// The work directory's removal, through the OS-call table.
#include "runtime/workdir/removetree.h"

#include "runtime/os/oscalls.h"

DirectoryIdentity directoryIdentity(std::string_view path)
{
    OsFileIdentity identity;
    if (!osCalls.directoryIdentity(path, identity))
        return {};
    return {identity.volume, identity.index, true};
}

void removeTree(std::string_view dir, const DirectoryIdentity& identity)
{
    if (identity.known)
        osCalls.removeTree(dir, {identity.volume, identity.index});
}
