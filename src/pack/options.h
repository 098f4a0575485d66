// The packer's options: recipe lines of kind "o", one option per line
// ("o NAME" or "o NAME VALUE"), gathered into one value while the recipe is
// read, and the trailer records that carry them into the packed file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "core/container/records.h"
#include "winres/rebuild.h"

struct PackOptions {
    // "o cache": launches run from a verified tree in the user's cache.
    bool cache = false;
    // "o icon FILE.ico" and the version fields ("o product-name ...",
    // "o file-version 1.2.3.4", ...): what a Windows stub's copy gets as its
    // icon and version information. The .ico file is read and checked when
    // its line is read.
    ResourceEdits resources;
};

// Applies the text of one "o" line (what follows "o "). An unknown name, or
// a value where the option takes none (or none where it needs one), is
// refused with a reason naming it; so is an icon or version value that
// cannot be used.
[[nodiscard]] uint16_t applyOptionLine(PackOptions& options, std::string_view text);

// Adds the records of the options that the trailer carries (before it is
// sealed).
void recordOptions(const PackOptions& options, tail& built);
