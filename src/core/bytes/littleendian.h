// Numbers stored least significant byte first: gzip's CRC-32 and length
// fields, the trailer's stream CRC, the fields of Windows images and resources.
#pragma once
#include <cstdint>

inline uint32_t loadLittleEndian16(const unsigned char* bytes)
{
    return bytes[0] | bytes[1] << 8;
}

inline uint32_t loadLittleEndian32(const unsigned char* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void storeLittleEndian32(unsigned char* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}
