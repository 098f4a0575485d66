#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "runtime/failure.h"
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
