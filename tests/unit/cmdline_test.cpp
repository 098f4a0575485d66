#include <gtest/gtest.h>

#include "runtime/cmdline.h"
#include "runtime/cmdline_platform.h"

namespace {

using Args = std::vector<std::string>;

// Arguments 1..n of a raw command line: the first token is the program.
Args argumentsOf(std::string_view raw)
{
    Args tokens = splitCommandLine(raw);
    if (!tokens.empty())
        tokens.erase(tokens.begin());
    return tokens;
}

} // namespace

TEST(SplitCommandLine, FollowsTheQuoteAndSeparatorRules)
{
    EXPECT_EQ(argumentsOf("prog a  b"), (Args{"a", "b"}));
    EXPECT_EQ(argumentsOf("\"C:\\My Dir\\prog.exe\" x"), (Args{"x"}));
    EXPECT_EQ(argumentsOf("prog \"a b\" c"), (Args{"a b", "c"}));
    EXPECT_EQ(argumentsOf("prog 'a b' c"), (Args{"a b", "c"}));
    EXPECT_EQ(argumentsOf("prog \"\" x"), (Args{"", "x"}));
    EXPECT_EQ(argumentsOf("prog a\"\"b"), (Args{"ab"}));
    EXPECT_EQ(argumentsOf("prog \"a\"\"b\""), (Args{"ab"}));
    EXPECT_EQ(argumentsOf("prog \"it's\""), (Args{"it's"}));
    EXPECT_EQ(argumentsOf("prog 'say \"hi\"'"), (Args{"say \"hi\""}));
    EXPECT_EQ(argumentsOf("prog C:\\dir\\ \"x"), (Args{"C:\\dir\\", "x"}));
    EXPECT_EQ(argumentsOf("prog a\tb"), (Args{"a", "b"}));
    EXPECT_EQ(argumentsOf("prog    "), Args{});
}

TEST(SplitCommandLine, KeepsTheProgramTokenFirst)
{
    EXPECT_EQ(splitCommandLine("\"C:\\My Dir\\prog.exe\" x"), (Args{"C:\\My Dir\\prog.exe", "x"}));
    EXPECT_EQ(splitCommandLine("  prog"), (Args{"prog"}));
    EXPECT_EQ(splitCommandLine(""), Args{});
    EXPECT_EQ(splitCommandLine(" \t "), Args{});
}

TEST(SplitCommandLine, QuotesOpenAndCloseInsideOneToken)
{
    EXPECT_EQ(argumentsOf("p a\"b c\"d e"), (Args{"ab cd", "e"}));
    EXPECT_EQ(argumentsOf("p 'a'\"b\""), (Args{"ab"}));
    // A doubled quote of the open kind also vanishes inside its quotes.
    EXPECT_EQ(argumentsOf("p 'it''s'"), (Args{"its"}));
    // The other kind is an ordinary byte, also when doubled.
    EXPECT_EQ(argumentsOf("p \"a''b\""), (Args{"a''b"}));
    EXPECT_EQ(argumentsOf("p '\"\"'"), (Args{"\"\""}));
    // Tokens made only of quotes are empty arguments.
    EXPECT_EQ(argumentsOf("p '' \"\" ''''"), (Args{"", "", ""}));
}

TEST(SplitCommandLine, UnclosedQuoteEndsWithTheLine)
{
    EXPECT_EQ(argumentsOf("p \"a b"), (Args{"a b"}));
    EXPECT_EQ(argumentsOf("p 'a \" b"), (Args{"a \" b"}));
    EXPECT_EQ(argumentsOf("p \""), (Args{""}));
}

TEST(SplitCommandLine, SeparatorsAreBytesOneToThirtyTwo)
{
    EXPECT_EQ(argumentsOf("p a\x01" "b\x1f" "c\r\nd"), (Args{"a", "b", "c", "d"}));
    // DEL and bytes above 127 belong to tokens.
    EXPECT_EQ(argumentsOf("p a\x7f" "b \xa0\xe9"), (Args{"a\x7f" "b", "\xa0\xe9"}));
    // Backslashes are ordinary bytes, also before quotes.
    EXPECT_EQ(argumentsOf("p a\\\"b c\\\""), (Args{"a\\b c\\"}));
}

TEST(SplitCommandLine, StopsAtTheFirstNulByte)
{
    using namespace std::string_view_literals;
    EXPECT_EQ(argumentsOf("p a\0b c"sv), (Args{"a"}));
}

