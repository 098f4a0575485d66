// SHA-256 (FIPS 180-4), fed in pieces: the key that names an unpacked tree
// in the cache, computed by the packer over the stored entry stream and by
// the launcher while it copies that stream out.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr std::size_t sha256Size = 32;

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes fed so far
    unsigned char block[64];
    // Set by startSha256 when the processor has the SHA instructions (x86);
    // both ways give the same digest, the instructions about six times
    // faster. Clearing it after the start forces the portable rounds.
    bool useShaInstructions;
};

void startSha256(Sha256& sha);
void feedSha256(Sha256& sha, const void* bytes, std::size_t count);
// Pads, and writes the 32-byte digest; sha must be started again before reuse.
void finishSha256(Sha256& sha, unsigned char digest[sha256Size]);
