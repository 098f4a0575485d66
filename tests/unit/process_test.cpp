#include <gtest/gtest.h>

#include "runtime/process/process.h"

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

TEST(BareProgramFile, OnlyBareNamesAndExeAddedWithoutADot)
{
    EXPECT_EQ(bareProgramFile("\"cmd\" /c exit 3"), "cmd.exe");
    EXPECT_EQ(bareProgramFile("\"tool.exe\""), "tool.exe");
    EXPECT_EQ(bareProgramFile("\"run.bat\" x"), "run.bat");
    EXPECT_EQ(bareProgramFile("\"name.\" x"), "name.");
    // The program as Windows delimits it: a quoted token, else up to a blank.
    EXPECT_EQ(bareProgramFile("\"my tool\" x"), "my tool.exe");
    EXPECT_EQ(bareProgramFile("tool\t-x"), "tool.exe");
    for (const char* line : {"\"bin\\tool.exe\" -x", "\"C:\\w\\cmd.exe\"", "\"C:cmd\"", "\"./tool\"",
                             "\"\" probe x", ""})
        EXPECT_EQ(bareProgramFile(line), "") << line;
}

TEST(ProgramSearchDirectories, WorkDirectorySystemWindowsThenAbsolutePathEntries)
{
    EXPECT_EQ(programSearchDirectories("Z:\\tmp\\zop.3", "C:\\windows\\system32", "C:\\windows",
                                       "C:\\bin;;.;tools;\"C:\\Program Files\\x\";\\\\server\\share;D:/y"),
              (std::vector<std::string>{"Z:\\tmp\\zop.3", "C:\\windows\\system32", "C:\\windows", "C:\\bin",
                                        "C:\\Program Files\\x", "\\\\server\\share", "D:/y"}));
    // A c command searches no directory of its own; an empty PATH adds none.
    EXPECT_EQ(programSearchDirectories("", "S", "W", ""), (std::vector<std::string>{"S", "W"}));
}
