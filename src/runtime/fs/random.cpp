// The pseudo-random generator: the standard MT19937, seeded by setRandomSeed
// or randomize().
#include <cstdint>
#include <random>

#include "runtime/fs/files.h"
#include "runtime/os/oscalls.h"

namespace {

std::mt19937 generator;

} // namespace

void setRandomSeed(uint32_t seed)
{
    generator.seed(seed);
}

void randomize()
{
    setRandomSeed(osTickCount());
}

uint32_t nextRandom32()
{
    return static_cast<uint32_t>(generator());
}

uint32_t randomBelow(int32_t n)
{
    const uint64_t x = nextRandom32();
    const uint64_t product = x * static_cast<uint64_t>(static_cast<int64_t>(n));
    return static_cast<uint32_t>(product >> 32);
}
