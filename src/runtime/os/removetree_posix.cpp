// Linux: the tree is removed through directory descriptors (openat,
// unlinkat, fstatat without following links), so no name is ever resolved
// through a link and the current directory never changes. Only two
// descriptors are open at a time: the walk keeps a stack of names and climbs
// back up through "..", checked against the identity it recorded on the way
// down, so the depth is bounded by memory alone. It never enters another
// mount. The parts for several threads (OsTree) hold the top open and reach
// a directory below it from there, one checked component at a time; each
// subtree is then removed by the same walk.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t ownerAll = S_IRWXU;

bool sameDirectory(const struct stat& info, const TreeIdentity& identity)
{
    return identity.known && S_ISDIR(info.st_mode) && static_cast<uint64_t>(info.st_dev) == identity.volume &&
           static_cast<uint64_t>(info.st_ino) == identity.index;
}

TreeIdentity identityOf(const struct stat& info)
{
    return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
}

// One directory on the way down: its name in its parent, its identity, and
// the subdirectories still to be entered.
struct Level {
    std::string name;
    TreeIdentity identity;
    std::vector<std::string> subdirectories;
};

// True when the directory open as fd belongs to the work directory's own
// mount: the same device, and (where the kernel tells, from Linux 5.8 on) no
// mount's root, which catches a bind mount of a directory of the same file
// system too.
bool onMountOf(int fd, const TreeIdentity& top)
{
    struct stat info{};
    if (fstat(fd, &info) != 0 || static_cast<uint64_t>(info.st_dev) != top.volume)
        return false;
    struct statx extended{};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, 0, &extended) != 0)
        return true;
    return !((extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (extended.stx_attributes & STATX_ATTR_MOUNT_ROOT));
}

// The application may leave a directory without write, read or search
// permission for its owner; the owner gets them back so that the entries can
// be listed and deleted.
bool describe(int fd, Level& level)
{
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    if ((info.st_mode & ownerAll) != ownerAll)
        fchmod(fd, (info.st_mode & 07777) | ownerAll);
    level.identity = identityOf(info);
    return true;
}

// Opens a subdirectory without following a link. One of the work
// directory's file system whose owner may not read it is given the owner's
// rights back first: the name was just seen as
// a directory, and inside the private work directory only the application
// itself could have put something else in its place.
int openSubdirectory(int parent, const std::string& name, const TreeIdentity& top)
{
    int fd = openat(parent, name.c_str(), directoryFlags);
    if (fd < 0 && errno == EACCES) {
        struct stat info{};
        if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode) &&
            static_cast<uint64_t>(info.st_dev) == top.volume &&
            fchmodat(parent, name.c_str(), (info.st_mode & 07777) | ownerAll, 0) == 0)
            fd = openat(parent, name.c_str(), directoryFlags);
    }
    return fd;
}

bool isDotEntry(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Deletes every entry of the directory open as fd that is not a directory
// (links included, whatever they point to) and returns the names of its
// subdirectories.
std::vector<std::string> deleteFilesOf(int fd)
{
    std::vector<std::string> subdirectories;
    const int listing = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* directory = listing < 0 ? nullptr : fdopendir(listing);
    if (directory == nullptr) {
        if (listing >= 0)
            close(listing);
        return subdirectories;
    }
    while (const dirent* entry = readdir(directory)) {
        if (isDotEntry(entry->d_name))
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info{};
            isDirectory = fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
        }
        if (isDirectory)
            subdirectories.emplace_back(entry->d_name);
        else
            unlinkat(fd, entry->d_name, 0);
    }
    closedir(directory);
    return subdirectories;
}

