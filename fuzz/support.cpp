#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "runtime/failure/failure.h"
#include "runtime/os/oscalls.h"
#include "runtime/runtime.h"

namespace {

// Thrown by the replaced final step of the failure path.
struct ProgramEnd {
    uint32_t exitCode;
};

[[noreturn]] void throwProgramEnd(uint32_t exitCode)
{
    throw ProgramEnd{exitCode};
}

OsCalls native;
fuzz::RunResult current;

int removeEntry(const char* path, const struct stat*, int, struct FTW* walk)
{
    if (walk->level > 0)
        remove(path);
    return 0;
}

// The name made absolute against the current directory and cleared of "."
// and ".." lexically: the code under test creates no symbolic links, and the
// scratch directory holds none.
std::string normalPath(std::string_view name)
{
    std::string whole;
    if (name.empty() || name[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return {};
        whole = cwd;
        whole += '/';
    }
    whole.append(name);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= whole.size()) {
        std::size_t end = whole.find('/', start);
        if (end == std::string::npos)
            end = whole.size();
        const std::string part = whole.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts)
        result += "/" + part;
    return result.empty() ? "/" : result;
}

bool inside(std::string_view name)
{
    const std::string path = normalPath(name);
    const std::string& root = fuzz::scratchRoot();
    const bool ok = path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                                     path[root.size()] == '/');
    if (!ok)
        current.refusedPath = true;
    return ok;
}

uint32_t confinedOpen(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind, OsHandle& handle)
{
    return inside(name) ? native.open(name, access, sharing, kind, handle) : osAccessDenied;
}
uint32_t confinedDeleteFile(const std::string& name)
{
    return inside(name) ? native.deleteFile(name) : osAccessDenied;
}
bool confinedIsPlainDirectory(const std::string& name)
{
    return inside(name) && native.isPlainDirectory(name);
}
uint32_t confinedGetAttributes(const std::string& name, uint16_t& attributes)
{
    return inside(name) ? native.getAttributes(name, attributes) : osAccessDenied;
}
uint32_t confinedRename(const std::string& from, const std::string& to)
{
    return inside(from) && inside(to) ? native.renameReplacing(from, to) : osAccessDenied;
}
bool confinedFileIdentity(const std::string& name, OsFileIdentity& identity)
{
    return inside(name) && native.fileIdentity(name, identity);
}
bool confinedIsDeviceOrPipe(const std::string& name)
{
    return inside(name) && native.isDeviceOrPipe(name);
}
uint32_t confinedMakeDirectory(const std::string& name, bool ownerOnly)
{
    return inside(name) ? native.makeDirectory(name, ownerOnly) : osAccessDenied;
}
uint32_t confinedRemoveDirectory(const std::string& name)
{
    return inside(name) ? native.removeDirectory(name) : osAccessDenied;
}
uint32_t confinedChangeDirectory(const std::string& name)
{
    return inside(name) ? native.changeDirectory(name) : osAccessDenied;
}
uint32_t confinedFindFirst(const std::string& pattern, OsSearch*& search, OsEntry& entry)
{
    return inside(pattern) ? native.findFirst(pattern, search, entry) : osAccessDenied;
}
// Commands named by fuzz input never start: each "ran" and ended with 0.
uint32_t noProgram(std::string_view, std::string_view, std::string_view, uint32_t& exitCode)
{
    current.startedProgram = true;
    exitCode = 0;
    return 0;
}

void confineOsCalls()
{
    static const bool done = [] {
        native = osCalls;
        osCalls.open = confinedOpen;
        osCalls.deleteFile = confinedDeleteFile;
        osCalls.isPlainDirectory = confinedIsPlainDirectory;
        osCalls.getAttributes = confinedGetAttributes;
        osCalls.renameReplacing = confinedRename;
        osCalls.fileIdentity = confinedFileIdentity;
        osCalls.isDeviceOrPipe = confinedIsDeviceOrPipe;
        osCalls.makeDirectory = confinedMakeDirectory;
        osCalls.removeDirectory = confinedRemoveDirectory;
        osCalls.changeDirectory = confinedChangeDirectory;
        osCalls.findFirst = confinedFindFirst;
        osCalls.executeProgram = noProgram;
        setFinalStep(throwProgramEnd);
        // Listings and reports go nowhere; the fuzzer itself writes to
        // standard error.
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
        return true;
    }();
    (void)done;
}

// What each descriptor this process has open leads to.
std::map<int, std::string> openDescriptors()
{
    std::map<int, std::string> open;
    DIR* dir = opendir("/proc/self/fd");
    for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == dirfd(dir))
            continue;
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        open[std::atoi(e->d_name)] = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
    }
    if (dir != nullptr)
        closedir(dir);
    return open;
}

void removeScratch();

} // namespace

namespace fuzz {

const std::string& scratchRoot()
{
    static const std::string root = [] {
        char pattern[] = "/tmp/zop-fuzz.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        return std::string(pattern);
    }();
    // Registered once root is complete, so that it runs before root is
    // destroyed.
    static const bool removedAtExit = std::atexit(removeScratch) == 0;
    (void)removedAtExit;
    return root;
}

void writeFile(const std::string& path, std::string_view bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
        std::fclose(f) != 0)
        std::abort();
}

void emptyDirectory(const std::string& dir)
{
    nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

RunResult runConfined(const std::string& directory, const std::function<void()>& body)
{
    confineOsCalls();
    resetRuntimeState();
    current = RunResult{};
    const std::map<int, std::string> descriptorsBefore = openDescriptors();
    const int caller = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (caller < 0 || chdir(directory.c_str()) != 0)
        std::abort();
    try {
        body();
    } catch (const ProgramEnd& end) {
        current.exitCode = static_cast<int>(end.exitCode);
    }
    // The runtime's own state (the files a failure left open among it) is
    // put back; whatever else the run opened, it must have closed, on every
    // road out.
    resetRuntimeState();
    bool leaked = false;
    for (const auto& [fd, target] : openDescriptors())
        if (fd != caller && !descriptorsBefore.contains(fd)) {
            std::fprintf(stderr, "fuzz: the run left descriptor %d open (%s)\n", fd, target.c_str());
            leaked = true;
        }
    if (leaked)
        std::abort();
    if (fchdir(caller) != 0)
        std::abort();
    close(caller);
    if (current.exitCode != 0 && current.exitCode != 217) {
        std::fprintf(stderr, "fuzz: the program ended with exit code %d\n", current.exitCode);
        std::abort();
    }
    return current;
}

} // namespace fuzz

namespace {

// The fuzzing process removes its scratch directory when it ends normally.
void removeScratch()
{
    fuzz::emptyDirectory(fuzz::scratchRoot());
    rmdir(fuzz::scratchRoot().c_str());
}

} // namespace
