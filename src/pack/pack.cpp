// Pack mode: reads the recipe, writes every entry into the work file as one
// gzip stream, then assembles stub + stream + trailer into the output.
#include "pack/pack.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/launch/appstate.h"
#include "core/paths/paths.h"
#include "core/gzip/gzstream.h"
#include "core/container/image.h"
#include "core/bytes/text.h"
#include "core/bytes/filecopy.h"
#include "core/gzip/gzcopy.h"
#include "pack/cli.h"
#include "pack/options.h"
#include "pack/progress.h"
#include "runtime/process/cmdline.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "runtime/workdir/removetree.h"
#include "runtime/base/shorttext.h"
#include "runtime/fs/textfile.h"

namespace {

// Draws of a temporary output name before the packer gives up.
constexpr int maxTemporaryDraws = 100;

// The output being written. A named output is written under a temporary
// name in its own directory and renamed over the output only once complete,
// so a failure never leaves a damaged output, and an older one stays as it
// was. temporaryName is empty while nothing is left to clean up.
struct PendingOutput {
    BinaryFile file;
    std::string temporaryName;
};

// What a packing holds open: the recipe, the work file read back while the
// output is written, and the output.
struct Packing {
    TextFile recipe;
    BinaryFile workFile;
    PendingOutput output;
};

// The packing under way, for the failure road's clean-up only: a refusal
// ends the process from the check that makes it (refuse), and the clean-up
// closes what is open there, so that the work directory can go on every
// system, and removes the temporary output.
Packing* packingUnderWay = nullptr;
// The launch's state, registered by preparePacker, for the same clean-up:
// the work directory it names when the failure comes goes.
const AppState* packerState = nullptr;

header makeHeader(std::string_view kind, std::string_view text, int32_t dataLength)
{
    header h;
    std::memset(&h, 0, sizeof h);  // zero filler: same inputs, same output
    h.kind.assign(kind);
    h.text.assign(text);
    h.dataLength = dataLength;
    return h;
}

// The stub's name as the trailer keeps it: the bare file name of the stub
// path, what follows the last "\" (and, in the Linux port, the last "/",
// its own separator).
std::string storedStubName(const std::string& stubPath)
{
    return std::string(nativeFileNamePart(shortText(stubPath)));
}

// The trailer starts from zero bytes, so that two packers of the same recipe
// write the same bytes whatever they run from and wherever they lie.
tail newTrailer(const std::string& stubPath)
{
    tail built;
    std::memset(&built, 0, sizeof built);
    built.stubName.assign(storedStubName(stubPath));
    built.signature.assign(recognitionString);
    return built;
}

std::string stubPath(const Launch& launch)
{
    std::string path = environmentValue("ZOP_EXE");
    return path.empty() ? launchArgument(launch, 0) : path;
}

// d, f and r paths are taken relative to the work directory when the
// executable runs: one that would lead out of it is refused.
void refuseEscapingPath(std::string_view path)
{
    switch (entryPathFault(path)) {
    case PathFault::none:
        return;
    case PathFault::absolute:
        refuse(ioInvalidFilename, "absolute paths cannot be packed");
    case PathFault::drive:
        refuse(ioInvalidFilename, "paths with a drive cannot be packed");
    case PathFault::parent:
        refuse(ioInvalidFilename, "paths with a \"..\" component cannot be packed");
    }
}

// "." (or "dir/.") as the last component names a directory that already
// exists when the entry is made, the work directory itself for ".": every
// launch would end with "Access denied". The contents of the current
// directory are packed by naming them.
void refuseDotName(std::string_view path)
{
    std::size_t end = path.size();
    while (end > 0 && isPathSeparator(path[end - 1]))
        --end;
    const std::string_view trimmed = path.substr(0, end);
    if (trimmed == "." || trimmed.ends_with("\\.") || trimmed.ends_with("/."))
        refuse(ioInvalidFilename, "a name ending in \".\" cannot be packed: name the directory itself or what is inside it");
}

// A name the tree walk builds must come back as it was: one longer than a
// short text would be cut, and a "\" inside a Linux name would turn into a
// separator.
void refuseUnstorableName(const std::string& entryName, const std::string& name)
{
    if (!fitsPathLength(entryName.size()))
        refuse(ioInvalidFilename, "entry name longer than 255 bytes");
    if (name.find('\\') != std::string::npos)
        refuse(ioInvalidFilename, "names holding \"\\\" cannot be packed");
}

// What the whole recipe said beyond its entries: its options, and the
// first d, f or r line that follows a command (which "o cache" cannot take:
// a cached tree holds every file before the first command runs).
struct RecipeFacts {
    PackOptions options;
    bool commandSeen = false;
    int32_t fileAfterCommandAt = 0;
    std::string fileAfterCommand;
};

void noteEntryOrder(RecipeFacts& facts, char kind, int32_t lineNumber, const std::string& line)
{
    if (kind == 'c' || kind == 't')
        facts.commandSeen = true;
    else if (facts.commandSeen && facts.fileAfterCommandAt == 0) {
        facts.fileAfterCommandAt = lineNumber;
        facts.fileAfterCommand = line;
    }
}

void refuseCacheAfterCommands(const RecipeFacts& facts, std::string_view recipeName)
{
    if (!facts.options.cache || facts.fileAfterCommandAt == 0)
        return;
    describeLine(recipeName, facts.fileAfterCommandAt, facts.fileAfterCommand);
    refuse(ioInvalidInput, "with \"o cache\" every c and t line must come after the last d, f and r line");
}

void packRecipeLine(GzStream* stream, const std::string& line, tail& built, RecipeFacts& facts,
                    int32_t lineNumber)
{
    const std::string kind = copyText(line, 1, 1);
    const std::string text = copyText(line, 3, static_cast<long long>(line.size()) - 2);
    switch (kind[0]) {
    case 'o':
        applyOptionLine(facts.options, text);
        return;
    case 'c':
    case 't':
        addHeaderEntry(stream, kind, text, built);
        break;
    case 'd':
        refuseEscapingPath(text);
        refuseDotName(text);
        addHeaderEntry(stream, kind, text, built);
        break;
    case 'f':
        refuseEscapingPath(text);
        addFileEntry(stream, kind, text, text, built);
        break;
    case 'r':
        refuseEscapingPath(text);
        refuseDotName(text);
        addTree(stream, text, text, built);
        break;
    default:
        return;
    }
    noteEntryOrder(facts, kind[0], lineNumber, line);
}

// A UTF-8 byte-order mark (as Windows editors write it) is no part of the
// first line; a UTF-16 one means a recipe this reader cannot read at all.
std::string withoutByteOrderMark(const std::string& line)
{
    if (startsWith("\xEF\xBB\xBF", line))
        return line.substr(3);
    if (startsWith("\xFF\xFE", line))
        refuse(ioInvalidInput, "saved as UTF-16 (little-endian); save it as UTF-8 or ANSI");
    if (startsWith("\xFE\xFF", line))
        refuse(ioInvalidInput, "saved as UTF-16 (big-endian); save it as UTF-8 or ANSI");
    return line;
}

void packRecipe(TextFile& recipe, std::string_view recipeName, GzStream* stream, tail& built, RecipeFacts& facts)
{
    int32_t lineNumber = 0;
    do {
        std::string line = readLine(recipe, shortTextMax);
        checkIo();
        if (++lineNumber == 1)
            line = withoutByteOrderMark(line);
        if (line.empty() || startsWith("#", line))
            continue;
        describeLine(recipeName, lineNumber, line);
        packRecipeLine(stream, line, built, facts, lineNumber);
    } while (!textEof(recipe));
    checkIo();
    refuseCacheAfterCommands(facts, recipeName);
}

// Opens a regular file for reading and takes its size; both checked.
int32_t openForCopy(BinaryFile& file, std::string_view path)
{
    assignFile(file, path);
    openRegularFile(file, 1);
    checkIo();
    // Sizes are 32-bit signed in the container: fileSize refuses a file of
    // 2 GiB or more, and a whole output that large is refused before the
    // output is touched rather than written corrupt.
    const int32_t size = fileSize(file);
    if (const uint16_t code = ioResult(); code == ioFileTooLarge)
        refuse(ioFileTooLarge, "2 GiB or larger: too large to pack");
    else
        raiseIfFailed(code);
    return size;
}

void closeChecked(BinaryFile& file)
{
    closeFile(file);
    checkIo();
}

// Sorts through the C library's qsort, which costs the stub no code: names
// hold no NUL, and strcmp compares bytes as unsigned values.
void sortBytewise(std::vector<std::string>& names)
{
    if (names.size() < 2)
        return;  // nothing to order, and qsort must not see an empty vector's null data
    std::vector<const char*> order;
    order.reserve(names.size());
    for (const std::string& name : names)
        order.push_back(name.c_str());
    std::qsort(order.data(), order.size(), sizeof(const char*), [](const void* a, const void* b) {
        return std::strcmp(*static_cast<const char* const*>(a), *static_cast<const char* const*>(b));
    });
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    for (const char* name : order)
        sorted.emplace_back(name);
    names.swap(sorted);
}

// The names of the current directory, "." and ".." left out, in bytewise
// order: the same tree gives the same entries on every file system. The
// listing is closed before anything is packed, so a deep tree holds no
// enumeration open per level.
std::vector<std::string> sortedNames()
{
    std::vector<std::string> names;
    SearchRec rec;
    for (findFirstEntry("*.*", faAnyFile, rec); searchStatus == 0; findNextEntry(rec))
        if (rec.name != "." && rec.name != "..")
            names.push_back(rec.name);
    const uint16_t status = searchStatus;
    endFind(rec);
    // A listing that fails part way would pack a directory short.
    if (status != ioNoMoreFiles)
        failWithIoCode(status);
    sortBytewise(names);
    return names;
}

std::string hexDigits(uint32_t value)
{
    std::string digits(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4)
        digits[static_cast<std::size_t>(i)] = "0123456789abcdef"[value & 0xF];
    return digits;
}

// Creates a new file beside the output, under a name no other file has.
void createTemporaryOutput(PendingOutput& output, const std::string& outputName)
{
    const std::string directory(directoryPrefix(outputName));
    uint16_t lastFailure = 0;
    for (int draw = 0; draw < maxTemporaryDraws; ++draw) {
        const std::string name = directory + ".zop" + hexDigits(nextRandom32()) + ".tmp";
        if (!fitsPathLength(name.size()))
            refuse(ioInvalidFilename, "the output path is too long");
        assignFile(output.file, name);
        createNewFile(output.file, 1);
        lastFailure = ioResult();
        if (lastFailure == 0) {
            output.temporaryName = name;
            return;
        }
        if (lastFailure != ioAccessDenied && lastFailure != ioFileExists)
            break;
    }
    failWithIoCode(lastFailure);
}

// Standard output, and a device or pipe named as the output (/dev/null, NUL,
// a FIFO), are written as they are: there is nothing to replace, and a
// device node must never be renamed over.
void openOutput(PendingOutput& output, const std::string& outputName)
{
    if (!outputName.empty() && !isDeviceOrPipe(outputName)) {
        createTemporaryOutput(output, outputName);
        return;
    }
    assignFile(output.file, outputName);
    createFile(output.file, 1);
    checkIo();
    if (isTerminal(output.file))
        refuse(ioAccessDenied, "a packed executable is not written to a terminal");
}

void finishOutput(PendingOutput& output, const std::string& outputName)
{
    closeChecked(output.file);
    if (output.temporaryName.empty())
        return;
    renameReplacing(output.temporaryName, outputName);
    checkIo();
    output.temporaryName.clear();
}

// On the failure road: the temporary output goes, and so does the work
// directory with the work file in it (it holds nothing worth inspecting,
// and on Windows every one left behind uses up one of the few work
// directory names); the failure is named.
void onPackFailure(std::string_view message)
{
    if (Packing* packing = packingUnderWay) {
        PendingOutput& output = packing->output;
        if (!output.temporaryName.empty()) {
            closeFile(output.file);
            ioResult();
            eraseFile(output.file);
            ioResult();
        }
        closeFile(packing->workFile);
        ioResult();
        closeText(packing->recipe);
        ioResult();
    }
    // The work file's stream, or the entry stream that --list and --extract
    // read from the work directory.
    discardOpenGzStreams();
    if (packerState != nullptr)
        removeTree(packerState->workDir, packerState->workDirIdentity);
    clearProgress();
    writeFailureLine(message);
}

// The stub is copied into the output, and the recipe read before it is
// written: an output that is either would be destroyed by packing it.
void refuseInputAsOutput(const std::string& stub, const std::string& recipeName, const std::string& outputName)
{
    if (outputName.empty())
        return;
    if (sameFile(stub, outputName))
        refuse(ioAccessDenied, "it is the stub that would be copied into it (ZOP_EXE or the running zop)");
    if (!recipeName.empty() && sameFile(recipeName, outputName))
        refuse(ioAccessDenied, "it is the recipe being packed");
}

// Only a bare stub goes at the head of an output: a whole image with nothing
// after it. A packed executable there would hide a second application
// behind the one its listing shows, and a cut file or one that is no
// program would make an output that cannot start.
ImageLayout readBareStubLayout(const std::string& stub)
{
    describeStep("cannot read the stub", stub);
    ImageLayout layout;
    raiseIfFailed(readImageLayoutOf(stub, layout));
    switch (imageFit(layout)) {
    case ImageFit::whole:
        return layout;
    case ImageFit::longer:
        refuse(ioInvalidInput, "not a bare stub: it has bytes after its program image (a packed executable?)");
    case ImageFit::cut:
        refuse(ioInvalidInput, "not a bare stub: the file ends inside its program image (cut short)");
    case ImageFit::unknown:
        break;
    }
    refuse(ioInvalidInput, "not a bare stub: no Windows or Linux program");
}

// The largest Windows stub whose copy is rebuilt with an icon or version:
// the copy is made in memory, and real stubs are a few hundred KiB.
constexpr int32_t maxRebuiltStubSize = 64 * 1024 * 1024;

// The stub's copy with the recipe's icon and version information, rebuilt in
// memory from the stub file (open, at its start, size bytes); empty when
// the stub's bytes go into the output as they are (no such option, or a
// stub that is no Windows program: the options do not apply there, which
// the packer says and packs on).
ResourceBytes rebuiltStub(BinaryFile& stubFile, int32_t size, const ImageLayout& layout, const ResourceEdits& edits)
{
    ResourceBytes image;
    if (!edits.any())
        return image;
    if (layout.checksumAt == 0) {
        writeNoteLine("the icon and version options apply to Windows stubs only; packed without them");
        return image;
    }
    if (size > maxRebuiltStubSize)
        refuse(ioFileTooLarge, "a stub over 64 MiB is not given an icon or version");
    image.resize(static_cast<std::size_t>(size));
    readBlock(stubFile, image.data(), size);
    checkIo();
    const std::string_view fault = rebuildResources(image, edits);
    if (!fault.empty())
        refuse(ioInvalidInput, fault);
    return image;
}

} // namespace

