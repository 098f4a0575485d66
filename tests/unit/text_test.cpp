#include <gtest/gtest.h>

#include "core/bytes/text.h"
#include "runtime/base/shorttext.h"

TEST(TextHelpers, FindGivesOneBasedPositionOrZero)
{
    EXPECT_EQ(find("b", "abcb"), 2u);
    EXPECT_EQ(find("cb", "abcb"), 3u);
    EXPECT_EQ(find("x", "abc"), 0u);
    EXPECT_EQ(find("a", ""), 0u);
    EXPECT_EQ(find("\\", "C:\\dir\\zop.exe"), 3u);
}

TEST(TextHelpers, CopyTextClampsIndexAndCount)
{
    EXPECT_EQ(copyText("abcdef", 2, 3), "bcd");
    EXPECT_EQ(copyText("abcdef", 0, 2), "ab");
    EXPECT_EQ(copyText("abcdef", -5, 2), "ab");
    EXPECT_EQ(copyText("abcdef", 5, 100), "ef");
    EXPECT_EQ(copyText("abcdef", 7, 1), "");
    EXPECT_EQ(copyText("abcdef", 2, 0), "");
    EXPECT_EQ(copyText("abcdef", 2, -1), "");
    EXPECT_EQ(copyText("ab", 3, 0), "");
}

TEST(TextHelpers, StartsWithNeedsNonEmptyPrefix)
{
    EXPECT_TRUE(startsWith("#", "# comment"));
    EXPECT_FALSE(startsWith("#", " # comment"));
    EXPECT_FALSE(startsWith("", "anything"));
    EXPECT_FALSE(startsWith("abc", "ab"));
}

TEST(TextHelpers, ReplaceAllNeverRevisitsInsertedText)
{
    EXPECT_EQ(replaceAll("a%x%b%x%", "%x%", "1"), "a1b1");
    EXPECT_EQ(replaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(replaceAll("%p%", "%p%", "%p%%p%"), "%p%%p%");
    EXPECT_EQ(replaceAll("C:\\TEMP\\zop.7", "\\", "/"), "C:/TEMP/zop.7");
    EXPECT_EQ(replaceAll("", "x", "y"), "");
}

TEST(TextHelpers, LowerAsciiChangesOnlyAsciiLetters)
{
    EXPECT_EQ(lowerAscii("ZOPW.EXE"), "zopw.exe");
    EXPECT_EQ(lowerAscii("\xC4Z1"), "\xC4z1");
}
