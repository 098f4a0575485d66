// Processor faults and raised exceptions on Windows, in death-test children:
// the report goes to standard output, which the child points at its
// standard error so that the death test sees it.
#include <gtest/gtest.h>

#include <windows.h>

#include "runtime/failure/failure.h"

namespace {

void reportToStandardError()
{
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
}

volatile int* volatile nowhere = nullptr;
volatile int dividend = 1;
volatile int divisor = 0;
volatile int sink = 0;

} // namespace

TEST(FaultHandlersWin32, AccessViolation)
{
    EXPECT_EXIT(
        {
            reportToStandardError();
            installFaultHandlers();
            *nowhere = 1;
        },
        testing::ExitedWithCode(217),
        "EAccessViolation : Access violation");
}

TEST(FaultHandlersWin32, DivisionByZero)
{
    EXPECT_EXIT(
        {
            reportToStandardError();
            installFaultHandlers();
            sink = dividend / divisor;
        },
        testing::ExitedWithCode(217), "EDivByZero : Division by zero");
}

TEST(FailureReportWin32, CheckIoEndsWith217)
{
    EXPECT_EXIT(
        {
            reportToStandardError();
            ioError = 2;
            checkIo();
        },
        testing::ExitedWithCode(217), "EInOutError : File not found");
}

TEST(FailureReportWin32, FirstLineNamesTheAddress)
{
    EXPECT_EXIT(
        {
            reportToStandardError();
            failWithIoCode(100);
        },
        testing::ExitedWithCode(217), "^An unhandled exception occurred at 0x\\w\\w\\w\\w\\w\\w\\w\\w :");
}

TEST(FailureReportWin32, ExecuteFailureNamesTheCommandLineAndCode)
{
    EXPECT_EXIT(
        {
            reportToStandardError();
            raiseException("EOSError", "Failed to execute \"x\" : 2");
        },
        testing::ExitedWithCode(217), "EOSError : Failed to execute \"x\" : 2");
}
