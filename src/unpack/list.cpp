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

namespace {

// One line per entry, to standard output or into the box. A file whose
// content the stream cannot deliver in full makes the listing wrong from
// here on, as it makes extraction fail.
uint16_t listEntries(const Container& container, GzStream* stream, ListingBox& box)
{
    header h;
    for (int32_t i = 1; i <= container.trailer.entryCount; ++i) {
        if (const uint16_t code = entryHeaderFault(stream, h); code != 0)
            return code;
        if (windowedBuild)
            addToListingBox(box, entryLine(h, true));
        else if (const uint16_t code = writeEntryLine(standardOutput, h, true); code != 0)
            return code;
        if (!isKind(h, 'f'))
            continue;
        int64_t delivered = 0;
        if (const uint16_t code = skipGz(stream, h.dataLength, delivered); code != 0)
            return code;
        if (delivered < h.dataLength)
            return ioReadPastEnd;
    }
    return 0;
}

uint16_t listContainer(const Container& container, const std::string& workFile, ListingBox& box)
{
    uint32_t payloadSize = 0;
    GzStream* stream = nullptr;
    if (const uint16_t code = openEntryStreamOf(container, workFile, stream, payloadSize); code != 0)
        return code;
    OwnedGzStream owned(stream);
    if (const uint16_t code = listEntries(container, stream, box); code != 0)
        return code;
    return finishEntryStream(container, owned.release());
}

} // namespace

void listMode(const Container& container, const std::string& workFile)
{
    ListingBox box;
    raiseIfFailed(listContainer(container, workFile, box));
    // Shown only once the whole stream proved sound: a damaged file shows
    // its failure instead.
    if (windowedBuild)
        showMessageBox(listingBoxText(box), fileNamePart(container.path));
}
