/* The floor of the benchmarks: the least work that any packer or launcher of
 * this container format can do, written with bare zlib and stdio.
 *
 *   zlib_floor gen FILE MIB
 *       writes MIB mebibytes of deterministic mixed data: runs of text-like
 *       lines, of table-like records and of pseudo-random bytes, so that the
 *       file compresses roughly like an application payload.
 *   zlib_floor pack OUT LIST
 *       builds the same uncompressed entry stream that zop writes (one
 *       264-byte header per entry, each file's bytes right after its header)
 *       and deflates it into OUT as one gzip member: raw deflate level 6,
 *       window bits -15, memory level 8, default strategy, CRC-32, input in
 *       100000-byte pieces, output through a 16384-byte buffer. LIST holds
 *       the entries in stream order, in the format zop --zop-list prints
 *       ("d NAME", "f NAME (SIZE)", "c TEXT", "t TEXT"); names use "\" and
 *       are opened relative to the current directory.
 *   zlib_floor unpack IN DIR
 *       inflates IN back and recreates its directories and files under DIR
 *       (which must exist), through the same buffer sizes; commands are not
 *       run. The launch floor is this plus running the command and removing
 *       DIR.
 *
 * Failures print a line on stderr and exit with 1. Builds with gcc for Linux
 * and with mingw-w64 for Windows (run under Wine there).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

#ifdef _WIN32
#include <direct.h>
#define makeDirectory(path) _mkdir(path)
#define separator '\\'
#else
#define makeDirectory(path) mkdir(path, 0777)
#define separator '/'
#endif

enum { inputBlock = 100000, outputBlock = 16384, headerSize = 264, textCapacity = 255 };

static void die(const char* what, const char* name)
{
    fprintf(stderr, "zlib_floor: %s %s\n", what, name ? name : "");
    exit(1);
}

/* ------------------------------------------------------------------ gen */

static unsigned int state = 12345u;
static unsigned int next(void)
{
    state = state * 1664525u + 1013904223u;
    return state;
}

static void generate(const char* path, long mebibytes)
{
    static const char* words[] = {"import", "return", "self", "value", "packed", "launcher", "stream",
                                  "directory", "entry", "header", "the", "of", "and", "file", "(", ")",
                                  ":", "=", "0", "1", "None", "def", "class", "if", "else"};
    const long long total = mebibytes * 1048576LL;
    FILE* out = fopen(path, "wb");
    if (!out)
        die("cannot create", path);
    static unsigned char block[1 << 16];
    long long written = 0;
    while (written < total) {
        size_t n = 0;
        const unsigned int kind = next() >> 29; /* high bits: the low ones cycle */
        if (kind < 4) { /* text-like lines */
            while (n < sizeof block - 32) {
                const char* w = words[(next() >> 8) % (sizeof words / sizeof *words)];
                const size_t len = strlen(w);
                memcpy(block + n, w, len);
                n += len;
                block[n++] = (next() >> 12) % 9 == 0 ? '\n' : ' ';
            }
        } else if (kind < 6) { /* table-like records with small numbers */
            while (n < sizeof block - 16) {
                const unsigned int r = next();
                block[n++] = 0;
                block[n++] = (unsigned char)(r >> 24 & 0x0F);
                block[n++] = (unsigned char)(r >> 16);
                block[n++] = 0;
                memcpy(block + n, "REC\x01", 4);
                n += 4;
            }
        } else { /* incompressible */
            while (n < sizeof block - 4) {
                const unsigned int r = next();
                memcpy(block + n, &r, 4);
                n += 4;
            }
        }
        if ((long long)n > total - written)
            n = (size_t)(total - written);
        if (fwrite(block, 1, n, out) != n)
            die("cannot write", path);
        written += (long long)n;
    }
    if (fclose(out) != 0)
        die("cannot close", path);
}

/* ------------------------------------------------------------------ pack */

static z_stream z;
static FILE* output;
static uLong crc;
static unsigned long long totalIn;
static unsigned char inBuffer[inputBlock];
static unsigned char outBuffer[outputBlock];

static void writeAll(const void* bytes, size_t n, FILE* to)
{
    if (n && fwrite(bytes, 1, n, to) != n)
        die("cannot write", "output");
}

static void deflatePiece(const unsigned char* bytes, size_t n, int flush)
{
    crc = crc32(crc, bytes, (uInt)n);
    totalIn += n;
    z.next_in = (Bytef*)bytes;
    z.avail_in = (uInt)n;
    do {
        z.next_out = outBuffer;
        z.avail_out = outputBlock;
        deflate(&z, flush);
        writeAll(outBuffer, outputBlock - z.avail_out, output);
    } while (z.avail_out == 0);
}

static void putLe32(unsigned char* at, unsigned long value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = (unsigned char)(value >> (8 * i));
}

static void fillHeader(unsigned char* header, char kind, const char* text, long dataLength)
{
    size_t length = strlen(text);
    if (length > textCapacity)
        length = textCapacity;
    memset(header, 0, headerSize);
    header[0] = 1;
    header[1] = (unsigned char)kind;
    header[2] = (unsigned char)length;
    memcpy(header + 3, text, length);
    putLe32(header + 260, (unsigned long)dataLength);
}

