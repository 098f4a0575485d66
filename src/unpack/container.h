// Reading the entry stream of the running packed executable: shared by the
// run, just-extract and list modes.
#pragma once
#include <cstdint>
#include "core/records.h"
#include "runtime/files.h"

struct GzStream;
struct TextFile;

// Opens the program's own file for reading and returns the length of its
// stub part (the container ends where start-up found its trailer). A trailer whose gzLength does not fit the file ends the process
// (code 100) before anything is copied.
int32_t openOwnExecutable(BinaryFile& executable);

// Copies the next gzLength bytes of the executable into the work file, closes
// both, and opens the work file as a gzip stream for reading. payloadSize
// receives the length of the uncompressed entry stream as the member's
// trailer states it (0 for a stream too short to hold one).
// With checkKey, the stream's SHA-256 is computed on the way too and must
// equal the trailer's key record (else code 106, before any entry is read):
// no stream fills the cache under another stream's key.
GzStream* copyStreamToWorkFile(BinaryFile& executable, uint32_t& payloadSize, bool checkKey = false);

// True, with its 32 bytes, when the trailer holds the cache option and a
// well-formed key record.
bool cacheKeyOf(const tail& trailer, std::string_view& key);

// Reads the next header. A stream that ends early (code 100) or is damaged
// (code 106) ends the process instead of leaving a stale header in h.
void readEntryHeader(GzStream* stream, header& h);
// readEntryHeader that returns the code instead of raising it (0: read).
uint16_t entryHeaderFault(GzStream* stream, header& h);

// Closes the stream after the last entry; a checksum or length mismatch, or a
// stream cut short, ends the process (code 106 or 100).
void finishEntryStream(GzStream* stream);

bool isKind(const header& h, char kind);

// Writes the entry as one line: kind, a blank, text and, when asked, a file
// entry's size in parentheses; CR LF ends it. Every write is checked.
void writeEntryLine(TextFile& out, const header& h, bool withFileSize);
