// Version information: the VS_VERSIONINFO resource that Explorer's file
// properties, a download prompt and Task Manager show.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "winres/resourcetree.h"

// The string table's fields, in the order they are written.
enum class VersionField : uint8_t { companyName, fileDescription, fileVersion, copyright, productName, productVersion, count };

// The fields a recipe gave, held as Windows stores them: UTF-16 text,
// little-endian, empty when not given; and the two version numbers as four
// 16-bit parts each (file, product).
struct VersionFields {
    ResourceBytes text[static_cast<int>(VersionField::count)];
    uint16_t numbers[2][4] = {};
    bool any() const;
};

// Reads "1", "1.2", "1.2.3" or "1.2.3.4" into four numbers (the missing
// ones 0); false for anything else.
bool readVersionNumber(std::string_view text, uint16_t parts[4]);

// Appends text, UTF-8, to out as UTF-16 code units, little-endian; false
// (out then holds part of it) when text is not valid UTF-8.
bool appendUtf16(std::string_view text, ResourceBytes& out);

// Sets a field from the recipe's UTF-8 text. Returns an empty text, or says
// why the value is refused (not UTF-8; for a version, not 1 to 4 numbers).
std::string_view setVersionField(VersionFields& fields, VersionField field, std::string_view value);

// The VS_VERSIONINFO of the fields: the fixed part (the numbers, an
// application for 32-bit Windows) and one string table, language neutral in
// UTF-16 (code page 1200), with its translation entry. A field not given
// takes the value of its partner when that one is given (product name and
// file description, file and product version); the version numbers are
// otherwise 0.0.0.0 and the other strings are left out.
ResourceBytes versionInfo(const VersionFields& fields);

// Replaces every version resource with the one of the fields (number 1,
// language neutral), whose bytes go into data: it must outlive the list's
// use.
void replaceVersion(std::vector<Resource>& resources, const VersionFields& fields, ResourceBytes& data);
