// A Windows image rebuilt around a new resource section: what the packer
// does to its copy of a Windows stub when the recipe gives the output an
// icon or version information.
#pragma once
#include <string_view>
#include <vector>

#include "winres/icon.h"
#include "winres/versioninfo.h"

struct ResourceEdits {
    ResourceBytes icon;     // a checked .ico file; empty: the stub's icon stays
    VersionFields version;  // none given: the stub's version stays
    bool any() const { return !icon.empty() || version.any(); }
};

// Rebuilds the PE image (the whole file, an unsigned or signed stub) with
// the edits applied to its resources. Every other resource stays; nothing
// before the resource section changes but header fields: the section's
// sizes, the resource and relocation directory entries, the size of the
// image and of its initialised data, the checksum (recomputed), and the
// security entry (cleared: a certificate table after the image is left out,
// with the padding before it). A base relocation section after the resource
// section moves along behind it (nothing refers to its place but its
// directory entry), and so does the COFF string table of a stripped program
// (it holds long section names). Returns an empty text, or says why the
// image is not rebuilt and leaves it as it was: no resource section, one
// that is not the last but for the relocations, a damaged tree, a symbol
// table or other bytes after the sections.
std::string_view rebuildResources(ResourceBytes& image, const ResourceEdits& edits);

// The sections' bytes, and the resource section's place, of a PE image:
// for readers of a rebuilt image (tests).
struct ResourceSectionPlace {
    uint32_t fileOffset = 0;
    uint32_t size = 0;  // the resource directory entry's size
    uint32_t rva = 0;
    bool found = false;
};
ResourceSectionPlace findResourceSection(const ResourceBytes& image);
