// List mode: one line per entry, nothing extracted. The console builds
// write the lines to standard output; the windowed build, which has no
// console, shows them in a message box.
#include <string>

#include "core/gzip/gzstream.h"
#include "core/bytes/filecopy.h"
#include "core/gzip/gzcopy.h"
#include "runtime/failure/failure.h"
#include "core/paths/paths.h"
#include "runtime/fs/messagebox.h"
#include "runtime/base/terminaltext.h"
#include "runtime/fs/textfile.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

void addToListingBox(ListingBox& box, std::string_view line)
{
    if (box.lines == listingBoxLines) {
        ++box.more;
        return;
    }
    box.text += shownOnTerminal(line);
    box.text += "\r\n";
    ++box.lines;
}

std::string listingBoxText(const ListingBox& box)
{
    if (box.lines == 0)
        return "(no entries)";
    std::string text = box.text;
    if (box.more != 0) {
        text += "... and ";
        text += std::to_string(box.more);
        text += box.more == 1 ? " more entry" : " more entries";
    }
    return text;
}

void listMode(const Container& container)
{
    BinaryFile file;
    int32_t stubLength = 0;
    raiseIfFailed(openContainerFile(container, file, stubLength));
    seekFile(file, stubLength);
    checkIo();
    uint32_t payloadSize = 0;
    GzStream* stream = nullptr;
    raiseIfFailed(copyStreamToWorkFile(container, file, stream, payloadSize));

    ListingBox box;
    header h;
    for (int32_t i = 1; i <= container.trailer.entryCount; ++i) {
        readEntryHeader(stream, h);
        if (windowedBuild)
            addToListingBox(box, entryLine(h, true));
        else
            writeEntryLine(standardOutput, h, true);
        // A file whose content the stream cannot deliver in full makes the
        // listing wrong from here on, as it makes extraction fail.
        if (!isKind(h, 'f'))
            continue;
        int64_t delivered = 0;
        raiseIfFailed(skipGz(stream, h.dataLength, delivered));
        if (delivered < h.dataLength)
            failWithIoCode(ioReadPastEnd);
    }
    raiseIfFailed(finishEntryStream(container, stream));
    // Shown only once the whole stream proved sound: a damaged file shows
    // its failure instead.
    if (windowedBuild)
        showMessageBox(listingBoxText(box), fileNamePart(container.path));
}
