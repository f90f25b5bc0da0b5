// Invariant checks of the fuzz targets: a failed check prints what and where
// and aborts, which libFuzzer reports as a crash with the input saved. The
// wire facts the checks need are written here from the protocol, not taken
// from the library's tables, so that a wrong table is caught.
#ifndef VELK_FUZZ_CHECK_H
#define VELK_FUZZ_CHECK_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzzcheck {

// Payload length of a DLC code by the CAN FD table.
inline int dlc_length(int dlc)
{
    constexpr int kLength[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return kLength[dlc & 0x0F];
}

// Total length of a report by its first two bytes; 0 for an unknown kind.
inline int report_length(const uint8_t *r)
{
    switch (r[0]) {
    case 0xE1: return 17;
    case 0xE2: return 25;
    case 0xF1: {
        int n = dlc_length(r[1] >> 4);
        return 18 + (n < 8 ? 8 : n);
    }
    case 0x99: return r[1] == 0x01 ? 9 : (r[1] == 0x02 || r[1] == 0x04) ? 17 : 0;
    case 0x62: return r[1] == 0x02 ? 17 : 0;
    default: return 0;
    }
}

// Reply length of a command code; 0 for 'b', whose answer is a report, and
// 5 for the set commands.
inline int reply_length(uint8_t code)
{
    switch (code) {
    case '5':
    case '6':
    case 0x60: return 7;
    case '7': return 28;
    case 'G': return 32;
    case 'L': return 21;
    case 'M': return 16;
    case 'b': return 0;
    default: return 5;
    }
}

// Commands, replies and reports end with the byte sum of the rest, CR and LF.
inline bool trailer_ok(const uint8_t *r, size_t len)
{
    uint8_t sum = 0;
    for (size_t i = 0; i + 3 < len; ++i)
        sum = static_cast<uint8_t>(sum + r[i]);
    return len >= 3 && r[len - 3] == sum && r[len - 2] == 0x0D && r[len - 1] == 0x0A;
}

inline uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

inline uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[0]);
}

// A time of day "hh:mm:ss:mmm": twelve characters and its terminator.
inline bool time_text_ok(const char *t)
{
    return std::memchr(t, 0, 13) != nullptr && std::strlen(t) == 12;
}

}  // namespace fuzzcheck

#endif
