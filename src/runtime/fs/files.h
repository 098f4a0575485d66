// Room runtime/fs: binary and text files, the standard text files and the
// message box, directories, enumeration, the random generator. May include:
// runtime/process, runtime/os, runtime/signals, runtime/failure, runtime/base
// (docs/architecture.md).
//
// File-system services: binary files, directories, enumeration, attributes
// and the pseudo-random generator. Operations that "report through ioError"
// set the pending code on failure and do nothing while one is pending.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "runtime/os/ostypes.h"

enum FileMode : uint32_t {
    fmClosed = 0xD7B0,
    fmInput = 0xD7B1,
    fmOutput = 0xD7B2,
    fmInOut = 0xD7B3,
    fmAppend = 0xD7B4,  // text files only
};


// A binary file variable. A zero-initialised variable counts as never
// assigned (its mode is none of the valid ones).
struct BinaryFile {
    OsHandle handle = 0;
    uint32_t mode = 0;
    int32_t recordSize = 0;
    std::string name;
};

// 0: read-only opens, reading shared; 2 (the initial value): read-write,
// no sharing. Start-up sets it to 0 for the rest of the process.
extern uint8_t fileOpenMode;

// A name longer than fileNameMax leaves f unassigned and sets code 3.
void assignFile(BinaryFile& f, std::string_view name);
void openFile(BinaryFile& f, int32_t recordSize);
// Opens an existing file for reading only when it is a regular file; a FIFO,
// socket or device is refused with ioNotRegularFile, without waiting for it.
void openRegularFile(BinaryFile& f, int32_t recordSize);
void createFile(BinaryFile& f, int32_t recordSize);
// Creates a file that does not exist yet; an existing name is refused.
void createNewFile(BinaryFile& f, int32_t recordSize);
void closeFile(BinaryFile& f);
// For a service that closes what it opened whatever its result: takes the
// pending code, closes the file, and returns code, or when that is 0 the
// close's own code.
[[nodiscard]] uint16_t closeFileAfter(BinaryFile& f, uint16_t code);
void readBlock(BinaryFile& f, void* buffer, int32_t count);          // short read: 100
int32_t readCounted(BinaryFile& f, void* buffer, int32_t count);     // short read is normal
void writeBlock(BinaryFile& f, const void* buffer, int32_t count);   // short write: 101
int32_t writeCounted(BinaryFile& f, const void* buffer, int32_t count); // short write is normal
int32_t fileSize(BinaryFile& f);                                     // position unchanged
// Moves to record position (from the start of the file); reports through ioError.
void seekFile(BinaryFile& f, int32_t position);
void eraseFile(BinaryFile& f);
// Renames the file from to to in one step, replacing a file named to.
// Reports through ioError.
void renameReplacing(std::string_view from, std::string_view to);
// True when both names lead to one and the same existing file.
bool sameFile(std::string_view a, std::string_view b);
// True when name exists and is neither a regular file nor a directory (a
// device such as /dev/null or NUL, a FIFO, a socket).
bool isDeviceOrPipe(std::string_view name);
// True when the open file is an interactive terminal (a console).
bool isTerminal(const BinaryFile& f);

// The same operations on a bare handle: what createFile, writeBlock and
// closeFile do to a file, with the same checks (name length, sharing, the
// held-files rule on Linux, name conversion), the I/O code of a failure
// returned rather than set in ioError (the pending code of the operations
// above, which belongs to the main thread). Safe on any thread: the writer
// threads use these.
uint16_t createFileHandle(std::string_view name, OsHandle& handle);
uint16_t writeAllToHandle(OsHandle handle, const void* buffer, uint32_t count);
void closeFileHandle(OsHandle handle);

void makeDirectory(std::string_view path);
void removeDirectory(std::string_view path);
void changeDirectory(std::string_view path);
// The current directory, whole; when the operating system cannot deliver it within
// fileNameMax bytes, empty and code 3 through ioError.
std::string currentDirectory();
// path itself when absolute, else path taken against the current directory
// (code 3 through ioError when that cannot be had).
std::string absolutePath(std::string_view path);

// Enumeration. searchStatus: 0 success, 18 no more entries, else an OS code.
extern uint16_t searchStatus;



struct SearchRec {
    OsSearch* search = nullptr; // null when no enumeration runs
    uint16_t excluded = 0;
    int32_t time = 0;       // DOS date-time of the last write, local time
    int32_t size = 0;       // low 32 bits
    uint16_t attributes = 0;
    std::string name;       // at most 255 bytes
};

void findFirstEntry(std::string_view pattern, uint16_t attributes, SearchRec& rec);
void findNextEntry(SearchRec& rec);
void endFind(SearchRec& rec);
uint16_t fileAttributes(BinaryFile& f);
bool fileExists(std::string_view path);

// True when path, or a directory on its way ("\" or "/" between the
// components), exists as a symbolic link (Windows: any reparse point, a
// junction or a mounted folder too). What does not exist is no link.
bool leadsThroughLink(std::string_view path);

// True when a component of path ("\" or "/" between them) is a name that
// Windows gives to a device: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9,
// CONIN$ and CONOUT$, in any letter case, also with an extension.
bool namesDevice(std::string_view path);
// namesDevice where the platform reserves those names (Windows, where
// creating such a file opens the device); always false on Linux.
bool isReservedDeviceName(std::string_view path);

// MT19937 (the standard engine), seeded from the millisecond tick count by
// randomize().
void randomize();
void setRandomSeed(uint32_t seed);
uint32_t randomBelow(int32_t n);
uint32_t nextRandom32();
