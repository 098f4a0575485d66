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

// On Linux a name may hold a backslash, which the file services read as a
// separator: a directory a command named "..\x" would lead out of the tree.
// Such an entry cannot be named safely, so it stays, like a file that cannot
// be deleted. Windows names never hold either separator.
bool holdsSeparator(const std::string& name)
{
    return name.find_first_of("\\/") != std::string::npos;
}

// Removes one entry of the current directory. A link (symbolic link or
// junction) is removed itself and never followed, so nothing outside the
// tree is ever touched.
void removeEntry(const std::string& name)
{
    if (holdsSeparator(name))
        return;
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
