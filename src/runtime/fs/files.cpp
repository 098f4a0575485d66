// File-system services, the part common to both platforms: the guards of the
// binary-file operations, access and sharing, name conversion, directories,
// enumeration and attribute queries. The operating-system calls themselves
// sit behind runtime/os/oscalls.h.
#include "runtime/fs/files.h"

#include <algorithm>
#include <cstring>

#include "runtime/fs/handles.h"
#include "runtime/os/oscalls.h"
#include "runtime/base/iocodes.h"
#include "runtime/base/shorttext.h"

uint8_t fileOpenMode = 2;
uint16_t searchStatus = 0;

namespace {

// Flags of createFile: read-write access.
constexpr uint32_t createFlags = 0x0002;

bool isOpenMode(uint32_t mode)
{
    return mode == fmInput || mode == fmOutput || mode == fmInOut;
}

bool isValidMode(uint32_t mode)
{
    return mode == fmClosed || isOpenMode(mode);
}

// Sharing granted to other opens, from fileOpenMode: 0 (as start-up leaves
// it) lets others read; the initial 2 grants nothing.
uint32_t sharingFromOpenMode()
{
    const uint32_t m = fileOpenMode;
    if (m & 0x10)
        return 0;
    if (m == 0 || (m & 0x20))
        return osShareRead;
    if ((m & 0x30) == 0x30)
        return osShareWrite;
    if (m & 0x40)
        return osShareRead | osShareWrite;
    return 0;
}

// A path longer than the system takes is an invalid file name, whatever
// the call that found it (on Windows without the long-path setting, a path
// past MAX_PATH).
uint16_t translateFileError(uint32_t osCode)
{
    return osCode == osFilenameTooLong ? static_cast<uint16_t>(ioInvalidFilename) : translateOsError(osCode);
}

void setOsError(uint32_t osCode)
{
    ioError = translateFileError(osCode);
}

void openBinary(BinaryFile& f, int32_t recordSize, uint32_t flags, OsOpenKind kind)
{
    if (ioError != 0)
        return;
    if (isOpenMode(f.mode))
        closeFile(f);
    if (!isValidMode(f.mode)) {
        ioError = ioNotAssigned;
        return;
    }
    // A record size of 0 is refused with 2, and so is a negative one: it
    // would turn every count into a negative byte count.
    if (recordSize <= 0) {
        ioError = osFileNotFound;
        return;
    }
    uint32_t access = osRead | osWrite;
    uint32_t mode = fmInOut;
    if ((flags & 3) == 0) {
        access = osRead;
        mode = fmInput;
    } else if ((flags & 3) == 1) {
        access = osWrite;
        mode = fmOutput;
    }
    OsHandle handle = noHandle;
    const uint16_t code = openByName(f.name.c_str(), access, kind, handle);
    if (code != 0) {
        ioError = code;
        return;
    }
    f.handle = handle;
    f.mode = mode;
    f.recordSize = recordSize;
}

// The enumeration's mapping of an operating-system code into searchStatus.
uint16_t searchCode(uint32_t osCode)
{
    if (osCode == osInvalidParameter)
        osCode = osInvalidData;
    if (osCode == osFileNotFound)
        osCode = osNoMoreFiles;
    return static_cast<uint16_t>(osCode);
}

// Skips entries with an excluded attribute, then fills rec from the match.
void deliverMatch(SearchRec& rec, OsEntry& entry)
{
    while ((entry.attributes & rec.excluded) != 0) {
        const uint32_t code = osFindNext(rec.search, entry);
        if (code != 0) {
            searchStatus = searchCode(code);
            return;
        }
    }
    rec.time = entry.time;
    rec.size = entry.size;
    rec.attributes = entry.attributes;
    rec.name.assign(entry.name, 0, std::min<std::size_t>(entry.name.size(), 255));
}

} // namespace

// ---------------------------------------------------------------- names

std::string systemName(std::string_view name)
{
    std::string result(name);
    std::replace(result.begin(), result.end(), foreignSeparator, pathSeparator);
    return result;
}

std::string lookupName(std::string_view name)
{
    return convertLookupNames ? systemName(name) : std::string(name);
}

// ---------------------------------------------------------------- handles

