// Text files: line I/O through a 256-byte buffer on top of the opening and
// closing rules of the binary files.
#include "runtime/fs/textfile.h"

#include <algorithm>
#include <cstring>

#include "runtime/failure/failure.h"
#include "runtime/fs/handles.h"
#include "runtime/os/oscalls.h"
#include "runtime/base/terminaltext.h"

TextFile standardInput;
TextFile standardOutput;
TextFile standardError;

namespace {

constexpr char endOfFileMark = 26;  // Ctrl-Z

bool isOpen(const TextFile& t)
{
    return t.mode == fmInput || t.mode == fmOutput || t.mode == fmAppend;
}

bool isWriting(const TextFile& t)
{
    return t.mode == fmOutput || t.mode == fmAppend;
}

// The read routine: one read of up to a buffer's worth. A broken pipe is the
// end of the data.
void fillBuffer(TextFile& t)
{
    t.bufferPosition = 0;
    t.bufferEnd = 0;
    uint32_t got = 0;
    const uint32_t code = readHandle(t.handle, t.buffer, static_cast<uint32_t>(t.bufferSize), got);
    if (code != 0 && code != osBrokenPipe) {
        ioError = translateOsError(code);
        return;
    }
    t.bufferEnd = static_cast<int32_t>(got);
}

// The write routine: one write of the buffered bytes; anything short of all
// of them is reported as a full disk, whatever the system said.
void emptyBuffer(TextFile& t)
{
    const uint32_t count = static_cast<uint32_t>(t.bufferPosition);
    t.bufferPosition = 0;
    if (count == 0)
        return;
    uint32_t written = 0;
    const uint32_t code = writeHandle(t.handle, t.buffer, count, written);
    if (code != 0 || written != count)
        ioError = ioDiskFull;
}

// Makes sure a byte is available; false at the end of the data or on error.
bool haveByte(TextFile& t)
{
    if (t.bufferPosition < t.bufferEnd)
        return true;
    if (ioError != 0)
        return false;
    fillBuffer(t);
    return t.bufferPosition < t.bufferEnd;
}

// The checks in front of every read: nothing while an error is pending, 104
// on an output file, 103 otherwise when not open for input.
bool readable(TextFile& t)
{
    if (ioError != 0)
        return false;
    if (t.mode == fmInput)
        return true;
    ioError = isWriting(t) ? ioNotOpenForInput : ioNotOpen;
    return false;
}

bool writable(TextFile& t)
{
    if (ioError != 0)
        return false;
    if (isWriting(t))
        return true;
    ioError = t.mode == fmInput ? ioNotOpenForOutput : ioNotOpen;
    return false;
}

void putBytes(TextFile& t, const char* bytes, std::size_t count)
{
    while (count > 0 && ioError == 0) {
        const std::size_t room = static_cast<std::size_t>(t.bufferSize - t.bufferPosition);
        const std::size_t part = std::min(room, count);
        std::memcpy(t.buffer + t.bufferPosition, bytes, part);
        t.bufferPosition += static_cast<int32_t>(part);
        bytes += part;
        count -= part;
        if (t.bufferPosition == t.bufferSize)
            emptyBuffer(t);
    }
}

void openTextWith(TextFile& t, uint32_t mode, uint32_t access, OsOpenKind kind)
{
    if (ioError != 0)
        return;
    if (isOpen(t))
        closeText(t);
    if (ioError != 0)
        return;
    if (t.mode != fmClosed) {
        ioError = ioNotAssigned;
        return;
    }
    t.bufferPosition = 0;
    t.bufferEnd = 0;
    OsHandle handle = noHandle;
    const uint16_t code = openByName(t.name, access, kind, handle);
    if (code != 0) {
        ioError = code;
        return;
    }
    t.handle = handle;
    t.mode = mode;
    t.isStandard = isStandardHandle(handle);
    t.flushAfterLine = mode != fmInput && osIsCharacterDevice(handle);
}

} // namespace

