// Linux: the cache lives in $XDG_CACHE_HOME/zop, else ~/.cache/zop.
#include "runtime/fs/files.h"
#include "runtime/os/oscalls.h"
#include "runtime/process/cmdline.h"
#include "runtime/workdir/cachedir.h"

std::string platformCacheRoot()
{
    std::string root = environmentValue("ZOP_CACHE_DIR");
    if (!root.empty())
        return root[0] == '/' ? root : absolutePath(root);
    // Only an absolute $XDG_CACHE_HOME counts; ~/.cache is made owner only
    // when it is made here.
    const std::string xdg = environmentValue("XDG_CACHE_HOME");
    if (!xdg.empty() && xdg[0] == '/')
        return xdg + "/zop";
    const std::string home = environmentValue("HOME");
    if (home.empty() || home[0] != '/')
        return {};
    const std::string base = home + "/.cache";
    (void)osCalls.makeDirectory(base, true);
    return base + "/zop";
}
