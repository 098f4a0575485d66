#include "unpack/container.h"

#include <cstring>

#include <zlib.h>

#include "core/gzip/gzstream.h"
#include "core/container/image.h"
#include "core/bytes/littleendian.h"
#include "core/bytes/filecopy.h"
#include "runtime/base/iocodes.h"
#include "runtime/fs/textfile.h"


namespace {

// What the open file is: its trailer read into container, and its image
// looked at as a whole when no trailer was found.
uint16_t classifyContainer(BinaryFile& file, Container& container, ContainerKind& kind)
{
    container.end = fileSize(file);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    kind = ContainerKind::unpacked;
    if (container.end < tailSize)
        return 0;
    // Only a signed PE file keeps its trailer anywhere but at the end; the
    // whole layout, ELF tables included, matters only for a file without
    // a trailer.
    ImageLayout layout;
    if (const uint16_t code = readImageLayout(file, layout, true); code != 0)
        return code;
    if (const uint16_t code = readTrailerFrom(file, layout, container.trailer, container.end); code != 0)
        return code;
    if (!isPackedTrailer(container.trailer)) {
        seekFile(file, 0);
        if (const uint16_t code = readImageLayout(file, layout); code != 0)
            return code;
        const ImageFit fit = imageFit(layout);
        if (fit == ImageFit::longer || fit == ImageFit::cut)
            kind = ContainerKind::cut;
        return 0;
    }
    kind = trailerSeal(container.trailer) == TrailerSeal::broken ? ContainerKind::brokenSeal : ContainerKind::packed;
    return 0;
}

} // namespace

uint16_t readContainer(std::string_view path, Container& container, ContainerKind& kind)
{
    container.path.assign(path);
    container.trailer = tail{};
    kind = ContainerKind::unpacked;
    // Only a regular file is read (a FIFO named by the packer's --list
    // would wait for a writer); one too short for a trailer has none.
    BinaryFile file;
    assignFile(file, path);
    openRegularFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    return closeFileAfter(file, classifyContainer(file, container, kind));
}

bool isEmptyContainer(const Container& container)
{
    return container.trailer.gzLength == 0 && container.trailer.entryCount <= 0;
}

uint16_t openContainerFile(const Container& container, BinaryFile& file, int32_t& stubLength)
{
    assignFile(file, container.path);
    openFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    const int32_t size = container.end;
    const int32_t gzLength = container.trailer.gzLength;
    // Entries need a stream of at least a gzip member's two magic bytes.
    if (gzLength < 0 || gzLength > size - tailSize || (gzLength < 2 && !isEmptyContainer(container))) {
        closeFile(file);
        ioResult();
        return ioReadPastEnd;
    }
    stubLength = size - gzLength - tailSize;
    return 0;
}

bool cacheKeyOf(const tail& trailer, std::string_view& key)
{
    std::string_view option;
    return findTrailerRecord(trailer, cacheOptionTag, option) && findTrailerRecord(trailer, streamKeyTag, key) &&
           key.size() == sha256Size;
}

namespace {

// Copies the stream into the work file (work, created at workFile), the
// executable open; the CRC-32 and, with checkKey, the SHA-256 of what was
// copied must be the trailer's.
uint16_t copyStreamBytes(const Container& container, BinaryFile& executable, const std::string& workFile,
                         BinaryFile& work, uint32_t& payloadSize, bool checkKey)
{
    unsigned char magic[2];
    readBlock(executable, magic, sizeof magic);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    if (magic[0] != 0x1F || magic[1] != 0x8B)
        return ioInvalidInput;
    assignFile(work, workFile);
    createFile(work, 1);
    writeBlock(work, magic, sizeof magic);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    // The packer's CRC-32 of the stored stream, when it recorded one: the
    // copy computes the stream's own as it goes, and a damaged file is
    // refused below, before any entry is read, let alone run.
    uint32_t stored = 0;
    const bool checked = storedStreamCrc(container.trailer, stored);
    uint32_t crc = static_cast<uint32_t>(crc32(0, magic, sizeof magic));
    std::string_view key;
    checkKey = checkKey && cacheKeyOf(container.trailer, key);
    Sha256 sha;
    startSha256(sha);
    feedSha256(sha, magic, sizeof magic);
    uint32_t* const crcOfCopy = checked || checkKey ? &crc : nullptr;
    Sha256* const shaOfCopy = checkKey ? &sha : nullptr;
    const auto copy = [&](int32_t n) { return copyFileToFile(executable, work, n, crcOfCopy, shaOfCopy); };
    // The last four bytes, the member's length field, are copied on their
    // own and kept: the launch decides by it whether writer threads pay.
    const int32_t gzLength = container.trailer.gzLength;
    constexpr int32_t lengthField = 4;
    if (gzLength < 2 + lengthField) {
        if (const uint16_t code = copy(gzLength - 2); code != 0)
            return code;
    } else {
        if (const uint16_t code = copy(gzLength - 2 - lengthField); code != 0)
            return code;
        unsigned char length[lengthField];
        readBlock(executable, length, lengthField);
        writeBlock(work, length, lengthField);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        crc = static_cast<uint32_t>(crc32(crc, length, lengthField));
        feedSha256(sha, length, lengthField);
        payloadSize = loadLittleEndian32(length);
    }
    if (checked && stored != crc)
        return ioInvalidInput;
    if (checkKey) {
        unsigned char digest[sha256Size];
        finishSha256(sha, digest);
        if (std::memcmp(digest, key.data(), sha256Size) != 0)
            return ioInvalidInput;
    }
    return 0;
}

} // namespace

