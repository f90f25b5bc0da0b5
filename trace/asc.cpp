// Vector ASC: a header with the measurement's start date, then one line per
// event, its time in seconds from that start:
//   0.001000 1  123             Rx   d 4 DE AD BE EF
//   0.002000 2  1ABCDEF0x       Tx   r 2
//   0.003000 CANFD   1 Rx      123  <name>  1 0 9 12 00 11 ... <duration> <bits> <flags> <crc> ...
//   0.004000 1  ErrorFrame
// Lines are laid out as can-utils' log2asc and python-can write them.
// can-utils' asc2log takes BRS and ESI from the CAN FD flags field (0x1000
// EDL, 0x2000 BRS, 0x4000 ESI) and drops a CAN FD line without it, so the
// writer always fills the trailing fields; the reader takes the BRS and ESI
// columns and ignores trailing fields it does not need.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "formats.h"

namespace velk::trace::detail {

namespace {

constexpr const char *kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// German month names that differ, as some CANoe installations write them.
struct MonthAlias {
    const char *name;
    int month;
};
constexpr MonthAlias kMonthAliases[] = {{"Mär", 2}, {"Mrz", 2}, {"Mai", 4}, {"Okt", 9}, {"Dez", 11}};

constexpr unsigned kFlagEdl = 0x1000;
constexpr unsigned kFlagBrs = 0x2000;
constexpr unsigned kFlagEsi = 0x4000;
constexpr unsigned kFlagRtr = 0x0010;

std::string date_text(int64_t us)
{
    const time_t sec = static_cast<time_t>(us / 1000000);
    struct tm tm;
    localtime_r(&sec, &tm);
    const int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    char b[64];
    std::snprintf(b, sizeof b, "%s %s %02d %02d:%02d:%02d.%03d %s %d", kWeekdays[tm.tm_wday], kMonths[tm.tm_mon],
                  tm.tm_mday, hour12, tm.tm_min, tm.tm_sec, static_cast<int>(us / 1000 % 1000),
                  tm.tm_hour < 12 ? "am" : "pm", tm.tm_year + 1900);
    return b;
}

int month_of(std::string_view s)
{
    for (int m = 0; m < 12; ++m)
        if (equal_nocase(s, kMonths[m]))
            return m;
    for (const MonthAlias &a : kMonthAliases)
        if (s == a.name)
            return a.month;
    return -1;
}

bool fail(std::string *why, const std::string &text)
{
    *why = text;
    return false;
}

int bad_line(std::string *why, const std::string &text)
{
    *why = text;
    return -1;
}

// An identifier in the file's base, 'x' marking a 29-bit one.
bool parse_id(std::string_view s, int base, Frame *f, std::string *why)
{
    f->extended = !s.empty() && (s.back() == 'x' || s.back() == 'X');
    if (f->extended)
        s.remove_suffix(1);
    uint64_t v;
    if (!parse_uint(s, base, 0xFFFFFFFF, &v))
        return fail(why, "malformed identifier " + std::string(s));
    if (v > (f->extended ? 0x1FFFFFFFu : 0x7FFu))
        return fail(why, "identifier " + std::string(s) + " out of range");
    f->id = static_cast<uint32_t>(v);
    return true;
}

bool parse_bytes(const std::vector<std::string_view> &w, size_t from, int n, int base, Frame *f, std::string *why)
{
    if (w.size() < from + static_cast<size_t>(n))
        return fail(why, "fewer data bytes than the length says");
    for (int i = 0; i < n; ++i) {
        uint64_t v;
        if (!parse_uint(w[from + static_cast<size_t>(i)], base, 255, &v))
            return fail(why, "malformed data byte " + std::string(w[from + static_cast<size_t>(i)]));
        f->data[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    }
    f->len = static_cast<uint8_t>(n);
    return true;
}

bool is_direction(std::string_view s)
{
    return s == "Rx" || s == "Tx";
}

bool is_digits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// CANFD <ch> <dir> <id> [<name>] <brs> <esi> <dlc> <len> <bytes> [<duration> <bits> <flags> ...]
int fd_event(const std::vector<std::string_view> &w, int base, Frame *f, std::string *name, std::string *why)
{
    if (w.size() < 5 || !is_digits(w[2]) || !is_direction(w[3]))
        return bad_line(why, "malformed CANFD line");
    *name = std::string(w[2]);
    f->tx = w[3] == "Tx";
    if (equal_nocase(w[4], "ErrorFrame")) {
        f->error = true;
        return 1;
    }
    if (!parse_id(w[4], base, f, why))
        return -1;
    size_t k = 5;
    if (k < w.size() && !is_digits(w[k]))
        ++k;  // a symbolic name
    if (w.size() < k + 4)
        return bad_line(why, "CANFD line ends early");
    uint64_t brs, esi, dlc, len;
    if (!parse_uint(w[k], 10, 1, &brs) || !parse_uint(w[k + 1], 10, 1, &esi))
        return bad_line(why, "BRS and ESI must be 0 or 1");
    if (!parse_uint(w[k + 2], 16, 15, &dlc) || !parse_uint(w[k + 3], 10, 64, &len))
        return bad_line(why, "malformed DLC or length");
    if (!parse_bytes(w, k + 4, static_cast<int>(len), base, f, why))
        return -1;
    f->fd = true;
    f->brs = brs != 0;
    f->esi = esi != 0;
    f->dlc = static_cast<uint8_t>(dlc);
    // Trailing fields: message duration, bit count, then the flags. Without
    // the EDL flag the line holds a classic frame (log2asc -f writes those).
    const size_t flags_at = k + 4 + len + 2;
    uint64_t flags;
    if (flags_at < w.size() && parse_uint(w[flags_at], 16, 0xFFFFFFFF, &flags) && (flags & kFlagEdl) == 0) {
        f->fd = f->brs = f->esi = false;
        f->remote = (flags & kFlagRtr) != 0;
        if (f->remote)
            f->len = 0;
        if (f->dlc > 8 ? len != 8 : len != (f->remote ? 0 : dlc))
            return bad_line(why, "classic frame length does not match its DLC");
        return 1;
    }
    if (static_cast<int>(len) != dlc_to_len(static_cast<int>(dlc)))
        return bad_line(why, "CAN FD length does not match its DLC");
    return 1;
}

}  // namespace

const char kAscFooter[] = "End TriggerBlock\n";

std::string asc_header(int64_t start_us, const std::string &note)
{
    const std::string date = date_text(start_us);
    std::string h = "date " + date + "\nbase hex  timestamps absolute\n";
    if (!note.empty())
        h += "// " + note + "\n";
    h += "internal events logged\nBegin Triggerblock " + date + "\n   0.000000 Start of measurement\n";
    return h;
}

void asc_append_frame(std::string *out, const Frame &f, int64_t start_us)
{
    char b[160];
    const std::string t = seconds_text(frame_us(f) - start_us);
    const int ch = f.channel + 1;
    const char *dir = f.tx ? "Tx" : "Rx";
    char id[16];
    std::snprintf(id, sizeof id, f.extended ? "%Xx" : "%X", f.id);
    if (f.error) {
        std::snprintf(b, sizeof b, "%11s %d  ErrorFrame\n", t.c_str(), ch);
        *out += b;
        return;
    }
    if (f.fd) {
        std::snprintf(b, sizeof b, "%11s CANFD %3d %-4s %8s  %32s %d %d %x %2d ", t.c_str(), ch, dir, id, "",
                      f.brs ? 1 : 0, f.esi ? 1 : 0, f.dlc, f.len);
        *out += b;
        append_hex(out, f.data.data(), f.len, true);
        const unsigned flags = kFlagEdl | (f.brs ? kFlagBrs : 0) | (f.esi ? kFlagEsi : 0);
        std::snprintf(b, sizeof b, " %8d %4d %8X %8d %8d %8d %8d %8d\n", 0, 0, flags, 0, 0, 0, 0, 0);
        *out += b;
        return;
    }
    // Classic DLC codes above 8 are written as 8: can-utils' asc2log drops
    // classic lines with a larger DLC.
    const int dlc = f.dlc > 8 ? 8 : f.dlc;
    if (f.remote) {
        std::snprintf(b, sizeof b, "%11s %d  %-15s %s   r %x\n", t.c_str(), ch, id, dir, dlc);
        *out += b;
        return;
    }
    std::snprintf(b, sizeof b, "%11s %d  %-15s %s   d %x", t.c_str(), ch, id, dir, dlc);
    *out += b;
    for (int i = 0; i < f.len; ++i) {
        std::snprintf(b, sizeof b, " %02X", f.data[static_cast<size_t>(i)]);
        *out += b;
    }
    *out += '\n';
}

bool asc_date(std::string_view text, int64_t *us)
{
    // [weekday] month day hh:mm:ss[.fff] [am|pm] year
    auto w = split_ws(text);
    if (!w.empty() && month_of(w[0]) < 0)
        w.erase(w.begin());
    if (w.size() < 4)
        return false;
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_mon = month_of(w[0]);
    uint64_t day, year;
    if (tm.tm_mon < 0 || !parse_uint(w[1], 10, 31, &day))
        return false;
    tm.tm_mday = static_cast<int>(day);
    const std::string clock(w[2]);
    unsigned h, m, s;
    int used = 0;
    if (std::sscanf(clock.c_str(), "%2u:%2u:%2u%n", &h, &m, &s, &used) != 3 || h > 23 || m > 59 || s > 60)
        return false;
    int64_t ms = 0;
    if (static_cast<size_t>(used) < clock.size()) {
        int64_t frac;
        const std::string fraction = join({"0", std::string_view(clock).substr(static_cast<size_t>(used))});
        if (clock[static_cast<size_t>(used)] != '.' || !parse_seconds(fraction, false, &frac))
            return false;
        ms = frac / 1000;
    }
    size_t k = 3;
    if (equal_nocase(w[k], "am") || equal_nocase(w[k], "pm")) {
        if (h < 1 || h > 12)
            return false;
        h = h % 12 + (equal_nocase(w[k], "pm") ? 12 : 0);
        ++k;
    }
    if (k >= w.size() || !parse_uint(w[k], 10, 9999, &year) || year < 1970)
        return false;
    tm.tm_hour = static_cast<int>(h);
    tm.tm_min = static_cast<int>(m);
    tm.tm_sec = static_cast<int>(s);
    tm.tm_year = static_cast<int>(year) - 1900;
    tm.tm_isdst = -1;
    const time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1))
        return false;
    *us = int64_t{t} * 1000000 + ms * 1000;
    return true;
}

