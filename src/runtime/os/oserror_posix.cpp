// errno values in the Windows numbering that the rest of the program relies
// on; translateOsError then turns them into I/O codes as on Windows.
#include "runtime/os/oserror.h"

#include <cerrno>
#include <string>

#include "runtime/os/oscalls.h"
#include "runtime/base/iocodes.h"

namespace {

// True when the directory part of path (everything before its last
// separator) does not exist as a directory.
bool directoryMissing(std::string_view path)
{
    const std::size_t cut = path.find_last_of("/\\");
    if (cut == std::string_view::npos || cut == 0)
        return false;
    std::string directory(path.substr(0, cut));
    for (char& c : directory)
        if (c == '\\')
            c = '/';
    return !osIsDirectory(directory);
}

} // namespace

uint32_t osCodeFromErrno(int err, std::string_view path)
{
    switch (err) {
    case ENOENT:
        return directoryMissing(path) ? osPathNotFound : osFileNotFound;
    case ENOTDIR:
        return osPathNotFound;
    case EACCES:
    case EPERM:
    case EEXIST:
    case ENOTEMPTY:
    case EISDIR:
    case ETXTBSY:
    // A read-only file system: what Windows reports for a read-only share
    // (and Wine for a read-only mount), a message the report has.
    case EROFS:
        return osAccessDenied;
    case EMFILE:
    case ENFILE:
        return osTooManyOpenFiles;
    case EBADF:
        return osInvalidHandle;
    case ENOSPC:
        return osDiskFull;
    case EFBIG:
    case EOVERFLOW:
        return osFileTooLarge;
    case ENOEXEC:
        return osBadExeFormat;
    case ENAMETOOLONG:
        return osFilenameTooLong;
    case EPIPE:
        return osNoData;
    default:
        return osOtherErrnoBase + static_cast<uint32_t>(err);
    }
}
