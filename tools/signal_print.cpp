// Decoded frames as the tools print them: text lines under the candump line,
// or JSON lines.
#include "signal_print.h"

#include <cstdio>

namespace velk::tools {

namespace {

void append_json_string(std::string *out, std::string_view s)
{
    static const char kHex[] = "0123456789abcdef";
    *out += '"';
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += ch;
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\t') {
            *out += "\\t";
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            *out += "\\u00";
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            *out += ch;
        }
    }
    *out += '"';
}

void append_bool(std::string *out, const char *key, bool v)
{
    *out += ", \"";
    *out += key;
    *out += v ? "\": true" : "\": false";
}

}  // namespace

bool SignalDecoder::add(const char *prog, const std::string &path)
{
    dbc::Database db;
    const dbc::LoadResult r = dbc::load_file(path, &db);
    for (const dbc::Warning &w : r.warnings)
        std::fprintf(stderr, "%s: warning: %s\n", prog, w.text.c_str());
    if (!r.ok) {
        std::fprintf(stderr, "%s: %s\n", prog, r.error.c_str());
        return false;
    }
    if (!r.warnings.empty())  // a file that lost messages shows it here
        std::fprintf(stderr, "%s: %s: %zu message%s, %zu signal%s (loaded with %zu warning%s)\n", prog, path.c_str(),
                     db.messages().size(), db.messages().size() == 1 ? "" : "s", db.signal_count(),
                     db.signal_count() == 1 ? "" : "s", r.warnings.size(), r.warnings.size() == 1 ? "" : "s");
    if (db.max_signals() > values_.size())
        values_.resize(db.max_signals());
    dbs_.push_back(std::move(db));
    return true;
}

const dbc::Message *SignalDecoder::find(std::string_view name) const
{
    for (const dbc::Database &db : dbs_)
        if (const dbc::Message *m = db.find(name))
            return m;
    return nullptr;
}

const dbc::Message *SignalDecoder::decode(const trace::Frame &f)
{
    count_ = 0;
    if (f.error)
        return nullptr;
    const dbc::Message *m = nullptr;
    for (const dbc::Database &db : dbs_) {
        m = db.find(f.id, f.extended);
        if (m != nullptr)
            break;
    }
    if (m == nullptr && j1939_ && f.extended) {
        for (const dbc::Database &db : dbs_) {
            m = db.find_j1939(f.id);
            if (m != nullptr)
                break;
        }
    }
    if (m != nullptr && !f.remote)
        count_ = dbc::decode(*m, f.data.data(), f.len, values_.data());
    return m;
}

std::string bus_name(const trace::Frame &f, trace::Format format, const trace::Reader &r)
{
    if (format == trace::Format::CandumpLog || format == trace::Format::Pcapng || format == trace::Format::Pcap ||
        f.channel < 0)
        return r.channel_name();
    return f.channel == 1 ? "can1" : "can0";
}

void append_json_line(std::string *out, const trace::Frame &f, const std::string &bus, const dbc::Message *m,
                      const dbc::Value *values, int n)
{
    char b[64];
    std::snprintf(b, sizeof b, "{\"t\": %lld.%06u, \"bus\": ", static_cast<long long>(f.sec), f.usec);
    *out += b;
    append_json_string(out, bus);
    std::snprintf(b, sizeof b, ", \"id\": %u", f.id);
    *out += b;
    append_bool(out, "ext", f.extended);
    append_bool(out, "fd", f.fd);
    append_bool(out, "brs", f.brs);
    *out += ", \"data\": \"";
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < f.len; ++i) {
        *out += kDigits[f.data[static_cast<size_t>(i)] >> 4];
        *out += kDigits[f.data[static_cast<size_t>(i)] & 15];
    }
    *out += "\", \"message\": ";
    if (m != nullptr)
        append_json_string(out, m->name);
    else
        *out += "null";
    *out += ", \"signals\": {";
    bool first = true;
    for (int i = 0; i < n; ++i) {
        const dbc::Value &v = values[i];
        if (v.missing)
            continue;
        *out += first ? "" : ", ";
        first = false;
        append_json_string(out, v.signal->name);
        *out += ": ";
        if (!dbc::append_number(out, v))
            *out += "null";
    }
    *out += "}, \"text\": {";
    first = true;
    for (int i = 0; i < n; ++i) {
        const dbc::Value &v = values[i];
        if (v.missing || v.text == nullptr)
            continue;
        *out += first ? "" : ", ";
        first = false;
        append_json_string(out, v.signal->name);
        *out += ": ";
        append_json_string(out, v.text);
    }
    *out += "}, \"missing\": [";
    first = true;
    for (int i = 0; i < n; ++i) {
        if (!values[i].missing)
            continue;
        *out += first ? "" : ", ";
        first = false;
        append_json_string(out, values[i].signal->name);
    }
    *out += ']';
    if (f.remote)
        append_bool(out, "remote", true);
    if (f.error)
        append_bool(out, "error", true);
    if (f.tx)
        append_bool(out, "tx", true);
    *out += "}\n";
}

void append_text_lines(std::string *out, const trace::Frame &f, const std::string &bus, const dbc::Message *m,
                       const dbc::Value *values, int n)
{
    *out += trace::log_line(f, bus, false);
    *out += '\n';
    append_signal_lines(out, m, values, n);
}

void append_signal_lines(std::string *out, const dbc::Message *m, const dbc::Value *values, int n)
{
    if (m == nullptr)
        return;
    *out += "  ";
    *out += m->name;
    *out += '\n';
    for (int i = 0; i < n; ++i) {
        const dbc::Value &v = values[i];
        *out += "    ";
        *out += v.signal->name;
        if (v.missing) {
            *out += " (missing)\n";
            continue;
        }
        *out += " = ";
        *out += dbc::number_text(v);
        if (!v.signal->unit.empty()) {
            *out += ' ';
            *out += v.signal->unit;
        }
        if (v.text != nullptr) {
            *out += " \"";
            *out += v.text;
            *out += '"';
        }
        *out += '\n';
    }
}

}  // namespace velk::tools
