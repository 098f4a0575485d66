// Icons: an .ico file read into its images, and the images put into a
// resource list as the program's main icon.
#pragma once
#include <string_view>
#include <vector>

#include "winres/resourcetree.h"

// One image of an .ico file: its directory entry without the file offset
// (width, height, colour count, reserved, planes, bit count, byte count:
// the first 12 bytes, as an icon group stores them) and its bytes (a PNG
// file or a device-independent bitmap).
struct IconImage {
    unsigned char entry[12] = {};
    ResourceBytes data;
};

// Reads an .ico file. Returns an empty text and fills images, or says in a
// few words why the file is not a usable icon (not an .ico file, no images,
// an image outside the file or neither PNG nor bitmap).
std::string_view readIconFile(const ResourceBytes& file, std::vector<IconImage>& images);

// Makes the images the program's main icon: the first icon group (the one
// Explorer shows) is replaced, the icons only it used go, and the images
// become icons under the lowest numbers no other icon has. Without a group
// the new one is group 1, language neutral.
void replaceMainIcon(std::vector<Resource>& resources, const std::vector<IconImage>& images);
