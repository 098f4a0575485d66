// SHA-256 as FIPS 180-4 defines it: 64-byte blocks, 64 rounds each.
#include "core/bytes/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZOP_SHA_INSTRUCTIONS 1
#endif

namespace {

constexpr uint32_t roundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t rotateRight(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void compressBlock(uint32_t state[8], const unsigned char* block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = h + (rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25)) +
                            ((e & f) ^ (~e & g)) + roundConstants[i] + w[i];
        const uint32_t t2 = (rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22)) +
                            ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

void compressBlocks(uint32_t state[8], const unsigned char* blocks, std::size_t count)
{
    for (; count > 0; --count, blocks += 64)
        compressBlock(state, blocks);
}

#ifdef ZOP_SHA_INSTRUCTIONS

// SHA (leaf 7, EBX bit 29) with the SSSE3 and SSE4.1 shuffles and blends the
// rounds need (leaf 1, ECX bits 9 and 19).
bool hasShaInstructions()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (1u << 9)) == 0 || (c & (1u << 19)) == 0)
        return false;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0)
        return false;
    return (b & (1u << 29)) != 0;
}

// The same rounds on the SHA instructions. They keep the working variables
// as two halves, ABEF and CDGH (highest lane first), do two rounds per
// instruction and extend the message schedule four words at a time. The
// 32-bit Windows stack is aligned to 4 bytes only, hence the realignment:
// spilled vectors need 16.
__attribute__((target("sha,ssse3,sse4.1")))
#ifdef __i386__
__attribute__((force_align_arg_pointer))
#endif
void compressBlocksWithShaInstructions(uint32_t state[8], const unsigned char* blocks, std::size_t count)
{
    const __m128i bigEndianWords = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i badc = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(badc, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, badc, 0xF0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i words[4];
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i)
            words[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)),
                                        bigEndianWords);
        for (int group = 0; group < 16; ++group) {
            // words[group % 4] holds w[4g-16 .. 4g-13] until it is replaced
            // by w[4g .. 4g+3].
            __m128i& slot = words[group % 4];
            if (group >= 4) {
                const __m128i previous = words[(group + 3) % 4];
                const __m128i beforePrevious = words[(group + 2) % 4];
                __m128i next = _mm_sha256msg1_epu32(slot, words[(group + 1) % 4]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(previous, beforePrevious, 4));
                slot = _mm_sha256msg2_epu32(next, previous);
            }
            __m128i schedule = _mm_add_epi32(
                slot, _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundConstants + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, schedule);
            schedule = _mm_shuffle_epi32(schedule, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, schedule);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#else

bool hasShaInstructions()
{
    return false;
}

void compressBlocksWithShaInstructions(uint32_t state[8], const unsigned char* blocks, std::size_t count)
{
    compressBlocks(state, blocks, count);
}

#endif

void compressWith(Sha256& sha, const unsigned char* blocks, std::size_t count)
{
    if (sha.useShaInstructions)
        compressBlocksWithShaInstructions(sha.state, blocks, count);
    else
        compressBlocks(sha.state, blocks, count);
}

} // namespace

void startSha256(Sha256& sha)
{
    constexpr uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(sha.state, initial, sizeof initial);
    sha.length = 0;
    sha.useShaInstructions = hasShaInstructions();
}

void feedSha256(Sha256& sha, const void* bytes, std::size_t count)
{
    const unsigned char* in = static_cast<const unsigned char*>(bytes);
    std::size_t filled = static_cast<std::size_t>(sha.length % 64);
    sha.length += count;
    if (filled != 0) {
        const std::size_t take = count < 64 - filled ? count : 64 - filled;
        std::memcpy(sha.block + filled, in, take);
        in += take;
        count -= take;
        if (filled + take < 64)
            return;
        compressWith(sha, sha.block, 1);
    }
    const std::size_t whole = count / 64;
    if (whole > 0)
        compressWith(sha, in, whole);
    in += whole * 64;
    count -= whole * 64;
    std::memcpy(sha.block, in, count);
}

void finishSha256(Sha256& sha, unsigned char digest[sha256Size])
{
    const uint64_t bits = sha.length * 8;
    unsigned char padding[72] = {0x80};
    const std::size_t filled = static_cast<std::size_t>(sha.length % 64);
    const std::size_t padLength = (filled < 56 ? 56 : 120) - filled;
    for (int i = 0; i < 8; ++i)
        padding[padLength + static_cast<std::size_t>(i)] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    feedSha256(sha, padding, padLength + 8);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<unsigned char>(sha.state[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(sha.state[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(sha.state[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(sha.state[i]);
    }
}