void assignText(TextFile& t, std::string_view name)
{
    t = TextFile{};
    t.handle = noHandle;
    t.mode = fmClosed;
    t.bufferSize = sizeof t.buffer;
    const std::size_t length = std::min<std::size_t>(name.size(), sizeof t.name - 1);
    std::memcpy(t.name, name.data(), length);
    t.name[length] = '\0';
}

void openText(TextFile& t)
{
    openTextWith(t, fmInput, osRead, OsOpenKind::existing);
}

void createText(TextFile& t)
{
    openTextWith(t, fmOutput, osWrite, OsOpenKind::createAlways);
}

std::string readLine(TextFile& t, std::size_t maxLen)
{
    std::string line;
    if (!readable(t))
        return line;
    maxLen = std::min<std::size_t>(maxLen, 255);
    while (line.size() < maxLen && haveByte(t)) {
        const char c = t.buffer[t.bufferPosition];
        if (c == '\r' || c == '\n')
            break;
        line += c;
        ++t.bufferPosition;
    }
    // Past the end of the line: LF, CR LF or a lone CR; whatever the cut
    // left of the line goes with it.
    while (haveByte(t)) {
        const char c = t.buffer[t.bufferPosition++];
        if (c == '\n')
            break;
        if (c == '\r') {
            if (haveByte(t) && t.buffer[t.bufferPosition] == '\n')
                ++t.bufferPosition;
            break;
        }
    }
    return line;
}

bool textEof(TextFile& t)
{
    if (!readable(t))
        return true;
    if (!haveByte(t))
        return true;
    return t.buffer[t.bufferPosition] == endOfFileMark;
}

void writeText(TextFile& t, std::string_view value)
{
    if (writable(t))
        putBytes(t, value.data(), value.size());
}

void writeText(TextFile& t, char value)
{
    if (writable(t))
        putBytes(t, &value, 1);
}

void writeText(TextFile& t, int32_t value)
{
    if (!writable(t))
        return;
    char digits[12];
    int at = sizeof digits;
    // Work on the magnitude as unsigned so that the most negative value has
    // one too.
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        digits[--at] = '-';
    putBytes(t, digits + at, sizeof digits - static_cast<std::size_t>(at));
}

void writeForeignText(TextFile& t, std::string_view value)
{
    if (!writable(t))
        return;
    if (!isTerminal(t)) {
        putBytes(t, value.data(), value.size());
        return;
    }
    const std::string shown = shownOnTerminal(value);
    putBytes(t, shown.data(), shown.size());
}

void writeLine(TextFile& t)
{
    if (!writable(t))
        return;
    putBytes(t, "\r\n", 2);
    if (t.flushAfterLine && ioError == 0)
        emptyBuffer(t);
}

void flushText(TextFile& t)
{
    if (writable(t))
        emptyBuffer(t);
}

void closeText(TextFile& t)
{
    if (ioError != 0)
        return;
    if (!isOpen(t)) {
        ioError = ioNotOpen;
        return;
    }
    // A failed final write is reported, and the handle is closed all the same.
    if (isWriting(t))
        emptyBuffer(t);
    if (!t.isStandard)
        closeHandleOf(t.handle);
    t.handle = noHandle;
    t.mode = fmClosed;
    t.bufferPosition = 0;
    t.bufferEnd = 0;
}

bool isTerminal(const TextFile& t)
{
    return isOpen(t) && osIsTerminal(t.handle);
}

namespace {

// The exit step: what the standard files still hold goes out.
void closeStandardFiles()
{
    closeText(standardError);
    ioError = 0;
    closeText(standardOutput);
    ioError = 0;
    closeText(standardInput);
}

} // namespace

void bindStandardFiles(bool windowed)
{
    addExitStep(closeStandardFiles);
    assignText(standardInput, "");
    assignText(standardOutput, "");
    assignText(standardError, "");
    if (windowed)
        return;  // left closed: every use reports 103
    TextFile* const files[3] = {&standardInput, &standardOutput, &standardError};
    for (int which = 0; which < 3; ++which) {
        TextFile& t = *files[which];
        t.handle = osStandardHandle(which);
        t.mode = which == 0 ? fmInput : fmOutput;
        t.isStandard = true;
        t.flushAfterLine = which != 0;
    }
}
