// Throughput of the gzip stream layer against bare zlib calls with the same
// parameters (raw deflate level -1, window bits -15, memory level 8, default
// strategy, CRC-32) and the same buffer sizes (100000-byte transfer blocks,
// 16384-byte compressed buffers). The layer side goes through the transfer
// routines exactly as the packer and the unpacking modes do.
//
// Usage: gzbench [work directory] [size in MB]   (Linux)
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/gzip/gzstream.h"
#include "core/gzip/gzcopy.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "runtime/threads/threads.h"

namespace {

constexpr int blockSize = 100000;
constexpr int bufferSize = 16384;

// Process CPU time (user + system): the machine may be shared, and CPU time
// is far less disturbed by other work than wall time.
double now()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void die(const char* what)
{
    std::perror(what);
    std::exit(1);
}

// Deterministic mix of text-like runs and pseudo-random runs.
void makeInput(const std::string& path, int64_t size)
{
    static const char words[] = "the quick brown fox packs an application into one executable file; ";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        die("create input");
    std::vector<unsigned char> block(1 << 20);
    uint32_t x = 12345;
    int64_t written = 0;
    while (written < size) {
        std::size_t i = 0;
        while (i < block.size()) {
            x = x * 1664525u + 1013904223u;
            const std::size_t run = 100 + (x >> 19) % 4000;
            const bool text = (x >> 7) % 4 != 0;
            for (std::size_t j = 0; j < run && i < block.size(); ++j, ++i) {
                x = x * 1664525u + 1013904223u;
                block[i] = text ? static_cast<unsigned char>(words[(i + (x >> 29)) % (sizeof words - 1)])
                                : static_cast<unsigned char>(x >> 24);
            }
        }
        const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(size - written, block.size()));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n))
            die("write input");
        written += static_cast<int64_t>(n);
    }
    ::close(fd);
}

void writeAll(int fd, const void* p, std::size_t n)
{
    if (::write(fd, p, n) != static_cast<ssize_t>(n))
        die("write");
}

void put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void bareCompress(const std::string& in, const std::string& out)
{
    const int src = ::open(in.c_str(), O_RDONLY);
    const int dst = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (src < 0 || dst < 0)
        die("bare compress open");
    static unsigned char block[blockSize];
    static unsigned char outbuf[bufferSize];
    const unsigned char head[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0};
    writeAll(dst, head, sizeof head);
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    uLong crc = crc32(0, nullptr, 0);
    z.next_out = outbuf;
    z.avail_out = bufferSize;
    ssize_t got;
    int flush = Z_NO_FLUSH;
    do {
        got = ::read(src, block, blockSize);
        if (got < 0)
            die("read");
        crc = crc32(crc, block, static_cast<uInt>(got));
        z.next_in = block;
        z.avail_in = static_cast<uInt>(got);
        flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        int status;
        do {
            status = deflate(&z, flush);
            if (z.avail_out == 0 || (flush == Z_FINISH && status == Z_STREAM_END)) {
                writeAll(dst, outbuf, bufferSize - z.avail_out);
                z.next_out = outbuf;
                z.avail_out = bufferSize;
            }
        } while (z.avail_in != 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    } while (got != 0);
    unsigned char trailer[8];
    put32(trailer, static_cast<uint32_t>(crc));
    put32(trailer + 4, static_cast<uint32_t>(z.total_in));
    writeAll(dst, trailer, 8);
    deflateEnd(&z);
    ::close(src);
    ::close(dst);
}

void bareDecompress(const std::string& in, const std::string& out)
{
    const int src = ::open(in.c_str(), O_RDONLY);
    const int dst = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (src < 0 || dst < 0)
        die("bare decompress open");
    static unsigned char inbuf[bufferSize];
    static unsigned char block[blockSize];
    z_stream z{};
    inflateInit2(&z, -15);
    uLong crc = crc32(0, nullptr, 0);
    ssize_t got = ::read(src, inbuf, bufferSize);
    if (got < 10)
        die("short header");
    z.next_in = inbuf + 10;  // the fixed header of the layer's members
    z.avail_in = static_cast<uInt>(got - 10);
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        z.next_out = block;
        z.avail_out = blockSize;
        while (z.avail_out != 0 && status != Z_STREAM_END) {
            if (z.avail_in == 0) {
                got = ::read(src, inbuf, bufferSize);
                if (got <= 0)
                    die("truncated");
                z.next_in = inbuf;
                z.avail_in = static_cast<uInt>(got);
            }
            status = inflate(&z, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END)
                die("inflate");
        }
        const uInt n = blockSize - z.avail_out;
        crc = crc32(crc, block, n);
        writeAll(dst, block, n);
    }
    unsigned char trailer[8];
    std::size_t have = z.avail_in < 8 ? z.avail_in : 8;
    std::memcpy(trailer, z.next_in, have);
    if (have < 8 && ::read(src, trailer + have, 8 - have) != static_cast<ssize_t>(8 - have))
        die("trailer");
    uint32_t stored = 0;
    for (int i = 0; i < 4; ++i)
        stored |= static_cast<uint32_t>(trailer[i]) << (8 * i);
    if (stored != static_cast<uint32_t>(crc))
        die("crc");
    inflateEnd(&z);
    ::close(src);
    ::close(dst);
}