bool isStandardHandle(OsHandle handle)
{
    for (int which = 0; which < 3; ++which)
        if (handle == osStandardHandle(which))
            return true;
    return false;
}

// The standard handles are never closed, by binary files either: closing
// one would let a later open reuse it, and the reports that go to standard
// output would then land in that file.
void closeHandleOf(OsHandle handle)
{
    if (handle == noHandle || isStandardHandle(handle) || osIsCharacterDevice(handle))
        return;
    closeHandle(handle);
}

uint16_t openByName(const char* name, uint32_t access, OsOpenKind kind, OsHandle& handle)
{
    if (name[0] == '\0') {
        handle = osStandardHandle(access == osRead ? 0 : 1);
        return 0;
    }
    const uint32_t code = openHandle(systemName(name), access, sharingFromOpenMode(), kind, handle);
    if (code != 0) {
        handle = noHandle;
        return translateFileError(code);
    }
    return 0;
}

// ---------------------------------------------------------------- binary files

void assignFile(BinaryFile& f, std::string_view name)
{
    f = BinaryFile{};
    f.handle = noHandle;
    if (name.size() > fileNameMax) {
        if (ioError == 0)
            ioError = ioInvalidFilename;
        return;
    }
    f.mode = fmClosed;
    f.name.assign(name);
}

void openFile(BinaryFile& f, int32_t recordSize)
{
    openBinary(f, recordSize, fileOpenMode, OsOpenKind::existing);
}

void openRegularFile(BinaryFile& f, int32_t recordSize)
{
    openBinary(f, recordSize, 0, OsOpenKind::existingRegular);
}

void createFile(BinaryFile& f, int32_t recordSize)
{
    openBinary(f, recordSize, createFlags, OsOpenKind::createAlways);
}

void createNewFile(BinaryFile& f, int32_t recordSize)
{
    openBinary(f, recordSize, createFlags, OsOpenKind::createNew);
}

void closeFile(BinaryFile& f)
{
    if (ioError != 0)
        return;
    if (!isOpenMode(f.mode)) {
        ioError = ioNotOpen;
        return;
    }
    closeHandleOf(f.handle);
    f.handle = noHandle;
    f.mode = fmClosed;
}

uint16_t closeFileAfter(BinaryFile& f, uint16_t code)
{
    ioResult();
    closeFile(f);
    const uint16_t closed = ioResult();
    return code != 0 ? code : closed;
}

int32_t readCounted(BinaryFile& f, void* buffer, int32_t count)
{
    if (ioError != 0)
        return 0;
    if (!isOpenMode(f.mode)) {
        ioError = ioNotOpen;
        return 0;
    }
    if (f.mode == fmOutput) {
        ioError = ioNotOpenForInput;
        return 0;
    }
    if (count <= 0)
        return 0;
    uint32_t got = 0;
    const uint32_t bytes = static_cast<uint32_t>(count) * static_cast<uint32_t>(f.recordSize);
    const uint32_t code = readHandle(f.handle, buffer, bytes, got);
    if (code == osBrokenPipe)
        return 0;  // the writing end is gone: end of file
    if (code != 0) {
        setOsError(code);
        return 0;
    }
    return static_cast<int32_t>(got / static_cast<uint32_t>(f.recordSize));
}

void readBlock(BinaryFile& f, void* buffer, int32_t count)
{
    const int32_t got = readCounted(f, buffer, count);
    if (ioError == 0 && count >= 1 && got < count)
        ioError = ioReadPastEnd;
}

int32_t writeCounted(BinaryFile& f, const void* buffer, int32_t count)
{
    if (ioError != 0)
        return 0;
    if (!isOpenMode(f.mode)) {
        ioError = ioNotOpen;
        return 0;
    }
    if (f.mode == fmInput) {
        ioError = ioNotOpenForOutput;
        return 0;
    }
    if (count <= 0)
        return 0;
    uint32_t written = 0;
    const uint32_t bytes = static_cast<uint32_t>(count) * static_cast<uint32_t>(f.recordSize);
    const uint32_t code = writeHandle(f.handle, buffer, bytes, written);
    if (code != 0) {
        setOsError(code);
        return 0;
    }
    return static_cast<int32_t>(written / static_cast<uint32_t>(f.recordSize));
}

