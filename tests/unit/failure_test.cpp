#include <gtest/gtest.h>

#include "runtime/failure/failure.h"

TEST(TranslateOsError, WriteProtectToGeneralFailureMoveUpBy131)
{
    EXPECT_EQ(translateOsError(19), 150);
    EXPECT_EQ(translateOsError(21), 152);
    EXPECT_EQ(translateOsError(31), 162);
    EXPECT_EQ(translateOsError(18), 18);
    EXPECT_EQ(translateOsError(33), 33);
}

TEST(TranslateOsError, SharingDirNotEmptyAndExistsBecomeAccessDenied)
{
    EXPECT_EQ(translateOsError(32), 5);
    EXPECT_EQ(translateOsError(145), 5);
    EXPECT_EQ(translateOsError(183), 5);
}

TEST(TranslateOsError, OtherCodesPassAsTheirLow16Bits)
{
    EXPECT_EQ(translateOsError(0), 0);
    EXPECT_EQ(translateOsError(2), 2);
    EXPECT_EQ(translateOsError(3), 3);
    EXPECT_EQ(translateOsError(112), 112);
    EXPECT_EQ(translateOsError(123), 123);
    EXPECT_EQ(translateOsError(0x10002), 2);
}

TEST(DescribeIoError, KnownCodesAreInOutErrors)
{
    const struct {
        uint16_t code;
        const char* message;
    } rows[] = {
        {2, "File not found"},         {3, "Invalid filename"},
        {4, "Too many open files"},    {5, "Access denied"},
        {6, "Invalid file handle"},    {15, "Invalid drive specified"},
        {100, "Read past end of file"}, {101, "Disk Full"},
        {102, "File not assigned"},    {103, "File not open"},
        {104, "File not open for input"}, {105, "File not open for output"},
        {106, "Invalid input"},
    };
    for (const auto& row : rows) {
        const ExceptionInfo info = describeIoError(row.code);
        EXPECT_STREQ(info.className, "EInOutError") << row.code;
        EXPECT_EQ(info.message, row.message) << row.code;
    }
}

TEST(DescribeIoError, OtherCodesAreUnknownRunTimeErrorsWithThreeDigitsAtLeast)
{
    const struct {
        uint16_t code;
        const char* message;
    } rows[] = {
        {1, "Unknown Run-Time error : 001"},
        {16, "Unknown Run-Time error : 016"},
        {112, "Unknown Run-Time error : 112"},
        {152, "Unknown Run-Time error : 152"},
        {1392, "Unknown Run-Time error : 1392"},
        {65535, "Unknown Run-Time error : 65535"},
    };
    for (const auto& row : rows) {
        const ExceptionInfo info = describeIoError(row.code);
        EXPECT_STREQ(info.className, "Exception") << row.code;
        EXPECT_EQ(info.message, row.message) << row.code;
    }
}

TEST(PendingIoError, IoResultReturnsTheCodeOnceThenZero)
{
    ioError = 0;
    EXPECT_EQ(ioResult(), 0);
    ioError = 5;
    EXPECT_EQ(ioResult(), 5);
    EXPECT_EQ(ioResult(), 0);
    EXPECT_EQ(ioError, 0);
}

TEST(PendingIoError, CheckIoWithoutAPendingCodeReturns)
{
    ioError = 0;
    checkIo();
    EXPECT_EQ(ioError, 0);
}
