// The transmit list's text file: one entry a line, '#' starts a comment,
// "dbc PATH" names the database of the message entries. A line reads
//   CHANNEL FRAME CYCLE [count=N] [enabled=yes|no] [name=LABEL]
//           [counter=BYTES[/MAX] | counter=@SIGNAL[/MAX]]
//           [checksum=sum|xor:BYTES:AT | checksum=sum|xor:BYTES:@SIGNAL]
// where FRAME is cansend's frame text or msg:NAME followed by SIGNAL=VALUE
// words, and BYTES is one byte index or a range "2-5".
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "internal.h"

namespace velk::txlist {

namespace {

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

bool parse_uint(const std::string &t, uint64_t hi, uint64_t *v)
{
    if (t.empty() || t.size() > 20 || t.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long x = std::strtoull(t.c_str(), nullptr, 10);
    if (errno != 0 || x > hi)
        return false;
    *v = x;
    return true;
}

// "3" or "2-5": byte indices 0..63.
bool parse_bytes(const std::string &t, int *first, int *last)
{
    const size_t dash = t.find('-');
    uint64_t a, b;
    if (dash == std::string::npos) {
        if (!parse_uint(t, 63, &a))
            return false;
        b = a;
    } else if (!parse_uint(t.substr(0, dash), 63, &a) || !parse_uint(t.substr(dash + 1), 63, &b) || b < a) {
        return false;
    }
    *first = static_cast<int>(a);
    *last = static_cast<int>(b);
    return true;
}

std::string bytes_text(int first, int last)
{
    return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

bool parse_counter(const std::string &t, Counter *c, std::string *why)
{
    std::string what = t, max;
    if (const size_t slash = t.find('/'); slash != std::string::npos) {
        what = t.substr(0, slash);
        max = t.substr(slash + 1);
    }
    Counter out;
    if (!max.empty() && !parse_uint(max, ~uint64_t{0} - 1, &out.max)) {
        *why = "counter: bad wrap value '" + max + "'";
        return false;
    }
    if (what.size() > 1 && what[0] == '@') {
        out.kind = Counter::Signal;
        out.signal = what.substr(1);
    } else if (parse_bytes(what, &out.first, &out.last) && out.last - out.first < kMaxCounterBytes) {
        out.kind = Counter::Bytes;
    } else {
        *why = "counter: expected a byte, a byte range of up to 8 or @SIGNAL, not '" + what + "'";
        return false;
    }
    *c = out;
    return true;
}

bool parse_checksum(const std::string &t, Checksum *c, std::string *why)
{
    Checksum out;
    const size_t colon1 = t.find(':');
    const size_t colon2 = colon1 == std::string::npos ? colon1 : t.find(':', colon1 + 1);
    const std::string kind = t.substr(0, colon1);
    if (kind == "sum")
        out.kind = Checksum::Sum;
    else if (kind == "xor")
        out.kind = Checksum::Xor;
    if (out.kind == Checksum::None || colon2 == std::string::npos) {
        *why = "checksum: expected sum:BYTES:AT or xor:BYTES:AT, not '" + t + "'";
        return false;
    }
    if (!parse_bytes(t.substr(colon1 + 1, colon2 - colon1 - 1), &out.first, &out.last)) {
        *why = "checksum: bad byte range in '" + t + "'";
        return false;
    }
    const std::string at = t.substr(colon2 + 1);
    uint64_t v;
    if (at.size() > 1 && at[0] == '@') {
        out.signal = at.substr(1);
    } else if (parse_uint(at, 63, &v)) {
        out.at = static_cast<int>(v);
    } else {
        *why = "checksum: bad target '" + at + "' (a byte index or @SIGNAL)";
        return false;
    }
    *c = out;
    return true;
}

std::string counter_text(const Counter &c)
{
    std::string s = c.kind == Counter::Signal ? "@" + c.signal : bytes_text(c.first, c.last);
    if (c.max != 0)
        s += "/" + std::to_string(c.max);
    return s;
}

std::string checksum_text(const Checksum &c)
{
    return std::string(c.kind == Checksum::Sum ? "sum:" : "xor:") + bytes_text(c.first, c.last) + ":" +
           (c.signal.empty() ? std::to_string(c.at) : "@" + c.signal);
}

bool parse_yes_no(const std::string &t, bool *v)
{
    if (t == "yes" || t == "1" || t == "on") {
        *v = true;
        return true;
    }
    if (t == "no" || t == "0" || t == "off") {
        *v = false;
        return true;
    }
    return false;
}

std::string dir_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

bool parse_cycle(const std::string &text, uint64_t *us)
{
    struct Unit {
        const char *suffix;
        double scale;
    };
    static constexpr Unit kUnits[] = {{"us", 1}, {"ms", 1000}, {"s", 1000000}};
    for (const Unit &u : kUnits) {
        const std::string suffix = u.suffix;
        if (text.size() <= suffix.size() || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string num = text.substr(0, text.size() - suffix.size());
        if (num.find_first_not_of("0123456789.") != std::string::npos)
            return false;
        char *end = nullptr;
        const double v = std::strtod(num.c_str(), &end);
        if (end == nullptr || *end != '\0' || !std::isfinite(v))
            return false;
        const double t = std::round(v * u.scale);
        if (t < 0 || t > 1e12)
            return false;
        *us = static_cast<uint64_t>(t);
        return true;
    }
    return false;
}

std::string cycle_text(uint64_t us)
{
    char buf[32];
    if (us % 1000000 == 0)
        std::snprintf(buf, sizeof(buf), "%llus", static_cast<unsigned long long>(us / 1000000));
    else if (us % 1000 == 0)
        std::snprintf(buf, sizeof(buf), "%llums", static_cast<unsigned long long>(us / 1000));
    else
        std::snprintf(buf, sizeof(buf), "%lluus", static_cast<unsigned long long>(us));
    return buf;
}

bool parse_entry(const std::string &line, Entry *e, std::string *why)
{
    const std::vector<std::string> w = words(line);
    if (w.size() < 3) {
        *why = "expected CHANNEL FRAME CYCLE";
        return false;
    }
    Entry out;
    if (w[0] == "CAN1" || w[0] == "can1") {
        out.channel = 0;
    } else if (w[0] == "CAN2" || w[0] == "can2") {
        out.channel = 1;
    } else {
        *why = "unknown channel '" + w[0] + "' (CAN1 or CAN2)";
        return false;
    }
    if (w[1].rfind("msg:", 0) == 0 && w[1].size() > 4) {
        out.message = w[1].substr(4);
    } else {
        std::string err;
        if (!trace::parse_frame_text(w[1], &out.frame, &err) || out.frame.error) {
            *why = "bad frame '" + w[1] + "': " + (err.empty() ? "an error frame cannot be sent" : err);
            return false;
        }
    }
    if (!parse_cycle(w[2], &out.cycle_us) || out.cycle_us < kMinCycleUs || out.cycle_us > kMaxCycleUs) {
        *why = "bad cycle '" + w[2] + "' (1ms to 100s, as 10ms or 1.5s)";
        return false;
    }
    for (size_t i = 3; i < w.size(); ++i) {
        const size_t eq = w[i].find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == w[i].size()) {
            *why = "expected KEY=VALUE, not '" + w[i] + "'";
            return false;
        }
        const std::string key = w[i].substr(0, eq), value = w[i].substr(eq + 1);
        if (key == "count") {
            if (!parse_uint(value, ~uint64_t{0}, &out.count)) {
                *why = "bad count '" + value + "'";
                return false;
            }
        } else if (key == "enabled") {
            if (!parse_yes_no(value, &out.enabled)) {
                *why = "enabled: yes or no, not '" + value + "'";
                return false;
            }
        } else if (key == "name") {
            out.name = value;
        } else if (key == "counter") {
            if (!parse_counter(value, &out.counter, why))
                return false;
        } else if (key == "checksum") {
            if (!parse_checksum(value, &out.checksum, why))
                return false;
        } else if (out.is_message()) {
            out.signals.emplace_back(key, value);
        } else {
            *why = "unknown key '" + key + "' (signal values need a msg: entry)";
            return false;
        }
    }
    if (!out.is_message() && (out.counter.kind == Counter::Signal || !out.checksum.signal.empty())) {
        *why = "a signal as counter or checksum target needs a msg: entry";
        return false;
    }
    *e = std::move(out);
    return true;
}

std::string entry_line(const Entry &e)
{
    std::string s = e.channel == 0 ? "CAN1 " : "CAN2 ";
    s += e.is_message() ? "msg:" + e.message : trace::frame_text(e.frame, true);
    s += " " + cycle_text(e.cycle_us);
    for (const auto &[sig, value] : e.signals)
        s += " " + sig + "=" + value;
    if (e.count != 0)
        s += " count=" + std::to_string(e.count);
    if (!e.enabled)
        s += " enabled=no";
    if (e.counter.kind != Counter::None)
        s += " counter=" + counter_text(e.counter);
    if (e.checksum.kind != Checksum::None)
        s += " checksum=" + checksum_text(e.checksum);
    if (!e.name.empty())
        s += " name=" + e.name;
    return s;
}

bool parse_list(const std::string &text, const std::string &name, const std::string &base_dir, List *list,
                std::string *error)
{
    List out;
    std::istringstream in(text);
    std::string line;
    int n = 0;
    auto fail = [&](const std::string &what) {
        *error = name + ":" + std::to_string(n) + ": " + what;
        return false;
    };
    std::vector<int> entry_lines;
    while (std::getline(in, line)) {
        ++n;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (const size_t hash = line.find('#'); hash != std::string::npos) {
            // '#' inside a frame text (123#11) is the frame's; a comment
            // starts at a '#' that begins a word.
            size_t at = hash;
            while (at != std::string::npos && at > 0 && line[at - 1] != ' ' && line[at - 1] != '\t')
                at = line.find('#', at + 1);
            if (at != std::string::npos)
                line.erase(at);
        }
        const std::vector<std::string> w = words(line);
        if (w.empty())
            continue;
        if (w[0] == "dbc") {
            if (w.size() != 2)
                return fail("expected dbc PATH");
            if (out.db)
                return fail("a second dbc line");
            const std::string path = w[1][0] == '/' ? w[1] : base_dir + w[1];
            auto db = std::make_shared<dbc::Database>();
            const dbc::LoadResult r = dbc::load_file(path, db.get());
            if (!r.ok)
                return fail("database: " + r.error);
            out.dbc_path = w[1];
            out.db = db;
            continue;
        }
        Entry e;
        std::string why;
        if (!parse_entry(line, &e, &why))
            return fail(why);
        out.entries.push_back(std::move(e));
        entry_lines.push_back(n);
    }
    for (size_t i = 0; i < out.entries.size(); ++i) {
        n = entry_lines[i];
        if (const std::string why = check_entry(out.entries[i], out.db.get()); !why.empty())
            return fail(why);
    }
    *list = std::move(out);
    return true;
}

bool load_list(const std::string &path, List *list, std::string *error)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << f.rdbuf();
    return parse_list(text.str(), path, dir_of(path), list, error);
}

std::string list_text(const List &list)
{
    std::string s = "# velk transmit list: CHANNEL FRAME CYCLE [options]\n";
    if (!list.dbc_path.empty())
        s += "dbc " + list.dbc_path + "\n";
    for (const Entry &e : list.entries)
        s += entry_line(e) + "\n";
    return s;
}

bool save_list(const std::string &path, const List &list, std::string *error)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << list_text(list);
        f.flush();
        if (!f) {
            *error = path + ": cannot be written";
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = path + ": cannot be written";
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace velk::txlist