void preparePacker(const AppState& state)
{
    packerState = &state;
    setFailureAction(onPackFailure);
    describeStep("cannot make a work directory in TEMP", state.tempDir);
}

void addHeaderEntry(GzStream* stream, std::string_view kind, std::string_view text, tail& built)
{
    progressEntry(text);
    const header h = makeHeader(kind, text, 0);
    writeGz(stream, &h, headerSize);
    raiseIfFailed(gzFailure(stream));
    ++built.entryCount;
}

void addFileEntry(GzStream* stream, std::string_view kind, std::string_view entryName,
                  std::string_view sourcePath, tail& built)
{
    progressEntry(entryName);
    BinaryFile source;
    const int32_t size = openForCopy(source, sourcePath);
    const header h = makeHeader(kind, entryName, size);
    writeGz(stream, &h, headerSize);
    raiseIfFailed(gzFailure(stream));
    raiseIfFailed(copyFileToGz(source, stream, size, progressBytes));
    closeChecked(source);
    ++built.entryCount;
}

void addTree(GzStream* stream, std::string_view entryName, std::string_view sourceDirectory, tail& built)
{
    addHeaderEntry(stream, "d", entryName, built);
    const std::string saved = currentDirectory();
    changeDirectory(sourceDirectory);
    if (const uint16_t code = ioResult(); code == ioInvalidFilename)
        refuse(ioInvalidFilename, "no such directory");
    else
        raiseIfFailed(code);

    for (const std::string& name : sortedNames()) {
        const std::string childName = std::string(entryName) + "\\" + name;
        describeEntry(childName);
        refuseUnstorableName(childName, name);
        BinaryFile entry;
        assignFile(entry, name);
        if (fileAttributes(entry) & faDirectory)
            addTree(stream, childName, name, built);
        else
            addFileEntry(stream, "f", childName, name, built);
    }

    describeEntry(entryName);
    changeDirectory(saved);
    checkIo();
}