// Opens the top directory when it is still the one recorded. A work
// directory the application left without the owner's read permission is
// first opened as a bare reference, checked, given the rights back through
// that very reference, and opened again through it.
int openTop(const std::string& path, const TreeIdentity& identity)
{
    const int fd = open(path.c_str(), directoryFlags);
    if (fd >= 0 || errno != EACCES)
        return fd;
    const int reference = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (reference < 0)
        return -1;
    struct stat info{};
    int reopened = -1;
    if (fstat(reference, &info) == 0 && sameDirectory(info, identity)) {
        const std::string self = "/proc/self/fd/" + std::to_string(reference);
        if (chmod(self.c_str(), (info.st_mode & 07777) | ownerAll) == 0)
            reopened = open(self.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    close(reference);
    return reopened;
}

// Empties the tree below the directory open as fd (which it closes),
// deepest entries first. Stops, leaving the rest, when the way back up no
// longer leads to the directory it came from.
void emptyTree(int fd, Level top)
{
    std::vector<Level> levels;
    top.subdirectories = deleteFilesOf(fd);
    levels.push_back(std::move(top));
    while (true) {
        Level& here = levels.back();
        if (!here.subdirectories.empty()) {
            Level next;
            next.name = std::move(here.subdirectories.back());
            here.subdirectories.pop_back();
            const int child = openSubdirectory(fd, next.name, levels.front().identity);
            if (child < 0)
                continue;  // it stays, and so does everything above it
            // A mount the application left (a bind, FUSE or loop mount): its
            // files are not the work directory's, and it stays with
            // everything above it.
            if (!onMountOf(child, levels.front().identity) || !describe(child, next)) {
                close(child);
                continue;
            }
            next.subdirectories = deleteFilesOf(child);
            close(fd);
            fd = child;
            levels.push_back(std::move(next));
            continue;
        }
        if (levels.size() == 1)
            break;
        const int parent = openat(fd, "..", directoryFlags);
        close(fd);
        fd = parent;
        struct stat info{};
        if (parent < 0 || fstat(parent, &info) != 0 || !sameDirectory(info, levels[levels.size() - 2].identity))
            break;
        unlinkat(parent, here.name.c_str(), AT_REMOVEDIR);
        levels.pop_back();
    }
    if (fd >= 0)
        close(fd);
}

} // namespace

bool nativeDirectoryIdentity(std::string_view path, OsFileIdentity& found)
{
    struct stat info{};
    if (lstat(std::string(path).c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid())
        return false;
    found = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return true;
}

void nativeRemoveTree(std::string_view dir, const OsFileIdentity& recorded)
{
    const std::string path(dir);
    const TreeIdentity identity{recorded.volume, recorded.index, true};
    const int fd = openTop(path, identity);
    if (fd < 0)
        return;
    // Checked before anything, the owner's rights included, is changed.
    struct stat opened{};
    Level top;
    if (fstat(fd, &opened) != 0 || !sameDirectory(opened, identity) || !describe(fd, top)) {
        close(fd);
        return;
    }
    emptyTree(fd, std::move(top));
    // The directory itself goes by its name, and only while that name still
    // leads to it.
    struct stat info{};
    if (lstat(path.c_str(), &info) == 0 && sameDirectory(info, identity))
        rmdir(path.c_str());
}

// ---- The removal in parts, for several threads.

// The top, held open, and the directories of the deepest level the split
// has emptied so far (a few dozen at most), held open as well: a subtree
// right below one of them is reached in one step from there.
struct OsTree {
    int top = -1;
    TreeIdentity identity;
    std::vector<std::pair<std::string, int>> held;
};

namespace {

// Opens the subdirectory name of parent as the walk does, or -1: never a
// link, "." or "..", nor a directory of another mount.
int stepInto(int parent, const std::string& name, const TreeIdentity& top)
{
    if (name.empty() || isDotEntry(name.c_str()))
        return -1;
    const int child = openSubdirectory(parent, name, top);
    Level level;
    if (child >= 0 && onMountOf(child, top) && describe(child, level))
        return child;
    if (child >= 0)
        close(child);
    return -1;
}

constexpr std::size_t heldLimit = 64;

std::size_t depthOf(const std::string& dir)
{
    return dir.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(dir.begin(), dir.end(), '/'));
}

void releaseHeld(OsTree& tree)
{
    for (const auto& [dir, fd] : tree.held)
        close(fd);
    tree.held.clear();
}

// A directory reached from the top: its descriptor, that of the directory
// above it (-1 for the top; one of the tree's held ones when parentHeld)
// and its name there.
struct Reached {
    int fd = -1;
    int parent = -1;
    bool parentHeld = false;
    std::string name;
};

void release(Reached& reached)
{
    if (reached.fd >= 0)
        close(reached.fd);
    if (reached.parent >= 0 && !reached.parentHeld)
        close(reached.parent);
    reached = {};
}

// Every directory is opened afresh (the top through "."), so that no two
// listings share a read position.
Reached reach(const OsTree& tree, const std::string& dir)
{
    Reached reached;
    const std::size_t slash = dir.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : dir.substr(0, slash);
    for (const auto& [heldDir, fd] : tree.held) {
        if (!dir.empty() && heldDir == parent) {
            reached.parent = fd;
            reached.parentHeld = true;
            reached.name = dir.substr(slash == std::string::npos ? 0 : slash + 1);
            reached.fd = stepInto(fd, reached.name, tree.identity);
            return reached;
        }
    }
    reached.fd = openat(tree.top, ".", directoryFlags);
    std::size_t start = 0;
    while (reached.fd >= 0 && start < dir.size()) {
        std::size_t end = dir.find('/', start);
        if (end == std::string::npos)
            end = dir.size();
        if (reached.parent >= 0)
            close(reached.parent);
        reached.parent = reached.fd;
        reached.name = dir.substr(start, end - start);
        reached.fd = stepInto(reached.parent, reached.name, tree.identity);
        start = end + 1;
    }
    return reached;
}

} // namespace

OsTree* nativeOpenTree(std::string_view dir, const OsFileIdentity& recorded)
{
    const TreeIdentity identity{recorded.volume, recorded.index, true};
    const int fd = openTop(std::string(dir), identity);
    if (fd < 0)
        return nullptr;
    struct stat opened{};
    Level top;
    OsTree* tree = nullptr;
    if (fstat(fd, &opened) == 0 && sameDirectory(opened, identity) && describe(fd, top))
        tree = new (std::nothrow) OsTree{fd, identity, {}};
    if (tree == nullptr)
        close(fd);
    return tree;
}

bool nativeEmptyTreeDirectory(OsTree* tree, const std::string& dir, std::vector<std::string>& subdirectories)
{
    Reached reached = reach(*tree, dir);
    const bool found = reached.fd >= 0;
    if (found)
        for (std::string& name : deleteFilesOf(reached.fd))
            subdirectories.push_back(dir.empty() ? std::move(name) : dir + "/" + name);
    // A deeper level than those held replaces them.
    if (!tree->held.empty() && depthOf(tree->held.front().first) < depthOf(dir))
        releaseHeld(*tree);
    if (found && tree->held.size() < heldLimit && (tree->held.empty() || depthOf(tree->held.front().first) == depthOf(dir))) {
        tree->held.emplace_back(dir, reached.fd);
        reached.fd = -1;
    }
    release(reached);
    return found;
}

void nativeRemoveSubtree(OsTree* tree, const std::string& dir)
{
    Reached reached = reach(*tree, dir);
    Level top;
    if (reached.fd >= 0 && reached.parent >= 0 && describe(reached.fd, top)) {
        top.name = reached.name;
        emptyTree(reached.fd, std::move(top));
        reached.fd = -1;  // closed by the walk
        unlinkat(reached.parent, reached.name.c_str(), AT_REMOVEDIR);
    }
    release(reached);
}

void nativeCloseTree(OsTree* tree)
{
    releaseHeld(*tree);
    close(tree->top);
    delete tree;
}