int asc_event(std::string_view line, int base, Frame *f, std::string *name, int64_t *rel_us, std::string *why)
{
    const auto w = split_ws(line);
    if (!parse_seconds(w[0], true, rel_us))
        return bad_line(why, "malformed time " + std::string(w[0]));
    if (w.size() < 3)
        return 0;
    if (w[1] == "CANFD")
        return fd_event(w, base, f, name, why);
    if (!is_digits(w[1]))
        return 0;  // another kind of event: statistics, J1939, start of measurement, ...
    *name = std::string(w[1]);
    if (equal_nocase(w[2], "ErrorFrame")) {
        f->error = true;
        return 1;
    }
    if (w.size() < 5 || !is_direction(w[3]))
        return 0;  // chip status and other events of a channel
    if (!parse_id(w[2], base, f, why))
        return -1;
    f->tx = w[3] == "Tx";
    uint64_t dlc = 0;
    if (w[4] == "r" || w[4] == "R") {
        f->remote = true;
        // The DLC after "r" is optional (older tools leave it out).
        if (w.size() > 5 && parse_uint(w[5], base, 15, &dlc))
            f->dlc = static_cast<uint8_t>(dlc);
        return 1;
    }
    if (w[4] != "d" && w[4] != "D")
        return bad_line(why, "expected d (data) or r (remote) after the direction");
    if (w.size() < 6 || !parse_uint(w[5], base, 15, &dlc))
        return bad_line(why, "malformed DLC");
    f->dlc = static_cast<uint8_t>(dlc);
    return parse_bytes(w, 6, dlc > 8 ? 8 : static_cast<int>(dlc), base, f, why) ? 1 : -1;
}

}  // namespace velk::trace::detail
