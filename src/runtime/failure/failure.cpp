// The pending I/O code's translation into exceptions, the unhandled-exception
// report and the termination sequence. The report path allocates nothing:
// memory exhaustion takes it too, so every text is formatted into fixed
// buffers.
#include "runtime/failure/failure.h"

#include <iterator>
#include <new>

#include "runtime/failure/failure_platform.h"
#include "runtime/base/shorttext.h"
#include "runtime/base/terminaltext.h"

namespace {

constexpr uint32_t failureExitCode = 217;
constexpr int maxFrameLines = 257;

// Set once the report has started, and once the termination sequence has
// started: a failure inside either must not start them again.
bool reporting = false;
bool terminating = false;

FailureAction failureAction = nullptr;
const void* failureContext = nullptr;
// The I/O code of the failure under way, 0 for the other exceptions.
uint16_t failingCode = 0;
FinalStep finalStep = nullptr;
StopAnswer stopAnswer = nullptr;

// Room for every service that registers one; a step beyond it is dropped.
ExitStep exitSteps[8] = {};
std::size_t exitStepCount = 0;

// The report output: a 256-byte text buffer flushed at every line end and
// whenever it fills.
char reportBuffer[256];
std::size_t reportFill = 0;

void flushReport()
{
    if (reportFill != 0)
        writeReportBytes(reportBuffer, reportFill);
    reportFill = 0;
}

void reportText(std::string_view text)
{
    for (char c : text) {
        if (reportFill == sizeof reportBuffer)
            flushReport();
        reportBuffer[reportFill++] = c;
    }
}

// A message that quotes texts from outside (a command line from a packed
// file): on a terminal its control bytes are shown as '?', as in listings.
void reportForeignText(std::string_view text)
{
    if (windowedBuild || !reportGoesToTerminal()) {
        reportText(text);
        return;
    }
    reportText(shownOnTerminal(text));
}

void reportLineEnd()
{
    reportText("\r\n");
    flushReport();
}

// Eight upper-case hexadecimal digits; more only when a 64-bit address
// does not fit in eight.
void reportAddress(const void* address)
{
    const auto value = reinterpret_cast<uintptr_t>(address);
    std::size_t digits = 8;
    while (digits < 2 * sizeof value && (value >> (4 * digits)) != 0)
        ++digits;
    char text[2 * sizeof value];
    for (std::size_t i = 0; i < digits; ++i)
        text[digits - 1 - i] = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
    reportText(std::string_view(text, digits));
}

// One line per enclosing frame, innermost first. A frame holds the saved
// frame pointer of its caller, then its return address.
void reportFrames(const void* framePointer)
{
    const StackBounds stack = stackBounds();
    auto frame = reinterpret_cast<uintptr_t>(framePointer);
    uintptr_t previous = 0;
    for (int line = 0; line < maxFrameLines; ++line) {
        const bool readable = frame % alignof(void*) == 0 && frame >= stack.low &&
                              frame < stack.high && stack.high - frame >= 2 * sizeof(void*);
        if (!readable || frame <= previous)
            return;
        const auto words = reinterpret_cast<void* const*>(frame);
        const void* returnAddress = words[1];
        if (returnAddress == nullptr || !isProgramCode(returnAddress))
            return;
        reportText("  $");
        reportAddress(returnAddress);
        reportLineEnd();
        const auto next = reinterpret_cast<uintptr_t>(words[0]);
        if (next == 0)
            return;
        previous = frame;
        frame = next;
    }
}

// The frame pointer that the function owning `frame` saved: its caller's.
const void* callerFrame(void* frame)
{
    return *static_cast<void* const*>(frame);
}

// Decimal digits of value, at least minDigits of them, zero-padded.
std::string_view formatDecimal(uint32_t value, int minDigits, char (&text)[12])
{
    std::size_t start = sizeof text;
    do {
        text[--start] = static_cast<char>('0' + value % 10);
        value /= 10;
        --minDigits;
    } while (value != 0 || minDigits > 0);
    return std::string_view(text + start, sizeof text - start);
}

struct IoErrorText {
    const char* className;
    char message[40];
};

void copyMessage(IoErrorText& out, std::string_view first, std::string_view second = {})
{
    std::size_t n = 0;
    for (char c : first)
        out.message[n++] = c;
    for (char c : second)
        out.message[n++] = c;
    out.message[n] = '\0';
}

IoErrorText ioErrorText(uint16_t code)
{
    static constexpr struct {
        uint16_t code;
        const char* message;
    } known[] = {
        {ioFileNotFound, "File not found"},
        {ioInvalidFilename, "Invalid filename"},
        {ioTooManyOpenFiles, "Too many open files"},
        {ioAccessDenied, "Access denied"},
        {ioInvalidHandle, "Invalid file handle"},
        {ioInvalidDrive, "Invalid drive specified"},
        {ioReadPastEnd, "Read past end of file"},
        {ioDiskFull, "Disk Full"},
        {ioNotAssigned, "File not assigned"},
        {ioNotOpen, "File not open"},
        {ioNotOpenForInput, "File not open for input"},
        {ioNotOpenForOutput, "File not open for output"},
        {ioInvalidInput, "Invalid input"},
        {ioNotRegularFile, "Not a regular file"},
    };
    IoErrorText result{};
    for (const auto& entry : known) {
        if (entry.code == code) {
            result.className = "EInOutError";
            copyMessage(result, entry.message);
            return result;
        }
    }
    char digits[12];
    result.className = "Exception";
    copyMessage(result, "Unknown Run-Time error : ", formatDecimal(code, 3, digits));
    return result;
}

[[noreturn]] void raiseIoErrorAt(uint16_t code, const void* address, const void* frame)
{
    // A request to stop that is pending when a failure is raised wins: the
    // failure may be no more than the interruption it caused.
    if (stopAnswer != nullptr && !reporting)
        stopAnswer();
    const IoErrorText text = ioErrorText(code);
    if (!reporting)
        failingCode = code;
    reportAndTerminate(text.className, text.message, address, frame);
}

void outOfMemory()
{
    reportAndTerminate("EOutOfMemory", "Out of memory", __builtin_return_address(0),
                       callerFrame(__builtin_frame_address(0)));
}

} // namespace

