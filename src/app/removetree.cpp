// Deletes the work directory after the mode has returned. What cannot be
// deleted stays, silently; failing to enter or leave a directory is fatal.
#include "app/removetree.h"

#include <string>

#include "runtime/failure.h"
#include "runtime/files.h"

namespace {

bool isDotEntry(const std::string& name)
{
    return name == "." || name == "..";
}

// Removes one entry of the current directory. A link (symbolic link or
// junction) is removed itself and never followed, so nothing outside the
// tree is ever touched.
void removeEntry(const std::string& name)
{
    BinaryFile entry;
    assignFile(entry, name);
    const uint16_t attributes = fileAttributes(entry);
    const bool isDirectory = (attributes & faDirectory) != 0;
    if (attributes & faReparsePoint) {
        if (isDirectory)
            removeDirectory(name);
        else
            eraseFile(entry);
        ioResult();
    } else if (isDirectory) {
        if (!isDotEntry(name))
            removeTree(name);
    } else {
        eraseFile(entry);
        ioResult();
    }
}

} // namespace

void removeTree(std::string_view dir)
{
    const std::string saved = currentDirectory();
    changeDirectory(dir);
    checkIo();

    SearchRec rec;
    for (findFirstEntry("*.*", 0x3F, rec); searchStatus == 0; findNextEntry(rec))
        removeEntry(rec.name);
    endFind(rec);

    changeDirectory(saved);
    checkIo();
    removeDirectory(std::string(dir) + pathSeparator);
    ioResult();
}
