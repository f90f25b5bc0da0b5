// The DBC bit numbering read independently of the module, bit by bit, for
// its tests. A little-endian signal's bit k is payload bit start + k, where
// payload bit p is bit p % 8 of byte p / 8. A big-endian signal's bits, most
// significant first, are consecutive when the payload is written as one
// string of bits, each byte most significant bit first: its start bit s is
// character (s / 8) * 8 + 7 - s % 8 of that string.
#pragma once

#include <cstdint>

namespace dbc_oracle {

inline int msb_first_index(int start_bit)
{
    return start_bit / 8 * 8 + 7 - start_bit % 8;
}

// The bytes a signal needs.
inline int bytes_needed(int start, int length, bool big_endian)
{
    const int last = big_endian ? msb_first_index(start) + length - 1 : start + length - 1;
    return last / 8 + 1;
}

inline uint64_t get(const uint8_t *d, int start, int length, bool big_endian)
{
    uint64_t v = 0;
    for (int k = 0; k < length; ++k) {
        if (big_endian) {
            const int i = msb_first_index(start) + k;
            v = v << 1 | ((d[i / 8] >> (7 - i % 8)) & 1u);
        } else {
            const int p = start + k;
            v |= static_cast<uint64_t>((d[p / 8] >> (p % 8)) & 1u) << k;
        }
    }
    return v;
}

inline void put(uint8_t *d, int start, int length, bool big_endian, uint64_t v)
{
    for (int k = 0; k < length; ++k) {
        int byte, bit;
        uint64_t b;
        if (big_endian) {
            const int i = msb_first_index(start) + k;
            byte = i / 8;
            bit = 7 - i % 8;
            b = (v >> (length - 1 - k)) & 1u;
        } else {
            const int p = start + k;
            byte = p / 8;
            bit = p % 8;
            b = (v >> k) & 1u;
        }
        d[byte] = static_cast<uint8_t>((d[byte] & ~(1u << bit)) | (b << bit));
    }
}

}  // namespace dbc_oracle
