// The unpacking modes of a packed executable.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "core/records.h"

struct GzStream;

// Run mode: returns the exit code of the last command it ran (0 when none).
int runMode();
void justExtractMode();
void listMode();

std::string expandPlaceholders(std::string_view entryText);
struct SplitCommand {
    std::string program;
    std::string arguments;
};
SplitCommand splitCommand(std::string_view entryText);
void extractFileEntry(GzStream* stream, std::string_view entryText, int32_t dataLength);
void makeDirectoryEntry(std::string_view entryText);
uint32_t runCommandEntry(std::string_view entryText, bool inWorkDirectory);
