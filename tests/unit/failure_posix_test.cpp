// The failure report and the termination sequence, observed from forked
// children: every failure ends the process with 217.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdint>
#include <regex>

#include "support/process_posix.h"
#include "runtime/failure/failure.h"
#include "runtime/signals/stopsignals.h"

namespace {

using testsupport::ChildRun;
using testsupport::runInChild;

const std::regex firstLine("An unhandled exception occurred at 0x([0-9A-F]{8,16}) :");
const std::regex addressLine("  \\$([0-9A-F]{8,16})");

struct Report {
    uintptr_t address = 0;
    std::string exception;      // "<class> : <message>"
    std::vector<uintptr_t> frames;
};

// Checks the shape of the whole output and takes the report apart.
Report parseReport(const ChildRun& run)
{
    Report report;
    EXPECT_TRUE(run.exitedWith(217)) << "status " << run.status << "\n" << run.output;
    const std::vector<std::string> lines = run.lines();
    EXPECT_GE(lines.size(), 4u) << run.output;
    if (lines.size() < 4)
        return report;
    // Every line ends with CR LF, the last one is empty, nothing follows.
    EXPECT_EQ(run.output.size() >= 4 ? run.output.substr(run.output.size() - 4) : "", "\r\n\r\n");
    EXPECT_EQ(lines.back(), "");

    std::smatch match;
    EXPECT_TRUE(std::regex_match(lines[0], match, firstLine)) << lines[0];
    const std::string address = match.size() > 1 ? match[1].str() : "";
    report.address = std::stoull(address.empty() ? "0" : address, nullptr, 16);
    report.exception = lines[1];
    EXPECT_EQ(lines[2], "  $" + address);
    for (std::size_t i = 3; i + 1 < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], match, addressLine)) << lines[i];
        report.frames.push_back(std::stoull(match.size() > 1 ? match[1].str() : "0", nullptr, 16));
    }
    return report;
}

template <typename Function>
bool isInside(uintptr_t address, Function* function, uintptr_t length = 256)
{
    const auto start = reinterpret_cast<uintptr_t>(function);
    return address > start && address < start + length;
}

[[gnu::noinline]] void failingOperation()
{
    ioError = 2;
    checkIo();
    asm volatile("");
}

[[gnu::noinline]] void callsFailingOperation()
{
    failingOperation();
    asm volatile("");
}

// Read at run time, so that the recursion visibly has a way out.
volatile bool raiseAtTheBottom = true;

[[gnu::noinline]] void recurseThenRaise(int depth)
{
    if (depth == 0) {
        if (raiseAtTheBottom)
            raiseException("EOSError", "deep");
        return;
    }
    recurseThenRaise(depth - 1);
    asm volatile("");
}

[[gnu::noinline]] void writeThroughNull()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

// Kept in globals, so that the compiler cannot drop the faulting work.
volatile int dividend = 1;
volatile int divisor = 0;
volatile int sink = 0;
volatile std::size_t hugeSize = SIZE_MAX / 2;
void* volatile sinkPointer = nullptr;

} // namespace

TEST(FailureReport, CheckIoReportsTheCallerAndItsCallers)
{
    const Report report = parseReport(runInChild([] { callsFailingOperation(); }));
    EXPECT_EQ(report.exception, "EInOutError : File not found");
    EXPECT_TRUE(isInside(report.address, failingOperation)) << std::hex << report.address;
    ASSERT_FALSE(report.frames.empty());
    EXPECT_TRUE(isInside(report.frames[0], callsFailingOperation)) << std::hex << report.frames[0];
}

TEST(FailureReport, UnknownCodesAndOwnChecks)
{
    EXPECT_EQ(parseReport(runInChild([] {
                  ioError = 112;
                  checkIo();
              })).exception,
              "Exception : Unknown Run-Time error : 112");
    EXPECT_EQ(parseReport(runInChild([] { failWithIoCode(100); })).exception,
              "EInOutError : Read past end of file");
    EXPECT_EQ(parseReport(runInChild([] { raiseIoError(16); })).exception,
              "Exception : Unknown Run-Time error : 016");
}

