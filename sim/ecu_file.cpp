// The ECU file: one statement a line, '#' to the end of a line is a comment,
// numbers in hex unless said otherwise.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "ecu.h"

namespace velk::sim {

namespace {

// Words, and "quoted text" as one token (its bytes, marked by a leading quote).
bool tokens_of(const std::string &line, std::vector<std::string> *out)
{
    out->clear();
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == '#')
            break;
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '"') {
            const size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                return false;
            out->push_back(line.substr(i, end - i));
            i = end + 1;
            continue;
        }
        size_t end = line.find_first_of(" \t\r#\"", i);
        if (end == std::string::npos)
            end = line.size();
        out->push_back(line.substr(i, end - i));
        i = end;
    }
    return true;
}

bool hex_of(const std::string &t, uint32_t max, uint32_t *v)
{
    if (t.empty() || t.size() > 8)
        return false;
    uint32_t x = 0;
    for (char c : t) {
        const int d = trace::hex_digit(c);
        if (d < 0)
            return false;
        x = x << 4 | uint32_t(d);
    }
    if (x > max)
        return false;
    *v = x;
    return true;
}

bool ms_of(const std::string &t, uint32_t *v)
{
    char *end = nullptr;
    const unsigned long x = std::strtoul(t.c_str(), &end, 10);
    if (t.empty() || *end != '\0' || x > 600000)
        return false;
    *v = uint32_t(x);
    return true;
}

// Tokens from `at` up to a keyword as bytes: hex pairs ("F1 90", "F190")
// or quoted text.
bool bytes_of(const std::vector<std::string> &t, size_t *at, Bytes *out)
{
    out->clear();
    for (; *at < t.size(); ++*at) {
        const std::string &w = t[*at];
        if (w[0] == '"') {
            out->insert(out->end(), w.begin() + 1, w.end());
            continue;
        }
        if (w == "pending" || w == "writable")
            break;
        if (w.size() % 2 != 0)
            return false;
        for (size_t i = 0; i < w.size(); i += 2) {
            uint32_t b;
            if (!hex_of(w.substr(i, 2), 0xFF, &b))
                return false;
            out->push_back(uint8_t(b));
        }
    }
    return true;
}

bool id_of(const std::string &t, uint32_t *id, bool *extended)
{
    *extended = t.size() == 8;
    return hex_of(t, *extended ? 0x1FFFFFFF : 0x7FF, id);
}

// One statement; "" or what was expected.
std::string statement(const std::vector<std::string> &t, EcuModel *m)
{
    const std::string &k = t[0];
    uint32_t v = 0;
    bool ext = false;
    if (k == "channel") {
        if (t.size() != 2 || (t[1] != "CAN1" && t[1] != "CAN2"))
            return "channel CAN1 or CAN2";
        m->channel = t[1] == "CAN1" ? 0 : 1;
    } else if (k == "request" || k == "response" || k == "functional") {
        if (t.size() != 2 || !id_of(t[1], &v, &ext))
            return k + " and an identifier (3 hex digits, or 8 for 29 bits)";
        if (k == "request")
            m->iso.address.rx_id = v;
        else if (k == "response")
            m->iso.address.tx_id = v;
        else
            m->functional_id = v;
        if (k != "functional")
            m->iso.address.extended_id = ext;
    } else if (k == "padding") {
        if (t.size() != 2 || !hex_of(t[1], 0xFF, &v))
            return "padding and a hex byte";
        m->iso.padding = uint8_t(v);
        m->iso.min_len = 8;
    } else if (k == "secret") {
        if (t.size() != 2 || !hex_of(t[1], 0xFFFFFFFF, &v))
            return "secret and 8 hex digits";
        m->secret = v;
    } else if (k == "security") {
        if (t.size() < 2)
            return "security and its odd levels (01, 03 ...)";
        for (size_t i = 1; i < t.size(); ++i) {
            if (!hex_of(t[i], 0x7F, &v) || v % 2 == 0)
                return "an odd security level (01-7F)";
            m->security_levels.push_back(uint8_t(v));
        }
    } else if (k == "did") {
        EcuModel::Did d;
        size_t at = 2;
        if (t.size() < 3 || !hex_of(t[1], 0xFFFF, &v) || !bytes_of(t, &at, &d.value) || d.value.empty())
            return "did, an identifier (4 hex digits) and its value (hex bytes or \"text\")";
        for (; at < t.size(); ++at) {
            if (t[at] == "writable") {
                d.writable = true;
            } else if (t[at] == "pending" && at + 1 < t.size() && ms_of(t[at + 1], &d.pending_ms)) {
                ++at;
            } else {
                return "writable or pending MS after the value";
            }
        }
        m->dids[uint16_t(v)] = d;
    } else if (k == "dtc") {
        uint32_t status;
        if (t.size() != 3 || t[1].size() != 6 || !hex_of(t[1], 0xFFFFFF, &v) || !hex_of(t[2], 0xFF, &status))
            return "dtc, its code (6 hex digits) and its status byte";
        m->dtcs.push_back({v, uint8_t(status)});
    } else if (k == "routine") {
        EcuModel::Routine r;
        if (t.size() < 2 || !hex_of(t[1], 0xFFFF, &v))
            return "routine and an identifier (4 hex digits)";
        for (size_t at = 2; at < t.size(); ++at) {
            if (t[at] == "result") {
                ++at;
                if (!bytes_of(t, &at, &r.result))
                    return "hex bytes after result";
                --at;
            } else if (t[at] == "pending" && at + 1 < t.size() && ms_of(t[at + 1], &r.pending_ms)) {
                ++at;
            } else {
                return "result BYTES or pending MS after the routine";
            }
        }
        m->routines[uint16_t(v)] = r;
    } else {
        return "a statement (channel, request, response, functional, padding, secret, security, did, dtc, "
               "routine)";
    }
    return "";
}

}  // namespace

bool load_ecu(const std::string &path, EcuModel *out, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    EcuModel m;
    m.iso.address.rx_id = 0x7E0;
    m.iso.address.tx_id = 0x7E8;
    std::string line;
    std::vector<std::string> t;
    for (int n = 1; std::getline(in, line); ++n) {
        std::string why;
        if (!tokens_of(line, &t))
            why = "a closing quote";
        else if (!t.empty())
            why = statement(t, &m);
        if (!why.empty()) {
            *error = path + ":" + std::to_string(n) + ": expected " + why;
            return false;
        }
    }
    *out = m;
    return true;
}

}  // namespace velk::sim
