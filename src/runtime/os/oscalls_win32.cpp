// Windows side of the file services: the kernel32 ANSI entry points.
#include <windows.h>

#include <cstring>

#include "runtime/os/oscalls.h"

const char pathSeparator = '\\';
// The longest path the system takes with its long-path setting on, which
// the manifest's longPathAware lets the ...A calls use; without the setting
// the system itself refuses a path past MAX_PATH.
constexpr std::size_t longestPath = 32767;
const std::size_t fileNameMax = longestPath;
const char foreignSeparator = '/';
const bool convertLookupNames = false;
const bool deviceNamesReserved = true;
const bool driveLetters = true;
const bool tmpdirVariable = false;

namespace {

HANDLE asHandle(OsHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

OsEntry entryOf(const WIN32_FIND_DATAA& data)
{
    OsEntry entry;
    entry.attributes = static_cast<uint16_t>(data.dwFileAttributes);
    FILETIME local{};
    WORD date = 0;
    WORD time = 0;
    if (FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) && FileTimeToDosDateTime(&local, &date, &time))
        entry.time = static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
    entry.size = static_cast<int32_t>(data.nFileSizeLow);
    entry.name = data.cFileName;
    return entry;
}

} // namespace

struct OsSearch {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

namespace {

uint32_t nativeOpen(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                OsHandle& handle)
{
    DWORD desired = 0;
    if (access & osRead)
        desired |= GENERIC_READ;
    if (access & osWrite)
        desired |= GENERIC_WRITE;
    DWORD share = 0;
    if (sharing & osShareRead)
        share |= FILE_SHARE_READ;
    if (sharing & osShareWrite)
        share |= FILE_SHARE_WRITE;
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;
    const DWORD disposition = kind == OsOpenKind::createAlways   ? CREATE_ALWAYS
                              : kind == OsOpenKind::createNew    ? CREATE_NEW
                              : kind == OsOpenKind::openOrCreate ? OPEN_ALWAYS
                                                                 : OPEN_EXISTING;
    const HANDLE h = CreateFileA(name.c_str(), desired, share, &security, disposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return GetLastError();
    // Pipes and devices (NUL, CON, COM1) are no files to pack.
    if (kind == OsOpenKind::existingRegular && GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return osNotRegularFile;
    }
    handle = reinterpret_cast<OsHandle>(h);
    return 0;
}

uint32_t nativeReadBytes(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    DWORD n = 0;
    got = 0;
    if (!ReadFile(asHandle(handle), buffer, count, &n, nullptr))
        return GetLastError();
    got = n;
    return 0;
}

uint32_t nativeWriteBytes(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    DWORD n = 0;
    written = 0;
    if (!WriteFile(asHandle(handle), buffer, count, &n, nullptr))
        return GetLastError();
    written = n;
    return 0;
}

void nativeClose(OsHandle handle)
{
    CloseHandle(asHandle(handle));
}

uint32_t nativeDescribeHandle(OsHandle handle, OsHandleFacts& facts)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(asHandle(handle), &info))
        return GetLastError();
    facts.identity = {info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    facts.regular = GetFileType(asHandle(handle)) == FILE_TYPE_DISK &&
                    (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    facts.empty = info.nFileSizeLow == 0 && info.nFileSizeHigh == 0;
    return 0;
}

uint32_t nativeTruncate(OsHandle handle)
{
    if (SetFilePointer(asHandle(handle), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(asHandle(handle)))
        return GetLastError();
    return 0;
}

bool nativeIsCharacterDevice(OsHandle handle)
{
    return GetFileType(asHandle(handle)) == FILE_TYPE_CHAR;
}

bool nativeIsTerminal(OsHandle handle)
{
    DWORD mode = 0;
    return GetConsoleMode(asHandle(handle), &mode) != 0;
}

uint32_t nativeTerminalColumns(OsHandle handle)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(asHandle(handle), &info) == 0)
        return 0;
    return static_cast<uint32_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

uint32_t nativeSeek(OsHandle handle, int32_t distance, int origin, uint32_t& position)
{
    const DWORD method = origin == osFromStart ? FILE_BEGIN : origin == osFromCurrent ? FILE_CURRENT : FILE_END;
    SetLastError(NO_ERROR);
    // The high half is asked for only to notice positions past 4 GiB, which
    // the 32-bit sizes of the program cannot express.
    LONG high = distance < 0 ? -1 : 0;
    const DWORD at = SetFilePointer(asHandle(handle), distance, &high, method);
    if (at == INVALID_SET_FILE_POINTER) {
        if (const DWORD code = GetLastError(); code != NO_ERROR)
            return code;
    }
    if (high != 0)
        return osFileTooLarge;
    position = at;
    return 0;
}

OsHandle nativeStandardHandle(int which)
{
    const DWORD id = which == 0 ? STD_INPUT_HANDLE : which == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    return reinterpret_cast<OsHandle>(GetStdHandle(id));
}

uint32_t nativeDeleteFile(const std::string& name)
{
    return DeleteFileA(name.c_str()) ? 0 : GetLastError();
}

bool nativeIsPlainDirectory(const std::string& name)
{
    return GetFileAttributesA(name.c_str()) == FILE_ATTRIBUTE_DIRECTORY;
}

bool nativeIsDirectory(const std::string& name)
{
    const DWORD attributes = GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t nativeGetAttributes(const std::string& name, uint16_t& attributes)
{
    const DWORD result = GetFileAttributesA(name.c_str());
    if (result == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    attributes = static_cast<uint16_t>(result);
    return 0;
}

uint32_t nativeRenameReplacing(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
}

bool nativeFileIdentity(const std::string& name, OsFileIdentity& identity)
{
    const HANDLE h = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return known;
}

bool nativeIsDeviceOrPipe(const std::string& name)
{
    const HANDLE h = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    return type != FILE_TYPE_DISK && type != FILE_TYPE_UNKNOWN;
}

uint32_t nativeMakeDirectory(const std::string& name, bool /*ownerOnly*/)
{
    return CreateDirectoryA(name.c_str(), nullptr) ? 0 : GetLastError();
}

uint32_t nativeRemoveDirectory(const std::string& name)
{
    return RemoveDirectoryA(name.c_str()) ? 0 : GetLastError();
}

uint32_t nativeChangeDirectory(const std::string& name)
{
    return SetCurrentDirectoryA(name.c_str()) ? 0 : GetLastError();
}

// Both take a path as long as the file services do: a directory may lie
// past MAX_PATH.
std::string nativeCurrentDirectory()
{
    char buffer[longestPath + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    if (n == 0 || n >= sizeof buffer)
        return {};
    return std::string(buffer, n);
}

bool nativeIsAbsolutePath(std::string_view path)
{
    auto isSlash = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 2 && isSlash(path[0]) && isSlash(path[1]))
        return true;
    return path.size() >= 3 && path[1] == ':' && isSlash(path[2]);
}

// The system resolves a name relative to a drive's own current directory
// ("C:tmp") or to the current drive's root ("\\tmp") as well.
std::string nativeJoinPath(const std::string&, std::string_view path)
{
    const std::string name(path);
    char buffer[longestPath + 1];
    const DWORD n = GetFullPathNameA(name.c_str(), sizeof buffer, buffer, nullptr);
    if (n == 0 || n >= sizeof buffer)
        return name;
    return std::string(buffer, n);
}

uint32_t nativeFindFirst(const std::string& pattern, OsSearch*& search, OsEntry& entry)
{
    WIN32_FIND_DATAA data{};
    const HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    search = new OsSearch{h};
    entry = entryOf(data);
    return 0;
}

uint32_t nativeFindNext(OsSearch*& search, OsEntry& entry)
{
    WIN32_FIND_DATAA data{};
    if (!FindNextFileA(search->handle, &data))
        return GetLastError();
    entry = entryOf(data);
    return 0;
}

void nativeFindClose(OsSearch*& search)
{
    FindClose(search->handle);
    delete search;
    search = nullptr;
}

uint32_t nativeTickCount()
{
    return GetTickCount();
}

bool nativeRandomNumber(uint32_t&)
{
    return false;
}

// A path the system cut to the buffer is longer than the file services
// accept, so that opening it fails instead of opening another file.
// The program's own path, past MAX_PATH where the system's long-path
// setting allows one. A path the system cuts to the buffer is longer than
// the file services accept, so that opening it fails instead of opening
// another file.
std::string nativeExecutablePath()
{
    std::string path(32768 + 1, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length < path.size() ? length : path.size());
    return path;
}

std::string nativeCommandLine()
{
    return GetCommandLineA();
}

std::string nativeEnvironment()
{
    char* block = GetEnvironmentStringsA();
    if (block == nullptr)
        return {};
    const char* end = block;
    while (*end != '\0')
        end += std::strlen(end) + 1;
    std::string text(block, static_cast<std::size_t>(end - block));
    FreeEnvironmentStringsA(block);
    return text;
}

std::string nativeSystemDirectory(bool windowsFolder)
{
    char buffer[MAX_PATH + 1] = {};
    const UINT length = windowsFolder ? GetWindowsDirectoryA(buffer, MAX_PATH) : GetSystemDirectoryA(buffer, MAX_PATH);
    return length > 0 && length <= MAX_PATH ? std::string(buffer, length) : std::string();
}

bool nativeRegistryNumber(bool machine, const char* key, const char* value, uint32_t& number)
{
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegGetValueA(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key, value, RRF_RT_REG_DWORD, nullptr, &data,
                     &size) != ERROR_SUCCESS)
        return false;
    number = data;
    return true;
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
