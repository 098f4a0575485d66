// Just-extract mode: takes a packed file apart in a directory: the stub, a
// recipe "app.zop" that packs the same entries again, and the packed
// directories and files. Nothing runs, nothing is expanded.
#include <string>

#include "core/paths/paths.h"
#include "core/gzip/gzstream.h"
#include "core/container/image.h"
#include "core/bytes/filecopy.h"
#include "core/gzip/gzcopy.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "runtime/fs/textfile.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

namespace {

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
    if (isPath && isUnsafeEntryName(text))
        failWithIoCode(ioInvalidFilename);
    if ((isKind(h, 'c') || isKind(h, 't')) && holdsControlByte(text, true))
        failWithIoCode(ioInvalidFilename);
}

// Just-extract writes into a directory it did not make: a link already
// there (named like the stub, app.zop or a packed entry, or a directory on
// the way to one) could lead anywhere, so nothing is written through it.
void refuseLink(std::string_view name)
{
    if (leadsThroughLink(name))
        failWithIoCode(ioAccessDenied);
}

// The stub file always lands in the current directory: whatever directory
// part a recorded stub name still carries ("/" or a drive colon) is dropped.
// A device name (AUX, con.exe) would send the stub to the device on
// Windows, so it is refused like a control byte.
std::string stubFileToWrite(std::string_view stubName)
{
    const std::string_view name = fileNamePartAfterDrive(stubName);
    if (name.empty() || name == "." || name == ".." || holdsControlByte(name, false) ||
        isReservedDeviceName(name))
        failWithIoCode(ioInvalidFilename);
    return std::string(name);
}

// The stub part must be a bare stub, as the packer takes one: a whole image
// with nothing after it. Anything else (a packed executable hidden in the
// stub part, a cut or foreign file) would be handed on as "the stub" and
// run by whoever packs with it; it is refused before anything is written.
void refuseStubPartThatIsNoBareStub(const std::string& path, int32_t stubLength)
{
    ImageLayout layout;
    raiseIfFailed(readImageLayoutOf(path, layout, false, stubLength));
    if (imageFit(layout) != ImageFit::whole)
        failWithIoCode(ioInvalidInput);
}

void extractEntry(GzStream* stream, const header& h)
{
    if (isKind(h, 'f')) {
        BinaryFile file;
        assignFile(file, h.text.view());
        createFile(file, 1);
        checkIo();
        raiseIfFailed(copyGzToFile(stream, file, h.dataLength));
        closeFile(file);
        checkIo();
    } else if (isKind(h, 'd')) {
        makeDirectory(h.text.view());
        ioResult();
    }
}

// The options the trailer records go back into the recipe as "o" lines, so
// that packing app.zop again gives the same bytes.
void writeOptionLines(TextFile& recipe, const tail& trailer)
{
    std::string_view payload;
    if (!findTrailerRecord(trailer, cacheOptionTag, payload))
        return;
    writeText(recipe, "o cache");
    checkIo();
    writeLine(recipe);
    checkIo();
}

} // namespace

void justExtractMode(const Container& container, std::string_view directory)
{
    // The stream comes out first: a file damaged in its stream (its CRC-32
    // is checked on the way) is refused before anything is written.
    BinaryFile source;
    int32_t stubLength = 0;
    raiseIfFailed(openContainerFile(container, source, stubLength));
    const std::string stubName = stubFileToWrite(container.trailer.stubName.view());
    refuseStubPartThatIsNoBareStub(container.path, stubLength);
    raiseIfFailed(skipFile(source, stubLength));
    uint32_t payloadSize = 0;
    GzStream* stream = nullptr;
    raiseIfFailed(copyStreamToWorkFile(container, source, stream, payloadSize));

    if (!directory.empty()) {
        makeDirectory(directory);
        ioResult();  // one that exists already is taken as it is
        changeDirectory(directory);
        checkIo();
    }

    // The packed file and the stub file stay open until the last entry is
    // out: an entry of either name (in any spelling the system takes for
    // it) then meets the rule that no file the process holds open is
    // created over, instead of replacing the stub it just wrote or the file
    // being taken apart.
    BinaryFile executable;
    raiseIfFailed(openContainerFile(container, executable, stubLength));
    BinaryFile stub;
    refuseLink(stubName);
    refuseLink("app.zop");
    assignFile(stub, stubName);
    createFile(stub, 1);
    checkIo();
    // The stub of a signed packed file carries the signature's header fields;
    // it is written unsigned, as the packer copies a signed stub. It is data
    // here: nothing of it runs.
    ImageLayout layout;
    raiseIfFailed(readImageLayoutOf(container.path, layout));
    raiseIfFailed(copyImageUnsigned(executable, stub, stubLength, layout, container.path));

    TextFile recipe;
    assignText(recipe, "app.zop");
    createText(recipe);
    checkIo();
    writeOptionLines(recipe, container.trailer);

    header h;
    for (int32_t i = 1; i <= container.trailer.entryCount; ++i) {
        readEntryHeader(stream, h);
        refuseUnsafeText(h);
        if (isKind(h, 'f') || isKind(h, 'd'))
            refuseLink(h.text.view());
        writeEntryLine(recipe, h, false);
        extractEntry(stream, h);
    }
    closeText(recipe);
    checkIo();
    raiseIfFailed(finishEntryStream(container, stream));
    closeFile(stub);
    checkIo();
    closeFile(executable);
    checkIo();
}
