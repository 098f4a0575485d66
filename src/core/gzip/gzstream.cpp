// The gzip stream layer: one gzip member over a file opened with a record
// size of one byte. The member framing (header, CRC-32, length) is written
// and checked here; zlib does only the raw deflate and inflate, and writing
// deflates in blocks on every core (core/gzparallel).
#include "core/gzip/gzstream.h"

#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

#include "core/gzip/gzparallel.h"
#include "core/gzip/gzsegments.h"
#include "core/gzip/segmentindex.h"
#include "core/bytes/littleendian.h"
#include "runtime/fs/files.h"
#include "runtime/signals/stopsignals.h"

namespace {

constexpr uInt bufferSize = 16384;

// ID1 ID2 CM FLG, MTIME 0, XFL 0, OS 0.
constexpr unsigned char memberHeader[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0};

constexpr int flagHeaderCrc = 0x02;
constexpr int flagExtra = 0x04;
constexpr int flagName = 0x08;
constexpr int flagComment = 0x10;
constexpr int flagsReserved = 0xE0;

constexpr int endOfInput = -1;

} // namespace

struct GzStream {
    char mode = 0;             // 'r' or 'w'
    bool endOfFile = false;    // a read of the file delivered 0 bytes
    bool transparent = false;  // reading a file that is not gzip
    int status = gzOk;
    // The I/O code of the first file operation that failed where the stream
    // has no status of its own for it (writing; reading a file that is not
    // gzip); 0 when none did.
    uint16_t failure = 0;
    uint32_t crc = 0;
    // Reading: bytes delivered so far, and how many of them the first member
    // held once its trailer was read and found right (-1 before).
    // Writing: bytes taken so far.
    int64_t delivered = 0;
    int64_t firstMemberLength = -1;
    BinaryFile file;
    z_stream z{};  // reading
    BlockDeflater* deflater = nullptr;  // writing
    // Reading a member that carries a segment index, with threads: its
    // segments come from here, inflated side by side.
    SegmentReader* segments = nullptr;
    // Reading: compressed bytes not yet inflated.
    unsigned char buffer[bufferSize];
};

namespace {

void noteEndOfFile(GzStream& s)
{
    s.endOfFile = true;
    if (ioResult() != 0)
        s.status = gzFileError;
}

// Refills the empty input buffer. A read that delivers nothing marks the end
// of the file (and a failed read the file error).
void refillInput(GzStream& s)
{
    const int32_t got = readCounted(s.file, s.buffer, bufferSize);
    s.z.next_in = s.buffer;
    s.z.avail_in = got > 0 ? static_cast<uInt>(got) : 0;
    if (got <= 0)
        noteEndOfFile(s);
}

// Makes two bytes visible for the magic test, keeping a single leftover byte
// in front of the new ones, so a header that starts in the last byte of the
// buffer is still seen whole.
void lookAhead(GzStream& s)
{
    while (s.z.avail_in < 2 && !s.endOfFile) {
        if (s.z.avail_in == 1)
            s.buffer[0] = s.z.next_in[0];
        s.z.next_in = s.buffer;
        const int32_t got = readCounted(s.file, s.buffer + s.z.avail_in, bufferSize - s.z.avail_in);
        if (got <= 0)
            noteEndOfFile(s);
        else
            s.z.avail_in += static_cast<uInt>(got);
    }
}

int takeByte(GzStream& s)
{
    if (s.endOfFile)
        return endOfInput;
    if (s.z.avail_in == 0) {
        refillInput(s);
        if (s.endOfFile)
            return endOfInput;
    }
    --s.z.avail_in;
    return *s.z.next_in++;
}

// Four bytes, least significant first; end of file gives endOfInput.
int64_t takeLittleEndian32(GzStream& s)
{
    uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const int c = takeByte(s);
        if (c == endOfInput)
            return endOfInput;
        value |= static_cast<uint32_t>(c) << shift;
    }
    return value;
}

void skipThroughZero(GzStream& s)
{
    int c;
    do
        c = takeByte(s);
    while (c != 0 && c != endOfInput);
}

// Keeps a file error that a failed read already recorded.
void settle(GzStream& s, int status)
{
    if (s.status != gzFileError)
        s.status = status;
}

