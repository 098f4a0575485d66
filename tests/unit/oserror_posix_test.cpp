#include <gtest/gtest.h>

#include <cerrno>

#include "runtime/failure/failure.h"
#include "runtime/os/oserror.h"

TEST(OsCodeFromErrno, MapsOntoWindowsCodes)
{
    const struct {
        int err;
        uint32_t code;
    } rows[] = {
        {ENOTDIR, 3},  {EACCES, 5},   {EPERM, 5},  {EEXIST, 5},     {ENOTEMPTY, 5},
        {EISDIR, 5},   {ETXTBSY, 5},  {EMFILE, 4}, {ENFILE, 4},     {EBADF, 6},
        {ENOSPC, 112}, {EROFS, 5},   {EFBIG, 223}, {EOVERFLOW, 223},
    };
    for (const auto& row : rows)
        EXPECT_EQ(osCodeFromErrno(row.err), row.code) << row.err;
}

TEST(OsCodeFromErrno, ReadOnlyFileSystemReadsAsAccessDenied)
{
    EXPECT_EQ(translateOsError(osCodeFromErrno(EROFS)), ioAccessDenied);
    EXPECT_EQ(translateOsError(osCodeFromErrno(ENOSPC)), 112);
}

TEST(OsCodeFromErrno, MissingFileOrMissingDirectoryOnTheWay)
{
    EXPECT_EQ(osCodeFromErrno(ENOENT), 2u);
    EXPECT_EQ(osCodeFromErrno(ENOENT, "no-such-file"), 2u);
    EXPECT_EQ(osCodeFromErrno(ENOENT, "/tmp/zop-no-such-file"), 2u);
    EXPECT_EQ(osCodeFromErrno(ENOENT, "/zop-no-such-dir/file"), 3u);
    EXPECT_EQ(osCodeFromErrno(ENOENT, "\\zop-no-such-dir\\file"), 3u);
    // A plain file on the way is not a directory either.
    EXPECT_EQ(osCodeFromErrno(ENOENT, "/proc/self/exe/x"), 3u);
}

TEST(OsCodeFromErrno, OtherErrnoValuesStayClearOfIoCodes)
{
    for (int err : {EIO, EINVAL, EAGAIN, EINTR, ENOMEM, EXDEV, ELOOP}) {
        const uint32_t code = osCodeFromErrno(err);
        EXPECT_GT(code, 106u) << err;
        // Nothing else translates onto a named I/O code either.
        EXPECT_GT(translateOsError(code), 106u) << err;
    }
}
