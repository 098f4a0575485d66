// Version information: the VS_VERSIONINFO resource that Explorer's file
// properties, a download prompt and Task Manager show.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "winres/resourcetree.h"

// The fields a recipe may give, as UTF-8; empty when not given. The version
// numbers are 1 to 4 numbers from 0 to 65535 joined by dots.
struct VersionFields {
    std::string productName;
    std::string companyName;
    std::string fileDescription;
    std::string fileVersion;
    std::string productVersion;
    std::string copyright;
    bool any() const;
};

// Reads "1", "1.2", "1.2.3" or "1.2.3.4" into four numbers (the missing
// ones 0); false for anything else.
bool readVersionNumber(std::string_view text, uint16_t parts[4]);

// Appends text, UTF-8, to out as UTF-16 code units, little-endian; false
// (out then holds part of it) when text is not valid UTF-8.
bool appendUtf16(std::string_view text, ResourceBytes& out);

// The VS_VERSIONINFO of the fields: the fixed part (the numbers, an
// application for 32-bit Windows) and one string table, language neutral in
// UTF-16 (code page 1200), with its translation entry. A field not given
// takes the value of its partner when that one is given (product name and
// file description, file and product version); the version numbers are
// otherwise 0.0.0.0 and the other strings are left out. Fields must be valid
// UTF-8 and the versions readable (checked when they were read).
ResourceBytes versionInfo(const VersionFields& fields);

// Replaces every version resource with the one of the fields (number 1,
// language neutral).
void replaceVersion(std::vector<Resource>& resources, const VersionFields& fields);
