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

// What the failure road's clean-up is given: the launch's state, whose work
// directory goes, and the packing under way once packMode runs (what it
// holds open is closed first, so that the directory can go on every system,
// and the temporary output goes).
struct PackFailure {
    const AppState& state;
    Packing* packing = nullptr;
};

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
[[nodiscard]] uint16_t refuseEscapingPath(std::string_view path)
{
    switch (entryPathFault(path)) {
    case PathFault::none:
        break;
    case PathFault::absolute:
        return refused(ioInvalidFilename, "absolute paths cannot be packed");
    case PathFault::drive:
        return refused(ioInvalidFilename, "paths with a drive cannot be packed");
    case PathFault::parent:
        return refused(ioInvalidFilename, "paths with a \"..\" component cannot be packed");
    }
    return 0;
}

// "." (or "dir/.") as the last component names a directory that already
// exists when the entry is made, the work directory itself for ".": every
// launch would end with "Access denied". The contents of the current
// directory are packed by naming them.
[[nodiscard]] uint16_t refuseDotName(std::string_view path)
{
    std::size_t end = path.size();
    while (end > 0 && isPathSeparator(path[end - 1]))
        --end;
    const std::string_view trimmed = path.substr(0, end);
    if (trimmed == "." || trimmed.ends_with("\\.") || trimmed.ends_with("/."))
        return refused(ioInvalidFilename,
                       "a name ending in \".\" cannot be packed: name the directory itself or what is inside it");
    return 0;
}

