// Export of the adapter's configuration to the 92-byte file and import back.
// The file holds 23 little-endian words; word i is (i + 1) * (d[i] + 1) for
// the configuration byte d[i] of the query reply.
#include <cstdio>

#include "internal.h"

namespace cfgw = velk::wire::config;

namespace {

constexpr int kWords = cfgw::kBytes;

uint32_t linear_encode(int i, unsigned char d)
{
    return static_cast<uint32_t>(i + 1) * d + static_cast<uint32_t>(i + 1);
}

uint32_t linear_decode(int i, uint32_t word)
{
    return (word - static_cast<uint32_t>(i + 1)) / static_cast<uint32_t>(i + 1);
}

uint32_t be_from_words(const uint32_t *d)
{
    return (d[0] & 0xFFu) << 24 | (d[1] & 0xFFu) << 16 | (d[2] & 0xFFu) << 8 | (d[3] & 0xFFu);
}

int decoded(const uint32_t *d, int at)
{
    return static_cast<int>(d[at]);
}

// The filter of a channel as the file holds it.
FILTER_INFO filter_of(const uint32_t *d, int ch)
{
    const uint32_t *p = d + cfgw::kChannel[ch];
    return {ch, static_cast<int>(p[cfgw::kFilterType]), be_from_words(p + cfgw::kFilterId),
            be_from_words(p + cfgw::kFilterMask)};
}

}  // namespace

extern "C" {

int VELKExpCfg(int com_port, const char *file_name)
{
    if (file_name == nullptr)
        return 1;
    unsigned char reply[velk::wire::kMaxReply];
    if (!velk::command_ok(__func__, com_port, expcfg_cmd, reply))
        return 1;
    unsigned char bytes[kWords * 4];
    for (int i = 0; i < kWords; ++i) {
        uint32_t w = linear_encode(i, reply[cfgw::kAt + i]);
        for (int b = 0; b < 4; ++b)
            bytes[i * 4 + b] = static_cast<unsigned char>(w >> (8 * b));
    }
    FILE *f = std::fopen(file_name, "wb");
    if (f == nullptr)
        return 1;
    // A file that could not be written whole is not claimed as exported.
    bool ok = std::fwrite(bytes, 1, sizeof(bytes), f) == sizeof(bytes);
    ok = std::fclose(f) == 0 && ok;
    return ok ? 0 : 1;
}

int VELKImpCfg(int com_port, const char *file_name)
{
    if (file_name == nullptr)
        return 1;
    FILE *f = std::fopen(file_name, "rb");
    if (f == nullptr)
        return 1;
    // One byte more than the format holds, to tell a long file from a good one.
    unsigned char bytes[kWords * 4 + 1];
    size_t got = std::fread(bytes, 1, sizeof(bytes), f);
    std::fclose(f);
    // A file of any other size is not one of ours; send nothing.
    if (got != kWords * 4)
        return 1;
    uint32_t d[kWords];
    for (int i = 0; i < kWords; ++i) {
        uint32_t w = 0;
        for (int b = 0; b < 4; ++b)
            w |= static_cast<uint32_t>(bytes[i * 4 + b]) << (8 * b);
        d[i] = linear_decode(i, w);
    }
    const int can1 = cfgw::kChannel[0], can2 = cfgw::kChannel[1];
    int failed = 0;
    failed |= VELKSetBaudRate(com_port, decoded(d, can1 + cfgw::kBaud), decoded(d, can2 + cfgw::kBaud));
    failed |= VELKSetMode(com_port, decoded(d, can1 + cfgw::kMode), decoded(d, can2 + cfgw::kMode));
    failed |= VELKSetErrorType(com_port, decoded(d, cfgw::kErrorSetting));
    FILTER_INFO f1 = filter_of(d, VELK_CAN_1);
    failed |= VELKSetFilter(com_port, &f1);
    FILTER_INFO f2 = filter_of(d, VELK_CAN_2);
    failed |= VELKSetFilter(com_port, &f2);
    return failed ? 1 : 0;
}

}  // extern "C"