static void toLocalPath(char* path)
{
    for (char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/')
            *p = separator;
}

static void packFile(const char* name)
{
    char path[4096];
    snprintf(path, sizeof path, "%s", name);
    toLocalPath(path);
    FILE* in = fopen(path, "rb");
    if (!in)
        die("cannot open", path);
    fseek(in, 0, SEEK_END);
    const long size = ftell(in);
    fseek(in, 0, SEEK_SET);
    unsigned char header[headerSize];
    fillHeader(header, 'f', name, size);
    deflatePiece(header, headerSize, Z_NO_FLUSH);
    size_t n;
    while ((n = fread(inBuffer, 1, inputBlock, in)) > 0)
        deflatePiece(inBuffer, n, Z_NO_FLUSH);
    fclose(in);
}

/* Splits one list line into kind and text; for "f NAME (SIZE)" the size
 * suffix is dropped (the size is taken from the file itself). */
static int parseListLine(char* line, char* kind, char** text)
{
    line[strcspn(line, "\r\n")] = 0;
    if (line[0] == 0 || line[1] != ' ')
        return 0;
    *kind = line[0];
    *text = line + 2;
    if (*kind == 'f') {
        char* open = strrchr(*text, '(');
        if (open && open > *text && open[-1] == ' ')
            open[-1] = 0;
    }
    return 1;
}

static void pack(const char* outPath, const char* listPath)
{
    FILE* list = fopen(listPath, "rb");
    if (!list)
        die("cannot open", listPath);
    output = fopen(outPath, "wb");
    if (!output)
        die("cannot create", outPath);
    static const unsigned char gzipHeader[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 0};
    writeAll(gzipHeader, sizeof gzipHeader, output);
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        die("deflateInit2 failed", NULL);
    crc = crc32(0, Z_NULL, 0);
    char line[4096];
    while (fgets(line, sizeof line, list)) {
        char kind;
        char* text;
        if (!parseListLine(line, &kind, &text))
            continue;
        if (kind == 'f') {
            packFile(text);
        } else {
            unsigned char header[headerSize];
            fillHeader(header, kind, text, 0);
            deflatePiece(header, headerSize, Z_NO_FLUSH);
        }
    }
    fclose(list);
    deflatePiece(inBuffer, 0, Z_FINISH);
    deflateEnd(&z);
    unsigned char trailer[8];
    putLe32(trailer, crc);
    putLe32(trailer + 4, (unsigned long)(totalIn & 0xffffffffu));
    writeAll(trailer, sizeof trailer, output);
    if (fclose(output) != 0)
        die("cannot close", outPath);
}

/* ------------------------------------------------------------------ unpack */

static FILE* input;
static int inputEnded;

/* Fills out with exactly n inflated bytes, or fewer at the end of the
 * stream. Compressed input is read 16384 bytes at a time. */
static size_t inflateBytes(unsigned char* out, size_t n)
{
    z.next_out = out;
    z.avail_out = (uInt)n;
    while (z.avail_out > 0 && !inputEnded) {
        if (z.avail_in == 0) {
            const size_t got = fread(outBuffer, 1, outputBlock, input);
            z.next_in = outBuffer;
            z.avail_in = (uInt)got;
            if (got == 0)
                break;
        }
        const int result = inflate(&z, Z_NO_FLUSH);
        if (result == Z_STREAM_END)
            inputEnded = 1;
        else if (result != Z_OK && result != Z_BUF_ERROR)
            die("damaged stream", NULL);
    }
    const size_t got = n - z.avail_out;
    crc = crc32(crc, out, (uInt)got);
    return got;
}

static long getLe32(const unsigned char* at)
{
    return (long)(int)((unsigned long)at[0] | (unsigned long)at[1] << 8 | (unsigned long)at[2] << 16 |
                       (unsigned long)at[3] << 24);
}

static void unpack(const char* inPath, const char* directory)
{
    input = fopen(inPath, "rb");
    if (!input)
        die("cannot open", inPath);
    unsigned char gzipHeader[10];
    if (fread(gzipHeader, 1, sizeof gzipHeader, input) != sizeof gzipHeader || gzipHeader[0] != 0x1f)
        die("not a gzip member:", inPath);
    if (inflateInit2(&z, -15) != Z_OK)
        die("inflateInit2 failed", NULL);
    crc = crc32(0, Z_NULL, 0);
    unsigned char header[headerSize];
    while (inflateBytes(header, headerSize) == headerSize) {
        char name[textCapacity + 1];
        memcpy(name, header + 3, header[2]);
        name[header[2]] = 0;
        char path[4096];
        snprintf(path, sizeof path, "%s%c%s", directory, separator, name);
        toLocalPath(path);
        if (header[1] == 'd') {
            if (makeDirectory(path) != 0)
                die("cannot create directory", path);
        } else if (header[1] == 'f') {
            FILE* out = fopen(path, "wb");
            if (!out)
                die("cannot create", path);
            long left = getLe32(header + 260);
            while (left > 0) {
                const size_t want = left < inputBlock ? (size_t)left : inputBlock;
                const size_t got = inflateBytes(inBuffer, want);
                writeAll(inBuffer, got, out);
                if (got < want)
                    die("short stream", inPath);
                left -= (long)got;
            }
            if (fclose(out) != 0)
                die("cannot close", path);
        }
    }
    inflateEnd(&z);
    fclose(input);
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "gen") == 0)
        generate(argv[2], atol(argv[3]));
    else if (argc == 4 && strcmp(argv[1], "pack") == 0)
        pack(argv[2], argv[3]);
    else if (argc == 4 && strcmp(argv[1], "unpack") == 0)
        unpack(argv[2], argv[3]);
    else {
        fprintf(stderr, "usage: zlib_floor gen FILE MIB | pack OUT LIST | unpack IN DIR\n");
        return 2;
    }
    return 0;
}
