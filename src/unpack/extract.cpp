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
uint16_t refuseUnsafeText(const header& h)
{
    const std::string_view text = h.text.view();
    const bool isPath = isKind(h, 'f') || isKind(h, 'd');
    if (isPath && isUnsafeEntryName(text))
        return ioInvalidFilename;
    if ((isKind(h, 'c') || isKind(h, 't')) && holdsControlByte(text, true))
        return ioInvalidFilename;
    return 0;
}

// Just-extract writes into a directory it did not make: a link already
// there (named like the stub, app.zop or a packed entry, or a directory on
// the way to one) could lead anywhere, so nothing is written through it.
uint16_t refuseLink(std::string_view name)
{
    return leadsThroughLink(name) ? uint16_t{ioAccessDenied} : uint16_t{0};
}

// The stub file always lands in the current directory: whatever directory
// part a recorded stub name still carries ("/" or a drive colon) is dropped.
// A device name (AUX, con.exe) would send the stub to the device on
// Windows, so it is refused like a control byte.
uint16_t stubFileToWrite(std::string_view stubName, std::string& fileName)
{
    const std::string_view name = fileNamePartAfterDrive(stubName);
    if (name.empty() || name == "." || name == ".." || holdsControlByte(name, false) ||
        isReservedDeviceName(name))
        return ioInvalidFilename;
    fileName.assign(name);
    return 0;
}

// The stub part must be a bare stub, as the packer takes one: a whole image
// with nothing after it. Anything else (a packed executable hidden in the
// stub part, a cut or foreign file) would be handed on as "the stub" and
// run by whoever packs with it; it is refused before anything is written.
uint16_t refuseStubPartThatIsNoBareStub(const std::string& path, int32_t stubLength)
{
    ImageLayout layout;
    if (const uint16_t code = readImageLayoutOf(path, layout, false, stubLength); code != 0)
        return code;
    return imageFit(layout) == ImageFit::whole ? uint16_t{0} : uint16_t{ioInvalidInput};
}

// The stream comes out first, into workFile: a file damaged in its stream
// (its CRC-32 is checked on the way) is refused before anything is written.
// The stub's file name is checked, and the stub part, before that.
uint16_t openEntryStream(const Container& container, const std::string& workFile, std::string& stubName,
                         GzStream*& stream)
{
    BinaryFile source;
    int32_t stubLength = 0;
    if (const uint16_t code = openContainerFile(container, source, stubLength); code != 0)
        return code;
    uint16_t code = stubFileToWrite(container.trailer.stubName.view(), stubName);
    if (code == 0)
        code = refuseStubPartThatIsNoBareStub(container.path, stubLength);
    if (code == 0)
        code = skipFile(source, stubLength);
    if (code != 0)
        return closeFileAfter(source, code);
    uint32_t payloadSize = 0;
    return copyStreamToWorkFile(container, source, workFile, stream, payloadSize);
}

// Makes directory the current one (empty: the current one stays); one that
// exists already is taken as it is.
uint16_t enterDirectory(std::string_view directory)
{
    if (directory.empty())
        return 0;
    makeDirectory(directory);
    ioResult();
    changeDirectory(directory);
    return ioResult();
}

// What just-extract writes, and the packed file it reads the stub from.
// The packed file and the stub file stay open until the last entry is out:
// an entry of either name (in any spelling the system takes for it) then
// meets the rule that no file the process holds open is created over,
// instead of replacing the stub it just wrote or the file being taken apart.
struct Output {
    BinaryFile executable;
    BinaryFile stub;
    TextFile recipe;
};

// The stub of a signed packed file carries the signature's header fields;
// it is written unsigned, as the packer copies a signed stub. It is data
// here: nothing of it runs.
uint16_t writeStub(const Container& container, const std::string& stubName, Output& out)
{
    int32_t stubLength = 0;
    if (const uint16_t code = openContainerFile(container, out.executable, stubLength); code != 0)
        return code;
    if (const uint16_t code = refuseLink(stubName); code != 0)
        return code;
    if (const uint16_t code = refuseLink("app.zop"); code != 0)
        return code;
    assignFile(out.stub, stubName);
    createFile(out.stub, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    ImageLayout layout;
    if (const uint16_t code = readImageLayoutOf(container.path, layout); code != 0)
        return code;
    return copyImageUnsigned(out.executable, out.stub, stubLength, layout, container.path);
}

// The options the trailer records go back into the recipe as "o" lines, so
// that packing app.zop again gives the same bytes.
uint16_t writeOptionLines(TextFile& recipe, const tail& trailer)
{
    std::string_view payload;
    if (!findTrailerRecord(trailer, cacheOptionTag, payload))
        return 0;
    writeText(recipe, "o cache");
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    writeLine(recipe);
    return ioResult();
}

uint16_t extractEntry(GzStream* stream, const header& h)
{
    if (isKind(h, 'f')) {
        BinaryFile file;
        assignFile(file, h.text.view());
        createFile(file, 1);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        return closeFileAfter(file, copyGzToFile(stream, file, h.dataLength));
    }
    if (isKind(h, 'd')) {
        makeDirectory(h.text.view());
        ioResult();  // one that exists already is taken as it is
    }
    return 0;
}

// Each entry is checked, goes into the recipe and, a directory or file, out
// of the stream.
uint16_t extractEntries(const Container& container, GzStream* stream, TextFile& recipe)
{
    header h;
    for (int32_t i = 1; i <= container.trailer.entryCount; ++i) {
        if (const uint16_t code = entryHeaderFault(stream, h); code != 0)
            return code;
        if (const uint16_t code = refuseUnsafeText(h); code != 0)
            return code;
        if (isKind(h, 'f') || isKind(h, 'd'))
            if (const uint16_t code = refuseLink(h.text.view()); code != 0)
                return code;
        if (const uint16_t code = writeEntryLine(recipe, h, false); code != 0)
            return code;
        if (const uint16_t code = extractEntry(stream, h); code != 0)
            return code;
    }
    return 0;
}

uint16_t takeApart(const Container& container, const std::string& workFile, std::string_view directory)
{
    std::string stubName;
    GzStream* stream = nullptr;
    if (const uint16_t code = openEntryStream(container, workFile, stubName, stream); code != 0)
        return code;
    OwnedGzStream owned(stream);
    if (const uint16_t code = enterDirectory(directory); code != 0)
        return code;
    Output out;
    if (const uint16_t code = writeStub(container, stubName, out); code != 0)
        return code;
    assignText(out.recipe, "app.zop");
    createText(out.recipe);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    if (const uint16_t code = writeOptionLines(out.recipe, container.trailer); code != 0)
        return code;
    if (const uint16_t code = extractEntries(container, stream, out.recipe); code != 0)
        return code;
    closeText(out.recipe);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    if (const uint16_t code = finishEntryStream(container, owned.release()); code != 0)
        return code;
    closeFile(out.stub);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    closeFile(out.executable);
    return ioResult();
}

} // namespace

void justExtractMode(const Container& container, const std::string& workFile, std::string_view directory)
{
    raiseIfFailed(takeApart(container, workFile, directory));
}
