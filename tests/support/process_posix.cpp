#include "process_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes)
{
    std::vector<std::string> result;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (!changes.contains(std::string(entry.substr(0, entry.find('=')))))
            result.emplace_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (value)
            result.push_back(name + "=" + *value);
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

pid_t startProcess(const std::vector<std::string>& argv, const StartOptions& options)
{
    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls.
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environmentWith(options.env);
    std::vector<char*> argvPointers = pointersTo(args);
    std::vector<char*> envPointers = pointersTo(env);
    const std::string& errPath = options.errPath.empty() ? options.outPath : options.errPath;
    const bool errApart = !options.errPath.empty();

    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (options.ownGroup)
        setpgid(0, 0);
    const int in = open(options.stdinPath.c_str(), O_RDONLY);
    const int out = open(options.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = errApart ? open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : out;
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
        dprintf(2, "test: cannot enter %s\n", options.cwd.c_str());
        _exit(126);
    }
    environ = envPointers.data();
    execvp(argvPointers[0], argvPointers.data());
    dprintf(2, "test: cannot start %s: %s\n", argvPointers[0], std::strerror(errno));
    _exit(127);
}

ProcessEnd waitForProcess(pid_t pid, int timeoutMs)
{
    ProcessEnd end;
    if (pid <= 0)
        return end;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto pause = std::chrono::microseconds(50);
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(pid, &status, timeoutMs < 0 ? 0 : WNOHANG, &usage);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return end;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            end.timedOut = true;
            break;
        }
        if (done == 0) {
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::microseconds(5000));
        }
    }
    if (WIFEXITED(status))
        end.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        end.exitCode = 128 + WTERMSIG(status);
    end.maxRssKiB = usage.ru_maxrss;
    return end;
}

} // namespace testsupport
