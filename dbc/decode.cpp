// Frames into signals, with the layouts worked out at load: a few shifts per
// signal and no allocation. A multiplexed message is read in three passes
// over the caller's array: the switches (each after the one it depends on),
// then every signal's presence from its switch, then the present ones moved
// up in file order.
#include "internal.h"

namespace velk::dbc {

namespace {

void read(const Signal &s, const uint8_t *padded, int len, Value *v)
{
    v->signal = &s;
    v->text = nullptr;
    if (s.end > len) {
        v->missing = true;
        v->raw = 0;
        v->value = 0;
        return;
    }
    v->missing = false;
    v->raw = sign_extend(s, extract(s, padded));
    v->value = physical(s, v->raw);
    if (!s.values.empty())
        v->text = description(s, v->raw);
}

bool selects(const Signal &s, uint64_t switch_raw)
{
    for (const MuxRange &r : s.mux_values)
        if (switch_raw >= r.lo && switch_raw <= r.hi)
            return true;
    return false;
}

// Whether s is sent, given its switch's entry: present (true), not sent
// (false, the entry's signal set to nullptr), or unknown because the switch
// is missing (true, marked missing).
bool present(const Message &m, const Signal &s, const Value *out, Value *v)
{
    if (s.multiplexer < 0)
        return true;
    const Value &sw = out[s.multiplexer];
    if (sw.signal == nullptr)
        return false;
    if (sw.missing) {
        v->signal = &s;
        v->missing = true;
        v->raw = 0;
        v->value = 0;
        v->text = nullptr;
        return true;
    }
    const Signal &sws = m.signals[static_cast<size_t>(s.multiplexer)];
    return selects(s, sw.raw & low_bits(sws.length));
}

}  // namespace

int decode(const Message &m, const uint8_t *data, int len, Value *out)
{
    const Padded p(data, len);
    if (len > 64)
        len = 64;
    const int n = static_cast<int>(m.signals.size());
    if (m.switch_order.empty()) {
        for (int i = 0; i < n; ++i)
            read(m.signals[static_cast<size_t>(i)], p.b, len, &out[i]);
        return n;
    }
    for (int i : m.switch_order) {
        const Signal &s = m.signals[static_cast<size_t>(i)];
        Value *v = &out[i];
        v->signal = nullptr;
        if (!present(m, s, out, v))
            continue;
        if (v->signal == nullptr)
            read(s, p.b, len, v);
    }
    for (int i = 0; i < n; ++i) {
        const Signal &s = m.signals[static_cast<size_t>(i)];
        if (s.is_multiplexer)
            continue;
        Value *v = &out[i];
        v->signal = nullptr;
        if (present(m, s, out, v) && v->signal == nullptr)
            read(s, p.b, len, v);
    }
    int w = 0;
    for (int i = 0; i < n; ++i) {
        if (out[i].signal == nullptr)
            continue;
        if (w != i)
            out[w] = out[i];
        ++w;
    }
    return w;
}

}  // namespace velk::dbc
