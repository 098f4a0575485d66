// File-system services: binary files, directories, enumeration, attributes
// and the pseudo-random generator. Operations that "report through ioError"
// set the pending code on failure and do nothing while one is pending.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// OS handle: a HANDLE on Windows, a descriptor on Linux.
using OsHandle = intptr_t;
constexpr OsHandle noHandle = -1;

// The separator of the paths the system builds for the operating system.
extern const char pathSeparator;

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
    char name[256] = {};
};

// 0: read-only opens, reading shared; 2 (the initial value): read-write,
// no sharing. Start-up sets it to 0 for the rest of the process.
extern uint8_t fileOpenMode;

void assignFile(BinaryFile& f, std::string_view name);
void openFile(BinaryFile& f, int32_t recordSize);
void createFile(BinaryFile& f, int32_t recordSize);
void closeFile(BinaryFile& f);
void readBlock(BinaryFile& f, void* buffer, int32_t count);          // short read: 100
int32_t readCounted(BinaryFile& f, void* buffer, int32_t count);     // short read is normal
void writeBlock(BinaryFile& f, const void* buffer, int32_t count);   // short write: 101
int32_t writeCounted(BinaryFile& f, const void* buffer, int32_t count); // short write is normal
int32_t fileSize(BinaryFile& f);                                     // position unchanged
void eraseFile(BinaryFile& f);

void makeDirectory(std::string_view path);
void removeDirectory(std::string_view path);
void changeDirectory(std::string_view path);
std::string currentDirectory();

// Enumeration. searchStatus: 0 success, 18 no more entries, else an OS code.
extern uint16_t searchStatus;

constexpr uint16_t faReadOnly = 0x01;
constexpr uint16_t faHidden = 0x02;
constexpr uint16_t faSystem = 0x04;
constexpr uint16_t faVolume = 0x08;
constexpr uint16_t faDirectory = 0x10;
constexpr uint16_t faArchive = 0x20;
constexpr uint16_t faReparsePoint = 0x400;  // symbolic links and junctions

struct SearchRec {
    OsHandle handle = noHandle;
    uint16_t excluded = 0;
    int32_t time = 0;       // DOS date-time of the last write, local time
    int32_t size = 0;       // low 32 bits
    uint16_t attributes = 0;
    std::string name;       // at most 255 bytes
    void* platform = nullptr; // backend's own enumeration state
};

void findFirstEntry(std::string_view pattern, uint16_t attributes, SearchRec& rec);
void findNextEntry(SearchRec& rec);
void endFind(SearchRec& rec);
uint16_t fileAttributes(BinaryFile& f);
bool fileExists(std::string_view path);

// True when a component of path ("\" or "/" between them) is a name that
// Windows gives to a device: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9,
// CONIN$ and CONOUT$, in any letter case, also with an extension.
bool namesDevice(std::string_view path);
// namesDevice where the platform reserves those names (Windows, where
// creating such a file opens the device); always false on Linux.
bool isReservedDeviceName(std::string_view path);

// MT19937, seeded from the millisecond tick count by randomize().
void randomize();
void setRandomSeed(uint32_t seed);
uint32_t randomBelow(int32_t n);
uint32_t nextRandom32();
