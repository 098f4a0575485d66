// Linux side of the file services: POSIX calls, errors in the Windows
// numbering through osCodeFromErrno.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "runtime/os/oscalls.h"
#include "runtime/os/oserror.h"

extern char** environ;

const char pathSeparator = '/';
const std::size_t fileNameMax = PATH_MAX - 1;
const char foreignSeparator = '\\';
const bool convertLookupNames = true;
const bool deviceNamesReserved = false;
const bool driveLetters = false;
const bool tmpdirVariable = true;

namespace {

uint32_t lastError(std::string_view path = {})
{
    return osCodeFromErrno(errno, path);
}

// ---- What the Windows attribute bits mean here. The work-directory removal
// relies on telling links apart, so a link is never reported as a directory.
//   symbolic link (to anything)       0x400 (reparse point), nothing else
//   directory                          0x10
//   regular file                       0x20 (archive)
//   owner lacks write permission       + 0x01 (read-only), links excepted
//   anything else (fifo, socket, ...)  0x80 (normal) when no bit applies
// Hidden, system and volume never occur: those bits select nothing here.
uint16_t attributesOf(const struct stat& info)
{
    if (S_ISLNK(info.st_mode))
        return faReparsePoint;
    uint16_t attributes = 0;
    if (S_ISDIR(info.st_mode))
        attributes |= faDirectory;
    else if (S_ISREG(info.st_mode))
        attributes |= faArchive;
    if ((info.st_mode & S_IWUSR) == 0)
        attributes |= faReadOnly;
    return attributes != 0 ? attributes : 0x80;
}

// Packed DOS date and time of the last write, in local time; 0 outside the
// years 1980 to 2107 that the format can hold.
int32_t dosDateTime(time_t when)
{
    struct tm local{};
    if (localtime_r(&when, &local) == nullptr)
        return 0;
    const int year = local.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return 0;
    const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    const uint32_t time = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    return static_cast<int32_t>((date << 16) | time);
}

OsEntry entryOf(const std::string& name, const struct stat& info)
{
    OsEntry entry;
    entry.attributes = attributesOf(info);
    entry.time = dosDateTime(info.st_mtime);
    // Like Windows: directories and links have no size of their own.
    entry.size = S_ISREG(info.st_mode) ? static_cast<int32_t>(static_cast<uint32_t>(info.st_size)) : 0;
    entry.name = name;
    return entry;
}

} // namespace

// An enumeration: either a directory read with a name pattern, or a single
// name without wildcards, looked up directly (no read permission needed on
// its directory, and "." and ".." work as names).
struct OsSearch {
    DIR* directory = nullptr;
    std::string prefix;   // directory part of the pattern, with its "/"
    std::string pattern;  // fnmatch pattern; empty matches everything
};

