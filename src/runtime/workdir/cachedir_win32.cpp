// Windows: the cache lives in %LOCALAPPDATA%\zop.
#include "runtime/fs/files.h"
#include "runtime/process/cmdline.h"
#include "runtime/workdir/cachedir.h"

std::string platformCacheRoot()
{
    std::string root = environmentValue("ZOP_CACHE_DIR");
    if (root.empty()) {
        const std::string base = environmentValue("LOCALAPPDATA");
        if (base.empty())
            return {};
        root = base + "\\zop";
    }
    return absolutePath(root);
}
