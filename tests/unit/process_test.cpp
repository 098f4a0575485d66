#include <gtest/gtest.h>

#include "runtime/process.h"

TEST(BuildCommandLine, QuotesThePathAndAppendsArguments)
{
    EXPECT_EQ(buildCommandLine("C:\\Program Files\\app\\x.exe", "-a -b"),
              "\"C:\\Program Files\\app\\x.exe\" -a -b");
    EXPECT_EQ(buildCommandLine("prog", "x"), "\"prog\" x");
}

TEST(BuildCommandLine, EmptyArgumentsAddNoBlank)
{
    EXPECT_EQ(buildCommandLine("C:\\app\\x.exe", ""), "\"C:\\app\\x.exe\"");
    EXPECT_EQ(buildCommandLine("", ""), "\"\"");
}

TEST(BuildCommandLine, PathWithAQuoteIsPassedUnchanged)
{
    EXPECT_EQ(buildCommandLine("\"C:\\My Dir\\x.exe\"", "-v"), "\"C:\\My Dir\\x.exe\" -v");
    EXPECT_EQ(buildCommandLine("a\"b", ""), "a\"b");
}

TEST(BuildCommandLine, ArgumentsPassByteForByte)
{
    EXPECT_EQ(buildCommandLine("p", " 'a b' \"c\\\" \\d  "), "\"p\"  'a b' \"c\\\" \\d  ");
    // A single quote in the path is not a reason to leave it unquoted.
    EXPECT_EQ(buildCommandLine("it's", ""), "\"it's\"");
}
