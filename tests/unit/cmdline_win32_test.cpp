#include <gtest/gtest.h>

#include <windows.h>

#include "runtime/process/cmdline.h"

namespace {

std::string lowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

TEST(CommandLineWin32, ArgumentZeroIsTheModulePath)
{
    initCommandLine(0, nullptr);
    const std::string self = lowerAscii(argumentAt(0));
    ASSERT_GE(self.size(), 14u);
    EXPECT_EQ(self.substr(self.size() - 14), "unit_tests.exe");
    EXPECT_NE(self.find('\\'), std::string::npos);
}

TEST(EnvironmentWin32, EachLookupSeesTheCurrentBlock)
{
    SetEnvironmentVariableA("ZOP_ENV_TEST", "first value");
    EXPECT_EQ(environmentValue("zop_env_test"), "first value");
    SetEnvironmentVariableA("ZOP_ENV_TEST", "second value");
    EXPECT_EQ(environmentValue("Zop_Env_Test"), "second value");
    SetEnvironmentVariableA("ZOP_ENV_TEST", nullptr);
    EXPECT_EQ(environmentValue("ZOP_ENV_TEST"), "");
}

TEST(EnvironmentWin32, LongEntriesAreCutBeforeTheyAreSplit)
{
    SetEnvironmentVariableA("ZOP_ENV_LONG", std::string(400, 'v').c_str());
    EXPECT_EQ(environmentValue("ZOP_ENV_LONG"), std::string(255 - 13, 'v'));
    SetEnvironmentVariableA("ZOP_ENV_LONG", nullptr);
}
