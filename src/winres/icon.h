// Icons: an .ico file checked, and its images put into a resource list as
// the program's main icon.
#pragma once
#include <string_view>

#include "winres/resourcetree.h"

// Says in a few words why the file is not a usable .ico file (not an .ico
// file at all, or a damaged one: no images or too many, an image outside the
// file or neither PNG nor bitmap); empty when it is one.
std::string_view checkIconFile(const ResourceBytes& file);

// Makes the images of the checked .ico file the program's main icon: the
// first icon group (the one Explorer shows) is replaced, the icons only it
// used go, and the images become icons under the lowest numbers no other
// icon has. Without a group the new one is group 1, language neutral. The
// list then refers to the file and to group, which holds the new group's
// bytes: both must outlive its use.
void replaceMainIcon(std::vector<Resource>& resources, const ResourceBytes& file, ResourceBytes& group);
