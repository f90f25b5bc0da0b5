// The value encodings of data pages: the RLE / bit-packing hybrid of
// definition levels and dictionary indices, and PLAIN's little-endian bytes.
#include <algorithm>

#include "internal.h"

namespace velk::lake::detail {

namespace {

// Appends `count` values (a multiple of eight, the last group padded with
// zeros by the caller's count) packed `width` bits each, least significant
// bit first.
void bit_pack(const uint32_t *values, size_t n, size_t count, int width, std::string *out)
{
    uint64_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < count; ++i) {
        acc |= static_cast<uint64_t>(i < n ? values[i] : 0) << bits;
        bits += width;
        while (bits >= 8) {
            *out += static_cast<char>(acc & 0xFF);
            acc >>= 8;
            bits -= 8;
        }
    }
}

void flush_packed(const uint32_t *values, size_t n, int width, std::string *out)
{
    if (n == 0)
        return;
    const size_t groups = (n + 7) / 8;
    put_varint(out, groups << 1 | 1);
    bit_pack(values, n, groups * 8, width, out);
}

}  // namespace

int bit_width(uint32_t max)
{
    int w = 0;
    while (max != 0) {
        ++w;
        max >>= 1;
    }
    return w;
}

void rle_hybrid(const uint32_t *values, size_t n, int width, std::string *out)
{
    const size_t value_bytes = static_cast<size_t>(width + 7) / 8;
    size_t packed_from = 0;  // start of the values waiting to be bit-packed
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && values[i + run] == values[i])
            ++run;
        // Packed groups hold eight values: a run starts only at a group's
        // boundary, so the values before it fill their group first.
        const size_t waiting = i - packed_from;
        if (waiting % 8 != 0) {
            i += std::min(run, 8 - waiting % 8);
            continue;
        }
        if (run < 8) {
            i += run;
            continue;
        }
        flush_packed(values + packed_from, waiting, width, out);
        put_varint(out, run << 1);
        for (size_t b = 0; b < value_bytes; ++b)
            *out += static_cast<char>(values[i] >> (8 * b) & 0xFF);
        i += run;
        packed_from = i;
    }
    flush_packed(values + packed_from, n - packed_from, width, out);
}

void plain_bools(const uint8_t *values, size_t n, std::string *out)
{
    for (size_t i = 0; i < n; i += 8) {
        uint8_t byte = 0;
        for (size_t b = 0; b < 8 && i + b < n; ++b)
            byte = static_cast<uint8_t>(byte | (values[i + b] != 0) << b);
        *out += static_cast<char>(byte);
    }
}

void put_le32(std::string *out, uint32_t v)
{
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    out->append(b, 4);
}

void put_le64(std::string *out, uint64_t v)
{
    put_le32(out, static_cast<uint32_t>(v));
    put_le32(out, static_cast<uint32_t>(v >> 32));
}

}  // namespace velk::lake::detail