void writeBlock(BinaryFile& f, const void* buffer, int32_t count)
{
    const int32_t written = writeCounted(f, buffer, count);
    if (ioError == 0 && written < count)
        ioError = ioDiskFull;
}

int32_t fileSize(BinaryFile& f)
{
    if (ioError != 0)
        return 0;
    if (!isOpenMode(f.mode)) {
        ioError = ioNotOpen;
        return 0;
    }
    uint32_t position = 0;
    uint32_t size = 0;
    uint32_t ignored = 0;
    uint32_t code = osSeek(f.handle, 0, osFromCurrent, position);
    if (code == 0)
        code = osSeek(f.handle, 0, osFromEnd, size);
    if (code == 0)
        code = osSeek(f.handle, static_cast<int32_t>(position), osFromStart, ignored);
    // Sizes are 32-bit signed throughout the program: a larger file is
    // refused rather than measured wrong.
    if (code == 0 && size > static_cast<uint32_t>(INT32_MAX))
        code = osFileTooLarge;
    if (code != 0) {
        setOsError(code);
        return 0;
    }
    return static_cast<int32_t>(size / static_cast<uint32_t>(f.recordSize));
}

void seekFile(BinaryFile& f, int32_t position)
{
    if (ioError != 0)
        return;
    if (!isOpenMode(f.mode)) {
        ioError = ioNotOpen;
        return;
    }
    uint32_t reached = 0;
    if (const uint32_t code = osSeek(f.handle, position * f.recordSize, osFromStart, reached); code != 0)
        setOsError(code);
}

void eraseFile(BinaryFile& f)
{
    if (ioError != 0 || isOpenMode(f.mode))
        return;
    if (f.mode != fmClosed) {
        ioError = ioNotAssigned;
        return;
    }
    const std::string name = systemName(f.name);
    uint32_t code = osDeleteFile(name);
    // A directory refuses deletion as "access denied"; the caller learns
    // instead that no file of that name exists.
    if (code == osAccessDenied && osIsPlainDirectory(name))
        code = osFileNotFound;
    if (code != 0)
        setOsError(code);
}

void renameReplacing(std::string_view from, std::string_view to)
{
    if (ioError != 0)
        return;
    if (const uint32_t code = osRenameReplacing(systemName(from), systemName(to)); code != 0)
        setOsError(code);
}

bool sameFile(std::string_view a, std::string_view b)
{
    OsFileIdentity first;
    OsFileIdentity second;
    return osFileIdentity(systemName(a), first) && osFileIdentity(systemName(b), second) &&
           first.volume == second.volume && first.index == second.index;
}

bool isDeviceOrPipe(std::string_view name)
{
    return osIsDeviceOrPipe(systemName(name));
}

bool isTerminal(const BinaryFile& f)
{
    return isOpenMode(f.mode) && osIsTerminal(f.handle);
}

// ---------------------------------------------------------------- worker threads

uint16_t createFileHandle(std::string_view name, OsHandle& handle)
{
    handle = noHandle;
    if (name.size() > fileNameMax)
        return ioInvalidFilename;
    // The empty name would bind a standard handle: no file to create.
    if (name.empty())
        return ioFileNotFound;
    // createFile's access: reading and writing.
    const std::string text(name);
    return openByName(text.c_str(), osRead | osWrite, OsOpenKind::createAlways, handle);
}

uint16_t writeAllToHandle(OsHandle handle, const void* buffer, uint32_t count)
{
    if (count == 0)
        return 0;
    uint32_t written = 0;
    if (const uint32_t code = writeHandle(handle, buffer, count, written); code != 0)
        return translateOsError(code);
    return written < count ? ioDiskFull : 0;
}

void closeFileHandle(OsHandle handle)
{
    closeHandleOf(handle);
}

// ---------------------------------------------------------------- directories

namespace {

// True, with code 3 set, for a path too long to hand to the system whole.
bool refusedAsTooLong(std::string_view path)
{
    if (path.size() <= fileNameMax)
        return false;
    ioError = ioInvalidFilename;
    return true;
}

} // namespace

void makeDirectory(std::string_view path)
{
    if (ioError != 0 || path.empty() || refusedAsTooLong(path))
        return;
    if (const uint32_t code = osMakeDirectory(systemName(path)); code != 0)
        setOsError(code);
}