// A name the tree walk builds must come back as it was: one longer than a
// short text would be cut, and a "\" inside a Linux name would turn into a
// separator.
[[nodiscard]] uint16_t refuseUnstorableName(const std::string& entryName, const std::string& name)
{
    if (!fitsPathLength(entryName.size()))
        return refused(ioInvalidFilename, "entry name longer than 255 bytes");
    if (name.find('\\') != std::string::npos)
        return refused(ioInvalidFilename, "names holding \"\\\" cannot be packed");
    return 0;
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

[[nodiscard]] uint16_t refuseCacheAfterCommands(const RecipeFacts& facts, std::string_view recipeName)
{
    if (!facts.options.cache || facts.fileAfterCommandAt == 0)
        return 0;
    describeLine(recipeName, facts.fileAfterCommandAt, facts.fileAfterCommand);
    return refused(ioInvalidInput, "with \"o cache\" every c and t line must come after the last d, f and r line");
}

bool isEntryKind(char kind)
{
    return kind == 'c' || kind == 't' || kind == 'd' || kind == 'f' || kind == 'r';
}

// The checks of a d, f or r line's path, in their order.
[[nodiscard]] uint16_t refuseEntryPath(char kind, std::string_view path)
{
    if (kind == 'c' || kind == 't')
        return 0;
    if (const uint16_t code = refuseEscapingPath(path); code != 0)
        return code;
    return kind == 'f' ? uint16_t{0} : refuseDotName(path);
}

[[nodiscard]] uint16_t addEntry(GzStream* stream, const std::string& kind, const std::string& text, tail& built)
{
    switch (kind[0]) {
    case 'f':
        return addFileEntry(stream, kind, text, text, built);
    case 'r':
        return addTree(stream, text, text, built);
    default:
        return addHeaderEntry(stream, kind, text, built);
    }
}

// Lines of another kind are no part of the packed file.
[[nodiscard]] uint16_t packRecipeLine(GzStream* stream, const std::string& line, tail& built,
                                      RecipeFacts& facts, int32_t lineNumber)
{
    const std::string kind = copyText(line, 1, 1);
    const std::string text = copyText(line, 3, static_cast<long long>(line.size()) - 2);
    if (kind[0] == 'o')
        return applyOptionLine(facts.options, text);
    if (!isEntryKind(kind[0]))
        return 0;
    if (const uint16_t code = refuseEntryPath(kind[0], text); code != 0)
        return code;
    if (const uint16_t code = addEntry(stream, kind, text, built); code != 0)
        return code;
    noteEntryOrder(facts, kind[0], lineNumber, line);
    return 0;
}

// A UTF-8 byte-order mark (as Windows editors write it) is no part of the
// first line; a UTF-16 one means a recipe this reader cannot read at all.
[[nodiscard]] uint16_t dropByteOrderMark(std::string& line)
{
    if (startsWith("\xEF\xBB\xBF", line))
        line.erase(0, 3);
    else if (startsWith("\xFF\xFE", line))
        return refused(ioInvalidInput, "saved as UTF-16 (little-endian); save it as UTF-8 or ANSI");
    else if (startsWith("\xFE\xFF", line))
        return refused(ioInvalidInput, "saved as UTF-16 (big-endian); save it as UTF-8 or ANSI");
    return 0;
}

[[nodiscard]] uint16_t packRecipe(TextFile& recipe, std::string_view recipeName, GzStream* stream,
                                  tail& built, RecipeFacts& facts)
{
    int32_t lineNumber = 0;
    do {
        std::string line = readLine(recipe, shortTextMax);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        if (++lineNumber == 1)
            if (const uint16_t code = dropByteOrderMark(line); code != 0)
                return code;
        if (line.empty() || startsWith("#", line))
            continue;
        describeLine(recipeName, lineNumber, line);
        if (const uint16_t code = packRecipeLine(stream, line, built, facts, lineNumber); code != 0)
            return code;
    } while (!textEof(recipe));
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    return refuseCacheAfterCommands(facts, recipeName);
}

// Opens a regular file for reading and takes its size; both checked.
[[nodiscard]] uint16_t openForCopy(BinaryFile& file, std::string_view path, int32_t& size)
{
    assignFile(file, path);
    openRegularFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    // Sizes are 32-bit signed in the container: fileSize refuses a file of
    // 2 GiB or more, and a whole output that large is refused before the
    // output is touched rather than written corrupt.
    size = fileSize(file);
    const uint16_t code = ioResult();
    if (code == ioFileTooLarge)
        return refused(ioFileTooLarge, "2 GiB or larger: too large to pack");
    return code;
}

[[nodiscard]] uint16_t closeChecked(BinaryFile& file)
{
    closeFile(file);
    return ioResult();
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
[[nodiscard]] uint16_t listSortedNames(std::vector<std::string>& names)
{
    SearchRec rec;
    for (findFirstEntry("*.*", faAnyFile, rec); searchStatus == 0; findNextEntry(rec))
        if (rec.name != "." && rec.name != "..")
            names.push_back(rec.name);
    const uint16_t status = searchStatus;
    endFind(rec);
    // A listing that fails part way would pack a directory short.
    if (status != ioNoMoreFiles)
        return status;
    sortBytewise(names);
    return 0;
}

std::string hexDigits(uint32_t value)
{
    std::string digits(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4)
        digits[static_cast<std::size_t>(i)] = "0123456789abcdef"[value & 0xF];
    return digits;
}

// Creates a new file beside the output, under a name no other file has.
[[nodiscard]] uint16_t createTemporaryOutput(PendingOutput& output, const std::string& outputName)
{
    const std::string directory(directoryPrefix(outputName));
    uint16_t lastFailure = 0;
    for (int draw = 0; draw < maxTemporaryDraws; ++draw) {
        const std::string name = directory + ".zop" + hexDigits(nextRandom32()) + ".tmp";
        if (!fitsPathLength(name.size()))
            return refused(ioInvalidFilename, "the output path is too long");
        assignFile(output.file, name);
        createNewFile(output.file, 1);
        lastFailure = ioResult();
        if (lastFailure == 0) {
            output.temporaryName = name;
            return 0;
        }
        if (lastFailure != ioAccessDenied && lastFailure != ioFileExists)
            break;
    }
    return lastFailure;
}

// Standard output, and a device or pipe named as the output (/dev/null, NUL,
// a FIFO), are written as they are: there is nothing to replace, and a
// device node must never be renamed over.
[[nodiscard]] uint16_t openOutput(PendingOutput& output, const std::string& outputName)
{
    if (!outputName.empty() && !isDeviceOrPipe(outputName))
        return createTemporaryOutput(output, outputName);
    assignFile(output.file, outputName);
    createFile(output.file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    if (isTerminal(output.file))
        return refused(ioAccessDenied, "a packed executable is not written to a terminal");
    return 0;
}

[[nodiscard]] uint16_t finishOutput(PendingOutput& output, const std::string& outputName)
{
    if (const uint16_t code = closeChecked(output.file); code != 0)
        return code;
    if (output.temporaryName.empty())
        return 0;
    renameReplacing(output.temporaryName, outputName);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    output.temporaryName.clear();
    return 0;
}

// On the failure road: the temporary output goes, and so does the work
// directory with the work file in it (it holds nothing worth inspecting,
// and on Windows every one left behind uses up one of the few work
// directory names); the failure is named.
void onPackFailure(std::string_view message, const void* context)
{
    const PackFailure& failure = *static_cast<const PackFailure*>(context);
    if (Packing* packing = failure.packing) {
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
    removeTree(failure.state.workDir, failure.state.workDirIdentity);
    clearProgress();
    writeFailureLine(message);
}

// The same before packMode runs (the state alone is the context).
void onFailureBeforePacking(std::string_view message, const void* context)
{
    const PackFailure failure{*static_cast<const AppState*>(context)};
    onPackFailure(message, &failure);
}

// The stub is copied into the output, and the recipe read before it is
// written: an output that is either would be destroyed by packing it.
[[nodiscard]] uint16_t refuseInputAsOutput(const std::string& stub, const std::string& recipeName,
                                           const std::string& outputName)
{
    if (outputName.empty())
        return 0;
    if (sameFile(stub, outputName))
        return refused(ioAccessDenied, "it is the stub that would be copied into it (ZOP_EXE or the running zop)");
    if (!recipeName.empty() && sameFile(recipeName, outputName))
        return refused(ioAccessDenied, "it is the recipe being packed");
    return 0;
}

// Only a bare stub goes at the head of an output: a whole image with nothing
// after it. A packed executable there would hide a second application
// behind the one its listing shows, and a cut file or one that is no
// program would make an output that cannot start.
[[nodiscard]] uint16_t readBareStubLayout(const std::string& stub, ImageLayout& layout)
{
    describeStep("cannot read the stub", stub);
    if (const uint16_t code = readImageLayoutOf(stub, layout); code != 0)
        return code;
    switch (imageFit(layout)) {
    case ImageFit::whole:
        return 0;
    case ImageFit::longer:
        return refused(ioInvalidInput, "not a bare stub: it has bytes after its program image (a packed executable?)");
    case ImageFit::cut:
        return refused(ioInvalidInput, "not a bare stub: the file ends inside its program image (cut short)");
    case ImageFit::unknown:
        break;
    }
    return refused(ioInvalidInput, "not a bare stub: no Windows or Linux program");
}

// The largest Windows stub whose copy is rebuilt with an icon or version:
// the copy is made in memory, and real stubs are a few hundred KiB.
constexpr int32_t maxRebuiltStubSize = 64 * 1024 * 1024;

// Into image: the stub's copy with the recipe's icon and version
// information, rebuilt in memory from the stub file (open, at its start,
// size bytes); left empty when the stub's bytes go into the output as they
// are (no such option, or a stub that is no Windows program: the options
// do not apply there, which the packer says and packs on).
[[nodiscard]] uint16_t rebuildStub(BinaryFile& stubFile, int32_t size, const ImageLayout& layout,
                                   const ResourceEdits& edits, ResourceBytes& image)
{
    if (!edits.any())
        return 0;
    if (layout.checksumAt == 0) {
        writeNoteLine("the icon and version options apply to Windows stubs only; packed without them");
        return 0;
    }
    if (size > maxRebuiltStubSize)
        return refused(ioFileTooLarge, "a stub over 64 MiB is not given an icon or version");
    image.resize(static_cast<std::size_t>(size));
    readBlock(stubFile, image.data(), size);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    const std::string_view fault = rebuildResources(image, edits);
    if (!fault.empty())
        return refused(ioInvalidInput, fault);
    return 0;
}

} // namespace

void preparePacker(const AppState& state)
{
    setFailureAction(onFailureBeforePacking, &state);
    describeStep("cannot make a work directory in TEMP", state.tempDir);
}

uint16_t addHeaderEntry(GzStream* stream, std::string_view kind, std::string_view text, tail& built)
{
    progressEntry(text);
    const header h = makeHeader(kind, text, 0);
    writeGz(stream, &h, headerSize);
    if (const uint16_t code = gzFailure(stream); code != 0)
        return code;
    ++built.entryCount;
    return 0;
}

uint16_t addFileEntry(GzStream* stream, std::string_view kind, std::string_view entryName,
                      std::string_view sourcePath, tail& built)
{
    progressEntry(entryName);
    BinaryFile source;
    int32_t size = 0;
    if (const uint16_t code = openForCopy(source, sourcePath, size); code != 0)
        return code;
    const header h = makeHeader(kind, entryName, size);
    writeGz(stream, &h, headerSize);
    if (const uint16_t code = gzFailure(stream); code != 0)
        return code;
    if (const uint16_t code = copyFileToGz(source, stream, size, progressBytes); code != 0)
        return code;
    if (const uint16_t code = closeChecked(source); code != 0)
        return code;
    ++built.entryCount;
    return 0;
}

uint16_t addTree(GzStream* stream, std::string_view entryName, std::string_view sourceDirectory, tail& built)
{
    if (const uint16_t code = addHeaderEntry(stream, "d", entryName, built); code != 0)
        return code;
    const std::string saved = currentDirectory();
    changeDirectory(sourceDirectory);
    if (const uint16_t code = ioResult(); code != 0)
        return code == ioInvalidFilename ? refused(ioInvalidFilename, "no such directory") : code;

    std::vector<std::string> names;
    if (const uint16_t code = listSortedNames(names); code != 0)
        return code;
    for (const std::string& name : names) {
        const std::string childName = std::string(entryName) + "\\" + name;
        describeEntry(childName);
        if (const uint16_t code = refuseUnstorableName(childName, name); code != 0)
            return code;
        BinaryFile entry;
        assignFile(entry, name);
        const bool isDirectory = (fileAttributes(entry) & faDirectory) != 0;
        const uint16_t code = isDirectory ? addTree(stream, childName, name, built)
                                          : addFileEntry(stream, "f", childName, name, built);
        if (code != 0)
            return code;
    }

    describeEntry(entryName);
    changeDirectory(saved);
    return ioResult();
}

namespace {

// Packs the recipe's entries into the work file as one gzip stream, built
// counting them, and closes the recipe.
[[nodiscard]] uint16_t writeWorkFile(const Launch& launch, const std::string& workFile, Packing& packing,
                                     std::string_view recipeName,
                                     tail& built, RecipeFacts& facts)
{
    describeStep("cannot write the work file", workFile);
    GzStream* stream = openGz(workFile, "w", launch.threads);
    if (stream == nullptr)
        return ioNotOpenForOutput;
    OwnedGzStream owned(stream);
    if (const uint16_t code = gzFailure(stream); code != 0)
        return code;
    describeRecipeRead(recipeName);
    if (const uint16_t code = packRecipe(packing.recipe, recipeName, stream, built, facts); code != 0)
        return code;
    describeStep("cannot write the work file", workFile);
    // A failed write is reported as itself; a member that could not be
    // finished otherwise (a failed deflate or close) as a full disk.
    uint16_t writeFailure = 0;
    if (closeGz(owned.release(), &writeFailure) != gzOk)
        return writeFailure != 0 ? writeFailure : uint16_t{ioDiskFull};
    closeText(packing.recipe);
    return ioResult();
}

// The whole packing, step by step, to the first failure; outputBytes: the
// packed executable's size once it is written.
[[nodiscard]] uint16_t pack(const Launch& launch, const std::string& workFile, Packing& packing,
                            int64_t& outputBytes)
{
    const std::string recipeName = launchArgument(launch, 1);
    describeRecipeRead(recipeName);
    assignText(packing.recipe, recipeName);
    openText(packing.recipe);
    if (const uint16_t code = ioResult(); code != 0)
        return code;

    const std::string stub = stubPath(launch);
    const std::string outputName = launchArgument(launch, 2);
    describeStep("cannot write", outputName);
    if (const uint16_t code = refuseInputAsOutput(stub, recipeName, outputName); code != 0)
        return code;
    ImageLayout stubLayout;
    if (const uint16_t code = readBareStubLayout(stub, stubLayout); code != 0)
        return code;

    tail built = newTrailer(stub);
    RecipeFacts facts;
    if (const uint16_t code = writeWorkFile(launch, workFile, packing, recipeName, built, facts); code != 0)
        return code;

    // Measure both inputs before the output is created, so that a container
    // that cannot be represented leaves no output behind.
    // A signed stub is copied as the unsigned file it was, so that the output
    // can be signed in turn: the output's size counts without its table.
    BinaryFile stubFile;
    describeStep("cannot read the stub", stub);
    int32_t stubSize = 0;
    if (const uint16_t code = openForCopy(stubFile, stub, stubSize); code != 0)
        return code;
    if (stubSize != stubLayout.fileSize)
        return refused(ioInvalidInput, "the stub changed while packing");
    ResourceBytes rebuilt;
    if (const uint16_t code = rebuildStub(stubFile, stubSize, stubLayout, facts.options.resources, rebuilt); code != 0)
        return code;
    if (!rebuilt.empty())
        stubSize = static_cast<int32_t>(rebuilt.size());
    describeStep("cannot read the work file", workFile);
    int32_t gzLength = 0;
    if (const uint16_t code = openForCopy(packing.workFile, workFile, gzLength); code != 0)
        return code;
    if (static_cast<int64_t>(stubSize) + gzLength + tailSize > INT32_MAX)
        return refused(ioFileTooLarge, "the packed executable would be 2 GiB or larger");
    built.gzLength = gzLength;

    describeStep(outputName.empty() ? "cannot write to standard output" : "cannot write", outputName);
    if (const uint16_t code = openOutput(packing.output, outputName); code != 0)
        return code;
    if (rebuilt.empty()) {
        if (const uint16_t code = copyImageUnsigned(stubFile, packing.output.file, stubSize, stubLayout, stub);
            code != 0)
            return code;
    } else {
        writeBlock(packing.output.file, rebuilt.data(), stubSize);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
    }
    if (const uint16_t code = closeChecked(stubFile); code != 0)
        return code;
    // With the cache, the stream's SHA-256 is the key of its unpacked tree.
    Sha256 sha;
    startSha256(sha);
    uint32_t crc = 0;
    if (const uint16_t code = copyFileToFile(packing.workFile, packing.output.file, gzLength, &crc,
                                             facts.options.cache ? &sha : nullptr);
        code != 0)
        return code;
    storeStreamCrc(built, crc);
    if (const uint16_t code = closeChecked(packing.workFile); code != 0)
        return code;
    recordOptions(facts.options, built);
    if (facts.options.cache) {
        unsigned char key[sha256Size];
        finishSha256(sha, key);
        addTrailerRecord(built, streamKeyTag, std::string_view(reinterpret_cast<const char*>(key), sizeof key));
    }
    sealTrailer(built);
    writeBlock(packing.output.file, &built, tailSize);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    if (const uint16_t code = finishOutput(packing.output, outputName); code != 0)
        return code;
    outputBytes = static_cast<int64_t>(stubSize) + gzLength + tailSize;
    return 0;
}

} // namespace

// The one place where packing fails: the first failure of its steps ends
// the process here, through the failure action (onPackFailure) while the
// packing is still under way.
void packMode(const Launch& launch, const AppState& state)
{
    Packing packing;
    const PackFailure failure{state, &packing};
    setFailureAction(onPackFailure, &failure);
    startProgress();
    int64_t outputBytes = 0;
    raiseIfFailed(pack(launch, state.workFile, packing, outputBytes));
    setFailureAction(onFailureBeforePacking, &state);
    reportPacked(outputBytes, launchArgument(launch, 2));
}
