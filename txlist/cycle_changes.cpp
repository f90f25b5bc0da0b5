// What changes from one cycle of an entry to the next: the counter's value
// and the checksum over the bytes.
#include <cmath>

#include "internal.h"

namespace velk::txlist {

uint64_t bytes_max(int first, int last)
{
    const int n = last - first + 1;
    return n >= kMaxCounterBytes ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
}

uint64_t signal_raw_max(const dbc::Signal &s)
{
    return s.length >= 64 ? ~uint64_t{0} : (uint64_t{1} << s.length) - 1;
}

uint64_t counter_raw_max(const dbc::Signal &s)
{
    uint64_t m = signal_raw_max(s);
    if (s.has_range() && s.factor > 0) {
        const double top = std::floor((s.max - s.offset) / s.factor + 1e-9);
        if (top >= 0 && top < static_cast<double>(m))
            m = static_cast<uint64_t>(top);
    }
    return m;
}

uint64_t counter_value(uint64_t start, uint64_t min, uint64_t max, uint64_t cycle)
{
    if (max <= min)
        return min;
    const uint64_t from = start < min || start > max ? 0 : start - min;
    if (max - min == ~uint64_t{0})
        return start + cycle;
    const uint64_t span = max - min + 1;
    return min + (from + cycle % span) % span;
}

uint8_t checksum_of(const Checksum &c, const uint8_t *data)
{
    uint8_t sum = 0;
    for (int i = c.first; i <= c.last; ++i)
        sum = c.kind == Checksum::Sum ? static_cast<uint8_t>(sum + data[i]) : static_cast<uint8_t>(sum ^ data[i]);
    return sum;
}

}  // namespace velk::txlist
