// Room runtime/workdir: the directories the program makes and removes: the
// work directory, its removal, the cache root. May include: runtime/threads,
// runtime/fs, runtime/process, runtime/os, runtime/signals, runtime/failure,
// runtime/base (docs/architecture.md).
//
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Creates a directory only its owner can enter (mode 0700 on Linux, where
// the temporary directory is usually shared; a plain directory on Windows).
// Returns 0, or the I/O code of the failure.
[[nodiscard]] uint16_t makePrivateDirectory(std::string_view path);

// The number N of a candidate work directory "zop.N". On Linux any local
// user can create names in a shared /tmp, so N comes from 0 to 2^31 - 1 and
// from the system's unpredictable source; on Windows, where TEMP belongs to
// one user, from 0 to 999 and the program's generator.
uint32_t drawWorkDirNumber();

// The length of the longest name drawWorkDirNumber can lead to.
extern const std::size_t longestWorkDirName;
