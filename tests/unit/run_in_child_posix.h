// Runs a piece of code in a forked child whose standard output goes into a
// pipe, and hands back how the child ended and what it wrote: the failure
// report is written to standard output and ends the process.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

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