// Reads a member header at the current input position. Bytes that do not
// start with the gzip magic are left in the buffer and the rest of the file
// is read as it stands.
void readMemberHeader(GzStream& s)
{
    lookAhead(s);
    if (s.z.avail_in == 0) {
        settle(s, gzStreamEnd);
        return;
    }
    if (s.z.next_in[0] != 0x1F || (s.z.avail_in >= 2 && s.z.next_in[1] != 0x8B)) {
        s.transparent = true;
        settle(s, gzOk);
        return;
    }
    if (s.z.avail_in == 1) {  // a lone 0x1F at the end of the file
        settle(s, gzOk);
        return;
    }
    s.z.next_in += 2;
    s.z.avail_in -= 2;

    const int method = takeByte(s);
    const int flags = takeByte(s);
    if (method != Z_DEFLATED || flags == endOfInput || (flags & flagsReserved) != 0) {
        s.status = gzDataError;
        return;
    }
    for (int i = 0; i < 6; ++i)  // MTIME, XFL, OS
        takeByte(s);
    if (flags & flagExtra) {
        const int low = takeByte(s);
        const int high = takeByte(s);
        if (low != endOfInput && high != endOfInput)
            for (int length = low | high << 8; length > 0 && takeByte(s) != endOfInput; --length) {
            }
    }
    if (flags & flagName)
        skipThroughZero(s);
    if (flags & flagComment)
        skipThroughZero(s);
    if (flags & flagHeaderCrc) {
        takeByte(s);
        takeByte(s);
    }
    s.status = s.endOfFile ? gzDataError : gzOk;
}

// After the end of the deflate data: the member trailer must carry the CRC-32
// and the length of what was inflated. A further member may follow.
// memberEnd is the delivered count at which the member's data ended.
void finishMemberRead(GzStream& s, int64_t memberEnd)
{
    const int64_t crc = takeLittleEndian32(s);
    const int64_t length = takeLittleEndian32(s);
    if (crc == endOfInput || length == endOfInput || static_cast<uint32_t>(crc) != s.crc ||
        static_cast<uint32_t>(length) != static_cast<uint32_t>(s.z.total_out)) {
        s.status = gzDataError;
        return;
    }
    if (s.firstMemberLength < 0)
        s.firstMemberLength = memberEnd;
    readMemberHeader(s);
    if (s.status == gzOk && !s.transparent) {
        inflateReset(&s.z);
        s.crc = 0;
    }
}

int32_t readTransparent(GzStream& s, int32_t count)
{
    uInt n = s.z.avail_in < s.z.avail_out ? s.z.avail_in : s.z.avail_out;
    if (n > 0) {
        std::memcpy(s.z.next_out, s.z.next_in, n);
        s.z.next_out += n;
        s.z.avail_out -= n;
        s.z.next_in += n;
        s.z.avail_in -= n;
    }
    if (s.z.avail_out > 0) {
        const int32_t got = readCounted(s.file, s.z.next_out, static_cast<int32_t>(s.z.avail_out));
        if (const uint16_t code = ioResult(); code != 0) {
            s.failure = code;
            s.status = gzFileError;
            return gzFileError;
        }
        if (got > 0) {
            s.z.next_out += got;
            s.z.avail_out -= static_cast<uInt>(got);
        }
    }
    return count - static_cast<int32_t>(s.z.avail_out);
}

// Writes bytes of the member; false when that failed, the code kept in the
// stream. A write that took fewer bytes than given without failing means
// the disk is full: the member would be broken and its writer (the packer)
// would still produce an output file that looks whole.
bool writeMemberBytes(GzStream& s, const void* bytes, int32_t count)
{
    const int32_t written = writeCounted(s.file, bytes, count);
    uint16_t code = ioResult();
    if (code == 0 && written != count)
        code = ioDiskFull;
    if (code != 0 && s.failure == 0)
        s.failure = code;
    return code == 0;
}

// Writes deflated bytes as the deflater hands them out, in stream order; a
// failed or short write stops the deflater (the finished member is all the
// packer's output is made of).
bool writeDeflated(void* context, const unsigned char* bytes, int32_t count)
{
    return writeMemberBytes(*static_cast<GzStream*>(context), bytes, count);
}

