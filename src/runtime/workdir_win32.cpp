#include "runtime/files.h"
#include "runtime/workdir.h"

void makePrivateDirectory(std::string_view path)
{
    makeDirectory(path);
}
