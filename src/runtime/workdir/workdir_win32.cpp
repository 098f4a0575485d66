#include "runtime/fs/files.h"
#include "runtime/workdir/workdir.h"
#include "runtime/base/iocodes.h"

const std::size_t longestWorkDirName = 7;  // "zop.999"

uint16_t makePrivateDirectory(std::string_view path)
{
    makeDirectory(path);
    return ioResult();
}

uint32_t drawWorkDirNumber()
{
    return randomBelow(1000);
}