bool writeLittleEndian32(GzStream& s, uint32_t value)
{
    unsigned char bytes[4];
    storeLittleEndian32(bytes, value);
    return writeMemberBytes(s, bytes, sizeof bytes);
}

// A member of more than one segment is followed by the segment index, so
// that a reader can inflate its segments side by side; readers that do not
// know it stop at the member's end. Starts count from the member's first
// byte: the deflate data begins after the header.
void writeSegmentIndex(GzStream& s)
{
    const int32_t count = deflatedSegments(s.deflater);
    if (count < 2)
        return;
    std::vector<int64_t> starts;
    for (int32_t k = 0; k < count; ++k)
        starts.push_back(static_cast<int64_t>(sizeof memberHeader) + segmentStart(s.deflater, k));
    const std::string record = encodeSegmentIndex(segmentSize, starts);
    writeMemberBytes(s, record.data(), static_cast<int32_t>(record.size()));
}

// Ends the deflate data and appends CRC-32 and length, then the segment
// index. A block that failed to deflate, or a failed write, leaves the rest
// out and its status in the stream.
void finishMemberWrite(GzStream& s)
{
    if (s.failure == 0)
        s.status = finishBlocks(s.deflater);
    if (s.status != gzOk || s.failure != 0)
        return;
    if (writeLittleEndian32(s, s.crc) && writeLittleEndian32(s, static_cast<uint32_t>(s.delivered)))
        writeSegmentIndex(s);
}

} // namespace

GzStream* openGz(std::string_view path, std::string_view mode, int threads, uint16_t* failure)
{
    if (path.empty() || mode.empty())
        return nullptr;
    char direction = 0;
    int level = Z_DEFAULT_COMPRESSION;
    int strategy = Z_DEFAULT_STRATEGY;
    for (const char c : mode) {
        if (c == 'r' || c == 'w')
            direction = c;
        else if (c >= '0' && c <= '9')
            level = c - '0';
        else if (c == 'f')
            strategy = Z_FILTERED;
        else if (c == 'h')
            strategy = Z_HUFFMAN_ONLY;
    }
    if (direction == 0)
        return nullptr;

    GzStream* s = new GzStream;
    s->mode = direction;
    const bool writing = direction == 'w';
    int init;
    if (writing) {
        s->deflater = openBlockDeflater(level, strategy, threads, writeDeflated, s);
        init = s->deflater != nullptr ? Z_OK : Z_MEM_ERROR;
    } else {
        s->z.next_in = s->buffer;
        s->z.avail_in = 0;
        init = inflateInit2(&s->z, -MAX_WBITS);
    }
    if (init != Z_OK) {
        delete s;
        return nullptr;
    }

    // Writing always starts a new file: an existing one is replaced rather
    // than overwritten in place, which would leave its old tail behind.
    assignFile(s->file, path);
    if (writing)
        createFile(s->file, 1);
    else
        openFile(s->file, 1);
    if (const uint16_t code = ioResult(); code != 0) {
        if (failure != nullptr)
            *failure = code;
        if (writing)
            closeBlockDeflater(s->deflater);
        else
            inflateEnd(&s->z);
        delete s;
        return nullptr;
    }

    if (writing) {
        if (!writeMemberBytes(*s, memberHeader, sizeof memberHeader))
            s->status = gzFileError;
        return s;
    }
    readMemberHeader(*s);
    if (threads >= 2 && s->status == gzOk && openSegmentReader(path, threads, s->segments) == SegmentOpen::damaged)
        s->status = gzDataError;
    return s;
}

int32_t writeGz(GzStream* stream, const void* buffer, int32_t count)
{
    if (stream == nullptr || stream->mode != 'w')
        return gzStreamError;
    GzStream& s = *stream;
    if (count <= 0 || s.failure != 0)
        return 0;
    s.status = writeBlocks(s.deflater, buffer, count);
    s.crc = static_cast<uint32_t>(crc32(s.crc, static_cast<const Bytef*>(buffer), static_cast<uInt>(count)));
    s.delivered += count;
    return s.status == gzOk ? count : 0;
}