void layerCompress(const std::string& in, const std::string& out, int32_t size)
{
    ::unlink(out.c_str());
    BinaryFile src;
    assignFile(src, in);
    openFile(src, 1);
    checkIo();
    GzStream* gz = openGz(out, "w", threadCount());
    if (gz == nullptr)
        die("openGz w");
    copyFileToGz(src, gz, size);
    if (closeGz(gz) != 0)
        die("closeGz w");
    closeFile(src);
    checkIo();
}

void layerDecompress(const std::string& in, const std::string& out, int32_t size)
{
    GzStream* gz = openGz(in, "r");
    if (gz == nullptr)
        die("openGz r");
    BinaryFile dst;
    assignFile(dst, out);
    createFile(dst, 1);
    checkIo();
    copyGzToFile(gz, dst, size);
    closeFile(dst);
    checkIo();
    char probe;
    if (readGz(gz, &probe, 1) != 0 || closeGz(gz) != 0)
        die("layer stream end");
}

bool sameFiles(const std::string& a, const std::string& b)
{
    std::FILE* fa = std::fopen(a.c_str(), "rb");
    std::FILE* fb = std::fopen(b.c_str(), "rb");
    if (!fa || !fb)
        return false;
    static unsigned char ba[1 << 16], bb[1 << 16];
    bool same = true;
    for (;;) {
        const std::size_t na = std::fread(ba, 1, sizeof ba, fa);
        const std::size_t nb = std::fread(bb, 1, sizeof bb, fb);
        if (na != nb || std::memcmp(ba, bb, na) != 0) {
            same = false;
            break;
        }
        if (na == 0)
            break;
    }
    std::fclose(fa);
    std::fclose(fb);
    return same;
}

template <typename F>
double timed(F f)
{
    const double start = now();
    f();
    return now() - start;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/tmp/zop-gzbench";
    const int64_t mb = argc > 2 ? std::atoll(argv[2]) : 100;
    const int runs = 3;
    const int32_t size = static_cast<int32_t>(mb * 1000 * 1000);
    std::string cmd = "mkdir -p '" + dir + "'";
    if (std::system(cmd.c_str()) != 0)
        die("mkdir");
    fileOpenMode = 0;
    const std::string input = dir + "/input.bin";
    makeInput(input, size);

    // Runs alternate between the two sides so that drift in the machine's
    // speed hits both alike; the best run of each counts.
    double layerW = 1e30, bareW = 1e30, layerR = 1e30, bareR = 1e30;
    for (int i = 0; i < runs; ++i) {
        layerW = std::min(layerW, timed([&] { layerCompress(input, dir + "/layer.gz", size); }));
        bareW = std::min(bareW, timed([&] { bareCompress(input, dir + "/bare.gz"); }));
    }
    for (int i = 0; i < runs; ++i) {
        layerR = std::min(layerR, timed([&] { layerDecompress(dir + "/layer.gz", dir + "/layer.out", size); }));
        bareR = std::min(bareR, timed([&] { bareDecompress(dir + "/bare.gz", dir + "/bare.out"); }));
    }

    const bool sameOut = sameFiles(dir + "/layer.out", input) && sameFiles(dir + "/bare.out", input);
    std::FILE* f = std::fopen((dir + "/layer.gz").c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const long gzSize = std::ftell(f);
    std::fclose(f);
    f = std::fopen((dir + "/bare.gz").c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const long bareSize = std::ftell(f);
    std::fclose(f);

    const double m = static_cast<double>(size) / 1e6;
    std::printf("input %.0f MB, compressed %.1f MB (%.1f%%), best of %d runs, CPU time\n", m, gzSize / 1e6,
                100.0 * gzSize / size, runs);
    std::printf("compress    layer %7.1f MB/s   bare zlib %7.1f MB/s   layer/bare time %.3f\n", m / layerW,
                m / bareW, layerW / bareW);
    std::printf("decompress  layer %7.1f MB/s   bare zlib %7.1f MB/s   layer/bare time %.3f\n", m / layerR,
                m / bareR, layerR / bareR);
    // The layer deflates in 128 KiB blocks (on every core: its CPU time is
    // that of all threads), bare zlib in one call: sizes differ slightly.
    std::printf("compressed size layer/bare %.4f; decompressed files equal the input: %s\n",
                static_cast<double>(gzSize) / static_cast<double>(bareSize), sameOut ? "yes" : "NO");
    return sameOut ? 0 : 1;
}
