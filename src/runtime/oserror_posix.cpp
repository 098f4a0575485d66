// errno values in the Windows numbering that the rest of the system relies
// on; translateOsError then turns them into I/O codes as on Windows.
#include "runtime/oserror.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace {

constexpr uint32_t fileNotFound = 2;      // ERROR_FILE_NOT_FOUND
constexpr uint32_t pathNotFound = 3;      // ERROR_PATH_NOT_FOUND
constexpr uint32_t tooManyOpenFiles = 4;  // ERROR_TOO_MANY_OPEN_FILES
constexpr uint32_t accessDenied = 5;      // ERROR_ACCESS_DENIED
constexpr uint32_t invalidHandle = 6;     // ERROR_INVALID_HANDLE
constexpr uint32_t writeProtect = 19;     // ERROR_WRITE_PROTECT, I/O code 150
constexpr uint32_t diskFull = 112;        // ERROR_DISK_FULL
constexpr uint32_t badExeFormat = 193;    // ERROR_BAD_EXE_FORMAT
constexpr uint32_t nameTooLong = 206;     // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t fileTooLarge = 223;    // ERROR_FILE_TOO_LARGE
constexpr uint32_t pipeClosing = 232;     // ERROR_NO_DATA: the reader has gone
// Every other errno becomes this base plus its own value: far above the
// I/O codes and the Windows codes that the system looks at, and still
// readable as the errno in a report ("Unknown Run-Time error : 20005").
constexpr uint32_t otherErrnoBase = 20000;

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
    struct stat info{};
    return stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode);
}

} // namespace

uint32_t osCodeFromErrno(int err, std::string_view path)
{
    switch (err) {
    case ENOENT:
        return directoryMissing(path) ? pathNotFound : fileNotFound;
    case ENOTDIR:
        return pathNotFound;
    case EACCES:
    case EPERM:
    case EEXIST:
    case ENOTEMPTY:
    case EISDIR:
    case ETXTBSY:
        return accessDenied;
    case EMFILE:
    case ENFILE:
        return tooManyOpenFiles;
    case EBADF:
        return invalidHandle;
    case ENOSPC:
        return diskFull;
    case EROFS:
        return writeProtect;
    case EFBIG:
    case EOVERFLOW:
        return fileTooLarge;
    case ENOEXEC:
        return badExeFormat;
    case ENAMETOOLONG:
        return nameTooLong;
    case EPIPE:
        return pipeClosing;
    default:
        return otherErrnoBase + static_cast<uint32_t>(err);
    }
}
