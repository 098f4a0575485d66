// Pack mode: recipe file in, packed executable out.
#pragma once
#include <string_view>
#include "core/records.h"

struct GzStream;

void packMode();
void addHeaderEntry(GzStream* stream, std::string_view kind, std::string_view text, tail& built);
void addFileEntry(GzStream* stream, std::string_view kind, std::string_view entryName,
                  std::string_view sourcePath, tail& built);
void addTree(GzStream* stream, std::string_view entryName, std::string_view sourceDirectory, tail& built);