namespace {

int32_t inflateInto(GzStream& s, void* buffer, int32_t count)
{
    Bytef* const start = static_cast<Bytef*>(buffer);
    Bytef* crcFrom = start;
    s.z.next_out = start;
    s.z.avail_out = static_cast<uInt>(count);
    while (s.z.avail_out != 0) {
        if (s.transparent)
            return readTransparent(s, count);
        if (s.z.avail_in == 0 && !s.endOfFile) {
            refillInput(s);
            if (s.status == gzFileError)
                break;
        }
        s.status = inflate(&s.z, Z_NO_FLUSH);
        if (s.status == Z_STREAM_END) {
            s.crc = static_cast<uint32_t>(crc32(s.crc, crcFrom, static_cast<uInt>(s.z.next_out - crcFrom)));
            crcFrom = s.z.next_out;
            finishMemberRead(s, s.delivered + (s.z.next_out - start));
        }
        if (s.status != gzOk || s.endOfFile)
            break;
    }
    s.crc = static_cast<uint32_t>(crc32(s.crc, crcFrom, static_cast<uInt>(s.z.next_out - crcFrom)));
    return static_cast<int32_t>(s.z.next_out - start);
}

// Reads from the segments; the end of the last one is the member's end,
// its CRC-32 and length already checked.
int32_t readFromSegments(GzStream& s, void* buffer, int32_t count)
{
    const int32_t got = readSegments(s.segments, buffer, count);
    if (got < 0) {
        s.failure = stopRequestCode();
        s.status = gzDataError;
        return gzFileError;
    }
    s.delivered += got;
    if (segmentStatus(s.segments) == segmentsEnd) {
        s.status = gzStreamEnd;
        s.firstMemberLength = s.delivered;
    }
    return got;
}

} // namespace

int32_t readGz(GzStream* stream, void* buffer, int32_t count)
{
    if (stream == nullptr || stream->mode != 'r')
        return gzStreamError;
    GzStream& s = *stream;
    if (s.status == gzDataError || s.status == gzFileError)
        return gzFileError;
    if (s.status == gzStreamEnd || count <= 0)
        return 0;
    if (s.segments != nullptr)
        return readFromSegments(s, buffer, count);
    const int32_t got = inflateInto(s, buffer, count);
    if (got > 0)
        s.delivered += got;
    return got;
}

bool storedMemberLength(GzStream* stream, uint32_t& length)
{
    if (stream == nullptr || stream->segments == nullptr)
        return false;
    length = segmentedMemberLength(stream->segments);
    return true;
}

bool endsAtFirstMember(GzStream* stream)
{
    if (stream == nullptr || stream->mode != 'r')
        return false;
    const int64_t before = stream->delivered;
    char probe;
    if (readGz(stream, &probe, 1) < 0)
        return false;
    return stream->firstMemberLength == before;
}

uint16_t gzFailure(const GzStream* stream)
{
    return stream != nullptr ? stream->failure : 0;
}

int closeGz(GzStream* stream, uint16_t* failure)
{
    if (stream == nullptr)
        return gzStreamError;
    GzStream& s = *stream;
    int endStatus;
    if (s.mode == 'w') {
        finishMemberWrite(s);
        closeBlockDeflater(s.deflater);
        endStatus = gzOk;
    } else {
        endStatus = inflateEnd(&s.z);
        closeSegmentReader(s.segments);
    }
    // A failure still pending from the last writes would make closeFile do
    // nothing and leave the file open: it is taken first, then the file is
    // closed in any case.
    bool closeFailed = ioResult() != 0;
    closeFile(s.file);
    if (ioResult() != 0)
        closeFailed = true;
    const int status = s.status;
    const uint16_t writeFailure = s.failure;
    if (failure != nullptr)
        *failure = writeFailure;
    delete stream;
    if (status < 0)
        return status;
    if (writeFailure != 0)
        return gzFileError;
    if (closeFailed)
        return gzFileError;
    return endStatus;
}

void discardGz(GzStream* s)
{
    if (s == nullptr)
        return;
    if (s->mode == 'w') {
        closeBlockDeflater(s->deflater);
    } else {
        inflateEnd(&s->z);
        closeSegmentReader(s->segments);
    }
    ioResult();
    closeFile(s->file);
    ioResult();
    delete s;
}

void GzStreamCloser::operator()(GzStream* stream) const
{
    discardGz(stream);
}
