#include "runtime/fs/files.h"
#include "runtime/workdir/workdir.h"

const std::size_t longestWorkDirName = 7;  // "zop.999"

void makePrivateDirectory(std::string_view path)
{
    makeDirectory(path);
}

uint32_t drawWorkDirNumber()
{
    return randomBelow(1000);
}
