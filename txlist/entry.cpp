// An entry of the transmit list turned into the library's frame record for
// one cycle: the payload (frame text or encoded message), the counter's
// value of that cycle, then the checksum.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "adapter_time.h"
#include "internal.h"

namespace velk::txlist {

namespace {

bool range_ok(int first, int last, int len)
{
    return first >= 0 && first <= last && last < len;
}

const dbc::Signal *find_signal(const dbc::Message &m, const std::string &name)
{
    for (const dbc::Signal &s : m.signals)
        if (s.name == name || s.short_name == name)
            return &s;
    return nullptr;
}

std::vector<dbc::Assignment> assignments(const Entry &e)
{
    std::vector<dbc::Assignment> out;
    for (const auto &[sig, value] : e.signals) {
        char *end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (!value.empty() && end != nullptr && *end == '\0')
            out.emplace_back(sig, v);
        else
            out.emplace_back(sig, std::string_view(value));
    }
    return out;
}

// Puts a value (physical, from a raw value) for `name` among the assignments.
void assign_raw(std::vector<dbc::Assignment> &a, const dbc::Signal &s, uint64_t raw)
{
    const double v = static_cast<double>(raw) * s.factor + s.offset;
    for (dbc::Assignment &x : a) {
        if (x.signal == s.name || x.signal == s.short_name) {
            x.value = v;
            x.text = {};
            return;
        }
    }
    a.emplace_back(s.name, v);
}

bool build_message(const Entry &e, const dbc::Database *db, uint64_t cycle, trace::Frame *f, std::string *why)
{
    if (db == nullptr) {
        *why = "message " + e.message + ": no database loaded";
        return false;
    }
    const dbc::Message *m = db->find(e.message);
    if (m == nullptr) {
        *why = "no message " + e.message + " in the database";
        return false;
    }
    std::vector<dbc::Assignment> a = assignments(e);
    if (e.counter.kind == Counter::Signal) {
        const dbc::Signal *s = find_signal(*m, e.counter.signal);
        if (s == nullptr) {
            *why = "counter: no signal " + e.counter.signal + " in " + e.message;
            return false;
        }
        const uint64_t max = e.counter.max != 0 ? e.counter.max : counter_raw_max(*s);
        assign_raw(a, *s, counter_value(e.counter.min, e.counter.min, max, cycle));
    }
    const dbc::Signal *target = nullptr;
    if (e.checksum.kind != Checksum::None && !e.checksum.signal.empty()) {
        target = find_signal(*m, e.checksum.signal);
        if (target == nullptr) {
            *why = "checksum: no signal " + e.checksum.signal + " in " + e.message;
            return false;
        }
        assign_raw(a, *target, 0);
    }
    dbc::Frame d;
    if (!dbc::encode(*m, a, &d, why))
        return false;
    if (target != nullptr) {
        if (!range_ok(e.checksum.first, e.checksum.last, d.len)) {
            *why = "checksum: bytes outside the payload";
            return false;
        }
        assign_raw(a, *target, checksum_of(e.checksum, d.data) & signal_raw_max(*target));
        if (!dbc::encode(*m, a, &d, why))
            return false;
    }
    *f = trace::Frame{};
    f->id = d.id;
    f->extended = d.extended;
    f->fd = d.fd;
    f->brs = d.brs;
    f->len = static_cast<uint8_t>(d.len);
    const int dlc = trace::len_to_dlc(d.len);
    f->dlc = static_cast<uint8_t>(dlc < 0 ? 8 : dlc);
    std::memcpy(f->data.data(), d.data, sizeof(d.data));
    return true;
}

}  // namespace

bool build_frame(const Entry &e, const dbc::Database *db, uint64_t cycle, CAN_FRAME_INFO *out, std::string *why)
{
    trace::Frame f = e.frame;
    if (e.is_message() && !build_message(e, db, cycle, &f, why))
        return false;
    const int len = f.remote ? 0 : f.len;
    if (e.counter.kind == Counter::Bytes) {
        const Counter &c = e.counter;
        if (!range_ok(c.first, c.last, len)) {
            *why = "counter: bytes outside the payload";
            return false;
        }
        uint64_t start = 0;
        for (int i = c.last; i >= c.first; --i)
            start = (start << 8) | f.data[i];
        uint64_t v = counter_value(start, c.min, c.max != 0 ? c.max : bytes_max(c.first, c.last), cycle);
        for (int i = c.first; i <= c.last; ++i, v >>= 8)
            f.data[i] = static_cast<uint8_t>(v);
    }
    if (e.checksum.kind != Checksum::None && e.checksum.signal.empty()) {
        const Checksum &c = e.checksum;
        if (!range_ok(c.first, c.last, len) || c.at < 0 || c.at >= len) {
            *why = "checksum: bytes outside the payload";
            return false;
        }
        f.data[c.at] = checksum_of(c, f.data.data());
    }
    f.channel = e.channel;
    *out = trace::record_of(f);
    return true;
}

const dbc::Database *database_for(const Entry &e, const dbc::Database *own,
                                  const std::vector<std::shared_ptr<const dbc::Database>> &others)
{
    if (!e.is_message() || (own != nullptr && own->find(e.message) != nullptr))
        return own;
    for (const auto &db : others)
        if (db != nullptr && db->find(e.message) != nullptr)
            return db.get();
    return own;
}

std::string check_entry(const Entry &e, const dbc::Database *db)
{
    if (e.cycle_us < kMinCycleUs || e.cycle_us > kMaxCycleUs)
        return "cycle outside 1 ms to 100 s";
    if (e.channel != 0 && e.channel != 1)
        return "channel must be CAN1 or CAN2";
    CAN_FRAME_INFO f;
    std::string why;
    if (!build_frame(e, db, 0, &f, &why))
        return why;
    return "";
}

}  // namespace velk::txlist
