// List mode: one line per entry on standard output, nothing extracted.
#include "core/appstate.h"
#include "core/gzstream.h"
#include "core/filecopy.h"
#include "core/gzcopy.h"
#include "runtime/failure.h"
#include "runtime/textfile.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

void listMode()
{
    BinaryFile executable;
    seekFile(executable, openOwnExecutable(executable));
    checkIo();
    uint32_t payloadSize = 0;
    GzStream* stream = copyStreamToWorkFile(executable, payloadSize);

    header h;
    for (int32_t i = 1; i <= appState.trailer.entryCount; ++i) {
        readEntryHeader(stream, h);
        writeEntryLine(standardOutput, h, true);
        // A file whose content the stream cannot deliver in full makes the
        // listing wrong from here on, as it makes extraction fail.
        if (isKind(h, 'f') && skipGz(stream, h.dataLength) < h.dataLength)
            failWithIoCode(ioReadPastEnd);
    }
    finishEntryStream(stream);
}
