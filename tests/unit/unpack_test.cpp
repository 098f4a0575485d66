#include <gtest/gtest.h>

#include "core/launch/appstate.h"
#include "unpack/unpack.h"

namespace {

// The launch state the placeholders read.
AppState state;

void setPlaceholderValues(const std::string& workDir, const std::string& parms,
                          const std::string& quotedParms)
{
    state = AppState{};
    state.workDir = workDir;
    state.workDirSlash = workDir;
    state.workDirBackslash = workDir;
    for (char& c : state.workDirSlash)
        if (c == '\\')
            c = '/';
    for (char& c : state.workDirBackslash)
        if (c == '/')
            c = '\\';
    state.parms = parms;
    state.quotedParms = quotedParms;
}

std::string expanded(std::string_view entryText)
{
    std::string text;
    EXPECT_EQ(expandPlaceholders(entryText, state, text), 0) << entryText;
    return text;
}

} // namespace

TEST(Placeholders, ExpandInTheirOrder)
{
    setPlaceholderValues("C:\\TEMP\\zop.12", "a b c", "'a' 'b c'");
    EXPECT_EQ(expanded("%tempdir%\\bin\\tool.exe -x %parms%"),
              "C:\\TEMP\\zop.12\\bin\\tool.exe -x a b c");
    EXPECT_EQ(expanded("%tempdir%\\bin\\tool.exe -x %quotedparms%"),
              "C:\\TEMP\\zop.12\\bin\\tool.exe -x 'a' 'b c'");
    EXPECT_EQ(expanded("%tempdir1%|%tempdir2%"), "C:/TEMP/zop.12|C:\\TEMP\\zop.12");
    EXPECT_EQ(expanded("%PARMS% %Tempdir%"), "%PARMS% %Tempdir%");
}

TEST(Placeholders, ArgumentsAreSearchedByLaterReplacementsOnly)
{
    setPlaceholderValues("/tmp/zop.3", "%tempdir% %parms%", "'%quotedparms%'");
    // "%tempdir%" inside an argument is replaced in a later step; "%parms%"
    // inside the inserted arguments is not searched again.
    EXPECT_EQ(expanded("run %parms%"), "run /tmp/zop.3 %parms%");
    EXPECT_EQ(expanded("run %quotedparms%"), "run '%quotedparms%'");
}

TEST(Placeholders, ArgsGoesInFirstAndIsNeverSearched)
{
    setPlaceholderValues("/tmp/zop.4", "p", "'p'");
    state.args = "'%tempdir%' '%args%' '%parms'";
    EXPECT_EQ(expanded("run %args% %parms% x%args%%tempdir%"),
              "run '%tempdir%' '%args%' '%parms' p x'%tempdir%' '%args%' '%parms'/tmp/zop.4");
    // No placeholder forms across an inserted value.
    EXPECT_EQ(expanded("%tempdir%args%tempdir%"), "%tempdir'%tempdir%' '%args%' '%parms'tempdir%");
    state.args.clear();
    EXPECT_EQ(expanded("run %args%"), "run ");
}

TEST(SplitCommand, SplitsAtTheFirstBlankOnly)
{
    SplitCommand c = splitCommand("prog -a  -b");
    EXPECT_EQ(c.program, "prog");
    EXPECT_EQ(c.arguments, "-a  -b");

    c = splitCommand("whole-text-no-blank");
    EXPECT_EQ(c.program, "whole-text-no-blank");
    EXPECT_EQ(c.arguments, "");

    c = splitCommand(" leading blank");
    EXPECT_EQ(c.program, "");
    EXPECT_EQ(c.arguments, "leading blank");

    c = splitCommand("trailing ");
    EXPECT_EQ(c.program, "trailing");
    EXPECT_EQ(c.arguments, "");

    c = splitCommand("tab\tdoes not split");
    EXPECT_EQ(c.program, "tab\tdoes");
}

// The windowed build's listing box: a bounded number of lines, control bytes
// shown as '?', and a count of what did not fit.
TEST(ListingBox, ShowsTheFirstLinesAndCountsTheRest)
{
    ListingBox box;
    EXPECT_EQ(listingBoxText(box), "(no entries)");
    addToListingBox(box, "c real\r\x1b[2Kfake");
    EXPECT_EQ(listingBoxText(box), "c real??[2Kfake\r\n");
    for (int i = 1; i < listingBoxLines; ++i)
        addToListingBox(box, "d x");
    EXPECT_EQ(box.lines, listingBoxLines);
    EXPECT_EQ(listingBoxText(box).find("more"), std::string::npos) << "exactly full";
    addToListingBox(box, "d one too many");
    EXPECT_TRUE(listingBoxText(box).ends_with("d x\r\n... and 1 more entry"));
    for (int i = 0; i < 1000; ++i)
        addToListingBox(box, std::string(255, 'y'));
    EXPECT_TRUE(listingBoxText(box).ends_with("d x\r\n... and 1001 more entries"));
    EXPECT_LT(box.text.size(), 4000u) << "bounded whatever the count";
}
