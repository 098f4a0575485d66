// Linux: the command line is split by the system's own rules and started
// with posix_spawnp, inheriting environment, current directory and the
// standard descriptors; the launcher waits without a time limit.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "runtime/cmdline.h"
#include "runtime/failure.h"
#include "runtime/oserror.h"
#include "runtime/process.h"

extern char** environ;

namespace {

std::string failureMessage(const std::string& commandLine, uint32_t code)
{
    return "Failed to execute " + commandLine + " : " + std::to_string(static_cast<int32_t>(code));
}

// While a child runs, Control-C and Quit belong to it, as with system(3):
// the launcher ignores them and goes on (and cleans up) when the child ends.
struct IgnoredSignals {
    struct sigaction interrupt{};
    struct sigaction quit{};
};

IgnoredSignals ignoreInteractiveSignals()
{
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    IgnoredSignals saved;
    sigaction(SIGINT, &ignore, &saved.interrupt);
    sigaction(SIGQUIT, &ignore, &saved.quit);
    return saved;
}

void restoreInteractiveSignals(const IgnoredSignals& saved)
{
    sigaction(SIGINT, &saved.interrupt, nullptr);
    sigaction(SIGQUIT, &saved.quit, nullptr);
}

// Starts argv; 0 and the child's id, or the errno of the failure.
int spawnChild(std::vector<std::string>& argv, const IgnoredSignals& saved, pid_t& child)
{
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (std::string& argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    // The child starts with the default dispositions of the two signals the
    // launcher ignores, unless they were ignored before the launcher started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    if (saved.interrupt.sa_handler != SIG_IGN)
        sigaddset(&defaults, SIGINT);
    if (saved.quit.sa_handler != SIG_IGN)
        sigaddset(&defaults, SIGQUIT);
    // The launcher ignores SIGPIPE for itself (see installFaultHandlers);
    // the application gets the usual behaviour back.
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int err = posix_spawnp(&child, pointers[0], nullptr, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return err;
}

} // namespace

uint32_t executeProgram(std::string_view path, std::string_view arguments, std::string_view)
{
    const std::string commandLine = buildCommandLine(path, arguments);
    std::vector<std::string> argv = splitCommandLine(commandLine);
    if (argv.empty() || argv[0].empty())
        raiseException("EOSError", failureMessage(commandLine, osCodeFromErrno(ENOENT)));
    // A program path written with backslashes, as in a recipe made for
    // Windows, names the same file with slashes.
    for (char& c : argv[0])
        if (c == '\\')
            c = '/';

    const IgnoredSignals saved = ignoreInteractiveSignals();
    pid_t child = 0;
    const int spawnError = spawnChild(argv, saved, child);
    if (spawnError != 0) {
        restoreInteractiveSignals(saved);
        raiseException("EOSError", failureMessage(commandLine, osCodeFromErrno(spawnError, argv[0])));
    }

    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    const int waitError = errno;
    restoreInteractiveSignals(saved);
    if (waited < 0)
        raiseException("EOSError", failureMessage(commandLine, osCodeFromErrno(waitError)));

    if (WIFSIGNALED(status))
        return 128 + static_cast<uint32_t>(WTERMSIG(status));
    return static_cast<uint32_t>(WEXITSTATUS(status));
}
