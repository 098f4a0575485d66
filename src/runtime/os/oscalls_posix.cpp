// Linux side of the file services: POSIX calls, errors in the Windows
// numbering through osCodeFromErrno.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "runtime/os/oscalls.h"
#include "runtime/os/oserror.h"
#include "runtime/signals/stopsignals.h"

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

// ---- The regular files this process holds open, by device and inode.
// Windows refuses to open for writing a file that the process holds open
// without write sharing (a sharing violation), and the program relies on
// that: no entry of a packed file can replace the stream being read or a
// file being written. Linux has no such rule, so the file layer keeps it
// itself for its own opens.
struct HeldFile {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};
HeldFile heldFiles[64];
// Worker threads create and close files too: the table changes under this
// lock only.
pthread_mutex_t heldFilesLock = PTHREAD_MUTEX_INITIALIZER;

bool isHeld(const struct stat& info)
{
    for (const HeldFile& held : heldFiles)
        if (held.fd >= 0 && held.device == info.st_dev && held.inode == info.st_ino)
            return true;
    return false;
}

bool rememberHeld(int fd, const struct stat& info)
{
    for (HeldFile& held : heldFiles) {
        if (held.fd < 0) {
            held = {fd, info.st_dev, info.st_ino};
            return true;
        }
    }
    return false;
}

void forgetHeld(int fd)
{
    pthread_mutex_lock(&heldFilesLock);
    for (HeldFile& held : heldFiles)
        if (held.fd == fd)
            held = HeldFile{};
    pthread_mutex_unlock(&heldFilesLock);
}

// Sharing with other processes has no POSIX counterpart and is not
// emulated: other processes can always open a file that this one holds
// open, whatever fileOpenMode says. Within the process, a regular file held
// open is never opened for writing or created over a second time.
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
    // Truncation waits until the file is known not to be one held open.
    if (kind == OsOpenKind::createAlways)
        flags |= O_CREAT;
    else if (kind == OsOpenKind::createNew)
        flags |= O_CREAT | O_EXCL;
    else if (kind == OsOpenKind::existingRegular)
        flags |= O_NONBLOCK | O_NOCTTY;  // a FIFO without a writer must not hold the open
    // Created files get the execute bits (less the umask): the container
    // keeps no permissions, and a packed application's interpreter and
    // programs, like a packed executable itself, must be runnable.
    int fd;
    while ((fd = open(name.c_str(), flags, 0777)) < 0 && errno == EINTR)
        stopIfRequested();  // a FIFO's open waits for its other end
    if (fd < 0) {
        if (kind == OsOpenKind::existingRegular && errno == ENXIO)
            return osNotRegularFile;  // a socket, or a FIFO opened for writing
        return lastError(name);
    }
    struct stat info{};
    if (fstat(fd, &info) != 0) {
        const uint32_t code = lastError(name);
        close(fd);
        return code;
    }
    // A directory opens read-only here; on Windows it is no file to open.
    // (Opening one for writing already failed with EISDIR.)
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
    if (S_ISREG(info.st_mode)) {
        uint32_t refused = 0;
        pthread_mutex_lock(&heldFilesLock);
        if ((access & osWrite) != 0 && isHeld(info))
            refused = osSharingViolation;
        // Only a file with content is truncated, as O_TRUNC would: cutting
        // an empty new file makes some file systems write it out on close.
        else if (kind == OsOpenKind::createAlways && info.st_size != 0 && ftruncate(fd, 0) != 0)
            refused = lastError(name);
        else if (!rememberHeld(fd, info))
            refused = osTooManyOpenFiles;
        pthread_mutex_unlock(&heldFilesLock);
        if (refused != 0) {
            close(fd);
            return refused;
        }
    }
    handle = fd;
    return 0;
}

uint32_t nativeReadBytes(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    got = 0;
    ssize_t n;
    while ((n = read(static_cast<int>(handle), buffer, count)) < 0 && errno == EINTR)
        stopIfRequested();
    if (n < 0)
        return lastError();
    got = static_cast<uint32_t>(n);
    return 0;
}

// A write to a pipe or terminal may be cut short by a signal: the rest is
// written on, so that only a real failure ends it early.
uint32_t nativeWriteBytes(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (written < count) {
        const ssize_t n = write(static_cast<int>(handle), bytes + written, count - written);
        if (n < 0 && errno == EINTR) {
            stopIfRequested();
            continue;
        }
        if (n < 0)
            return written != 0 ? 0 : lastError();
        if (n == 0)
            break;
        written += static_cast<uint32_t>(n);
        if (written < count)
            stopIfRequested();  // the signal may have cut the write short
    }
    return 0;
}

void nativeClose(OsHandle handle)
{
    forgetHeld(static_cast<int>(handle));
    close(static_cast<int>(handle));
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

} // namespace

void osCloseTrackedFiles()
{
    for (HeldFile& held : heldFiles) {
        if (held.fd >= 0)
            close(held.fd);
        held = HeldFile{};
    }
}

OsCalls osCalls = {
    .open = nativeOpen,
    .readBytes = nativeReadBytes,
    .writeBytes = nativeWriteBytes,
    .close = nativeClose,
    .isCharacterDevice = nativeIsCharacterDevice,
    .isTerminal = nativeIsTerminal,
    .terminalColumns = nativeTerminalColumns,
    .seek = nativeSeek,
    .standardHandle = nativeStandardHandle,
    .deleteFile = nativeDeleteFile,
    .isPlainDirectory = nativeIsPlainDirectory,
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
    .executeProgram = nativeExecuteProgram,
};
