// Text files: line ends, the 255-byte cut, Ctrl-Z, the exact bytes written,
// the mode codes and the standard files of both builds.
#include <climits>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "runtime/fs/textfile.h"
#include "runtime/base/terminaltext.h"

namespace {

using namespace testsupport;

class TextFileTest : public ScratchDirTest {
protected:
    // Every line of a file with the given bytes, read until textEof.
    std::vector<std::string> linesOf(const std::string& bytes, std::size_t maxLen = 255)
    {
        writeFile("in.txt", bytes);
        TextFile t;
        assignText(t, "in.txt");
        openText(t);
        std::vector<std::string> lines;
        while (!textEof(t) && lines.size() < 1000)
            lines.push_back(readLine(t, maxLen));
        closeText(t);
        EXPECT_EQ(ioResult(), 0);
        return lines;
    }

    using Lines = std::vector<std::string>;
};

TEST_F(TextFileTest, EachKindOfLineEndEndsOneLine)
{
    EXPECT_EQ(linesOf("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
    // LF followed by CR: an empty line in between.
    EXPECT_EQ(linesOf("a\n\rb\n"), (Lines{"a", "", "b"}));
    EXPECT_EQ(linesOf("\n\n"), (Lines{"", ""}));
    EXPECT_EQ(linesOf("last line without end"), (Lines{"last line without end"}));
}

TEST_F(TextFileTest, CrLfSplitAcrossTheBufferIsOneLineEnd)
{
    const std::string first(255, 'x');  // CR is byte 255, LF the first of the next fill
    EXPECT_EQ(linesOf(first + "\r\nnext\r\n"), (Lines{first, "next"}));
}

TEST_F(TextFileTest, LongLinesAreCutAndTheRestDropped)
{
    std::string longLine;
    for (int i = 0; i < 300; ++i)
        longLine += static_cast<char>('a' + i % 26);
    EXPECT_EQ(linesOf(longLine + "\r\nsecond\n"), (Lines{longLine.substr(0, 255), "second"}));
    EXPECT_EQ(linesOf("abcdef\nxy\n", 3), (Lines{"abc", "xy"}));
    // A request above 255 still gets a short text.
    EXPECT_EQ(linesOf(longLine, 1000), (Lines{longLine.substr(0, 255)}));
}

TEST_F(TextFileTest, CtrlZEndsTheFileOnlyAtTheStartOfWhatIsLeft)
{
    EXPECT_EQ(linesOf("x\n\x1Ay\nmore\n"), (Lines{"x"}));
    EXPECT_EQ(linesOf("a\x1A" "b\nc\n"), (Lines{"a\x1A" "b", "c"}));
    EXPECT_EQ(linesOf("\x1A"), (Lines{}));
}

TEST_F(TextFileTest, EmptyFileIsAtEndAndReadsEmptyLines)
{
    writeFile("empty", "");
    TextFile t;
    assignText(t, "empty");
    openText(t);
    ASSERT_EQ(ioResult(), 0);
    EXPECT_TRUE(textEof(t));
    EXPECT_EQ(readLine(t), "");
    EXPECT_EQ(readLine(t), "");
    EXPECT_EQ(ioResult(), 0);
    closeText(t);
}

TEST_F(TextFileTest, WritesExactlyThePiecesAndCrLf)
{
    TextFile t;
    assignText(t, "out.zop");
    createText(t);
    ASSERT_EQ(ioResult(), 0);
    writeText(t, 'f');
    writeText(t, ' ');
    writeText(t, std::string_view("dir\\file.txt"));
    writeLine(t);
    writeText(t, 0);
    writeText(t, ' ');
    writeText(t, -42);
    writeText(t, ' ');
    writeText(t, INT32_MIN);
    writeText(t, ' ');
    writeText(t, INT32_MAX);
    writeLine(t);
    EXPECT_EQ(ioResult(), 0);
    closeText(t);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(readFile("out.zop"),
              "f dir\\file.txt\r\n0 -42 -2147483648 2147483647\r\n");
}

TEST_F(TextFileTest, OutputLargerThanTheBufferArrivesWhole)
{
    std::string expected;
    fileOpenMode = 0;  // others may read while it is written
    TextFile t;
    assignText(t, "big");
    createText(t);
    for (int i = 0; i < 300; ++i) {
        const std::string piece = "line " + std::to_string(i);
        writeText(t, piece);
        writeLine(t);
        expected += piece + "\r\n";
    }
    // A plain file has no flush after each line: part of it is still buffered.
    EXPECT_LT(readFile("big").size(), expected.size());
    closeText(t);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(readFile("big"), expected);
    EXPECT_EQ(linesOf(expected).size(), 300u);
}

TEST_F(TextFileTest, CreateTruncatesAndOpenNeedsAnExistingFile)
{
    writeFile("f", "old old old");
    TextFile t;
    assignText(t, "f");
    createText(t);
    writeText(t, std::string_view("new"));
    closeText(t);
    EXPECT_EQ(readFile("f"), "new");

    assignText(t, "absent");
    openText(t);
    EXPECT_EQ(ioResult(), 2);
    EXPECT_EQ(t.mode, fmClosed);
    assignText(t, std::string("nodir") + pathSeparator + "absent");
    openText(t);
    EXPECT_EQ(ioResult(), 3);
}

TEST_F(TextFileTest, ModeCodes)
{
    writeFile("in", "line\n");
    TextFile never;  // never assigned
    openText(never);
    EXPECT_EQ(ioResult(), 102);

    TextFile t;
    assignText(t, "in");
    EXPECT_EQ(readLine(t), "");
    EXPECT_EQ(ioResult(), 103);
    EXPECT_TRUE(textEof(t));
    EXPECT_EQ(ioResult(), 103);
    writeText(t, 'x');
    EXPECT_EQ(ioResult(), 103);
    closeText(t);
    EXPECT_EQ(ioResult(), 103);

    openText(t);
    writeText(t, std::string_view("x"));
    EXPECT_EQ(ioResult(), 105);
    writeLine(t);
    EXPECT_EQ(ioResult(), 105);
    closeText(t);

    assignText(t, "out");
    createText(t);
    EXPECT_EQ(readLine(t), "");
    EXPECT_EQ(ioResult(), 104);
    EXPECT_TRUE(textEof(t));
    EXPECT_EQ(ioResult(), 104);
    closeText(t);
    EXPECT_EQ(ioResult(), 0);
}

TEST_F(TextFileTest, PendingErrorLeavesTheFileUntouched)
{
    writeFile("in", "first\nsecond\n");
    TextFile t;
    assignText(t, "in");
    openText(t);
    ioError = 4;
    EXPECT_EQ(readLine(t), "");
    EXPECT_TRUE(textEof(t));
    closeText(t);
    EXPECT_EQ(t.mode, fmInput);
    EXPECT_EQ(ioResult(), 4);
    EXPECT_EQ(readLine(t), "first");
    closeText(t);
    EXPECT_EQ(ioResult(), 0);
}

class StandardFilesTest : public ScratchDirTest {
protected:
    void TearDown() override
    {
        bindStandardFiles(windowedBuild);
        ScratchDirTest::TearDown();
    }
};

TEST_F(StandardFilesTest, WindowedBuildLeavesThemClosed)
{
    bindStandardFiles(true);
    writeText(standardOutput, std::string_view("x"));
    EXPECT_EQ(ioResult(), 103);
    writeLine(standardError);
    EXPECT_EQ(ioResult(), 103);
    readLine(standardInput);
    EXPECT_EQ(ioResult(), 103);
    EXPECT_EQ(standardOutput.name[0], '\0');
}

} // namespace

// What a terminal shows of a foreign text: control characters (C0, DEL, C1
// in UTF-8 and as lone bytes) as one '?' each; every well-formed UTF-8
// character whole, even where its bytes fall in 0x80 to 0x9F; other bytes
// as they are.
TEST(TerminalText, ControlCharactersAreShownAsQuestionMarks)
{
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"plain text", "plain text"},
        {"\r\n\t\x1b[2J\x7f", "????[2J?"},
        {"\xC2\x9B" "2J \xC2\x80\xC2\x9F", "?2J ??"},   // CSI, PAD, APC in UTF-8
        {"\x9B" "2J \x80\x85\x9F", "?2J ???"},            // lone C1 bytes
        {"\xC2\xA0\xC3\xA9", "\xC2\xA0\xC3\xA9"},             // no-break space, e acute
        {"\xE2\x80\x9C\xE2\x80\x9D", "\xE2\x80\x9C\xE2\x80\x9D"}, // quotation marks
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},             // a four-byte character
        {"\xE9t\xE9", "\xE9t\xE9"},                           // Latin-1 bytes stay
        // Sequences that are not well-formed: the lead stays, every C1
        // byte after it is a control of its own.
        {"\xC0\x9B", "\xC0?"},           // overlong
        {"\xE0\x80\x9B", "\xE0??"},      // overlong
        {"\xED\xA0\x80", "\xED\xA0?"},  // surrogate
        {"\xF4\x90\x80\x80", "\xF4???"},    // above U+10FFFF
        {"\xE2\x80", "\xE2?"},            // cut short
        {"\xE2\x80x", "\xE2?x"},
        {"\xC2", "\xC2"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shownOnTerminal(c.text), c.shown) << ::testing::PrintToString(c.text);
}
