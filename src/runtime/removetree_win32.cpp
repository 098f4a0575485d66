// Windows: the work directory is checked against the identity start-up
// recorded and held open while its contents go, so that it can be neither
// renamed nor replaced meanwhile; the tree is then walked with the work
// directory current. Junctions and symbolic links are removed, never
// entered. Failing to enter or leave a directory is fatal.
#include <windows.h>

#include <string>

#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/removetree.h"

namespace {

// A file still held open (a virus scanner, a child on its way out) gets
// short retries, at most about a second for the whole removal.
constexpr DWORD retryPause = 50;
DWORD retryBudget = 1000;

bool mayRetry(DWORD code)
{
    if (code != osSharingViolation && code != osDirNotEmpty && code != osAccessDenied)
        return false;
    if (retryBudget < retryPause)
        return false;
    retryBudget -= retryPause;
    Sleep(retryPause);
    return true;
}

// Deletes a file or an empty directory (a link counts as what it shows
// itself as), clearing a read-only attribute once, retrying while it is
// held open.
void deleteEntry(const std::string& name, bool isDirectory)
{
    bool attributeCleared = false;
    while (true) {
        if (isDirectory ? RemoveDirectoryA(name.c_str()) : DeleteFileA(name.c_str()))
            return;
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesA(name.c_str());
        if (!attributeCleared && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
            attributeCleared = true;
            if (SetFileAttributesA(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
                continue;
        }
        if (!mayRetry(code))
            return;
    }
}

bool holdsSeparator(const std::string& name)
{
    return name.find_first_of("\\/") != std::string::npos;
}

void emptyCurrentDirectory();

// Removes one entry of the current directory.
void removeEntry(const std::string& name)
{
    if (holdsSeparator(name) || name == "." || name == "..")
        return;
    BinaryFile entry;
    assignFile(entry, name);
    const uint16_t attributes = fileAttributes(entry);
    const bool isDirectory = (attributes & faDirectory) != 0;
    if (isDirectory && !(attributes & faReparsePoint)) {
        const std::string saved = currentDirectory();
        changeDirectory(name);
        checkIo();
        emptyCurrentDirectory();
        changeDirectory(saved);
        checkIo();
    }
    deleteEntry(name, isDirectory);
}

void emptyCurrentDirectory()
{
    SearchRec rec;
    for (findFirstEntry("*.*", faAnyFile, rec); searchStatus == 0; findNextEntry(rec))
        removeEntry(rec.name);
    endFind(rec);
}

// Opens the directory itself, a link not followed. Without delete sharing:
// as long as the handle stays open, nobody can rename or delete it.
HANDLE openDirectory(const std::string& path, DWORD access, DWORD sharing)
{
    return CreateFileA(path.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

DirectoryIdentity identityOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    return {info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
            true};
}

} // namespace

DirectoryIdentity directoryIdentity(std::string_view path)
{
    const HANDLE handle =
        openDirectory(std::string(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    const DirectoryIdentity identity = identityOf(handle);
    CloseHandle(handle);
    return identity;
}

void removeTree(std::string_view dir, const DirectoryIdentity& identity)
{
    if (!identity.known)
        return;
    const std::string path(dir);
    const HANDLE pin = openDirectory(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (pin == INVALID_HANDLE_VALUE)
        return;
    const DirectoryIdentity now = identityOf(pin);
    if (!now.known || now.volume != identity.volume || now.index != identity.index) {
        CloseHandle(pin);
        return;
    }
    const std::string saved = currentDirectory();
    changeDirectory(path);
    checkIo();
    emptyCurrentDirectory();
    changeDirectory(saved);
    checkIo();
    CloseHandle(pin);
    deleteEntry(path + "\\", true);
}
