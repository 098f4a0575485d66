#include "scratch.h"

#include <algorithm>
#include <random>
#include <system_error>

namespace testsupport {

void ScratchDirTest::SetUp()
{
    static int serial = 0;
    std::error_code ec;
    savedDir_ = std::filesystem::current_path(ec);
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');  // parameterised tests
    dir_ = std::filesystem::temp_directory_path(ec) /
           ("zoptest-" + name + "-" + std::to_string(++serial) + "-" + std::to_string(std::random_device{}() % 1000000));
    std::filesystem::remove_all(dir_, ec);
    ASSERT_TRUE(std::filesystem::create_directories(dir_, ec)) << ec.message();
    std::filesystem::current_path(dir_, ec);
    ASSERT_FALSE(ec) << ec.message();
    savedOpenMode_ = fileOpenMode;
    fileOpenMode = 0;
    ioResult();
}

void ScratchDirTest::TearDown()
{
    EXPECT_EQ(ioResult(), 0) << "an I/O failure was left pending";
    fileOpenMode = savedOpenMode_;
    std::error_code ec;
    std::filesystem::current_path(savedDir_, ec);
    std::filesystem::remove_all(dir_, ec);
}

void ScratchDirTest::makeWritable(const std::string& name)
{
    std::error_code ec;
    std::filesystem::permissions(name, std::filesystem::perms::owner_write, std::filesystem::perm_options::add, ec);
}

void ScratchDirTest::makeReadOnly(const std::string& name)
{
    std::error_code ec;
    std::filesystem::permissions(name,
                                 std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove, ec);
    ASSERT_FALSE(ec) << ec.message();
}

} // namespace testsupport
