// Windows side of the failure path: the report goes to the standard output
// handle, or in the windowed build into the error box; processor faults
// arrive at the top-level exception filter.
#include <windows.h>

#include <cstring>

#include "runtime/failure/failure.h"
#include "runtime/failure/failure_platform.h"
#include "runtime/os/oscalls.h"

namespace {

// The windowed build's error box: both report files append their flushed
// bytes here; it is shown when a report (or a full box) is complete.
constexpr std::size_t errorBoxSize = 1024;
char errorBox[errorBoxSize + 1];
std::size_t errorBoxFill = 0;

void showErrorBox()
{
    if (errorBoxFill == 0)
        return;
    errorBox[errorBoxFill] = '\0';
    MessageBoxA(nullptr, errorBox, "Error", 0);
    errorBoxFill = 0;
}

bool isLineEndByte(char c)
{
    return c == '\r' || c == '\n';
}

void appendToErrorBox(const char* bytes, std::size_t count)
{
    const std::size_t room = errorBoxSize - errorBoxFill;
    if (count > room)
        count = room;
    std::memcpy(errorBox + errorBoxFill, bytes, count);
    errorBoxFill += count;
    const char* end = errorBox + errorBoxFill;
    const bool endsWithLineBreaks = errorBoxFill > 3 && isLineEndByte(end[-1]) &&
                                    isLineEndByte(end[-2]) && isLineEndByte(end[-3]);
    if (endsWithLineBreaks || errorBoxFill == errorBoxSize)
        showErrorBox();
}

FaultClass faultClass(DWORD code)
{
    switch (code) {
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return {"EDivByZero", "Division by zero"};
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        return {"ERangeError", "Range check error"};
    case EXCEPTION_FLT_OVERFLOW:
        return {"EOverflow", "Floating point overflow"};
    case EXCEPTION_FLT_UNDERFLOW:
        return {"EOverflow", "Floating point underflow"};
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
        return {"EInvalidOp", "Invalid floating point operation"};
    case EXCEPTION_INT_OVERFLOW:
        return {"EIntOverflow", "Arithmetic overflow"};
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        return {"EAccessViolation", "Access violation"};
    case EXCEPTION_PRIV_INSTRUCTION:
        return {"EPrivilege", "Privileged instruction"};
    case CONTROL_C_EXIT:
    case DBG_CONTROL_C:
        return {"EControlC", "Control-C hit"};
    default:
        return {nullptr, nullptr};
    }
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    FaultClass fault = faultClass(record.ExceptionCode);
    // Any other exception code (a stack overflow, a paging error, ...) is
    // reported with its number.
    char message[] = "External exception 00000000";
    if (fault.className == nullptr) {
        char* digits = message + sizeof message - 1;
        for (DWORD code = record.ExceptionCode; digits > message + sizeof message - 9; code >>= 4)
            *--digits = "0123456789ABCDEF"[code & 0xF];
        fault = {"EExternal", message};
    }
#if defined(_WIN64)
    const void* frame = reinterpret_cast<const void*>(exception->ContextRecord->Rbp);
#else
    const void* frame = reinterpret_cast<const void*>(exception->ContextRecord->Ebp);
#endif
    reportAndTerminate(fault.className, fault.message, record.ExceptionAddress, frame);
}

} // namespace

bool reportGoesToTerminal()
{
    return osIsTerminal(osStandardHandle(1));
}

void writeReportBytes(const char* bytes, std::size_t count)
{
    if (windowedBuild) {
        appendToErrorBox(bytes, count);
        return;
    }
    const OsHandle output = osStandardHandle(1);
    if (output == 0 || output == noHandle)
        return;
    while (count != 0) {
        uint32_t written = 0;
        if (osWriteBytes(output, bytes, static_cast<uint32_t>(count), written) != 0 || written == 0)
            return;
        bytes += written;
        count -= written;
    }
}

void closeReportFiles()
{
    // The report error output first, then the report output: whichever
    // close finds text in the box shows it.
    if (windowedBuild)
        showErrorBox();
}

// Every frame the walk reaches is reported, the system's own included.
bool isProgramCode(const void*)
{
    return true;
}

StackBounds stackBounds()
{
    // The committed part of the stack runs from the page that holds this
    // function's own frame up to the stack's base; its reservation starts at
    // the allocation base.
    MEMORY_BASIC_INFORMATION region{};
    const volatile char marker = 0;
    StackBounds bounds;
    if (VirtualQuery(const_cast<const char*>(&marker), &region, sizeof region) == 0)
        return bounds;
    bounds.low = reinterpret_cast<uintptr_t>(region.AllocationBase);
    bounds.high = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    return bounds;
}

void installFaultHandlers()
{
    SetUnhandledExceptionFilter(onUnhandledException);
    installOutOfMemoryHandler();
}

void removeFaultHandlers()
{
    SetUnhandledExceptionFilter(nullptr);
}

void exitProcess(uint32_t exitCode)
{
    ExitProcess(exitCode);
}
