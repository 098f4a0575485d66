#include <gtest/gtest.h>

#include <windows.h>

#include "runtime/failure/failure.h"
#include "runtime/process/process.h"
#include "unit/exitcode.h"

TEST(ExecuteProgramWin32, ReturnsTheChildsExitCode)
{
    EXPECT_EQ(exitCodeOf("cmd.exe", "/c exit 3"), 3u);
    EXPECT_EQ(exitCodeOf("cmd.exe", "/c exit 0"), 0u);
    // The full 32-bit code comes back.
    EXPECT_EQ(exitCodeOf("cmd.exe", "/c exit 70000"), 70000u);
}

TEST(ExecuteProgramWin32, MissingProgramEndsTheProcessWithEOSError)
{
    EXPECT_EXIT(
        {
            SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
            exitCodeOf("zop-no-such-program.exe", "-x");
        },
        testing::ExitedWithCode(217), "EOSError : Failed to execute \"zop-no-such-program.exe\" -x : 2");
}
