// Signals into a frame: each value given turned into its raw bits (a value
// description's text looked up, a number scaled back and checked against
// the signal's range and width), the rest from GenSigStartValue or 0, the
// switches deciding which multiplexed signals go in.
#include <charconv>
#include <cmath>
#include <cfloat>

#include "internal.h"

namespace velk::dbc {

namespace {

std::string number(double x)
{
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, x);
    return std::string(b, r.ptr);
}

// "[lo|hi] unit"
std::string range_text(const std::string &lo, const std::string &hi, const Signal &s)
{
    std::string out = "[";
    out += lo;
    out += '|';
    out += hi;
    out += ']';
    if (!s.unit.empty()) {
        out += ' ';
        out += s.unit;
    }
    return out;
}

// The physical values of the smallest and largest raw value of an integer
// signal's width, as decode would print them.
std::string width_range(const Signal &s)
{
    Value lo, hi;
    lo.signal = hi.signal = &s;
    lo.raw = s.is_signed ? sign_extend(s, uint64_t{1} << (s.length - 1)) : 0;
    hi.raw = s.is_signed ? low_bits(s.length - 1) : low_bits(s.length);
    lo.value = physical(s, lo.raw);
    hi.value = physical(s, hi.raw);
    if (lo.value > hi.value)
        std::swap(lo, hi);
    return range_text(number_text(lo), number_text(hi), s);
}

bool refuse(std::string *why, const Signal &s, const std::string &what)
{
    *why = "signal " + s.name + ": " + what;
    return false;
}

bool text_to_raw(const Signal &s, std::string_view text, uint64_t *raw, std::string *why)
{
    for (const ValueDescription &d : s.values) {
        if (d.text == text) {
            if (s.type == ValueType::Integer && s.length < 64) {
                const uint64_t bits = s.is_signed ? sign_extend(s, d.value & low_bits(s.length)) : d.value & low_bits(s.length);
                if (bits != d.value)
                    return refuse(why, s, "value " + std::string(text) + " does not fit its " +
                                              std::to_string(s.length) + " bits");
            }
            *raw = d.value;
            return true;
        }
    }
    std::string known;
    for (size_t i = 0; i < s.values.size() && i < 12; ++i)
        known += (i > 0 ? ", " : "") + s.values[i].text;
    if (s.values.size() > 12)
        known += ", ...";
    return refuse(why, s,
                  "no value '" + std::string(text) + "'" + (known.empty() ? " (it has no value texts)" : " (it has: " + known + ")"));
}

bool number_to_raw(const Signal &s, double v, uint64_t *raw, std::string *why)
{
    if (!std::isfinite(v) && s.type == ValueType::Integer)
        return refuse(why, s, number(v) + " is not a number it can send");
    if (s.has_range() && (v < s.min || v > s.max))
        return refuse(why, s, number(v) + " is outside its range " + range_text(number(s.min), number(s.max), s));
    if (s.factor == 0)
        return refuse(why, s, "its factor is 0, so no raw value gives " + number(v));
    const double scaled = s.divisor != 0 ? (v - s.offset) * s.divisor : (v - s.offset) / s.factor;
    if (s.type == ValueType::Float32) {
        if (std::isfinite(scaled) && std::fabs(scaled) > FLT_MAX)
            return refuse(why, s, number(v) + " is beyond a 32-bit float");
        const auto f = static_cast<float>(scaled);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        *raw = bits;
        return true;
    }
    if (s.type == ValueType::Float64) {
        std::memcpy(raw, &scaled, sizeof scaled);
        return true;
    }
    const double r = std::nearbyint(scaled);
    const double lo = s.is_signed ? -std::ldexp(1.0, s.length - 1) : 0;
    const double top = std::ldexp(1.0, s.is_signed ? s.length - 1 : s.length);  // one beyond the largest
    if (!(r >= lo && r < top))
        return refuse(why, s, number(v) + " is outside what its " + std::to_string(s.length) + " bits hold " +
                                  width_range(s));
    if (r < 0)
        *raw = static_cast<uint64_t>(static_cast<int64_t>(r));
    else
        *raw = r >= 9223372036854775808.0 ? static_cast<uint64_t>(r - 9223372036854775808.0) + (uint64_t{1} << 63)
                                          : static_cast<uint64_t>(r);
    return true;
}

// A start value (a raw value) as bits.
uint64_t start_raw(const Signal &s)
{
    if (!s.has_start_value)
        return 0;
    const double v = s.start_value;
    if (s.type == ValueType::Float32) {
        const auto f = static_cast<float>(v);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        return bits;
    }
    if (s.type == ValueType::Float64) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return bits;
    }
    if (!(v >= -9223372036854775808.0 && v < 18446744073709551616.0))
        return 0;
    if (v < 0)
        return static_cast<uint64_t>(static_cast<int64_t>(v));
    return v >= 9223372036854775808.0 ? static_cast<uint64_t>(v - 9223372036854775808.0) + (uint64_t{1} << 63)
                                      : static_cast<uint64_t>(v);
}

