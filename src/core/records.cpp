// Recognising and reading the trailer at the end of a packed executable.
#include "core/records.h"

#include "core/transfer.h"
#include "runtime/failure.h"
#include "runtime/files.h"

bool isPackedTrailer(const tail& t)
{
    return t.signature.view() == recognitionString;
}

void readTrailer(std::string_view path, tail& t)
{
    BinaryFile file;
    assignFile(file, path);
    checkIo();
    openFile(file, 1);
    checkIo();
    const int32_t size = fileSize(file);
    checkIo();
    // The file is passed over, never seeked in: the trailer is reached by
    // reading everything before it.
    skipFile(file, size - tailSize);
    readBlock(file, &t, tailSize);
    checkIo();
    closeFile(file);
    checkIo();
}
