// Linux: the command line is split by the system's own rules and started
// with posix_spawnp, inheriting environment, current directory and the
// standard descriptors; the launcher waits without a time limit, passing the
// stop signals on to it.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/process/cmdline.h"
#include "runtime/os/oscalls.h"
#include "runtime/os/oserror.h"
#include "runtime/process/process.h"
#include "runtime/signals/signals_posix.h"

extern char** environ;

namespace {

// Starts argv; 0 and the child's id, or the errno of the failure. The
// child starts with the default dispositions of the stop signals (unless the
// launcher was started with one ignored) and of SIGPIPE, which the launcher
// ignores for itself (see installFaultHandlers), and with the stop signals
// unblocked.
int spawnChild(std::vector<std::string>& argv, const sigset_t& launcherMask, pid_t& child)
{
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (std::string& argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    posix_spawnattr_t attributes;
    int err = posix_spawnattr_init(&attributes);
    if (err != 0)
        return err;
    sigset_t defaults;
    sigemptyset(&defaults);
    addDefaultedStopSignals(defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t mask = launcherMask;
    removeStopSignals(mask);
    // A child that would start with the launcher's signal set-up is not
    // started at all.
    err = posix_spawnattr_setsigdefault(&attributes, &defaults);
    if (err == 0)
        err = posix_spawnattr_setsigmask(&attributes, &mask);
    if (err == 0)
        err = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (err == 0)
        err = posix_spawnp(&child, pointers[0], nullptr, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return err;
}

// Waits until the child has ended, without reaping it yet: the stop signals
// are passed on to its id until then, and that id must not be reused
// meanwhile. False when a second TERM asked the launcher to stop waiting.
bool awaitEnd(pid_t child, int& waitError)
{
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR) {
            waitError = errno;
            return true;
        }
        if (waitAbandoned())
            return false;
    }
    return true;
}

} // namespace

uint32_t nativeExecuteProgram(std::string_view path, std::string_view arguments, std::string_view,
                              uint32_t& exitCode)
{
    const std::string commandLine = buildCommandLine(path, arguments);
    std::vector<std::string> argv = splitCommandLine(commandLine);
    if (argv.empty() || argv[0].empty())
        return osCodeFromErrno(ENOENT);
    // A program path written with backslashes, as in a recipe made for
    // Windows, names the same file with slashes.
    for (char& c : argv[0])
        if (c == '\\')
            c = '/';

    // The stop signals stay blocked until the child's id is known, so that
    // each request reaches it.
    sigset_t launcherMask;
    blockStopSignals(launcherMask);
    pid_t child = 0;
    const int spawnError = spawnChild(argv, launcherMask, child);
    if (spawnError != 0) {
        restoreSignalMask(launcherMask);
        return osCodeFromErrno(spawnError, argv[0]);
    }
    setStopTarget(child);
    restoreSignalMask(launcherMask);

    int waitError = 0;
    const bool ended = awaitEnd(child, waitError);
    setStopTarget(0);
    if (!ended) {
        exitCode = 128 + SIGTERM;  // the command is left running
        return 0;
    }
    int status = 0;
    pid_t waited = -1;
    if (waitError == 0) {
        do {
            waited = waitpid(child, &status, 0);
        } while (waited < 0 && errno == EINTR);
        if (waited < 0)
            waitError = errno;
    }
    if (waited < 0)
        return osCodeFromErrno(waitError);

    exitCode = WIFSIGNALED(status) ? 128 + static_cast<uint32_t>(WTERMSIG(status))
                                   : static_cast<uint32_t>(WEXITSTATUS(status));
    return 0;
}

std::size_t commandLineMax()
{
    const long limit = sysconf(_SC_ARG_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 131072;
}

std::size_t commandLineLength(std::string_view commandText)
{
    std::size_t length = 0;
    for (const std::string& argument : splitCommandLine(commandText))
        length += argument.size() + 1;
    return length;
}

bool argumentsForCommand(std::string_view, std::string_view exactArgs, std::string& inserted)
{
    inserted = exactArgs;
    return true;
}
