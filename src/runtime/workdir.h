#pragma once
#include <string_view>

// Creates a directory only its owner can enter (mode 0700 on Linux, where
// the temporary directory is usually shared; a plain directory on Windows).
// Reports through ioError like makeDirectory.
void makePrivateDirectory(std::string_view path);