uint16_t copyStreamToWorkFile(const Container& container, BinaryFile& executable, const std::string& workFile,
                              GzStream*& stream, uint32_t& payloadSize, bool checkKey, int threads)
{
    stream = nullptr;
    payloadSize = 0;
    // The entry stream is always one gzip member. The gzip layer reads any
    // other bytes as they stand, which would turn a gzLength that is off by a
    // few bytes into garbage entries and a normal end; such a stream is
    // refused as damaged before any entry is read. Its first two bytes are
    // checked on their way into the work file. No stream at all, with no
    // entries to go with it, is an empty container: there is nothing to do.
    if (isEmptyContainer(container))
        return closeFileAfter(executable, 0);
    BinaryFile work;
    uint16_t code = copyStreamBytes(container, executable, workFile, work, payloadSize, checkKey);
    code = closeFileAfter(work, code);
    code = closeFileAfter(executable, code);
    if (code != 0)
        return code;
    uint16_t openFailure = 0;
    stream = openGz(workFile, "r", threads, &openFailure);
    if (stream == nullptr)
        return openFailure != 0 ? openFailure : uint16_t{ioNotOpenForInput};
    // A member followed by its segment index keeps its length field before
    // the index: the reader of the segments has it.
    storedMemberLength(stream, payloadSize);
    return 0;
}

uint16_t openEntryStreamOf(const Container& container, const std::string& workFile, GzStream*& stream,
                           uint32_t& payloadSize, bool checkKey, int threads)
{
    stream = nullptr;
    BinaryFile executable;
    int32_t stubLength = 0;
    if (const uint16_t code = openContainerFile(container, executable, stubLength); code != 0)
        return code;
    seekFile(executable, stubLength);
    if (const uint16_t code = ioResult(); code != 0)
        return closeFileAfter(executable, code);
    return copyStreamToWorkFile(container, executable, workFile, stream, payloadSize, checkKey, threads);
}

uint16_t entryHeaderFault(GzStream* stream, header& h)
{
    const int32_t got = readGz(stream, &h, headerSize);
    if (got < 0)
        return ioInvalidInput;
    if (got != headerSize)
        return ioReadPastEnd;
    if (h.dataLength < 0 && isKind(h, 'f'))
        return ioInvalidInput;
    return 0;
}

uint16_t finishEntryStream(const Container& container, GzStream* stream)
{
    if (stream == nullptr && isEmptyContainer(container))
        return 0;
    // The entries must use up the member exactly: one more read reaches the
    // member's trailer and checks its CRC-32 and length. Entry data left
    // over (an entryCount too small) is refused like a damaged stream; bytes
    // after the member are not looked at.
    const bool atEnd = endsAtFirstMember(stream);
    const int status = closeGz(stream);
    if (atEnd)
        return 0;
    return status == gzBufferError ? ioReadPastEnd : ioInvalidInput;
}

bool isKind(const header& h, char kind)
{
    return h.kind.length == 1 && h.kind.bytes[0] == kind;
}

std::string entryLine(const header& h, bool withFileSize)
{
    std::string line(h.kind.view());
    line += ' ';
    line += h.text.view();
    if (withFileSize && isKind(h, 'f')) {
        line += " (";
        line += std::to_string(h.dataLength);
        line += ')';
    }
    return line;
}

uint16_t writeEntryLine(TextFile& out, const header& h, bool withFileSize)
{
    writeForeignText(out, entryLine(h, withFileSize));
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    writeLine(out);
    return ioResult();
}
