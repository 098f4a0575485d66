#include "unpack/container.h"

#include "app/state.h"
#include "core/gzstream.h"
#include "core/transfer.h"
#include "runtime/cmdline.h"
#include "runtime/failure.h"

namespace {

// The entry stream is always one gzip member. The gzip layer reads any other
// bytes as they stand, which here would turn a gzLength that is off by a few
// bytes into garbage entries and a normal end; such a stream is refused as
// damaged before any entry is read.
void checkGzipMagic(std::string_view path)
{
    BinaryFile work;
    assignFile(work, path);
    openFile(work, 1);
    checkIo();
    unsigned char magic[2] = {};
    const int32_t got = readCounted(work, magic, sizeof magic);
    checkIo();
    closeFile(work);
    checkIo();
    if (got != static_cast<int32_t>(sizeof magic))
        failWithIoCode(ioReadPastEnd);
    if (magic[0] != 0x1F || magic[1] != 0x8B)
        failWithIoCode(ioInvalidInput);
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
    BinaryFile work;
    assignFile(work, appState.workFile);
    createFile(work, 1);
    checkIo();
    copyFileToFile(executable, work, appState.trailer.gzLength);
    closeFile(work);
    checkIo();
    closeFile(executable);
    checkIo();
    checkGzipMagic(appState.workFile);
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