namespace {

bool hasWildcard(std::string_view name)
{
    return name.find_first_of("*?") != std::string_view::npos;
}

// "*" and "*.*" match every name; otherwise "*" and "?" are the only
// wildcards, so brackets are escaped for fnmatch. Leading dots match too.
std::string fnmatchPattern(std::string_view name)
{
    if (name == "*" || name == "*.*")
        return {};
    std::string result;
    for (char c : name) {
        if (c == '[' || c == ']')
            result += '\\';
        result += c;
    }
    return result;
}

uint32_t nextMatch(OsSearch& search, OsEntry& entry)
{
    // readdir ends the listing and fails alike with a null result; only
    // errno tells them apart.
    for (;;) {
        errno = 0;
        const dirent* d = readdir(search.directory);
        if (d == nullptr)
            return errno == 0 ? osNoMoreFiles : lastError();
        if (!search.pattern.empty() && fnmatch(search.pattern.c_str(), d->d_name, 0) != 0)
            continue;
        struct stat info{};
        const std::string name = d->d_name;
        if (lstat((search.prefix + name).c_str(), &info) != 0)
            continue;  // gone since the directory was read
        entry = entryOf(name, info);
        return 0;
    }
}

uint32_t nativeOpen(const std::string& name, uint32_t access, uint32_t /*sharing*/, OsOpenKind kind,
                OsHandle& handle)
{
    int flags = O_CLOEXEC;
    if (access == (osRead | osWrite))
        flags |= O_RDWR;
    else if (access == osWrite)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (kind == OsOpenKind::createAlways || kind == OsOpenKind::openOrCreate)
        flags |= O_CREAT;
    else if (kind == OsOpenKind::createNew)
        flags |= O_CREAT | O_EXCL;
    else if (kind == OsOpenKind::existingRegular)
        flags |= O_NONBLOCK | O_NOCTTY;  // a FIFO without a writer must not hold the open
    // Created files get the execute bits (less the umask): the container
    // keeps no permissions, and a packed application's interpreter and
    // programs, like a packed executable itself, must be runnable.
    const int fd = open(name.c_str(), flags, 0777);  // a FIFO's open waits for its other end
    if (fd < 0) {
        if (errno == EINTR)
            return osInterrupted;
        if (kind == OsOpenKind::existingRegular && errno == ENXIO)
            return osNotRegularFile;  // a socket, or a FIFO opened for writing
        return lastError(name);
    }
    // Opening a directory for writing already failed with EISDIR; only a
    // truncation needs to know more of what was opened.
    if ((flags & O_ACCMODE) != O_RDONLY && kind != OsOpenKind::createAlways) {
        handle = fd;
        return 0;
    }
    struct stat info{};
    if (fstat(fd, &info) != 0) {
        const uint32_t code = lastError(name);
        close(fd);
        return code;
    }
    // A directory opens read-only here; on Windows it is no file to open.
    if (S_ISDIR(info.st_mode)) {
        close(fd);
        return osAccessDenied;
    }
    if ((flags & O_ACCMODE) == O_RDONLY && kind == OsOpenKind::existingRegular) {
        if (!S_ISREG(info.st_mode)) {
            close(fd);
            return osNotRegularFile;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    if (kind == OsOpenKind::createAlways && S_ISREG(info.st_mode) && info.st_size != 0 && ftruncate(fd, 0) != 0) {
        const uint32_t code = lastError(name);
        close(fd);
        return code;
    }
    handle = fd;
    return 0;
}

uint32_t nativeReadBytes(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    got = 0;
    const ssize_t n = read(static_cast<int>(handle), buffer, count);
    if (n < 0)
        return errno == EINTR ? osInterrupted : lastError();
    got = static_cast<uint32_t>(n);
    return 0;
}

uint32_t nativeWriteBytes(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    const ssize_t n = write(static_cast<int>(handle), buffer, count);
    if (n < 0)
        return errno == EINTR ? osInterrupted : lastError();
    written = static_cast<uint32_t>(n);
    return 0;
}

void nativeClose(OsHandle handle)
{
    close(static_cast<int>(handle));
}

uint32_t nativeDescribeHandle(OsHandle handle, OsHandleFacts& facts)
{
    struct stat info{};
    if (fstat(static_cast<int>(handle), &info) != 0)
        return lastError();
    facts.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    facts.regular = S_ISREG(info.st_mode);
    facts.empty = info.st_size == 0;
    return 0;
}

uint32_t nativeTruncate(OsHandle handle)
{
    return ftruncate(static_cast<int>(handle), 0) == 0 ? 0 : lastError();
}

bool nativeIsCharacterDevice(OsHandle handle)
{
    struct stat info{};
    return fstat(static_cast<int>(handle), &info) == 0 && S_ISCHR(info.st_mode);
}

bool nativeIsTerminal(OsHandle handle)
{
    return isatty(static_cast<int>(handle)) == 1;
}

uint32_t nativeTerminalColumns(OsHandle handle)
{
    winsize size{};
    return ioctl(static_cast<int>(handle), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

uint32_t nativeSeek(OsHandle handle, int32_t distance, int origin, uint32_t& position)
{
    const int whence = origin == osFromStart ? SEEK_SET : origin == osFromCurrent ? SEEK_CUR : SEEK_END;
    const off_t at = lseek(static_cast<int>(handle), distance, whence);
    if (at < 0)
        return lastError();
    if (at > static_cast<off_t>(UINT32_MAX))
        return osCodeFromErrno(EOVERFLOW);
    position = static_cast<uint32_t>(at);
    return 0;
}

OsHandle nativeStandardHandle(int which)
{
    return which;
}

uint32_t nativeDeleteFile(const std::string& name)
{
    return unlink(name.c_str()) == 0 ? 0 : lastError(name);
}

bool nativeIsPlainDirectory(const std::string& name)
{
    struct stat info{};
    return lstat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool nativeIsDirectory(const std::string& name)
{
    struct stat info{};
    return stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

uint32_t nativeGetAttributes(const std::string& name, uint16_t& attributes)
{
    struct stat info{};
    if (lstat(name.c_str(), &info) != 0)
        return lastError(name);
    attributes = attributesOf(info);
    return 0;
}

uint32_t nativeRenameReplacing(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : lastError(to);
}

bool nativeFileIdentity(const std::string& name, OsFileIdentity& identity)
{
    struct stat info{};
    if (stat(name.c_str(), &info) != 0)
        return false;
    identity.volume = static_cast<uint64_t>(info.st_dev);
    identity.index = static_cast<uint64_t>(info.st_ino);
    return true;
}

bool nativeIsDeviceOrPipe(const std::string& name)
{
    struct stat info{};
    return stat(name.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

uint32_t nativeMakeDirectory(const std::string& name, bool ownerOnly)
{
    return mkdir(name.c_str(), ownerOnly ? 0700 : 0777) == 0 ? 0 : lastError(name);
}

uint32_t nativeRemoveDirectory(const std::string& name)
{
    return rmdir(name.c_str()) == 0 ? 0 : lastError(name);
}

uint32_t nativeChangeDirectory(const std::string& name)
{
    return chdir(name.c_str()) == 0 ? 0 : lastError(name);
}

std::string nativeCurrentDirectory()
{
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr)
        return {};
    return buffer;
}

bool nativeIsAbsolutePath(std::string_view path)
{
    return !path.empty() && path[0] == '/';
}

std::string nativeJoinPath(const std::string& base, std::string_view path)
{
    std::string joined = base;
    if (joined.back() != '/')
        joined += '/';
    return joined.append(path);
}

uint32_t nativeFindFirst(const std::string& pattern, OsSearch*& found, OsEntry& entry)
{
    const std::size_t cut = pattern.rfind('/');
    const std::string prefix = cut == std::string::npos ? std::string() : pattern.substr(0, cut + 1);
    const std::string name = cut == std::string::npos ? pattern : pattern.substr(cut + 1);
    if (name.empty())
        return osFileNotFound;

    auto* search = new OsSearch;
    search->prefix = prefix;
    if (!hasWildcard(name)) {
        struct stat info{};
        if (lstat(pattern.c_str(), &info) != 0) {
            const uint32_t code = lastError(pattern);
            delete search;
            return code;
        }
        entry = entryOf(name, info);
    } else {
        search->directory = opendir(prefix.empty() ? "." : prefix.c_str());
        if (search->directory == nullptr) {
            // The directory named in the pattern is missing or unreadable.
            const int err = errno;
            delete search;
            return err == ENOENT ? osPathNotFound : osCodeFromErrno(err, prefix);
        }
        search->pattern = fnmatchPattern(name);
        if (const uint32_t code = nextMatch(*search, entry); code != 0) {
            closedir(search->directory);
            delete search;
            return osFileNotFound;  // nothing matches, as FindFirstFileA says it
        }
    }
    found = search;
    return 0;
}

uint32_t nativeFindNext(OsSearch*& search, OsEntry& entry)
{
    if (search == nullptr)
        return osInvalidHandle;
    if (search->directory == nullptr)
        return osNoMoreFiles;  // a single name has one entry
    return nextMatch(*search, entry);
}

void nativeFindClose(OsSearch*& search)
{
    if (search == nullptr)
        return;
    if (search->directory != nullptr)
        closedir(search->directory);
    delete search;
    search = nullptr;
}

uint32_t nativeTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

bool nativeRandomNumber(uint32_t& number)
{
    return getrandom(&number, sizeof number, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof number);
}

// A link as long as the buffer may have been cut: it is kept one byte
// longer than any path the file services accept.
std::string nativeExecutablePath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string nativeCommandLine()
{
    return {};
}

std::string nativeEnvironment()
{
    std::string block;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        block += *entry;
        block += '\0';
    }
    return block;
}

std::string nativeSystemDirectory(bool)
{
    return {};
}

bool nativeRegistryNumber(bool, const char*, const char*, uint32_t&)
{
    return false;
}

} // namespace

OsCalls osCalls = {
    .open = nativeOpen,
    .readBytes = nativeReadBytes,
    .writeBytes = nativeWriteBytes,
    .close = nativeClose,
    .describeHandle = nativeDescribeHandle,
    .truncate = nativeTruncate,
    .isCharacterDevice = nativeIsCharacterDevice,
    .isTerminal = nativeIsTerminal,
    .terminalColumns = nativeTerminalColumns,
    .seek = nativeSeek,
    .standardHandle = nativeStandardHandle,
    .deleteFile = nativeDeleteFile,
    .isPlainDirectory = nativeIsPlainDirectory,
    .isDirectory = nativeIsDirectory,
    .getAttributes = nativeGetAttributes,
    .renameReplacing = nativeRenameReplacing,
    .fileIdentity = nativeFileIdentity,
    .isDeviceOrPipe = nativeIsDeviceOrPipe,
    .makeDirectory = nativeMakeDirectory,
    .removeDirectory = nativeRemoveDirectory,
    .changeDirectory = nativeChangeDirectory,
    .currentDirectory = nativeCurrentDirectory,
    .isAbsolutePath = nativeIsAbsolutePath,
    .joinPath = nativeJoinPath,
    .findFirst = nativeFindFirst,
    .findNext = nativeFindNext,
    .findClose = nativeFindClose,
    .tickCount = nativeTickCount,
    .randomNumber = nativeRandomNumber,
    .executablePath = nativeExecutablePath,
    .commandLine = nativeCommandLine,
    .environment = nativeEnvironment,
    .systemDirectory = nativeSystemDirectory,
    .registryNumber = nativeRegistryNumber,
    .executeProgram = nativeExecuteProgram,
    .directoryIdentity = nativeDirectoryIdentity,
    .removeTree = nativeRemoveTree,
    .openTree = nativeOpenTree,
    .emptyTreeDirectory = nativeEmptyTreeDirectory,
    .removeSubtree = nativeRemoveSubtree,
    .closeTree = nativeCloseTree,
    .pathFacts = nativePathFacts,
    .syncHandle = nativeSyncHandle,
    .renameDirectory = nativeRenameDirectory,
    .lockFile = nativeLockFile,
    .markUsed = nativeMarkUsed,
};
