// Fuzz target: the gzip stream layer. The input is read as a stream file in
// pieces of varying size until the layer reports the end or an error; then
// the input is written as the content of a new stream and read back, which
// must give the same bytes and a clean close. Runs in the fuzzing process
// itself: the layer reports errors by result, never by ending the process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/gzip/gzstream.h"
#include "runtime/failure/failure.h"
#include "support.h"

namespace {

std::string streamPath()
{
    return fuzz::scratchRoot() + "/stream.gz";
}

// Read piece sizes cycle through a few values, so that reads end inside
// headers, inside the deflate data and at the member's trailer.
constexpr int32_t pieceSizes[] = {1, 264, 7, 100000, 3, 16384, 0, 65537};

void readArbitraryBytes(const uint8_t* data, std::size_t size)
{
    fuzz::writeFile(streamPath(), std::string_view(reinterpret_cast<const char*>(data), size));
    GzStream* stream = openGz(streamPath(), "r");
    if (stream == nullptr)
        std::abort();
    static std::vector<char> buffer(100000);
    std::size_t piece = size > 0 ? data[0] : 0;
    for (int rounds = 0; rounds < 100000; ++rounds) {
        const int32_t count = pieceSizes[piece++ % std::size(pieceSizes)];
        const int32_t got = readGz(stream, buffer.data(), count);
        if (got < 0 || got > count)
            break;
        if (got == 0 && count != 0)
            break;
    }
    closeGz(stream);
    ioResult();
}

void writeAndReadBack(const uint8_t* data, std::size_t size)
{
    GzStream* out = openGz(streamPath(), "w");
    if (out == nullptr || writeGz(out, data, static_cast<int32_t>(size)) != static_cast<int32_t>(size) ||
        closeGz(out) != gzOk)
        std::abort();
    GzStream* in = openGz(streamPath(), "r");
    std::vector<char> back(size + 1);
    const int32_t got = readGz(in, back.data(), static_cast<int32_t>(size + 1));
    const int status = closeGz(in);
    if (got != static_cast<int32_t>(size) || std::memcmp(back.data(), data, size) != 0 ||
        status != gzOk) {
        std::fprintf(stderr, "fuzz: round trip gave %d bytes, close %d\n", got, status);
        std::abort();
    }
    ioResult();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    readArbitraryBytes(data, size);
    writeAndReadBack(data, size);
    return 0;
}
