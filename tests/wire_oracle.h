// The tests' own knowledge of the adapter's wire format, written from the
// protocol and not taken from the library's or the emulator's tables: a
// wrong entry there then fails a test instead of being copied into it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace velk::test {

// The bytes given, then their sum modulo 256, CR and LF: how commands,
// replies, data frames and reports end.
inline std::vector<uint8_t> with_trailer(std::vector<uint8_t> b)
{
    uint8_t sum = 0;
    for (uint8_t x : b)
        sum = static_cast<uint8_t>(sum + x);
    b.push_back(sum);
    b.push_back(0x0D);
    b.push_back(0x0A);
    return b;
}

// A command frame as the library must write it (or a reply as the adapter
// sends it): code and arguments, sum, CR, LF.
inline std::vector<uint8_t> frame(std::initializer_list<uint8_t> code_and_args)
{
    return with_trailer(std::vector<uint8_t>(code_and_args));
}

// Payload length of a CAN FD DLC code (ISO 11898-1).
inline int dlc_length(int dlc)
{
    constexpr int kLength[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return kLength[dlc & 15];
}

}  // namespace velk::test