std::string ranges_text(const Signal &s)
{
    std::string out;
    for (size_t i = 0; i < s.mux_values.size(); ++i) {
        const MuxRange &r = s.mux_values[i];
        if (i > 0)
            out += ", ";
        out += std::to_string(r.lo);
        if (r.hi != r.lo) {
            out += '-';
            out += std::to_string(r.hi);
        }
    }
    return out;
}

bool selected(const Signal &s, uint64_t switch_raw)
{
    for (const MuxRange &r : s.mux_values)
        if (switch_raw >= r.lo && switch_raw <= r.hi)
            return true;
    return false;
}

}  // namespace

bool parse_assignment(std::string_view text, Assignment *a)
{
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 == text.size())
        return false;
    *a = Assignment();
    a->signal = text.substr(0, eq);
    const std::string_view v = text.substr(eq + 1);
    const char *b = v.data(), *e = v.data() + v.size();
    if (*b == '+')
        ++b;
    double x;
    const auto r = std::from_chars(b, e, x);
    if (r.ec == std::errc() && r.ptr == e && std::isfinite(x))
        a->value = x;
    else
        a->text = v;
    return true;
}

bool encode(const Message &m, const std::vector<Assignment> &values, Frame *out, std::string *why)
{
    const size_t n = m.signals.size();
    std::vector<uint64_t> raw(n, 0);
    std::vector<char> given(n, 0);
    for (size_t i = 0; i < n; ++i)
        raw[i] = start_raw(m.signals[i]);
    for (const Assignment &a : values) {
        size_t i = 0;
        while (i < n && m.signals[i].name != a.signal && m.signals[i].short_name != a.signal)
            ++i;
        if (i == n) {
            *why = "message " + m.name + " has no signal " + std::string(a.signal);
            return false;
        }
        const Signal &s = m.signals[i];
        if (given[i])
            return refuse(why, s, "given twice");
        given[i] = 1;
        const bool ok = a.text.empty() ? number_to_raw(s, a.value, &raw[i], why) : text_to_raw(s, a.text, &raw[i], why);
        if (!ok)
            return false;
    }
    // Which signals the switches select, switches first.
    std::vector<char> sent(n, 1);
    auto decide = [&](size_t i) {
        const Signal &s = m.signals[i];
        if (s.multiplexer < 0)
            return;
        const auto sw = static_cast<size_t>(s.multiplexer);
        sent[i] = sent[sw] && selected(s, raw[sw] & low_bits(m.signals[sw].length));
    };
    for (int i : m.switch_order)
        decide(static_cast<size_t>(i));
    for (size_t i = 0; i < n; ++i)
        if (!m.signals[i].is_multiplexer)
            decide(i);

    Padded p;
    for (size_t i = 0; i < n; ++i) {
        const Signal &s = m.signals[i];
        if (given[i] && !sent[i]) {
            // The switch nearest the top that does not select its signal.
            size_t below = i, sw = static_cast<size_t>(s.multiplexer);
            while (!sent[sw]) {
                below = sw;
                sw = static_cast<size_t>(m.signals[sw].multiplexer);
            }
            const Signal &sws = m.signals[sw];
            const std::string needs = sws.name + " " + ranges_text(m.signals[below]);
            return refuse(why, s,
                          "not sent with " + sws.name + " = " + std::to_string(raw[sw] & low_bits(sws.length)) +
                              (below == i ? " (it needs " + needs + ")"
                                          : " (its switch " + m.signals[below].name + " needs " + needs + ")"));
        }
        if (s.end > m.length) {
            if (given[i])
                return refuse(why, s, "lies beyond the " + std::to_string(m.length) + " bytes of message " + m.name);
            continue;
        }
        if (sent[i])
            insert(s, raw[i], p.b);
    }
    out->id = m.id;
    out->extended = m.extended;
    out->fd = m.fd;
    out->brs = m.fd && m.brs;
    out->len = m.fd ? fd_length(m.length) : m.length;
    std::memcpy(out->data, p.b, sizeof out->data);
    return true;
}

}  // namespace velk::dbc
