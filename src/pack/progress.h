// The packer's words to a person at a terminal: on a long pack, one line on
// standard error rewritten in place (entries and bytes so far, the rate, the
// name at hand), and on success one summary line. Nothing at all when
// standard error is no terminal, in the windowed build, or when the
// environment says ZOP_PROGRESS=0: scripts and logs see what they always saw.
#pragma once
#include <cstdint>
#include <string_view>

// Decides whether anything is shown and starts the clock.
void startProgress();
// An entry named name is being packed; name stays valid until the next
// entry (it is shown while the entry's bytes are packed).
void progressEntry(std::string_view name);
// bytes more of a file's contents are packed (called once per block).
void progressBytes(int32_t bytes);
// Wipes the progress line, if one is shown, so that the next line written
// to standard error starts on a clean line.
void clearProgress();
// Wipes the progress line and writes the summary: entries, bytes in, the
// packed executable's size, the time taken, the output's name (empty:
// standard output).
void reportPacked(int64_t outputBytes, std::string_view outputName);
