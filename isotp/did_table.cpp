// The table of data identifiers and the text of their values.
#include "did_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace velk::uds {

namespace {

bool parse_did(const char *text, uint32_t *v)
{
    if (std::strlen(text) != 4 || std::strspn(text, "0123456789abcdefABCDEF") != 4)
        return false;
    *v = uint32_t(std::strtoul(text, nullptr, 16));
    return true;
}

}  // namespace

bool load_did_table(const char *path, DidTable *table, std::string *why)
{
    static const std::map<std::string, DidFormat> kFormats = {
        {"hex", DidFormat::Hex}, {"ascii", DidFormat::Ascii}, {"uint", DidFormat::Uint}, {"int", DidFormat::Int}};
    std::ifstream in(path);
    if (!in) {
        *why = std::string(path) + ": cannot be read";
        return false;
    }
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        line = line.substr(0, line.find('#'));
        char did[16], name[128], format[16], extra;
        const int got = std::sscanf(line.c_str(), "%15s %127s %15s %c", did, name, format, &extra);
        if (got <= 0)
            continue;
        uint32_t id;
        const auto f = got == 3 ? kFormats.find(format) : kFormats.end();
        if (f == kFormats.end() || !parse_did(did, &id)) {
            *why = std::string(path) + ":" + std::to_string(n) + ": expected DID NAME FORMAT (hex, ascii, uint, int)";
            return false;
        }
        (*table)[uint16_t(id)] = {name, f->second};
    }
    return true;
}

std::string hex_bytes_text(const std::vector<uint8_t> &data)
{
    std::string s;
    s.reserve(data.size() * 3);
    char b[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s;
}

std::string did_value_text(const std::vector<uint8_t> &v, DidFormat f)
{
    if (f == DidFormat::Ascii) {
        std::string s;
        for (uint8_t c : v)
            s += c >= 0x20 && c < 0x7F ? char(c) : '.';
        return s;
    }
    if ((f == DidFormat::Uint || f == DidFormat::Int) && !v.empty() && v.size() <= 8) {
        uint64_t x = 0;
        for (uint8_t c : v)
            x = x << 8 | c;
        if (f == DidFormat::Int && v.size() < 8 && (v[0] & 0x80))
            x |= ~uint64_t(0) << (8 * v.size());
        return f == DidFormat::Int ? std::to_string(int64_t(x)) : std::to_string(x);
    }
    return hex_bytes_text(v);
}

}  // namespace velk::uds
