// Windows: the work directory is checked against the identity start-up
// recorded and held open while its contents go, so that it can be neither
// renamed nor replaced meanwhile. The tree is walked by full paths in the
// "\\?\" form through the wide calls, so a tree the application left deeper
// than MAX_PATH goes too, without ever changing the current directory.
// Junctions, symbolic links and volumes mounted in a folder (all reparse
// points) are removed, never entered, so the walk stays on the work
// directory's volume. Nothing here ends the process: what cannot go stays.
// The parts for several threads (OsTree) keep the top pinned and pin every
// directory on the way to a subtree the same way, each checked to be a real
// directory of the top's volume, while its contents go.
#include <windows.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "runtime/os/oscalls.h"

namespace {

// What tells one directory from another, and whether it is known.
struct TreeIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool known = false;
};

// A file still held open (a virus scanner, a child on its way out) gets
// short retries, at most about a second for the whole removal, whichever
// threads spend it.
constexpr long retryPause = 50;
std::atomic<long> retryBudget{1000};

bool mayRetry(DWORD code)
{
    if (code != ERROR_SHARING_VIOLATION && code != ERROR_DIR_NOT_EMPTY && code != ERROR_ACCESS_DENIED)
        return false;
    if (retryBudget.fetch_sub(retryPause) < retryPause)
        return false;
    Sleep(retryPause);
    return true;
}

// Deletes a file or an empty directory (a link counts as what it shows
// itself as), clearing a read-only attribute once, retrying while it is
// held open.
void deleteEntry(const std::wstring& path, bool isDirectory)
{
    bool attributeCleared = false;
    while (true) {
        if (isDirectory ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))
            return;
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (!attributeCleared && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
            attributeCleared = true;
            if (SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
                continue;
        }
        if (!mayRetry(code))
            return;
    }
}

bool isDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Deletes the files and links of dir and appends its real subdirectories to
// found.
void deleteFilesOf(const std::wstring& dir, std::vector<std::wstring>& found)
{
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (isDotEntry(data.cFileName))
            continue;
        const std::wstring path = dir + L"\\" + data.cFileName;
        const bool isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isDirectory && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            found.push_back(path);
        else
            deleteEntry(path, isDirectory);
    } while (FindNextFileW(search, &data));
    FindClose(search);
}

// Empties the tree below top: every file first, level by level, then the
// directories in the reverse order of their discovery (children before
// their parents). The walk keeps its own list, so depth costs no stack.
void emptyTree(const std::wstring& top)
{
    std::vector<std::wstring> directories;
    deleteFilesOf(top, directories);
    for (std::size_t i = 0; i < directories.size(); ++i) {
        const std::wstring dir = directories[i];
        deleteFilesOf(dir, directories);
    }
    for (std::size_t i = directories.size(); i-- > 0;)
        deleteEntry(directories[i], true);
}

// The full path in the "\\?\" form that lifts MAX_PATH from the wide calls
// ("\\?\UNC\server\share\..." for a share); empty when it cannot be had.
std::wstring longPathOf(std::string_view path)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return {};
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed)
        return {};
    full.resize(written);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (full.rfind(L"\\\\?\\", 0) == 0)
        return full;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Opens the directory itself, a link not followed. Without delete sharing:
// as long as the handle stays open, nobody can rename or delete it.
HANDLE openDirectory(const std::wstring& path, DWORD access, DWORD sharing)
{
    return CreateFileW(path.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

TreeIdentity identityOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    return {info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
            true};
}

} // namespace

