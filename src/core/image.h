// Where the image of an executable file ends: the part that the loader and
// the signing tools know about. A packed executable carries its entry stream
// and trailer after it; a file that is longer than its image but carries no
// recognised trailer is a packed executable that lost its end.
#pragma once
#include <cstdint>
#include <string_view>
#include "runtime/files.h"

struct ImageLayout {
    // A PE or ELF file whose tables could be read; when false the other
    // fields mean nothing.
    bool known = false;
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
};

// Reads the layout of the file, which must be open for reading and at its
// first byte; the file is only read forward. Tables that lie beyond the
// file's end leave the layout unknown.
ImageLayout readImageLayout(BinaryFile& file);

// True when the file at path has bytes after its image. Every file
// operation is checked.
bool hasBytesAfterImage(std::string_view path);
