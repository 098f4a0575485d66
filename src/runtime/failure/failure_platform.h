// What the failure path needs from the operating system: a sink for the
// report files, the bounds of the stack for the frame walk, and the final
// steps of the termination sequence.
#pragma once
#include <cstddef>
#include <cstdint>

// Receives the flushed bytes of the report files: the standard output
// handle in a console build, the error box in the windowed build.
void writeReportBytes(const char* bytes, std::size_t count);

// True when the report goes to an interactive terminal (a console).
bool reportGoesToTerminal();

// Closes both report files; the windowed build shows what its error box
// still holds.
void closeReportFiles();

// The address range of the running thread's stack; frames outside it are
// never read.
struct StackBounds {
    uintptr_t low = 0;
    uintptr_t high = 0;
};
StackBounds stackBounds();

// True when address lies in the program's own code. The frame walk stops at
// the first return address that does not: on Linux the outermost frames
// belong to the C library, whose addresses say nothing about the program.
bool isProgramCode(const void* address);

// The exception class and message that a processor fault is reported with.
struct FaultClass {
    const char* className;
    const char* message;
};

void removeFaultHandlers();
[[noreturn]] void exitProcess(uint32_t exitCode);

// Common to both platforms: makes memory exhaustion raise EOutOfMemory.
void installOutOfMemoryHandler();
