#pragma once
#include <string_view>

// Deletes dir and everything below it. Deletion failures are tolerated;
// failures to enter or leave a directory are fatal. Symbolic links and
// junctions are removed, never descended into.
void removeTree(std::string_view dir);
