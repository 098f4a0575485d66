/* Helper of pack_bench.sh.
 *
 *   pack_bench_tool gen FILE MB
 *       writes MB megabytes (10^6 bytes) of deterministic mixed data: runs of
 *       text-like lines, of repeated structures and of pseudo-random bytes,
 *       so that the file compresses roughly like an application payload.
 *   pack_bench_tool deflate OUT [FILE...]
 *       the baseline: one bare zlib raw deflate stream (level -1 = 6, window
 *       bits -15, memory level 8, default strategy) of the contents of the
 *       files, in order, written to OUT. With no FILE the file names come one
 *       per line from standard input. Reads in 100000-byte blocks, like the
 *       packer.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

enum { inputBlock = 100000, outputBlock = 16384 };

static void die(const char* what, const char* name)
{
    fprintf(stderr, "pack_bench_tool: %s %s\n", what, name ? name : "");
    exit(1);
}

static unsigned int state = 12345u;
static unsigned int next(void)
{
    state = state * 1664525u + 1013904223u;
    return state;
}

static int generate(const char* path, long megabytes)
{
    static const char* words[] = {"import", "return", "self", "value", "packed", "launcher", "stream",
                                  "directory", "entry", "header", "the", "of", "and", "file", "(", ")",
                                  ":", "=", "0", "1", "None", "def", "class", "if", "else"};
    const long long total = megabytes * 1000000LL;
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
    return 0;
}

static z_stream z;
static FILE* output;
static unsigned char inBuffer[inputBlock];
static unsigned char outBuffer[outputBlock];

static void pump(int flush)
{
    do {
        z.next_out = outBuffer;
        z.avail_out = outputBlock;
        deflate(&z, flush);
        const size_t n = outputBlock - z.avail_out;
        if (n && fwrite(outBuffer, 1, n, output) != n)
            die("cannot write", "output");
    } while (z.avail_out == 0);
}

static void deflateFile(const char* path)
{
    FILE* in = fopen(path, "rb");
    if (!in)
        die("cannot open", path);
    size_t n;
    while ((n = fread(inBuffer, 1, inputBlock, in)) > 0) {
        z.next_in = inBuffer;
        z.avail_in = (uInt)n;
        pump(Z_NO_FLUSH);
    }
    fclose(in);
}

static int deflateFiles(const char* outPath, int count, char** paths)
{
    output = fopen(outPath, "wb");
    if (!output)
        die("cannot create", outPath);
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        die("deflateInit2 failed", NULL);
    if (count > 0) {
        for (int i = 0; i < count; ++i)
            deflateFile(paths[i]);
    } else {
        char line[4096];
        while (fgets(line, sizeof line, stdin)) {
            line[strcspn(line, "\n")] = 0;
            if (*line)
                deflateFile(line);
        }
    }
    z.next_in = inBuffer;
    z.avail_in = 0;
    pump(Z_FINISH);
    deflateEnd(&z);
    if (fclose(output) != 0)
        die("cannot close", outPath);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "gen") == 0)
        return generate(argv[2], atol(argv[3]));
    if (argc >= 3 && strcmp(argv[1], "deflate") == 0)
        return deflateFiles(argv[2], argc - 3, argv + 3);
    fprintf(stderr, "usage: pack_bench_tool gen FILE MB | deflate OUT [FILE...]\n");
    return 2;
}
