// Just-extract mode: takes the packed executable apart in the current
// directory: the stub, a recipe "app.zop" that packs the same entries again,
// and the packed directories and files. Nothing runs, nothing is expanded.
#include <string>

#include "core/appstate.h"
#include "core/entrypath.h"
#include "core/gzstream.h"
#include "core/image.h"
#include "core/gzcopy.h"
#include "runtime/cmdline.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/textfile.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

namespace {

bool holdsControlByte(std::string_view text, bool tabAllowed)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 && !(tabAllowed && c == '\t'))
            return true;
    return false;
}

// A crafted container could name paths outside the current directory, or a
// device. A name that is empty or starts with NUL would bind a standard
// handle (the content would go to standard output), and a control byte has
// no place in a file name; a line break in a command would add a line of
// its own to app.zop. Such entries are refused before anything is written
// for them.
void refuseUnsafeText(const header& h)
{
    const std::string_view text = h.text.view();
    const bool isPath = isKind(h, 'f') || isKind(h, 'd');
    if (isPath && (text.empty() || holdsControlByte(text, false) || entryPathFault(text) != PathFault::none ||
                   isReservedDeviceName(text)))
        failWithIoCode(ioInvalidFilename);
    if ((isKind(h, 'c') || isKind(h, 't')) && holdsControlByte(text, true))
        failWithIoCode(ioInvalidFilename);
}

// The stub file always lands in the current directory: whatever directory
// part a recorded stub name still carries ("/" or a drive colon) is dropped.
std::string stubFileName(std::string_view stubName)
{
    const std::size_t cut = stubName.find_last_of("\\/:");
    const std::string_view name = cut == std::string_view::npos ? stubName : stubName.substr(cut + 1);
    if (name.empty() || name == "." || name == ".." || holdsControlByte(name, false))
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

// The options the trailer records go back into the recipe as "o" lines, so
// that packing app.zop again gives the same bytes.
void writeOptionLines(TextFile& recipe)
{
    std::string_view payload;
    if (!findTrailerRecord(appState.trailer, cacheOptionTag, payload))
        return;
    writeText(recipe, "o cache");
    checkIo();
    writeLine(recipe);
    checkIo();
}

} // namespace

void justExtractMode()
{
    BinaryFile executable;
    const int32_t stubLength = openOwnExecutable(executable);

    // The stub file stays open until the last entry is out: an entry of the
    // same name (in any spelling the system takes for it) then meets the
    // rule that no file the process holds open is created over, instead of
    // replacing the stub it just wrote.
    BinaryFile stub;
    assignFile(stub, stubFileName(appState.trailer.stubName.view()));
    createFile(stub, 1);
    checkIo();
    // The stub of a signed packed file carries the signature's header fields;
    // it is written unsigned, as the packer copies a signed stub.
    const std::string self = argumentAt(0);
    copyImageUnsigned(executable, stub, stubLength, readImageLayoutOf(self), self);

    uint32_t payloadSize = 0;
    GzStream* stream = copyStreamToWorkFile(executable, payloadSize);

    TextFile recipe;
    assignText(recipe, "app.zop");
    createText(recipe);
    checkIo();
    writeOptionLines(recipe);

    header h;
    for (int32_t i = 1; i <= appState.trailer.entryCount; ++i) {
        readEntryHeader(stream, h);
        refuseUnsafeText(h);
        writeEntryLine(recipe, h, false);
        extractEntry(stream, h);
    }
    closeText(recipe);
    checkIo();
    finishEntryStream(stream);
    closeFile(stub);
    checkIo();
}
