#include <string>

#include "runtime/fs/files.h"
#include "runtime/os/oscalls.h"
#include "runtime/base/iocodes.h"
#include "runtime/workdir/workdir.h"

void makePrivateDirectory(std::string_view path)
{
    if (ioError != 0 || path.empty())
        return;
    if (const uint32_t code = osMakePrivateDirectory(systemName(path)); code != 0)
        ioError = translateOsError(code);
}

const std::size_t longestWorkDirName = 14;  // "zop.2147483647"

uint32_t drawWorkDirNumber()
{
    uint32_t number = 0;
    if (!osRandomNumber(number))
        number = nextRandom32();
    return number >> 1;
}
