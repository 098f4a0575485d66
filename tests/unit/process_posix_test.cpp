#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "support/process_posix.h"
#include "runtime/failure/failure.h"
#include "runtime/process/process.h"
#include "unit/exitcode.h"

TEST(ExecuteProgram, ReturnsTheChildsExitCode)
{
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c \"exit 3\""), 3u);
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c 'exit 0'"), 0u);
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c 'exit 255'"), 255u);
}

TEST(ExecuteProgram, ChildKilledBySignalGives128PlusItsNumber)
{
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c 'kill -TERM $$'"), 128u + SIGTERM);
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c 'kill -KILL $$'"), 128u + SIGKILL);
}

TEST(ExecuteProgram, ArgumentsAreSplitByTheSystemsOwnRules)
{
    // $# counts the arguments after the script's own name ($0).
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c 'exit $#' zero \"a b\" '' c"), 3u);
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c 'case \"$1\" in C:\\\\dir\\\\) exit 7;; esac' zero C:\\dir\\"),
              7u);
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c '[ \"$1\" = \"say \\\"hi\\\"\" ] && exit 8' zero 'say \"hi\"'"),
              8u);
}

TEST(ExecuteProgram, BareNamesAreSearchedOnThePathAndBackslashesBecomeSlashes)
{
    EXPECT_EQ(exitCodeOf("sh", "-c 'exit 5'"), 5u);
    EXPECT_EQ(exitCodeOf("\\bin\\sh", "-c 'exit 6'"), 6u);
    // A path the entry text quoted itself.
    EXPECT_EQ(exitCodeOf("\"/bin/sh\"", "-c 'exit 9'"), 9u);
}

TEST(ExecuteProgram, ChildGetsDefaultInterruptHandlingAndLauncherKeepsItsOwn)
{
    struct sigaction before{};
    sigaction(SIGINT, nullptr, &before);
    // The launcher catches SIGINT while waiting; the child starts with the
    // default disposition, so its own SIGINT kills it.
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c 'kill -INT $$; exit 0'"), 128u + SIGINT);
    struct sigaction after{};
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(before.sa_handler, after.sa_handler);
}

TEST(ExecuteProgram, ChildInheritsTheEnvironment)
{
    setenv("ZOP_PROCESS_TEST", "inherited value", 1);
    EXPECT_EQ(exitCodeOf("/bin/sh", "-c '[ \"$ZOP_PROCESS_TEST\" = \"inherited value\" ] && exit 4'"),
              4u);
    unsetenv("ZOP_PROCESS_TEST");
}

namespace {

using testsupport::ChildRun;
using testsupport::runInChild;

std::string failureLine(std::string_view path, std::string_view arguments)
{
    const ChildRun run = runInChild([&] { exitCodeOf(path, arguments); });
    EXPECT_TRUE(run.exitedWith(217)) << run.status;
    const std::vector<std::string> lines = run.lines();
    return lines.size() > 1 ? lines[1] : run.output;
}

} // namespace

TEST(ExecuteProgram, ProgramThatCannotStartEndsTheProcessWithEOSError)
{
    EXPECT_EQ(failureLine("zop-no-such-program", "-x y"),
              "EOSError : Failed to execute \"zop-no-such-program\" -x y : 2");
    EXPECT_EQ(failureLine("/tmp/zop-no-such-program", ""),
              "EOSError : Failed to execute \"/tmp/zop-no-such-program\" : 2");
    EXPECT_EQ(failureLine("/zop-no-such-dir/prog", ""),
              "EOSError : Failed to execute \"/zop-no-such-dir/prog\" : 3");
    EXPECT_EQ(failureLine("", ""), "EOSError : Failed to execute \"\" : 2");
}

TEST(ExecuteProgram, FileWithoutExecutePermissionGivesAccessDenied)
{
    char name[] = "/tmp/zop-noexec-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    chmod(name, 0600);
    EXPECT_EQ(failureLine(name, ""), "EOSError : Failed to execute \"" + std::string(name) + "\" : 5");
    unlink(name);
}