bool nativeDirectoryIdentity(std::string_view path, OsFileIdentity& found)
{
    const std::wstring longPath = longPathOf(path);
    if (longPath.empty())
        return false;
    const HANDLE handle =
        openDirectory(longPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const TreeIdentity identity = identityOf(handle);
    CloseHandle(handle);
    found = {identity.volume, identity.index};
    return identity.known;
}

void nativeRemoveTree(std::string_view path, const OsFileIdentity& recorded)
{
    const TreeIdentity identity{recorded.volume, recorded.index, true};
    const std::wstring top = longPathOf(path);
    if (top.empty())
        return;
    const HANDLE pin = openDirectory(top, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (pin == INVALID_HANDLE_VALUE)
        return;
    const TreeIdentity now = identityOf(pin);
    if (!now.known || now.volume != identity.volume || now.index != identity.index) {
        CloseHandle(pin);
        return;
    }
    emptyTree(top);
    CloseHandle(pin);
    deleteEntry(top, true);
}

// ---- The removal in parts, for several threads.

struct OsTree {
    HANDLE pin = INVALID_HANDLE_VALUE;
    std::wstring top;
    TreeIdentity identity;
};

namespace {

// The parts name directories in UTF-8 with "/" between components; the
// walk's own paths are wide. A name that does not survive the round trip
// is not reached, and stays for the whole walk.
std::string narrowName(const std::wstring& wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), length, nullptr,
                            nullptr);
    return narrow;
}

std::wstring wideName(const std::string& narrow)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()), wide.data(), length);
    return wide;
}

void unpin(std::vector<HANDLE>& pins)
{
    for (const HANDLE pin : pins)
        CloseHandle(pin);
    pins.clear();
}

// The full path of dir below the top, every directory on the way (dir
// included) opened without following a reparse point, checked to be a real
// directory of the top's volume and pinned in pins, so that none can be
// renamed or replaced while they stay open. Empty when a step fails.
std::wstring reach(const OsTree& tree, const std::string& dir, std::vector<HANDLE>& pins)
{
    std::wstring path = tree.top;
    std::size_t start = 0;
    while (start < dir.size()) {
        std::size_t end = dir.find('/', start);
        if (end == std::string::npos)
            end = dir.size();
        const std::wstring name = wideName(dir.substr(start, end - start));
        start = end + 1;
        if (name.empty() || isDotEntry(name.c_str()) || name.find_first_of(L"\\/:") != std::wstring::npos)
            return {};
        path += L"\\" + name;
        const HANDLE pin = openDirectory(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (pin == INVALID_HANDLE_VALUE)
            return {};
        pins.push_back(pin);
        const TreeIdentity step = identityOf(pin);
        if (!step.known || step.volume != tree.identity.volume)
            return {};
    }
    return path;
}

} // namespace

OsTree* nativeOpenTree(std::string_view path, const OsFileIdentity& recorded)
{
    const TreeIdentity identity{recorded.volume, recorded.index, true};
    std::wstring top = longPathOf(path);
    if (top.empty())
        return nullptr;
    const HANDLE pin = openDirectory(top, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (pin == INVALID_HANDLE_VALUE)
        return nullptr;
    const TreeIdentity now = identityOf(pin);
    OsTree* tree = nullptr;
    if (now.known && now.volume == identity.volume && now.index == identity.index)
        tree = new (std::nothrow) OsTree{pin, std::move(top), identity};
    if (tree == nullptr)
        CloseHandle(pin);
    return tree;
}

bool nativeEmptyTreeDirectory(OsTree* tree, const std::string& dir, std::vector<std::string>& subdirectories)
{
    std::vector<HANDLE> pins;
    const std::wstring path = reach(*tree, dir, pins);
    if (!path.empty()) {
        std::vector<std::wstring> found;
        deleteFilesOf(path, found);
        for (const std::wstring& full : found) {
            std::string name = narrowName(full.substr(path.size() + 1));
            subdirectories.push_back(dir.empty() ? std::move(name) : dir + "/" + name);
        }
    }
    unpin(pins);
    return !path.empty();
}

void nativeRemoveSubtree(OsTree* tree, const std::string& dir)
{
    std::vector<HANDLE> pins;
    const std::wstring path = dir.empty() ? std::wstring() : reach(*tree, dir, pins);
    if (!path.empty()) {
        emptyTree(path);
        // Its own pin goes first, those above it stay while it goes.
        CloseHandle(pins.back());
        pins.pop_back();
        deleteEntry(path, true);
    }
    unpin(pins);
}

void nativeCloseTree(OsTree* tree)
{
    CloseHandle(tree->pin);
    delete tree;
}
