// Room core/gzip: the gzip stream layer, the block deflater and the copies
// between files and streams. May include: core/bytes, runtime
// (docs/architecture.md).
//
// The gzip stream layer: one gzip member written or read over a file, with
// the program's own framing around zlib's raw deflate and inflate.
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>

struct GzStream;  // opaque; null when opening failed

constexpr int gzOk = 0;
constexpr int gzStreamEnd = 1;
constexpr int gzFileError = -1;
constexpr int gzStreamError = -2;
constexpr int gzDataError = -3;
constexpr int gzBufferError = -5;

// mode: "r" or "w", for writing optionally a level digit and "f"
// (filtered) or "h" (Huffman only). A stream written with threads of 2 or
// more deflates its blocks on that many threads once it passes 1 MiB; the
// bytes are the same whatever the number.
// A null stream is a mode without a direction, an empty path, a file that
// could not be opened (failure, when given, receives the I/O code: it tells
// a missing file from damage) or no memory.
GzStream* openGz(std::string_view path, std::string_view mode, int threads = 1, uint16_t* failure = nullptr);
int32_t readGz(GzStream* stream, void* buffer, int32_t count);
int32_t writeGz(GzStream* stream, const void* buffer, int32_t count);
// failure, when given, receives gzFailure's code (the stream is gone after).
int closeGz(GzStream* stream, uint16_t* failure = nullptr);

// Owns a stream that an early return (a failure) leaves behind: let go of
// then (discardGz). The normal end hands it on with release() to the close
// that checks it.
struct GzStreamCloser {
    void operator()(GzStream* stream) const;
};
using OwnedGzStream = std::unique_ptr<GzStream, GzStreamCloser>;

// The I/O code of the first file operation that failed in a written stream
// (a short write counts as ioDiskFull) or in reading a file that is not
// gzip; 0 when none did. Once it is set, writeGz takes nothing more and the
// member is not finished.
uint16_t gzFailure(const GzStream* stream);

// Reading: true when the bytes delivered so far are exactly the data of the
// first member and its trailer (CRC-32, length) has been read and found
// right. It reads one more byte to get there; whatever follows that member
// in the file is not looked at.
bool endsAtFirstMember(GzStream* stream);

// Reading with segments side by side: true, with the length the member's
// trailer holds (the stream's length modulo 2^32). False for a stream read
// the plain way, whose last four bytes hold it.
bool storedMemberLength(GzStream* stream, uint32_t& length);

// Lets go of the stream without finishing it: nothing more is written, the
// file is closed. Null does nothing.
void discardGz(GzStream* stream);
