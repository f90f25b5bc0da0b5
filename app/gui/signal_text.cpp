#include "signal_text.h"

#include <cinttypes>
#include <cstdio>

namespace gui {

std::string value_with_unit(const velk::dbc::Value &v)
{
    if (v.missing)
        return "(missing)";
    std::string s = velk::dbc::number_text(v);
    if (!v.signal->unit.empty())
        s += " " + v.signal->unit;
    return s;
}

std::string raw_text(const velk::dbc::Value &v)
{
    if (v.missing)
        return "";
    char text[32];
    if (v.signal->is_signed && v.signal->type == velk::dbc::ValueType::Integer)
        std::snprintf(text, sizeof text, "%" PRId64, static_cast<int64_t>(v.raw));
    else
        std::snprintf(text, sizeof text, "%" PRIu64, v.raw);
    return text;
}

std::string range_text(const velk::dbc::Signal &s)
{
    if (!s.has_range())
        return "";
    char text[64];
    std::snprintf(text, sizeof text, "[%g|%g]", s.min, s.max);
    return text;
}

std::string signals_text(const velk::dbc::Message &m, const velk::dbc::Value *values, int n)
{
    std::string out = m.name;
    for (int i = 0; i < n; ++i) {
        const velk::dbc::Value &v = values[i];
        out += "\n  " + v.signal->name;
        if (v.missing) {
            out += " (missing)";
            continue;
        }
        out += " = " + value_with_unit(v);
        if (v.text != nullptr)
            out += std::string(" \"") + v.text + "\"";
    }
    return out;
}

}  // namespace gui
