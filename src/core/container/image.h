// Where the image of an executable file ends: the part that the loader and
// the signing tools know about. A packed executable carries its entry stream
// and trailer after it; a file that is longer than its image but carries no
// recognised trailer is a packed executable that lost its end.
#pragma once
#include <cstdint>
#include <string_view>
#include "runtime/fs/files.h"

struct ImageLayout {
    // A PE or ELF file whose tables could be read; when false the other
    // fields mean nothing.
    bool known = false;
    // A PE or ELF file that ends before its image does: a header, a table
    // or a section's bytes lie past the end of the file (a download or copy
    // cut short). Set with known or without it (when the tables that would
    // say more are the part that is missing).
    bool cut = false;
    // PE: the end of the last section's raw data (and of the COFF symbol and
    // string tables, when the file still has them). ELF: the end of the last
    // section or of the section header table, whichever is later.
    int64_t sectionsEnd = 0;
    // PE: the certificate table the security directory names (file offset
    // and size); size 0 when there is none.
    int64_t certificateOffset = 0;
    int64_t certificateSize = 0;
    // sectionsEnd, or the end of a certificate table that follows it.
    int64_t end = 0;
    // PE: file offsets of the header fields that signing writes: the
    // optional header's checksum and the security directory entry (offset
    // and size); 0 when the header has no such entry.
    int64_t checksumAt = 0;
    int64_t securityEntryAt = 0;
    // The size of the file the layout was read from.
    int64_t fileSize = 0;
};

// Signing pads the file with zero bytes to a multiple of 8 before it
// appends the certificate table.
constexpr int32_t maxSigningPadding = 7;

// Reads the layout of the file, which must be open for reading and at its
// first byte; the file is only read forward. Tables that lie beyond the
// file's end leave the layout unknown (and cut), and so does any file other
// than a PE file when peOnly is set (only PE files are signed). A length of
// 0 or more reads the file as if it ended after that many bytes. Returns
// 0, or the I/O code of a file operation that failed.
[[nodiscard]] uint16_t readImageLayout(BinaryFile& file, ImageLayout& layout, bool peOnly = false,
                                       int32_t length = -1);

// readImageLayout of the file at path, opened and closed here.
[[nodiscard]] uint16_t readImageLayoutOf(std::string_view path, ImageLayout& layout, bool peOnly = false,
                                         int32_t length = -1);

// How a file relates to its own image.
enum class ImageFit {
    unknown,  // no PE or ELF file whose tables could be read
    cut,      // shorter than its image
    whole,    // the image and nothing else (a certificate table that ends
              // the file, and its padding, belong to it)
    longer,   // bytes after the image: a packed executable, or one that lost
              // its end
};
ImageFit imageFit(const ImageLayout& layout);

// True when the file was signed after it was written: the security
// directory names a certificate table that lies after the image and ends
// exactly at the end of the file. The table and the padding before it are
// then not part of what was written.
bool endsWithCertificateTable(const ImageLayout& layout);

// imageFit of the file at path; unknown when it cannot be read.
ImageFit imageFitOf(std::string_view path);

// True when the file at path has bytes after its image; a certificate
// table that ends the file, and its padding, do not count (false when it
// cannot be read).
bool hasBytesAfterImage(std::string_view path);

// The PE checksum of a whole image in memory, its checksum field (4 bytes at
// checksumAt) taken as zero: 16-bit little-endian words added with
// end-around carry, plus the length.
uint32_t peChecksum(const unsigned char* bytes, int64_t size, int64_t checksumAt);

// Copies the next n bytes of source, the start of the executable at path
// whose layout is given, to destination as an unsigned image: when the
// security directory names a certificate table, its entry is written as
// zeros, a table that ends at byte n is left out together with the zero
// padding before it (never bytes of the image), and the checksum field gets
// the PE checksum of what is written (the file is read once more for it).
// Exactly n bytes of source are passed; other executables are copied as
// they are. Returns 0, or the I/O code of the first failure
// (ioStopRequested for a request to stop).
[[nodiscard]] uint16_t copyImageUnsigned(BinaryFile& source, BinaryFile& destination, int32_t n, const ImageLayout& layout,
                       std::string_view path);