TEST(FailureReport, LongMessageIsWrittenWhole)
{
    // Longer than the report's 256-byte buffer: written in several pieces.
    const std::string message = "Failed to execute \"" + std::string(700, 'x') + "\" : 2";
    const Report report = parseReport(runInChild([&] { raiseException("EOSError", message); }));
    EXPECT_EQ(report.exception, "EOSError : " + message);
}

TEST(FailureReport, FrameWalkStopsAfter257Lines)
{
    const Report deep = parseReport(runInChild([] { recurseThenRaise(400); }));
    EXPECT_EQ(deep.frames.size(), 257u);
    const Report shallow = parseReport(runInChild([] { recurseThenRaise(3); }));
    EXPECT_GE(shallow.frames.size(), 4u);
    EXPECT_LT(shallow.frames.size(), 257u);
}

TEST(FailureReport, FrameWalkRefusesFramesOutsideTheStack)
{
    const auto address = reinterpret_cast<const void*>(uintptr_t{0x00401234});
    for (uintptr_t frame : {uintptr_t{0}, uintptr_t{0x10}, ~uintptr_t{0} - 15}) {
        const Report report = parseReport(runInChild([&] {
            reportAndTerminate("EAccessViolation", "Access violation", address,
                               reinterpret_cast<const void*>(frame));
        }));
        EXPECT_EQ(report.address, 0x00401234u);
        EXPECT_TRUE(report.frames.empty());
    }
}

TEST(FailureReport, AddressesHaveEightUpperCaseDigitsAtLeast)
{
    const ChildRun run = runInChild([] {
        reportAndTerminate("Exception", "m", reinterpret_cast<const void*>(uintptr_t{0xABC}), nullptr);
    });
    EXPECT_EQ(run.output, "An unhandled exception occurred at 0x00000ABC :\r\n"
                          "Exception : m\r\n"
                          "  $00000ABC\r\n"
                          "\r\n");
}

TEST(FaultHandlers, AccessViolationIsReportedAtTheFaultingInstruction)
{
    const Report report = parseReport(runInChild([] {
        installFaultHandlers();
        writeThroughNull();
    }));
    EXPECT_EQ(report.exception, "EAccessViolation : Access violation");
    EXPECT_TRUE(isInside(report.address, writeThroughNull)) << std::hex << report.address;
}

TEST(FaultHandlers, DivisionByZero)
{
    const Report report = parseReport(runInChild([] {
        installFaultHandlers();
        sink = dividend / divisor;
    }));
    EXPECT_EQ(report.exception, "EDivByZero : Division by zero");
}

TEST(FaultHandlers, ControlCIsReportedAtTheNextCheckpoint)
{
    const Report report = parseReport(runInChild([] {
        installFaultHandlers();
        holdStopSignals();
        raise(SIGINT);
        stopIfRequested();
    }));
    EXPECT_EQ(report.exception, "EControlC : Control-C hit");
}

TEST(FaultHandlers, StackOverflowStillGivesAReport)
{
    const Report report = parseReport(runInChild([] {
        installFaultHandlers();
        recurseThenRaise(1 << 30);
    }));
    EXPECT_EQ(report.exception, "EAccessViolation : Access violation");
}

TEST(FaultHandlers, OutOfMemory)
{
    const Report report = parseReport(runInChild([] {
        installFaultHandlers();
        sinkPointer = ::operator new(hugeSize);
    }));
    EXPECT_EQ(report.exception, "EOutOfMemory : Out of memory");
}

TEST(Termination, NormalEndWritesNothingAndKeepsTheLow8Bits)
{
    const ChildRun zero = runInChild([] { terminateProcess(0); });
    EXPECT_TRUE(zero.exitedWith(0));
    EXPECT_EQ(zero.output, "");
    EXPECT_TRUE(runInChild([] { terminateProcess(3); }).exitedWith(3));
    EXPECT_TRUE(runInChild([] { terminateProcess(0x1234); }).exitedWith(0x34));
}

TEST(Termination, DeathTestSeesExitCode217)
{
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            failWithIoCode(3);
        },
        testing::ExitedWithCode(217), "EInOutError : Invalid filename");
}