void removeDirectory(std::string_view path)
{
    if (ioError != 0 || path.empty())
        return;
    if (path == ".") {
        ioError = osRemovingCurrentDirectory;
        return;
    }
    if (const uint32_t code = osRemoveDirectory(systemName(path)); code != 0)
        setOsError(code);
}

void changeDirectory(std::string_view path)
{
    if (ioError != 0 || path.empty() || refusedAsTooLong(path))
        return;
    if (const uint32_t code = osChangeDirectory(systemName(path)); code != 0) {
        setOsError(code);
        if (ioError == osFileNotFound)
            ioError = osPathNotFound;
    }
}

std::string currentDirectory()
{
    std::string directory = osCurrentDirectory();
    if (directory.empty() || directory.size() > fileNameMax) {
        if (ioError == 0)
            ioError = ioInvalidFilename;
        return {};
    }
    return directory;
}

std::string absolutePath(std::string_view path)
{
    if (osIsAbsolutePath(path))
        return std::string(path);
    const std::string base = currentDirectory();
    if (base.empty())
        return std::string(path);
    return osJoinPath(base, path);
}

// ---------------------------------------------------------------- enumeration

void findFirstEntry(std::string_view pattern, uint16_t attributes, SearchRec& rec)
{
    rec = SearchRec{};
    searchStatus = 0;
    rec.excluded = static_cast<uint16_t>(~attributes & (faHidden | faSystem | faVolume | faDirectory));
    OsEntry entry;
    const uint32_t code = osFindFirst(lookupName(pattern), rec.search, entry);
    if (code != 0) {
        searchStatus = searchCode(code);
        return;
    }
    deliverMatch(rec, entry);
}

void findNextEntry(SearchRec& rec)
{
    searchStatus = 0;
    if (rec.search == nullptr) {
        searchStatus = osInvalidHandle;  // no enumeration running
        return;
    }
    OsEntry entry;
    const uint32_t code = osFindNext(rec.search, entry);
    if (code != 0) {
        searchStatus = searchCode(code);
        return;
    }
    deliverMatch(rec, entry);
}

void endFind(SearchRec& rec)
{
    if (rec.search != nullptr)
        osFindClose(rec.search);
    rec.search = nullptr;
}

uint16_t fileAttributes(BinaryFile& f)
{
    searchStatus = 0;
    uint16_t attributes = 0;
    const uint32_t code = osGetAttributes(lookupName(f.name), attributes);
    if (code != 0) {
        searchStatus = static_cast<uint16_t>(code);
        return 0;
    }
    return attributes;
}

bool fileExists(std::string_view path)
{
    SearchRec rec;
    OsEntry entry;
    if (osFindFirst(lookupName(path), rec.search, entry) != 0)
        return false;
    osFindClose(rec.search);
    return true;
}

namespace {

bool equalsIgnoringCase(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (upperAscii(text[i]) != upper[i])
            return false;
    }
    return true;
}

// One component: the part before the first dot (or a colon) is what Windows
// compares, trailing blanks ignored.
bool isDeviceComponent(std::string_view name)
{
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ')
        name.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (equalsIgnoringCase(name, device))
            return true;
    const std::string_view port = name.substr(0, 3);
    if (name.size() < 4 || (!equalsIgnoringCase(port, "COM") && !equalsIgnoringCase(port, "LPT")))
        return false;
    // A digit 1 to 9, or a superscript one, two or three (UTF-8).
    const std::string_view number = name.substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

} // namespace

bool namesDevice(std::string_view path)
{
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("\\/", start);
        if (end == std::string_view::npos)
            end = path.size();
        if (isDeviceComponent(path.substr(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

bool leadsThroughLink(std::string_view path)
{
    for (std::size_t end = 0; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '\\' && path[end] != '/')
            continue;
        if (end == 0 || path[end - 1] == '\\' || path[end - 1] == '/')
            continue;
        uint16_t attributes = 0;
        if (osGetAttributes(lookupName(path.substr(0, end)), attributes) != 0)
            return false;
        if (attributes & faReparsePoint)
            return true;
    }
    return false;
}

bool isReservedDeviceName(std::string_view path)
{
    return deviceNamesReserved && namesDevice(path);
}
