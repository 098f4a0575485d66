// Just-extract mode: takes the packed executable apart in the current
// directory: the stub, a recipe "app.zop" that packs the same entries again,
// and the packed directories and files. Nothing runs, nothing is expanded.
#include <string>

#include "app/state.h"
#include "core/entrypath.h"
#include "core/gzstream.h"
#include "core/transfer.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/textfile.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

namespace {

// The stub file always lands in the current directory: whatever directory
// part a recorded stub name still carries ("/" or a drive colon) is dropped.
std::string stubFileName(std::string_view stubName)
{
    const std::size_t cut = stubName.find_last_of("\\/:");
    const std::string_view name = cut == std::string_view::npos ? stubName : stubName.substr(cut + 1);
    if (name.empty() || name == "." || name == "..")
        failWithIoCode(ioInvalidFilename);
    return std::string(name);
}

void extractEntry(GzStream* stream, const header& h)
{
    if (isKind(h, 'f')) {
        BinaryFile file;
        assignFile(file, h.text.view());
        createFile(file, 1);
        checkIo();
        copyGzToFile(stream, file, h.dataLength);
        closeFile(file);
        checkIo();
    } else if (isKind(h, 'd')) {
        makeDirectory(h.text.view());
        ioResult();
    }
}

} // namespace

void justExtractMode()
{
    BinaryFile executable;
    const int32_t stubLength = openOwnExecutable(executable);

    BinaryFile stub;
    assignFile(stub, stubFileName(appState.trailer.stubName.view()));
    createFile(stub, 1);
    checkIo();
    copyFileToFile(executable, stub, stubLength);
    closeFile(stub);
    checkIo();

    GzStream* stream = copyStreamToWorkFile(executable);

    TextFile recipe;
    assignText(recipe, "app.zop");
    createText(recipe);
    checkIo();

    header h;
    for (int32_t i = 1; i <= appState.trailer.entryCount; ++i) {
        readEntryHeader(stream, h);
        // A crafted container could name paths outside the current
        // directory, or a device: refused before anything is created for
        // the entry.
        if ((isKind(h, 'f') || isKind(h, 'd')) &&
            (entryPathFault(h.text.view()) != PathFault::none || isReservedDeviceName(h.text.view())))
            failWithIoCode(ioInvalidFilename);
        writeEntryLine(recipe, h, false);
        extractEntry(stream, h);
    }
    closeText(recipe);
    checkIo();
    finishEntryStream(stream);
}
