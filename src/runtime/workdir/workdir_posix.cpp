#include <string>

#include "runtime/fs/files.h"
#include "runtime/os/oscalls.h"
#include "runtime/base/iocodes.h"
#include "runtime/workdir/workdir.h"

uint16_t makePrivateDirectory(std::string_view path)
{
    if (path.empty())
        return 0;
    return translateOsError(osMakePrivateDirectory(systemName(path)));
}

const std::size_t longestWorkDirName = 14;  // "zop.2147483647"

uint32_t drawWorkDirNumber()
{
    uint32_t number = 0;
    if (!osRandomNumber(number))
        number = nextRandom32();
    return number >> 1;
}
