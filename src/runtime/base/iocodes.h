// Room runtime/base: every error code, named once; the short-text and
// terminal-text rules. May include: nothing of the program
// (docs/architecture.md).
//
// Every error code of the program, each number named once: the operating
// system's codes in the Windows numbering (Linux translates errno into them,
// see oserror.h) and the I/O codes that the file services leave pending in
// ioError. Below every other runtime service: the file layer sets codes, the
// failure path reports them, and neither needs the other for that.
#pragma once
#include <cstdint>

// ---- Operating-system codes (Windows numbering; 0 = success).
constexpr uint32_t osFileNotFound = 2;         // ERROR_FILE_NOT_FOUND
constexpr uint32_t osPathNotFound = 3;         // ERROR_PATH_NOT_FOUND
constexpr uint32_t osTooManyOpenFiles = 4;     // ERROR_TOO_MANY_OPEN_FILES
constexpr uint32_t osAccessDenied = 5;         // ERROR_ACCESS_DENIED
constexpr uint32_t osInvalidHandle = 6;        // ERROR_INVALID_HANDLE
constexpr uint32_t osInvalidData = 13;         // ERROR_INVALID_DATA
constexpr uint32_t osInvalidDrive = 15;        // ERROR_INVALID_DRIVE
constexpr uint32_t osRemovingCurrentDirectory = 16;  // ERROR_CURRENT_DIRECTORY
constexpr uint32_t osNoMoreFiles = 18;         // ERROR_NO_MORE_FILES
constexpr uint32_t osWriteProtect = 19;        // ERROR_WRITE_PROTECT: first device error
constexpr uint32_t osGenFailure = 31;          // ERROR_GEN_FAILURE: last device error
constexpr uint32_t osSharingViolation = 32;    // ERROR_SHARING_VIOLATION
constexpr uint32_t osFileExists = 80;          // ERROR_FILE_EXISTS
constexpr uint32_t osInvalidParameter = 87;    // ERROR_INVALID_PARAMETER
constexpr uint32_t osBrokenPipe = 109;         // ERROR_BROKEN_PIPE
constexpr uint32_t osDiskFull = 112;           // ERROR_DISK_FULL
constexpr uint32_t osDirNotEmpty = 145;        // ERROR_DIR_NOT_EMPTY
constexpr uint32_t osAlreadyExists = 183;      // ERROR_ALREADY_EXISTS
constexpr uint32_t osBadExeFormat = 193;       // ERROR_BAD_EXE_FORMAT
constexpr uint32_t osFilenameTooLong = 206;    // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t osNotRegularFile = 222;     // ERROR_BAD_FILE_TYPE
constexpr uint32_t osFileTooLarge = 223;       // ERROR_FILE_TOO_LARGE: sizes are 32-bit signed
constexpr uint32_t osNoData = 232;             // ERROR_NO_DATA: a pipe's reader has gone
// Linux: every errno without a Windows counterpart becomes this base plus
// its own value, far above every code here and still readable as the errno
// in a report ("Unknown Run-Time error : 20005").
constexpr uint32_t osOtherErrnoBase = 20000;
// Linux: a signal cut a call short (EINTR). The operating-system layer hands
// it up as this code; the caller decides whether to answer a stop request
// or to try again.
constexpr uint32_t osInterrupted = osOtherErrnoBase + 4;

// ---- I/O codes: what ioError holds. An operating-system code passes through
// unchanged unless translateOsError says otherwise, so the codes the two
// share are the same number.
enum IoCode : uint16_t {
    ioFileNotFound = osFileNotFound,
    ioInvalidFilename = osPathNotFound,
    ioTooManyOpenFiles = osTooManyOpenFiles,
    ioAccessDenied = osAccessDenied,
    ioInvalidHandle = osInvalidHandle,
    ioInvalidDrive = osInvalidDrive,
    ioNoMoreFiles = osNoMoreFiles,  // the end of an enumeration (searchStatus)
    ioFileExists = osFileExists,
    ioReadPastEnd = 100,
    ioDiskFull = 101,
    ioNotAssigned = 102,
    ioNotOpen = 103,
    ioNotOpenForInput = 104,
    ioNotOpenForOutput = 105,
    ioInvalidInput = 106,
    ioFirstDeviceError = 150,  // osWriteProtect .. osGenFailure, in order
    ioCommandTooLong = osFilenameTooLong,
    ioNotRegularFile = osNotRegularFile,
    ioFileTooLarge = osFileTooLarge,
    // No failure: a request to stop reached a checkpoint, or cut a call
    // short. It travels up as a result like the failures do, and the mode
    // answers it on the stop path (stopsignals.h) instead of reporting it.
    ioStopRequested = 0xFFFF,
};

// Pending I/O error code; 0 when none. Sticky until read by checkIo or
// ioResult: while it is set, every file and directory operation does nothing.
extern uint16_t ioError;

// Returns the pending code and clears it.
uint16_t ioResult();

// Operating-system error code (Windows numbering) -> I/O code; an
// interrupted call (a pending request to stop) becomes ioStopRequested.
uint16_t translateOsError(uint32_t osCode);