// The raising functions stay out of line: the report names the address in
// their caller, taken from their own return address and frame.
[[gnu::noinline]] void checkIo()
{
    if (ioError == 0)
        return;
    const uint16_t code = ioResult();
    raiseIoErrorAt(code, __builtin_return_address(0), callerFrame(__builtin_frame_address(0)));
}

[[gnu::noinline]] void raiseIfFailed(uint16_t code)
{
    if (code == 0)
        return;
    raiseIoErrorAt(code, __builtin_return_address(0), callerFrame(__builtin_frame_address(0)));
}

ExceptionInfo describeIoError(uint16_t code)
{
    const IoErrorText text = ioErrorText(code);
    return {text.className, text.message};
}

[[gnu::noinline]] void raiseException(const char* className, std::string_view message)
{
    reportAndTerminate(className, message, __builtin_return_address(0),
                       callerFrame(__builtin_frame_address(0)));
}

[[gnu::noinline]] void raiseIoError(uint16_t code)
{
    raiseIoErrorAt(code, __builtin_return_address(0), callerFrame(__builtin_frame_address(0)));
}

[[gnu::noinline]] void failWithIoCode(uint16_t code)
{
    ioError = code;
    const uint16_t pending = ioResult();
    raiseIoErrorAt(pending, __builtin_return_address(0), callerFrame(__builtin_frame_address(0)));
}

void reportAndTerminate(const char* className, std::string_view message, const void* address,
                        const void* framePointer)
{
    if (reporting)
        terminateProcess(failureExitCode);
    reporting = true;

    if (failureAction != nullptr) {
        ioError = 0;
        failureAction(message, failureContext);
        ioError = 0;
    }

    reportText("An unhandled exception occurred at 0x");
    reportAddress(address);
    reportText(" :");
    reportLineEnd();
    reportText(className);
    reportText(" : ");
    reportForeignText(message);
    reportLineEnd();
    reportText("  $");
    reportAddress(address);
    reportLineEnd();
    reportFrames(framePointer);
    reportLineEnd();

    terminateProcess(failureExitCode);
}

namespace {

[[noreturn]] void endProcess(uint32_t exitCode)
{
    if (finalStep != nullptr)
        finalStep(exitCode);
    exitProcess(exitCode);
}

} // namespace

void terminateProcess(uint32_t exitCode)
{
    if (terminating)
        endProcess(exitCode);
    terminating = true;

    // Exit steps, newest first. Their own failures are of no interest any
    // more.
    for (std::size_t i = exitStepCount; i-- > 0;) {
        ioError = 0;
        exitSteps[i]();
    }
    ioError = 0;

    closeReportFiles();
    removeFaultHandlers();
    endProcess(exitCode);
}

void addExitStep(ExitStep step)
{
    for (std::size_t i = 0; i < exitStepCount; ++i)
        if (exitSteps[i] == step)
            return;
    if (exitStepCount < std::size(exitSteps))
        exitSteps[exitStepCount++] = step;
}

void setStopAnswer(StopAnswer answer)
{
    stopAnswer = answer;
}

void setFinalStep(FinalStep step)
{
    finalStep = step;
}

void resetFailureState()
{
    reporting = false;
    terminating = false;
    failureAction = nullptr;
    failureContext = nullptr;
    failingCode = 0;
    reportFill = 0;
}

void setFailureAction(FailureAction action, const void* context)
{
    failureAction = action;
    failureContext = context;
}

uint16_t failingIoCode()
{
    return failingCode;
}

void installOutOfMemoryHandler()
{
    std::set_new_handler(outOfMemory);
}
