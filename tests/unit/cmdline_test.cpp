#include <gtest/gtest.h>

#include "runtime/process/cmdline.h"
#include "runtime/process/cmdline_platform.h"

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

TEST(SplitCRuntimeArguments, FollowsTheBackslashAndQuoteRules)
{
    const struct {
        const char* text;
        Args arguments;
    } rows[] = {
        {"a  b\tc", {"a", "b", "c"}},
        {"\"a b\" \"\" x", {"a b", "", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"a\\\"&echo INJECTED&\\\"b\"", {"a\"&echo INJECTED&\"b"}},  // as Wine and .NET quote
        {"C:\\dir\\ x", {"C:\\dir\\", "x"}},                            // backslashes alone are literal
        {"\"C:\\dir\\\\\" x", {"C:\\dir\\", "x"}},                      // 2n before a quote: n
        {"a\\\\\\\"b", {"a\\\"b"}},                                     // 2n+1: n and a literal quote
        {"\"a\"\"b\" c", {"a\"b", "c"}},                                // doubled inside quotes
        {"\"open to the end", {"open to the end"}},
        {"   ", {}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(splitCRuntimeArguments(row.text), row.arguments) << row.text;
}

TEST(CmdReaderOf, CmdItselfAndBatchFilesInAnyCaseAndPlace)
{
    const struct {
        const char* commandLine;
        CmdReader reader;
    } rows[] = {
        {"\"cmd\" /c app\\main.bat x", CmdReader::interpreter},
        {"\"C:\\Windows\\System32\\CMD.EXE\" /c x", CmdReader::interpreter},
        {"cmd.exe. /c x", CmdReader::interpreter},  // Windows drops trailing dots
        {"\"C:\\my app\\run.bat\" x", CmdReader::batchFile},
        {"\"app/Main.CMD\" x", CmdReader::batchFile},
        {"\"run.bat \" x", CmdReader::batchFile},
        {"\"cmdtool.exe\" x", CmdReader::none},
        {"\"C:\\cmd\\tool.exe\" x", CmdReader::none},
        {"\"app\\main.bat.exe\" x", CmdReader::none},
        {"\"sh\" cmd.exe", CmdReader::none},
    };
    for (const auto& row : rows)
        EXPECT_EQ(cmdReaderOf(row.commandLine), row.reader) << row.commandLine;
}

TEST(CmdExpandsDelayed, SwitchesBeforeTheCommandWinOverTheDefault)
{
    EXPECT_FALSE(cmdExpandsDelayed("/c app\\main.bat", false));
    EXPECT_TRUE(cmdExpandsDelayed("/c app\\main.bat", true));
    EXPECT_TRUE(cmdExpandsDelayed("/V:ON /c x", false));
    EXPECT_TRUE(cmdExpandsDelayed("/q/v /C x", false));
    EXPECT_FALSE(cmdExpandsDelayed("/v:off /c x", true));
    EXPECT_FALSE(cmdExpandsDelayed("/c x /v:on", false)) << "after /c it is the command's text";
    EXPECT_FALSE(cmdExpandsDelayed("/k x /v", false));
}

namespace {

// cmd's view of a line: whether any byte that it acts on outside double
// quotes (every quote toggles) is left outside them.
bool operatorOutsideQuotes(std::string_view line)
{
    bool quoted = false;
    for (const char c : line) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && std::string_view("&|<>^()").find(c) != std::string_view::npos)
            return true;
    }
    return false;
}

} // namespace

TEST(QuoteArgumentsForCmd, EachArgumentBecomesOneLiteralToken)
{
    const struct {
        const char* tail;
        const char* quoted;
    } rows[] = {
        {"Alice \"Bob Smith\"", "Alice \"Bob Smith\""},
        {"x&ver", "\"x&ver\""},
        {"\"a\\\"&echo INJECTED&\\\"b\"", "\"a\"\"&echo INJECTED&\"\"b\""},
        {"%OS%", "\"%%cd:~,%OS%%cd:~,%\""},
        {"^ !x! \"\" (a) a,b", "\"^\" \"!x!\" \"\" \"(a)\" \"a,b\""},
        {"C:\\dir\\ \"C:\\my dir\\\\\"", "C:\\dir\\ \"C:\\my dir\\\\\""},
        {"\"a\\\\\\\"b\"", "\"a\\\\\"\"b\""},  // a\"b: the backslash before the quote doubled
        {"", ""},
    };
    for (const auto& row : rows) {
        std::string quoted;
        ASSERT_TRUE(quoteArgumentsForCmd(row.tail, false, quoted)) << row.tail;
        EXPECT_EQ(quoted, row.quoted) << row.tail;
        EXPECT_FALSE(operatorOutsideQuotes(quoted)) << quoted;
    }
}

TEST(QuoteArgumentsForCmd, ProgramsBehindCmdSplitTheSameArgumentsBack)
{
    // Without %, whose form is cmd's to undo, the C runtime gives back
    // exactly the arguments the caller quoted.
    const Args arguments = {"plain", "two words", "", "a\"&echo x&\"b", "end\\", "\\\\server\\share\\", "a\\\"b",
                            "|<>^()&", "\"", "tab\there", "nön-ascii"};
    std::string text;
    for (const std::string& argument : arguments) {
        // The caller's own quoting, by the C runtime's rules.
        std::string one = "\"";
        std::size_t slashes = 0;
        for (const char c : argument) {
            if (c == '"')
                one.append(slashes + 1, '\\');
            slashes = c == '\\' ? slashes + 1 : 0;
            one += c;
        }
        one.append(slashes, '\\');
        text += (text.empty() ? "" : " ") + one + "\"";
    }
    ASSERT_EQ(splitCRuntimeArguments(text), arguments);
    std::string quoted;
    ASSERT_TRUE(quoteArgumentsForCmd(text, false, quoted));
    EXPECT_EQ(splitCRuntimeArguments(quoted), arguments) << quoted;
    EXPECT_FALSE(operatorOutsideQuotes(quoted)) << quoted;
}

TEST(QuoteArgumentsForCmd, LineBreaksAndDelayedExclamationMarksCannotPass)
{
    std::string quoted;
    EXPECT_FALSE(quoteArgumentsForCmd("a \"line\nbreak\"", false, quoted));
    EXPECT_FALSE(quoteArgumentsForCmd("\"carriage\rreturn\"", false, quoted));
    EXPECT_FALSE(quoteArgumentsForCmd("ok !x!", true, quoted));
    EXPECT_TRUE(quoteArgumentsForCmd("ok !x!", false, quoted));
    EXPECT_TRUE(quoteArgumentsForCmd("ok x", true, quoted));
    EXPECT_EQ(quoted, "ok x");
}

TEST(CmdStripsOuterQuotes, WhenTheCommandAfterSlashCStartsWithAQuote)
{
    EXPECT_TRUE(cmdStripsOuterQuotes("/c \"C:\\a b\\run.bat\" x"));
    EXPECT_TRUE(cmdStripsOuterQuotes("/s/k\"x\""));
    EXPECT_TRUE(cmdStripsOuterQuotes("/V:ON /C  \"x&ver\""));
    EXPECT_FALSE(cmdStripsOuterQuotes("/c app\\main.bat \"x&ver\""));
    EXPECT_FALSE(cmdStripsOuterQuotes("/c"));
    EXPECT_FALSE(cmdStripsOuterQuotes("\"x\""));
}
