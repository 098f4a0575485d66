// Reading the entry stream of a packed file: shared by the run,
// just-extract and list modes, whether they read the program's own file or
// the file the packer's --list or --extract names. Not one line of it
// depends on which.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "core/container/records.h"
#include "runtime/fs/files.h"

struct GzStream;
struct TextFile;

// A packed file as the modes read it: its path, its trailer, and where its
// container ends (readTrailer's answer: the file's size, or where a
// certificate table added by signing starts).
struct Container {
    std::string path;
    tail trailer{};
    int32_t end = 0;
};

// What a file is, as far as its trailer and image tell before any of its
// stream is read.
enum class ContainerKind {
    packed,       // a recognised trailer whose seal, if any, holds
    unpacked,     // no trailer: a bare stub, or not a program of ours at all
    cut,          // a program with bytes after its image but no trailer (a
                  // packed file that lost its end), or one shorter than its
                  // own image (cut inside its tables or sections)
    brokenSeal,   // a sealed trailer whose bytes changed
};

// Reads the trailer of the file at path into container and says in kind
// what the file is. The one check of a packed file made before anything is
// created; the stream's own CRC-32 is checked later, while
// copyStreamToWorkFile copies it out. The file is opened once and closed
// again whatever the result. Returns 0, or the I/O code of a failure to read
// it (kind then says nothing).
//
// This and the functions below return 0 or the I/O code of the failure, a
// damaged container included; none of them ends the process: the mode that
// called decides what a code does (it raises it).
[[nodiscard]] uint16_t readContainer(std::string_view path, Container& container, ContainerKind& kind);

// Opens the container's file for reading and sets stubLength to the length
// of its stub part. A trailer whose gzLength does not fit the container, or
// is too short for the stream its entries need, is code 100 (the file closed
// again) before anything is copied.
[[nodiscard]] uint16_t openContainerFile(const Container& container, BinaryFile& file, int32_t& stubLength);

// Copies the next gzLength bytes of the file into the work file (created at
// workFile), closes both, and opens the work file as a gzip stream for
// reading (stream; null for an empty container). payloadSize
// receives the length of the uncompressed entry stream as the member's
// trailer states it (0 for a stream too short to hold one). A stream whose
// CRC-32 is not the one the packer stored is code 106 before any entry is
// read. With checkKey, the stream's SHA-256 is computed on the way too and
// must equal the trailer's key record (else code 106, before any entry is
// read): no stream fills the cache under another stream's key. With threads
// of 2 or more, a member that carries a segment index is inflated on that
// many threads. Both files are closed whatever the result.
[[nodiscard]] uint16_t copyStreamToWorkFile(const Container& container, BinaryFile& file,
                                            const std::string& workFile, GzStream*& stream, uint32_t& payloadSize,
                                            bool checkKey = false, int threads = 1);

// The whole way from a packed file to its entry stream: opens the
// container's file (openContainerFile), goes past the stub part and copies
// the stream out (copyStreamToWorkFile, with the same arguments).
[[nodiscard]] uint16_t openEntryStreamOf(const Container& container, const std::string& workFile, GzStream*& stream,
                                         uint32_t& payloadSize, bool checkKey = false, int threads = 1);

// True, with its 32 bytes, when the trailer holds the cache option and a
// well-formed key record.
bool cacheKeyOf(const tail& trailer, std::string_view& key);

// Reads the next header into h: 0, or code 100 for a stream that ends early
// and 106 for a damaged one (h then holds nothing to act on).
[[nodiscard]] uint16_t entryHeaderFault(GzStream* stream, header& h);

// Closes the stream after the last entry; a checksum or length mismatch, or a
// stream cut short, is code 106 or 100.
[[nodiscard]] uint16_t finishEntryStream(const Container& container, GzStream* stream);

bool isKind(const header& h, char kind);

// The entry as one line: kind, a blank, text and, when asked, a file
// entry's size in parentheses; bytes as stored.
std::string entryLine(const header& h, bool withFileSize);
// Writes entryLine (by the terminal rule of writeForeignText) and CR LF;
// 0 or the code of the first write that failed.
[[nodiscard]] uint16_t writeEntryLine(TextFile& out, const header& h, bool withFileSize);
