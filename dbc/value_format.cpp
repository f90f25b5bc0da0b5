// Decoded values as text: whole numbers exactly where the signal's factor
// and offset are whole (a 64-bit counter stays exact, which a double would
// not keep), other values as the shortest text that reads back the same.
#include <charconv>
#include <cmath>

#include "internal.h"

namespace velk::dbc {

namespace {

// A whole number as sign and magnitude, wide enough for any 64-bit raw
// value times a factor, or nothing where the result overflows.
struct Whole {
    bool negative = false;
    uint64_t magnitude = 0;
};

Whole whole_of(double x)
{
    return {x < 0, static_cast<uint64_t>(std::fabs(x))};
}

bool multiply(Whole a, Whole b, Whole *r)
{
    if (a.magnitude != 0 && b.magnitude > UINT64_MAX / a.magnitude)
        return false;
    r->magnitude = a.magnitude * b.magnitude;
    r->negative = r->magnitude != 0 && a.negative != b.negative;
    return true;
}

bool add(Whole a, Whole b, Whole *r)
{
    if (a.negative == b.negative) {
        if (a.magnitude > UINT64_MAX - b.magnitude)
            return false;
        *r = {a.negative, a.magnitude + b.magnitude};
    } else if (a.magnitude >= b.magnitude) {
        *r = {a.negative, a.magnitude - b.magnitude};
    } else {
        *r = {b.negative, b.magnitude - a.magnitude};
    }
    r->negative = r->negative && r->magnitude != 0;
    return true;
}

bool exact(const Value &v, Whole *out)
{
    const Signal &s = *v.signal;
    Whole raw;
    if (s.is_signed && static_cast<int64_t>(v.raw) < 0)
        raw = {true, ~v.raw + 1};
    else
        raw = {false, v.raw};
    Whole product;
    return multiply(raw, whole_of(s.factor), &product) && add(product, whole_of(s.offset), out);
}

}  // namespace

bool append_number(std::string *out, const Value &v)
{
    char b[40];
    Whole w;
    if (v.signal != nullptr && v.signal->integral && exact(v, &w)) {
        char *p = b;
        if (w.negative)
            *p++ = '-';
        p = std::to_chars(p, b + sizeof b, w.magnitude).ptr;
        out->append(b, p);
        return true;
    }
    if (!std::isfinite(v.value))
        return false;
    const auto r = std::to_chars(b, b + sizeof b, v.value);
    out->append(b, r.ptr);
    bool plain = true;
    for (const char *p = b; p < r.ptr; ++p)
        plain = plain && *p != '.' && *p != 'e';
    if (plain)
        *out += ".0";
    return true;
}

std::string number_text(const Value &v)
{
    std::string s;
    if (append_number(&s, v))
        return s;
    return std::isnan(v.value) ? "NaN" : v.value < 0 ? "-inf" : "inf";
}

}  // namespace velk::dbc