void packMode(const Launch& launch, const std::string& workFile)
{
    Packing packing;
    packingUnderWay = &packing;
    startProgress();
    const std::string recipeName = launchArgument(launch, 1);
    describeRecipeRead(recipeName);
    assignText(packing.recipe, recipeName);
    openText(packing.recipe);
    checkIo();

    const std::string stub = stubPath(launch);
    const std::string outputName = launchArgument(launch, 2);
    describeStep("cannot write", outputName);
    refuseInputAsOutput(stub, recipeName, outputName);
    const ImageLayout stubLayout = readBareStubLayout(stub);

    tail built = newTrailer(stub);
    describeStep("cannot write the work file", workFile);
    GzStream* stream = openGz(workFile, "w", launch.threads);
    if (stream == nullptr)
        failWithIoCode(ioNotOpenForOutput);
    raiseIfFailed(gzFailure(stream));
    describeRecipeRead(recipeName);
    RecipeFacts facts;
    packRecipe(packing.recipe, recipeName, stream, built, facts);
    describeStep("cannot write the work file", workFile);
    // A failed write is reported as itself; a member that could not be
    // finished otherwise (a failed deflate or close) as a full disk.
    uint16_t writeFailure = 0;
    if (closeGz(stream, &writeFailure) != gzOk)
        failWithIoCode(writeFailure != 0 ? writeFailure : uint16_t{ioDiskFull});
    closeText(packing.recipe);
    checkIo();

    // Measure both inputs before the output is created, so that a container
    // that cannot be represented leaves no output behind.
    // A signed stub is copied as the unsigned file it was, so that the output
    // can be signed in turn: the output's size counts without its table.
    BinaryFile stubFile;
    describeStep("cannot read the stub", stub);
    int32_t stubSize = openForCopy(stubFile, stub);
    if (stubSize != stubLayout.fileSize)
        refuse(ioInvalidInput, "the stub changed while packing");
    const ResourceBytes rebuilt = rebuiltStub(stubFile, stubSize, stubLayout, facts.options.resources);
    if (!rebuilt.empty())
        stubSize = static_cast<int32_t>(rebuilt.size());
    describeStep("cannot read the work file", workFile);
    const int32_t gzLength = openForCopy(packing.workFile, workFile);
    if (static_cast<int64_t>(stubSize) + gzLength + tailSize > INT32_MAX)
        refuse(ioFileTooLarge, "the packed executable would be 2 GiB or larger");
    built.gzLength = gzLength;

    describeStep(outputName.empty() ? "cannot write to standard output" : "cannot write", outputName);
    openOutput(packing.output, outputName);
    if (rebuilt.empty()) {
        raiseIfFailed(copyImageUnsigned(stubFile, packing.output.file, stubSize, stubLayout, stub));
    } else {
        writeBlock(packing.output.file, rebuilt.data(), stubSize);
        checkIo();
    }
    closeChecked(stubFile);
    // With the cache, the stream's SHA-256 is the key of its unpacked tree.
    Sha256 sha;
    startSha256(sha);
    uint32_t crc = 0;
    raiseIfFailed(copyFileToFile(packing.workFile, packing.output.file, gzLength, &crc,
                                 facts.options.cache ? &sha : nullptr));
    storeStreamCrc(built, crc);
    closeChecked(packing.workFile);
    recordOptions(facts.options, built);
    if (facts.options.cache) {
        unsigned char key[sha256Size];
        finishSha256(sha, key);
        addTrailerRecord(built, streamKeyTag, std::string_view(reinterpret_cast<const char*>(key), sizeof key));
    }
    sealTrailer(built);
    writeBlock(packing.output.file, &built, tailSize);
    checkIo();
    finishOutput(packing.output, outputName);
    packingUnderWay = nullptr;
    reportPacked(static_cast<int64_t>(stubSize) + gzLength + tailSize, outputName);
}
