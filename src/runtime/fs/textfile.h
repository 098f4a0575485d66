// Text files: 256-byte buffered line I/O over the file-system services.
// Lines end at LF, CR or CR LF when read; CR LF is written.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "runtime/fs/files.h"
#include "runtime/base/shorttext.h"

struct TextFile {
    OsHandle handle = noHandle;
    uint32_t mode = 0;           // FileMode; 0 = never assigned
    int32_t bufferSize = 256;
    int32_t bufferPosition = 0;
    int32_t bufferEnd = 0;
    bool flushAfterLine = false; // output on a character device
    bool isStandard = false;     // bound to a standard handle: never closed
    char name[256] = {};
    char buffer[256] = {};
};

void assignText(TextFile& t, std::string_view name);
void openText(TextFile& t);
void createText(TextFile& t);
std::string readLine(TextFile& t, std::size_t maxLen = 255);
bool textEof(TextFile& t);
void writeText(TextFile& t, std::string_view value);
void writeText(TextFile& t, char value);
void writeText(TextFile& t, int32_t value);
void writeLine(TextFile& t);
// Writes out what the buffer holds.
void flushText(TextFile& t);
void closeText(TextFile& t);
// True when the file is open on an interactive terminal (a console).
bool isTerminal(const TextFile& t);
// Writes a text that came from outside (a packed file). On a terminal every
// control character is shown as '?' (see shownOnTerminal), so that carriage
// returns and escape sequences cannot redraw what is shown; anywhere else
// the bytes go out unchanged.
void writeForeignText(TextFile& t, std::string_view value);

// The process's standard text files. Console builds bind them to the
// standard handles; the windowed build leaves them closed (writes fail, 103).
// Binding them registers the exit step that flushes and closes them.
extern TextFile standardInput;
extern TextFile standardOutput;
extern TextFile standardError;
void bindStandardFiles(bool windowed);