TEST(QuoteForSplitter, EveryArgumentComesBackExactly)
{
    const Args arguments = {"plain", "Bob Smith", "", "O'Brien", "'", "''", "'lead", "trail'", "a''b'''c",
                            "say \"hi\"", "\"\"", "it's \"both\"", "tab\there", "new\nline",
                            "C:\\dir\\", "%tempdir%", "\xd0\x9f\xe9"};
    std::string line = "prog";
    for (const std::string& a : arguments)
        line += " " + quoteForSplitter(a);
    EXPECT_EQ(argumentsOf(line), arguments) << line;
    EXPECT_EQ(quoteForSplitter("O'Brien"), "'O'\"'\"'Brien'");
    EXPECT_EQ(quoteForSplitter(""), "''");
}

TEST(WindowsArgumentsStart, SkipsTheProgramNameAsWindowsDelimitsIt)
{
    const auto tail = [](std::string_view raw) { return std::string(raw.substr(windowsArgumentsStart(raw))); };
    EXPECT_EQ(tail("app.exe \"Bob Smith\" O'Brien \"\""), "\"Bob Smith\" O'Brien \"\"");
    // A quoted program name ends at its closing quote, blanks and all.
    EXPECT_EQ(tail("\"C:\\My Dir\\app.exe\"  \t x  y "), "x  y ");
    EXPECT_EQ(tail("\"C:\\a b\\app.exe\"x"), "x");
    // Unquoted, it ends at the first blank or tab; quotes inside do not count.
    EXPECT_EQ(tail("C:\\a\"b c\" d"), "c\" d");
    EXPECT_EQ(tail("app.exe\tx"), "x");
    EXPECT_EQ(tail("app.exe"), "");
    EXPECT_EQ(tail("app.exe   "), "");
    EXPECT_EQ(tail("\"unclosed x"), "");
    EXPECT_EQ(tail(""), "");
}

TEST(ArgumentTable, IndexesOutsideTheTableGiveEmptyText)
{
    const std::string longArgument(300, 'x');
    setArgumentTable({"/path/to/self", "first", "", longArgument});
    EXPECT_EQ(argumentCount(), 3);
    EXPECT_EQ(argumentAt(0), "/path/to/self");
    EXPECT_EQ(argumentAt(1), "first");
    EXPECT_EQ(argumentAt(2), "");
    EXPECT_EQ(argumentAt(3), longArgument);
    EXPECT_EQ(argumentAt(4), "");
    EXPECT_EQ(argumentAt(-1), "");
    EXPECT_EQ(argumentAt(INT32_MIN), "");
}

TEST(ArgumentTable, ExecutablePathIsKeptWhole)
{
    // A path longer than the file services take is refused when it is
    // opened (see FilesTest.OverlongNamesAreRefusedNotCut), never cut here.
    setArgumentTable({std::string(300, 'p')});
    EXPECT_EQ(argumentCount(), 0);
    EXPECT_EQ(argumentAt(0), std::string(300, 'p'));
    EXPECT_EQ(argumentAt(1), "");
}

TEST(EnvironmentEntry, NameMatchIgnoresAsciiCaseOnly)
{
    std::string value;
    EXPECT_TRUE(matchEnvironmentEntry("Temp=C:\\x", "TEMP", value));
    EXPECT_EQ(value, "C:\\x");
    EXPECT_TRUE(matchEnvironmentEntry("zop_exe=a=b", "ZOP_EXE", value));
    EXPECT_EQ(value, "a=b");
    EXPECT_FALSE(matchEnvironmentEntry("TEMPX=1", "TEMP", value));
    EXPECT_FALSE(matchEnvironmentEntry("TEM=1", "TEMP", value));
    // Only a..z are folded: an accented byte must match exactly.
    EXPECT_FALSE(matchEnvironmentEntry("\xe9=1", "\xc9", value));
}

TEST(EnvironmentEntry, EmptyValueMatches)
{
    std::string value = "stale";
    EXPECT_TRUE(matchEnvironmentEntry("TEMP=", "TEMP", value));
    EXPECT_EQ(value, "");
}

TEST(EnvironmentEntry, DriveEntriesAndEntriesWithoutEqualsNeverMatchANamedLookup)
{
    std::string value;
    EXPECT_FALSE(matchEnvironmentEntry("=C:=C:\\dir", "C:", value));
    EXPECT_FALSE(matchEnvironmentEntry("=C:=C:\\dir", "=C:", value));
    EXPECT_FALSE(matchEnvironmentEntry("TEMP", "TEMP", value));
}

TEST(EnvironmentEntry, LookupNameIsUpperCasedAndCut)
{
    EXPECT_EQ(environmentLookupName("zop_Exe"), "ZOP_EXE");
    EXPECT_EQ(environmentLookupName(std::string(300, 'a')), std::string(255, 'A'));
}
