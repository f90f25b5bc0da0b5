// Where a signal's bits are. Bits are numbered per byte from its least
// significant bit: bit b is bit b % 8 of byte b / 8. A little-endian signal
// starts at its least significant bit and runs up through the bytes. A
// big-endian signal starts at its most significant bit and runs down
// inside each byte, on from bit 7 of the next byte (the "sawtooth": after
// bit 8 comes bit 23); read as a big-endian number from its first byte, its
// bits follow one another, which is how decode reads them.
#include <cmath>

#include "internal.h"

namespace velk::dbc {

namespace {

void store_le64(uint8_t *p, uint64_t w)
{
    for (int i = 0; i < 8; ++i, w >>= 8)
        p[i] = static_cast<uint8_t>(w);
}

void store_be64(uint8_t *p, uint64_t w)
{
    for (int i = 7; i >= 0; --i, w >>= 8)
        p[i] = static_cast<uint8_t>(w);
}

bool whole(double x)
{
    return std::isfinite(x) && std::fabs(x) <= 9007199254740992.0 && x == std::trunc(x);
}

}  // namespace

bool lay_out(Signal *s)
{
    s->byte = static_cast<uint8_t>(s->start_bit / 8);
    int last;  // the last bit, counted from the first byte's first
    if (s->order == ByteOrder::LittleEndian) {
        s->shift = static_cast<uint8_t>(s->start_bit % 8);
        last = s->start_bit + s->length - 1;
    } else {
        s->shift = static_cast<uint8_t>(7 - s->start_bit % 8);
        last = s->byte * 8 + s->shift + s->length - 1;
    }
    const int end = last / 8 + 1;
    s->end = static_cast<uint8_t>(end);
    s->integral = s->type == ValueType::Integer && whole(s->factor) && whole(s->offset);
    s->divisor = 0;
    if (std::fabs(s->factor) < 1 && s->factor != 0) {
        const double d = std::round(1.0 / s->factor);
        if (whole(d) && 1.0 / d == s->factor)
            s->divisor = d;
    }
    return end <= 64;
}

int fd_length(int n)
{
    constexpr int kLengths[] = {12, 16, 20, 24, 32, 48, 64};
    if (n <= 8)
        return n;
    for (int l : kLengths)
        if (n <= l)
            return l;
    return 64;
}

void insert(const Signal &s, uint64_t raw, uint8_t *padded)
{
    uint8_t *p = padded + s.byte;
    const uint64_t mask = low_bits(s.length);
    raw &= mask;
    const int spill = s.shift + s.length - 64;
    if (s.order == ByteOrder::LittleEndian) {
        store_le64(p, (load_le64(p) & ~(mask << s.shift)) | raw << s.shift);
        if (spill > 0) {
            const auto high = static_cast<uint8_t>(mask >> (64 - s.shift));
            p[8] = static_cast<uint8_t>((p[8] & ~high) | raw >> (64 - s.shift));
        }
        return;
    }
    if (spill <= 0) {
        const int low = 64 - s.shift - s.length;  // bits of the word after the signal
        store_be64(p, (load_be64(p) & ~(mask << low)) | raw << low);
        return;
    }
    const uint64_t word_bits = ~uint64_t{0} >> s.shift;
    store_be64(p, (load_be64(p) & ~word_bits) | raw >> spill);
    const auto top = static_cast<uint8_t>(0xFF << (8 - spill));
    p[8] = static_cast<uint8_t>((p[8] & ~top) | (raw & low_bits(spill)) << (8 - spill));
}

uint64_t sign_extend(const Signal &s, uint64_t raw)
{
    if (!s.is_signed || s.type != ValueType::Integer || s.length >= 64)
        return raw;
    const uint64_t sign = uint64_t{1} << (s.length - 1);
    return (raw ^ sign) - sign;
}

double physical(const Signal &s, uint64_t raw)
{
    double x;
    switch (s.type) {
    case ValueType::Float32: {
        const auto bits = static_cast<uint32_t>(raw);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        x = f;
        break;
    }
    case ValueType::Float64: std::memcpy(&x, &raw, sizeof x); break;
    default: x = s.is_signed ? static_cast<double>(static_cast<int64_t>(raw)) : static_cast<double>(raw);
    }
    x = s.divisor != 0 ? x / s.divisor : x * s.factor;
    // Without an offset -0.0 stays -0.0 (adding 0 would make it +0.0).
    return s.offset == 0 ? x : x + s.offset;
}

const char *description(const Signal &s, uint64_t raw)
{
    size_t lo = 0, hi = s.values.size();
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (s.values[mid].value < raw)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < s.values.size() && s.values[lo].value == raw ? s.values[lo].text.c_str() : nullptr;
}

}  // namespace velk::dbc
