// The one failure road of the system: a pending I/O code per process, the
// check that turns it into an exception, and the unhandled-exception report
// that ends the process with exit code 217. Nothing catches: raising writes
// the report and terminates directly.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The I/O codes that the system sets itself or looks at by name (other
// operating-system failures arrive through translateOsError).
enum IoCode : uint16_t {
    ioFileNotFound = 2,
    ioInvalidFilename = 3,
    ioAccessDenied = 5,
    ioNoMoreFiles = 18,      // the end of an enumeration (searchStatus)
    ioFileExists = 80,       // ERROR_FILE_EXISTS
    ioReadPastEnd = 100,
    ioDiskFull = 101,
    ioNotAssigned = 102,
    ioNotOpen = 103,
    ioNotOpenForInput = 104,
    ioNotOpenForOutput = 105,
    ioInvalidInput = 106,
    ioCommandTooLong = 206,  // ERROR_FILENAME_EXCED_RANGE
    ioNotRegularFile = 222,
    ioFileTooLarge = 223,    // ERROR_FILE_TOO_LARGE: sizes are 32-bit signed
};

// Pending I/O error code; 0 when none. Sticky until read by checkIo or
// ioResult: while it is set, every file and directory operation does nothing.
extern uint16_t ioError;

// Returns the pending code and clears it.
uint16_t ioResult();

// Raises the exception for the pending code, if any (clearing it first).
void checkIo();

// Operating-system error code (Windows numbering) -> I/O code.
uint16_t translateOsError(uint32_t osCode);

// Class name and message of the exception that checkIo raises for a code.
struct ExceptionInfo {
    const char* className;
    std::string message;
};
ExceptionInfo describeIoError(uint16_t code);

// Writes the unhandled-exception report for an exception raised by the code
// that called the raising function, then terminates with 217.
[[noreturn]] void raiseException(const char* className, std::string_view message);
[[noreturn]] void raiseIoError(uint16_t code);

// Sets ioError and raises at once: for the checks this system adds on top of
// the operating system's own (damaged containers, oversized inputs).
[[noreturn]] void failWithIoCode(uint16_t code);

// The running mode's last word on the failure road, called once before the
// report is written: it removes what it had half made and may say what
// failed. message is the report's reason (e.g. "File not found").
using FailureAction = void (*)(std::string_view message);
void setFailureAction(FailureAction action);

// Report written at an explicit address with an explicit frame pointer; the
// fault handlers use it for processor faults.
[[noreturn]] void reportAndTerminate(const char* className, std::string_view message,
                                     const void* address, const void* framePointer);

// The termination sequence: exit actions, report files closed (the windowed
// build shows its pending error box), fault handler removed, process ended.
[[noreturn]] void terminateProcess(uint32_t exitCode);

// Installs the processor-fault handler and the out-of-memory handler.
void installFaultHandlers();

// True in the windowed Windows stub (zopw.exe); decided by which build-kind
// object is linked in.
extern const bool windowedBuild;
