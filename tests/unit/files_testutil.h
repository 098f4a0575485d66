// Shared by the file-service and text-file tests: each test runs inside a
// fresh scratch directory under the temporary directory, which is the
// current directory during the test; the previous current directory, the
// file-open mode and the pending error are restored afterwards. Files are
// prepared and inspected with C stdio, independently of the layer under test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "runtime/failure.h"
#include "runtime/files.h"

namespace filestest {

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        std::error_code ec;
        savedDir_ = std::filesystem::current_path(ec);
        dir_ = std::filesystem::temp_directory_path(ec) /
               ("zopfiles-" + std::to_string(++serial) + "-" + std::to_string(std::random_device{}() % 1000000));
        std::filesystem::remove_all(dir_, ec);
        ASSERT_TRUE(std::filesystem::create_directories(dir_, ec)) << ec.message();
        std::filesystem::current_path(dir_, ec);
        ASSERT_FALSE(ec) << ec.message();
        savedOpenMode_ = fileOpenMode;
        ioError = 0;
    }

    void TearDown() override
    {
        EXPECT_EQ(ioResult(), 0) << "an I/O failure was left pending";
        fileOpenMode = savedOpenMode_;
        std::error_code ec;
        std::filesystem::current_path(savedDir_, ec);
        std::filesystem::remove_all(dir_, ec);
    }

    static void writeRaw(const std::string& name, const std::string& bytes)
    {
        FILE* f = std::fopen(name.c_str(), "wb");
        ASSERT_NE(f, nullptr) << name;
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }

    static std::string readRaw(const std::string& name)
    {
        std::string bytes;
        FILE* f = std::fopen(name.c_str(), "rb");
        if (f == nullptr)
            return "<missing>";
        char block[4096];
        std::size_t n;
        while ((n = std::fread(block, 1, sizeof block, f)) > 0)
            bytes.append(block, n);
        std::fclose(f);
        return bytes;
    }

    static bool exists(const std::string& name)
    {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
    }

    // Tests that make a file read-only make it writable again before they
    // end, so that the scratch directory can be removed on Windows too.
    static void makeWritable(const std::string& name)
    {
        std::error_code ec;
        std::filesystem::permissions(name, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
    }

    static void makeReadOnly(const std::string& name)
    {
        std::error_code ec;
        std::filesystem::permissions(name,
                                     std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                         std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove, ec);
        ASSERT_FALSE(ec) << ec.message();
    }

    std::filesystem::path dir_;
    std::filesystem::path savedDir_;
    uint8_t savedOpenMode_ = 2;
};

} // namespace filestest
