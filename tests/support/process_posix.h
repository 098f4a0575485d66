// Starting processes from the tests (POSIX): a program with its standard
// streams in files, and a piece of the test's own code in a forked child.
#pragma once
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// ------------------------------------------------------------------ programs

struct StartOptions {
    // Environment changes on top of this process's environment: a value
    // sets, nullopt unsets.
    std::map<std::string, std::optional<std::string>> env;
    std::string cwd;                    // empty: this process's
    std::string stdinPath = "/dev/null";
    std::string outPath = "/dev/null";
    std::string errPath;                // empty: into outPath as well
    // A process group of its own, so that killing the group on a timeout
    // also ends what the program started (Wine's helpers).
    bool ownGroup = false;
};

// Starts argv (looked up on PATH) and does not wait; -1 when it cannot.
pid_t startProcess(const std::vector<std::string>& argv, const StartOptions& options);

struct ProcessEnd {
    int exitCode = -1;  // the exit code; 128 + N when killed by signal N
    bool timedOut = false;
    long maxRssKiB = 0;  // the peak resident memory of the process
};

// Waits for the process; after timeoutMs (negative: no limit) it kills the
// process (its group, when it has one of its own) and reports a time-out.
ProcessEnd waitForProcess(pid_t pid, int timeoutMs = -1);

// ------------------------------------------------------------------ code in a child

// How a child ended and what it wrote on its standard output. Failure
// reports are written to standard output and end the process.
struct ChildRun {
    int status = 0;
    std::string output;

    bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

    // The output cut at CR LF; the text after the last CR LF is dropped.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> result;
        std::size_t start = 0;
        for (std::size_t end; (end = output.find("\r\n", start)) != std::string::npos; start = end + 2)
            result.push_back(output.substr(start, end - start));
        return result;
    }
};

// Runs body in a forked child whose standard output goes into a pipe.
template <typename Body>
ChildRun runInChild(Body body)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {-1, {}};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[1]);
        body();
        _exit(0);
    }
    close(pipeEnds[1]);
    ChildRun run;
    char block[4096];
    for (ssize_t n; (n = read(pipeEnds[0], block, sizeof block)) > 0;)
        run.output.append(block, static_cast<std::size_t>(n));
    close(pipeEnds[0]);
    waitpid(child, &run.status, 0);
    return run;
}

} // namespace testsupport
