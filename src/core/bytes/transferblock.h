// The one block loop of every bulk transfer: a count n is moved as
// n / 100000 full blocks followed by one final block of the remainder, which
// is handed over even when it is empty.
#pragma once
#include <cstdint>
#include "runtime/signals/stopsignals.h"

constexpr int32_t transferBlockSize = 100000;

// Runs step(block, size) once per block; step returns an I/O code (0: go
// on). The block lives on the stack of the calling routine for the duration
// of the call. Every block is a checkpoint for a request to stop (see
// stopsignals.h). Returns the first nonzero code (ioStopRequested for a
// request), 0 when every block went through. A negative count moves
// nothing: it can only come from a damaged container, and a negative size
// must never reach a read or a write.
template <typename Step>
[[nodiscard]] inline __attribute__((always_inline)) uint16_t forEachBlock(int32_t n, Step step)
{
    alignas(16) unsigned char block[transferBlockSize];
    if (n < 0)
        n = 0;
    const int32_t q = n / transferBlockSize;
    for (int32_t i = q; i >= 0; --i) {
        const int32_t size = i != 0 ? transferBlockSize : n - q * transferBlockSize;
        if (const uint16_t code = stopRequestCode(); code != 0)
            return code;
        if (const uint16_t code = step(block, size); code != 0)
            return code;
    }
    return 0;
}
