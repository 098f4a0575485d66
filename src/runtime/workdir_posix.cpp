#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/oserror.h"
#include "runtime/workdir.h"

void makePrivateDirectory(std::string_view path)
{
    if (ioError != 0 || path.empty())
        return;
    std::string name(path);
    for (char& c : name)
        if (c == '\\')
            c = '/';
    if (mkdir(name.c_str(), 0700) != 0)
        ioError = translateOsError(osCodeFromErrno(errno, name));
}

const std::size_t longestWorkDirName = 14;  // "zop.2147483647"

uint32_t drawWorkDirNumber()
{
    uint32_t number = 0;
    if (getrandom(&number, sizeof number, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof number))
        number = nextRandom32();
    return number >> 1;
}
