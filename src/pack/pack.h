// Room pack: the recipe reader, its option lines, the packer and its command
// line. May include: core and runtime (never unpack) (docs/architecture.md).
//
// Pack mode: recipe file in, packed executable out.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "core/container/records.h"

struct AppState;
struct GzStream;
struct Launch;

// Packs the recipe that the launch's argument 1 names into the output
// argument 2 names, deflating on launch.threads threads into state's work
// file. A failure ends the process, after the clean-up of preparePacker and
// the removal of a temporary output.
void packMode(const Launch& launch, const AppState& state);
// Makes the packer's failures clean up after it and name what failed; from
// start-up on, so that a work directory that cannot be made is named too.
// The clean-up removes the work directory that state names when a failure
// comes: state must live until the process ends.
void preparePacker(const AppState& state);

// The entries of one recipe line, written to stream and counted in built:
// an entry without contents (c, t, d), a file and its contents, and a
// directory tree as d and f entries in name order. Each returns 0, or the
// code of its first failure at once (see refused in pack/cli.h).
[[nodiscard]] uint16_t addHeaderEntry(GzStream* stream, std::string_view kind, std::string_view text,
                                      tail& built);
[[nodiscard]] uint16_t addFileEntry(GzStream* stream, std::string_view kind, std::string_view entryName,
                                    std::string_view sourcePath, tail& built);
[[nodiscard]] uint16_t addTree(GzStream* stream, std::string_view entryName, std::string_view sourceDirectory,
                               tail& built);
