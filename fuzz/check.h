// Invariant checks of the fuzz targets: a failed check prints what and where
// and aborts, which libFuzzer reports as a crash with the input saved.
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
