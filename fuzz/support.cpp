#include "support.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The inline 8-bit coverage counters of the instrumented code, placed in one
// section by the compiler.
extern "C" uint8_t __start___sancov_cntrs[];
extern "C" uint8_t __stop___sancov_cntrs[];

extern "C" [[noreturn]] void __real__exit(int code);

namespace {

bool inChild = false;
uint8_t* sharedCounters = nullptr;

std::size_t counterCount()
{
    return static_cast<std::size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
}

void handCountersToParent()
{
    if (sharedCounters != nullptr)
        std::memcpy(sharedCounters, __start___sancov_cntrs, counterCount());
}

int removeEntry(const char* path, const struct stat*, int, struct FTW* walk)
{
    if (walk->level > 0)
        remove(path);
    return 0;
}

void removeScratch();

} // namespace

// Every _exit of the instrumented code comes here: the failure path's end
// included. In a child the counters go to the parent first; in the fuzzing
// process itself an unexpected end is a finding.
extern "C" [[noreturn]] void __wrap__exit(int code)
{
    if (!inChild) {
        std::fprintf(stderr, "fuzz: the code under test ended the process (exit code %d)\n", code);
        std::abort();
    }
    handCountersToParent();
    __real__exit(code);
}

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

bool canConfine()
{
    static const int answer = [] {
        const int status = runInChild(true, [] {});
        return status == 0 ? 1 : 0;
    }();
    return answer == 1;
}

int runInChild(bool confine, const std::function<void()>& body)
{
    if (sharedCounters == nullptr) {
        void* shared = mmap(nullptr, counterCount() + 1, PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED)
            std::abort();
        sharedCounters = static_cast<uint8_t*>(shared);
    }
    std::memcpy(sharedCounters, __start___sancov_cntrs, counterCount());
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        std::abort();
    if (child == 0) {
        inChild = true;
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
        if (confine) {
            if (getuid() != 0 && unshare(CLONE_NEWUSER) != 0)
                _exit(1);
            if (chroot(scratchRoot().c_str()) != 0 || chdir("/") != 0)
                _exit(1);
        }
        body();
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 217 &&
                               !(confine && WEXITSTATUS(status) == 1))) {
        std::fprintf(stderr, "fuzz: the child ended abnormally (status %#x)\n", status);
        std::abort();
    }
    std::memcpy(__start___sancov_cntrs, sharedCounters, counterCount());
    return WEXITSTATUS(status);
}

} // namespace fuzz

namespace {

// The fuzzing process removes its scratch directory when it ends normally
// (children end with _exit and never get here).
void removeScratch()
{
    if (inChild)
        return;
    fuzz::emptyDirectory(fuzz::scratchRoot());
    rmdir(fuzz::scratchRoot().c_str());
}

} // namespace
