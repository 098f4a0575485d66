// The pseudo-random generator: MT19937 as published, seeded lazily at the
// first draw after the seed was set.
#include <cstdint>

#include "runtime/files.h"
#include "runtime/files_os.h"

namespace {

constexpr int stateSize = 624;
constexpr int shift = 397;
constexpr uint32_t matrixA = 0x9908B0DFu;
constexpr uint32_t upperMask = 0x80000000u;
constexpr uint32_t lowerMask = 0x7FFFFFFFu;

struct Generator {
    uint32_t state[stateSize];
    int index = stateSize;
    uint32_t seed = 0;
    bool seeded = false;  // state initialised from the current seed
};

Generator generator;

void initGenrand(uint32_t seed)
{
    generator.state[0] = seed;
    for (int i = 1; i < stateSize; ++i) {
        const uint32_t previous = generator.state[i - 1];
        generator.state[i] = 1812433253u * (previous ^ (previous >> 30)) + static_cast<uint32_t>(i);
    }
    generator.index = stateSize;
    generator.seeded = true;
}

uint32_t twist(uint32_t upper, uint32_t lower, uint32_t far)
{
    const uint32_t y = (upper & upperMask) | (lower & lowerMask);
    return far ^ (y >> 1) ^ ((y & 1u) ? matrixA : 0u);
}

void regenerate()
{
    uint32_t* mt = generator.state;
    for (int k = 0; k < stateSize; ++k)
        mt[k] = twist(mt[k], mt[(k + 1) % stateSize], mt[(k + shift) % stateSize]);
    generator.index = 0;
}

} // namespace

void setRandomSeed(uint32_t seed)
{
    generator.seed = seed;
    generator.seeded = false;
}

void randomize()
{
    setRandomSeed(osTickCount());
}

uint32_t nextRandom32()
{
    if (!generator.seeded)
        initGenrand(generator.seed);
    if (generator.index >= stateSize)
        regenerate();
    uint32_t y = generator.state[generator.index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
}

uint32_t randomBelow(int32_t n)
{
    const uint64_t x = nextRandom32();
    const uint64_t product = x * static_cast<uint64_t>(static_cast<int64_t>(n));
    return static_cast<uint32_t>(product >> 32);
}
