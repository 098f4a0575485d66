// Room runtime/failure: the failure road: checkIo, the report, exit steps,
// fault handlers, the build kind. May include: runtime/os, runtime/base
// (docs/architecture.md).
//
// The one failure road of the program: the check that turns the pending I/O
// code (iocodes.h) into an exception, and the unhandled-exception report that
// ends the process with exit code 217. Nothing catches: raising writes the
// report and terminates directly.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/base/iocodes.h"

// Raises the exception for the pending code, if any (clearing it first).
void checkIo();
// Raises the exception for a service's result, if it is a failure (not 0).
void raiseIfFailed(uint16_t code);

// The stop path (stopsignals.h registers it): a raised ioStopRequested is a
// request to stop that travelled up as a result, and it is answered there
// instead of being reported.
using StopAnswer = void (*)();
void setStopAnswer(StopAnswer answer);

// Class name and message of the exception that checkIo raises for a code.
struct ExceptionInfo {
    const char* className;
    std::string message;
};
ExceptionInfo describeIoError(uint16_t code);

// Writes the unhandled-exception report for an exception raised by the code
// that called the raising function, then terminates with 217 (raiseIoError
// of ioStopRequested takes the stop path instead).
[[noreturn]] void raiseException(const char* className, std::string_view message);
[[noreturn]] void raiseIoError(uint16_t code);

// Sets ioError and raises at once: for the checks the program adds on top of
// the operating system's own (damaged containers, oversized inputs).
[[noreturn]] void failWithIoCode(uint16_t code);

// The running mode's last word on the failure road, called once before the
// report is written: it removes what it had half made and may say what
// failed. message is the report's reason (e.g. "File not found"); context
// is what setFailureAction was given with it, and must live as long as the
// action stays set.
using FailureAction = void (*)(std::string_view message, const void* context);
void setFailureAction(FailureAction action, const void* context = nullptr);
// For the failure action: the I/O code being reported (see iocodes.h), 0
// when the failure is another exception.
uint16_t failingIoCode();

// Report written at an explicit address with an explicit frame pointer; the
// fault handlers use it for processor faults.
[[noreturn]] void reportAndTerminate(const char* className, std::string_view message,
                                     const void* address, const void* framePointer);

// The termination sequence: exit steps, report files closed (the windowed
// build shows its pending error box), fault handler removed, final step.
[[noreturn]] void terminateProcess(uint32_t exitCode);

// What a service does on the way out whatever ends the process (the
// standard text files flush what they hold). Exit steps run newest first,
// each with no I/O code pending and its own failures dropped. Registering a
// step twice keeps one.
using ExitStep = void (*)();
void addExitStep(ExitStep step);

// The last step of the termination sequence: ends the process with the code.
// Tests and fuzz targets replace it to get control back (it must then not
// return either: it throws or jumps); null restores the real end.
using FinalStep = void (*)(uint32_t exitCode);
void setFinalStep(FinalStep step);

// Clears what the failure road keeps between calls (a report or termination
// under way, the failure action), for a process that runs the program's
// code again after a replaced final step.
void resetFailureState();

// Installs the processor-fault handler and the out-of-memory handler.
void installFaultHandlers();

// True in the windowed Windows stub (zopw.exe); decided by which build-kind
// object is linked in.
extern const bool windowedBuild;
