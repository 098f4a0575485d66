#include "unpack/container.h"

#include "app/state.h"
#include "core/gzstream.h"
#include "core/transfer.h"
#include "runtime/cmdline.h"
#include "runtime/failure.h"
#include "runtime/textfile.h"

namespace {

void writeChecked(TextFile& out, std::string_view piece)
{
    writeText(out, piece);
    checkIo();
}

} // namespace

int32_t openOwnExecutable(BinaryFile& executable)
{
    assignFile(executable, argumentAt(0));
    openFile(executable, 1);
    checkIo();
    const int32_t size = fileSize(executable);
    checkIo();
    const int32_t gzLength = appState.trailer.gzLength;
    if (gzLength < 0 || gzLength > size - tailSize)
        failWithIoCode(ioReadPastEnd);
    return size - gzLength - tailSize;
}

GzStream* copyStreamToWorkFile(BinaryFile& executable)
{
    // The entry stream is always one gzip member. The gzip layer reads any
    // other bytes as they stand, which would turn a gzLength that is off by a
    // few bytes into garbage entries and a normal end; such a stream is
    // refused as damaged before any entry is read. Its first two bytes are
    // checked on their way into the work file.
    const int32_t gzLength = appState.trailer.gzLength;
    if (gzLength < 2)
        failWithIoCode(ioReadPastEnd);
    unsigned char magic[2];
    readBlock(executable, magic, sizeof magic);
    checkIo();
    if (magic[0] != 0x1F || magic[1] != 0x8B)
        failWithIoCode(ioInvalidInput);

    BinaryFile work;
    assignFile(work, appState.workFile);
    createFile(work, 1);
    checkIo();
    writeBlock(work, magic, sizeof magic);
    checkIo();
    copyFileToFile(executable, work, gzLength - 2);
    closeFile(work);
    checkIo();
    closeFile(executable);
    checkIo();
    return openGz(appState.workFile, "r");
}

void readEntryHeader(GzStream* stream, header& h)
{
    const int32_t got = readGz(stream, &h, headerSize);
    if (got < 0)
        failWithIoCode(ioInvalidInput);
    if (got != headerSize)
        failWithIoCode(ioReadPastEnd);
    if (h.dataLength < 0 && isKind(h, 'f'))
        failWithIoCode(ioInvalidInput);
}

void finishEntryStream(GzStream* stream)
{
    // One more read lets the layer reach the member's trailer and check its
    // CRC-32 and length even when the last entry ended exactly at the data's
    // end. Bytes after the last entry are not looked at.
    char probe;
    const int32_t got = readGz(stream, &probe, 1);
    const int status = closeGz(stream);
    if (got < 0 || status == gzDataError || status == gzFileError)
        failWithIoCode(ioInvalidInput);
    if (status == gzBufferError)
        failWithIoCode(ioReadPastEnd);
}

bool isKind(const header& h, char kind)
{
    return h.kind.length == 1 && h.kind.bytes[0] == kind;
}

void writeEntryLine(TextFile& out, const header& h, bool withFileSize)
{
    writeChecked(out, h.kind.view());
    writeChecked(out, " ");
    writeChecked(out, h.text.view());
    if (withFileSize && isKind(h, 'f')) {
        writeChecked(out, " (");
        writeText(out, h.dataLength);
        checkIo();
        writeChecked(out, ")");
    }
    writeLine(out);
    checkIo();
}
