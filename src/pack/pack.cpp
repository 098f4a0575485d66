// Pack mode: reads the recipe, writes every entry into the work file as one
// gzip stream, then assembles stub + stream + trailer into the output.
#include "pack/pack.h"

#include <cstring>
#include <string>

#include "app/state.h"
#include "app/text.h"
#include "core/gzstream.h"
#include "core/image.h"
#include "core/transfer.h"
#include "runtime/cmdline.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/shorttext.h"
#include "runtime/textfile.h"

namespace {

// Sizes are 32-bit signed in the container: what does not fit is refused
// before the output is touched rather than written corrupt (fileSize itself
// refuses a single file of 2 GiB or more with the same code).
constexpr uint16_t tooLargeCode = 223;

header makeHeader(std::string_view kind, std::string_view text, int32_t dataLength)
{
    header h;
    std::memset(&h, 0, sizeof h);  // zero filler: same inputs, same output
    h.kind.assign(kind);
    h.text.assign(text);
    h.dataLength = dataLength;
    return h;
}

// Cuts the recorded stub name down to a bare file name, in place, one
// leading directory at a time: the filler keeps the ends of longer values.
// The Linux port cuts at its own separator too.
void reduceToFileName(ShortField<255>& stubName)
{
    for (;;) {
        std::string name(stubName.view());
        std::size_t p = find("\\", name);
        if (p == 0 && pathSeparator == '/')
            p = find("/", name);
        if (p == 0)
            return;
        stubName.assign(copyText(name, static_cast<long long>(p) + 1, static_cast<long long>(name.size())));
    }
}

std::string stubPath()
{
    std::string path = environmentValue("ZOP_EXE");
    return path.empty() ? shortText(argumentAt(0)) : path;
}

void packRecipeLine(GzStream* stream, const std::string& line, tail& built)
{
    const std::string kind = copyText(line, 1, 1);
    const std::string text = copyText(line, 3, static_cast<long long>(line.size()) - 2);
    switch (kind[0]) {
    case 'c':
    case 't':
    case 'd':
        addHeaderEntry(stream, kind, text, built);
        break;
    case 'f':
        addFileEntry(stream, kind, text, text, built);
        break;
    case 'r':
        addTree(stream, text, text, built);
        break;
    default:
        break;
    }
}

void packRecipe(TextFile& recipe, GzStream* stream, tail& built)
{
    do {
        const std::string line = readLine(recipe, shortTextMax);
        checkIo();
        if (line.empty() || startsWith("#", line))
            continue;
        packRecipeLine(stream, line, built);
    } while (!textEof(recipe));
    checkIo();
}

// Opens a file for reading and takes its size; both checked.
int32_t openForCopy(BinaryFile& file, std::string_view path)
{
    assignFile(file, path);
    openFile(file, 1);
    checkIo();
    const int32_t size = fileSize(file);
    checkIo();
    return size;
}

void closeChecked(BinaryFile& file)
{
    closeFile(file);
    checkIo();
}

} // namespace

void addHeaderEntry(GzStream* stream, std::string_view kind, std::string_view text, tail& built)
{
    const header h = makeHeader(kind, text, 0);
    writeGz(stream, &h, headerSize);
    ++built.entryCount;
}

void addFileEntry(GzStream* stream, std::string_view kind, std::string_view entryName,
                  std::string_view sourcePath, tail& built)
{
    BinaryFile source;
    const int32_t size = openForCopy(source, sourcePath);
    const header h = makeHeader(kind, entryName, size);
    writeGz(stream, &h, headerSize);
    copyFileToGz(source, stream, size);
    closeChecked(source);
    ++built.entryCount;
}

void addTree(GzStream* stream, std::string_view entryName, std::string_view sourceDirectory, tail& built)
{
    addHeaderEntry(stream, "d", entryName, built);
    const std::string saved = currentDirectory();
    changeDirectory(sourceDirectory);
    checkIo();

    SearchRec rec;
    for (findFirstEntry("*.*", 63, rec); searchStatus == 0; findNextEntry(rec)) {
        const std::string name = rec.name;
        BinaryFile entry;
        assignFile(entry, name);
        const uint16_t attributes = fileAttributes(entry);
        const std::string childName = shortText(std::string(entryName) + "\\" + name);
        if (attributes & faDirectory) {
            if (name != "." && name != "..")
                addTree(stream, childName, name, built);
        } else {
            addFileEntry(stream, "f", childName, name, built);
        }
    }
    endFind(rec);

    changeDirectory(saved);
    checkIo();
}

void packMode()
{
    TextFile recipe;
    assignText(recipe, argumentAt(1));
    openText(recipe);
    checkIo();

    const std::string stub = stubPath();
    tail& built = appState.trailer;
    built.stubName.assign(stub);
    built.entryCount = 0;
    built.signature.assign(recognitionString);
    reduceToFileName(built.stubName);

    GzStream* stream = openGz(appState.workFile, "w");
    packRecipe(recipe, stream, built);
    closeGz(stream);
    closeText(recipe);
    checkIo();

    // Measure both inputs before the output is created, so that a container
    // that cannot be represented leaves no output behind.
    // A signed stub is copied as the unsigned file it was, so that the output
    // can be signed in turn: the output's size counts without its table.
    BinaryFile stubFile, work;
    const ImageLayout stubLayout = readImageLayoutOf(stub);
    const int32_t stubSize = openForCopy(stubFile, stub);
    const int32_t gzLength = openForCopy(work, appState.workFile);
    if (static_cast<int64_t>(stubSize) + gzLength + tailSize > INT32_MAX)
        failWithIoCode(tooLargeCode);

    BinaryFile output;
    assignFile(output, argumentAt(2));
    createFile(output, 1);
    checkIo();
    copyImageUnsigned(stubFile, output, stubSize, stubLayout, stub);
    closeChecked(stubFile);
    const uint32_t streamCrc = copyFileToFileWithCrc(work, output, gzLength, 0);
    built.gzLength = gzLength;
    storeStreamCrc(built, streamCrc);
    closeChecked(work);
    writeBlock(output, &built, tailSize);
    checkIo();
    closeChecked(output);
}
