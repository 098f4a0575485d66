// Room unpack: the run, just-extract and list modes, the container reader they
// share, the cache of unpacked trees. May include: core and runtime (never
// pack) (docs/architecture.md).
//
// The unpacking modes of a packed executable.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "core/container/records.h"

struct AppState;
struct GzStream;
struct Container;

// Run mode: returns the exit code of the last command it ran (0 when none).
// state gives the arguments the placeholders insert and TEMP; run mode makes
// the work directory, or moves it to a cached tree, in state, which the
// clean-up registered with it therefore sees. A stream of 1 MiB or more is
// written by threads writer threads when that is 2 or more.
int runMode(const Container& container, AppState& state, int threads);
// Takes the container apart into directory (created when missing; empty:
// the current directory), its stream copied out to workFile first. Nothing
// of it runs, the stub part included. Like listMode, it runs its steps to
// the first failure and raises that one's code through the failure path.
void justExtractMode(const Container& container, const std::string& workFile, std::string_view directory = {});
// One line per entry (a message box in the windowed build); the stream is
// copied out to workFile first.
void listMode(const Container& container, const std::string& workFile);

// The listing as the windowed build shows it in a message box: the first
// listingBoxLines entry lines, each control byte shown as '?' (a box is a
// display, as a terminal is), and a last line that says how many entries
// more the file holds.
constexpr int32_t listingBoxLines = 40;
struct ListingBox {
    std::string text;
    int32_t lines = 0;
    int32_t more = 0;
};
void addToListingBox(ListingBox& box, std::string_view line);
std::string listingBoxText(const ListingBox& box);

// An entry's text with its placeholders replaced by the values in state
// (text); 0, or ioCommandTooLong for a text longer than one command line may
// be.
[[nodiscard]] uint16_t expandPlaceholders(std::string_view entryText, const AppState& state, std::string& text);
struct SplitCommand {
    std::string program;
    std::string arguments;
};
SplitCommand splitCommand(std::string_view entryText);
