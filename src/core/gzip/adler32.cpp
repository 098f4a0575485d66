// Adler-32 for zlib. zop only ever deflates and inflates raw streams inside
// gzip members, for which zlib asks Adler-32 for nothing but its starting
// value; yet the archive member that holds zlib's own tuned version takes
// about 1.9 KB of every stub. Defining the one function zlib calls here
// keeps that member out of the link. This version is complete and exact
// (checked against the checksum's closed forms in the unit tests), only
// not tuned: nothing in zop runs it over data.
#include <zlib.h>

#include <cstdint>

uLong ZEXPORT adler32(uLong adler, const Bytef* buf, uInt len)
{
    constexpr uint32_t modulus = 65521;
    // The most bytes that can be summed before the larger sum could pass
    // 32 bits, starting from sums below the modulus.
    constexpr uInt maxRun = 5552;
    if (buf == nullptr)
        return 1;
    uint32_t a = static_cast<uint32_t>(adler & 0xFFFF);
    uint32_t b = static_cast<uint32_t>((adler >> 16) & 0xFFFF);
    while (len > 0) {
        const uInt run = len < maxRun ? len : maxRun;
        for (uInt i = 0; i < run; ++i) {
            a += buf[i];
            b += a;
        }
        buf += run;
        len -= run;
        a %= modulus;
        b %= modulus;
    }
    return (static_cast<uLong>(b) << 16) | a;
}
