#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "runtime/process/cmdline.h"

TEST(CommandLinePosix, ArgumentsAsDeliveredAndArgumentZeroIsTheExecutable)
{
    char program[] = "typed-name";
    char first[] = "a b";
    char second[] = "";
    char third[] = "'q'";
    char* argv[] = {program, first, second, third, nullptr};
    initCommandLine(4, argv);
    EXPECT_EQ(argumentCount(), 3);
    EXPECT_EQ(argumentAt(1), "a b");
    EXPECT_EQ(argumentAt(2), "");
    EXPECT_EQ(argumentAt(3), "'q'");
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
    ASSERT_GT(length, 0);
    EXPECT_EQ(argumentAt(0), std::string(self, static_cast<std::size_t>(length)));
    EXPECT_EQ(exactArguments(), "'a b' '' \"'\"'q'\"'\"");
}

TEST(EnvironmentPosix, LookupIgnoresCaseAndTakesTheFirstEntry)
{
    setenv("Zop_Env_Test", "first", 1);
    setenv("ZOP_ENV_TEST", "second", 1);
    EXPECT_EQ(environmentValue("zop_env_test"), "first");
    EXPECT_EQ(environmentValue("ZOP_ENV_TEST"), "first");
    unsetenv("Zop_Env_Test");
    EXPECT_EQ(environmentValue("zop_env_test"), "second");
    unsetenv("ZOP_ENV_TEST");
    EXPECT_EQ(environmentValue("zop_env_test"), "");
}

TEST(EnvironmentPosix, EmptyValueAndLongEntries)
{
    setenv("ZOP_ENV_EMPTY", "", 1);
    EXPECT_EQ(environmentValue("ZOP_ENV_EMPTY"), "");
    unsetenv("ZOP_ENV_EMPTY");

    // The entry is cut to 255 bytes before it is split.
    setenv("ZOP_ENV_LONG", std::string(400, 'v').c_str(), 1);
    EXPECT_EQ(environmentValue("ZOP_ENV_LONG"), std::string(255 - 13, 'v'));
    unsetenv("ZOP_ENV_LONG");
}
