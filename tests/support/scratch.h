// The unit tests' scratch directory: each test runs inside a fresh directory
// under the temporary directory, which is the current directory during the
// test, with the file-open mode that start-up leaves (existing files open
// read-only) and no I/O failure pending. Afterwards the previous current
// directory and file-open mode come back, the directory is removed, and an
// I/O failure left pending fails the test.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "support.h"

namespace testsupport {

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A path inside the scratch directory.
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Tests that make a file read-only make it writable again before they
    // end, so that the scratch directory can be removed on Windows too.
    static void makeWritable(const std::string& name);
    static void makeReadOnly(const std::string& name);

    std::filesystem::path dir_;

private:
    std::filesystem::path savedDir_;
    uint8_t savedOpenMode_ = 0;
};

} // namespace testsupport
