// PEAK's TRC trace. Versions 1.0 to 2.1 are read; 2.1 is written, with CRLF
// line endings as PCAN tools write them:
//
//   ;$FILEVERSION=2.1
//   ;$STARTTIME=45270.4895833333      days since 1899-12-30, local time
//   ;$COLUMNS=N,O,T,B,I,d,R,L,D
//         1         0.456 DT  1     0123 Rx -  4    DE AD BE EF
//         2         1.567 FB  2 1ABCDEF0 Tx -  9    00 01 02 03 04 05 06 07 08 09 0A 0B
//
// The columns of 1.x are fixed by the version ("1)  1841.0 1  Rx  0123 -  4
// DE AD BE EF" in 1.3, RTR and ERROR in the data column); 2.x names them in
// $COLUMNS: N number, O offset (ms), T type, B bus, I identifier, d Rx/Tx,
// R reserved, L DLC, l length, D data. Identifiers of more than four digits
// are 29-bit. Offsets count from $STARTTIME (1.0: from the "Start time"
// comment). Status, error counter and event lines are skipped and counted.
#include <cstring>
#include <ctime>

#include "formats.h"

namespace velk::trace::detail {

namespace {

constexpr int64_t kDayUs = int64_t{86400} * 1000000;
constexpr int64_t kEpochDays = 25569;  // 1899-12-30 to 1970-01-01
constexpr size_t kMaxLine = 1 << 16;
constexpr char kColumns21[] = "NOTBIdRLD";

std::string line_error(int line, const std::string &what)
{
    return "line " + std::to_string(line) + ": " + what;
}

// Wall-clock microseconds of a local date and time of day.
int64_t local_to_us(int64_t local_sec, int64_t sub_us)
{
    const time_t t = static_cast<time_t>(local_sec);
    struct tm tm;
    gmtime_r(&t, &tm);
    tm.tm_isdst = -1;
    return int64_t{mktime(&tm)} * 1000000 + sub_us;
}

// "45270.489583333333": days since 1899-12-30 with a fraction of a day, local time.
bool parse_days(std::string_view s, int64_t *us)
{
    const size_t dot = s.find('.');
    uint64_t days;
    if (!parse_uint(s.substr(0, dot), 10, 9999999, &days))
        return false;
    unsigned __int128 num = 0, den = 1;
    if (dot != std::string_view::npos) {
        const std::string_view frac = s.substr(dot + 1);
        if (frac.empty())
            return false;
        for (size_t i = 0; i < frac.size(); ++i) {
            if (frac[i] < '0' || frac[i] > '9')
                return false;
            if (i < 18) {
                num = num * 10 + static_cast<unsigned>(frac[i] - '0');
                den *= 10;
            }
        }
    }
    const int64_t of_day = static_cast<int64_t>((num * kDayUs + den / 2) / den);
    Frame local;
    set_frame_us(&local, (static_cast<int64_t>(days) - kEpochDays) * kDayUs + of_day);
    *us = local_to_us(local.sec, local.usec);
    return true;
}

// The broken-down local time of a wall-clock time and its microseconds.
void local_time(int64_t us, struct tm *tm, int64_t *sub_us)
{
    Frame f;
    set_frame_us(&f, us);
    const time_t t = static_cast<time_t>(f.sec);
    localtime_r(&t, tm);
    *sub_us = f.usec;
}

std::string days_text(int64_t us)
{
    struct tm tm;
    int64_t sub;
    local_time(us, &tm, &sub);
    const int64_t local_us = int64_t{timegm(&tm)} * 1000000 + sub;
    int64_t days = local_us / kDayUs, of_day = local_us % kDayUs;
    if (of_day < 0) {
        of_day += kDayUs;
        --days;
    }
    // Twelve decimals of a day: 86.4 ns, so the microseconds read back exactly.
    const uint64_t frac = (static_cast<uint64_t>(of_day) * 625 + 27) / 54;
    char b[48];
    std::snprintf(b, sizeof b, "%lld.%012llu", static_cast<long long>(days + kEpochDays),
                  static_cast<unsigned long long>(frac));
    return b;
}

// "11.09.2002 16:00:20.682", as the comment lines of every version say it
// (some add ".0", tenths of a millisecond).
bool parse_start_comment(std::string_view s, int64_t *us)
{
    int d, mo, y, h, mi, sec, ms;
    char rest[8] = "";
    const std::string text(s.substr(0, 40));
    if (std::sscanf(text.c_str(), "%2d.%2d.%4d %2d:%2d:%2d.%3d%7s", &d, &mo, &y, &h, &mi, &sec, &ms, rest) < 7)
        return false;
    if (d < 1 || d > 31 || mo < 1 || mo > 12 || y < 1900 || h > 23 || mi > 59 || sec > 60 || ms < 0)
        return false;
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    int64_t sub = int64_t{ms} * 1000;
    if (rest[0] == '.' && rest[1] >= '0' && rest[1] <= '9')
        sub += (rest[1] - '0') * 100;
    *us = int64_t{mktime(&tm)} * 1000000 + sub;
    return true;
}

// Lines of a file of any size, each at most kMaxLine bytes.
class LineSource {
public:
    explicit LineSource(FILE *file) : file_(file) {}
    // 1 a line (without its CR LF), 0 the end, -1 a line too long or a read error.
    int next(std::string *line)
    {
        line->clear();
        for (;;) {
            if (at_ == buf_.size()) {
                buf_.resize(kMaxLine);
                const size_t got = std::fread(buf_.data(), 1, buf_.size(), file_);
                buf_.resize(got);
                at_ = 0;
                if (got == 0) {
                    if (std::ferror(file_))
                        return -1;
                    return line->empty() && !partial_ ? 0 : (partial_ = false, 1);
                }
            }
            const char *start = buf_.data() + at_;
            const void *nl = std::memchr(start, '\n', buf_.size() - at_);
            const size_t n = nl ? static_cast<size_t>(static_cast<const char *>(nl) - start) : buf_.size() - at_;
            if (line->size() + n > kMaxLine)
                return -1;
            line->append(start, n);
            at_ += n;
            if (nl) {
                ++at_;
                partial_ = false;
                return 1;
            }
            partial_ = true;
        }
    }

    // The file offset of the next line; -1 inside a line or where the file cannot tell.
    int64_t offset() const
    {
        const off_t end = ftello(file_);
        return partial_ || end < 0 ? -1 : static_cast<int64_t>(end) - static_cast<int64_t>(buf_.size() - at_);
    }
    bool seek(FILE *file, uint64_t offset)
    {
        file_ = file;
        buf_.clear();
        at_ = 0;
        partial_ = false;
        return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0;
    }

private:
    FILE *file_;
    std::vector<char> buf_;
    size_t at_ = 0;
    bool partial_ = false;
};

class TrcDecoder : public Decoder {
public:
    explicit TrcDecoder(FILE *file) : lines_(file) {}
    int next(Frame *f, std::string *name, std::string *why) override;
    std::string summary() const override
    {
        return skipped_ == 0 ? std::string()
                             : std::to_string(skipped_) + " status, error counter and event lines skipped";
    }
    // Once the header is read, lines stand alone: a place is a line's offset.
    bool mark(ResumePoint *p) const override
    {
        const int64_t at = lines_.offset();
        if (!body_ || at < 0)
            return false;
        p->offset = static_cast<uint64_t>(at);
        p->line = line_;
        p->count = skipped_;
        return true;
    }
    bool resume(FILE *file, const ResumePoint &p) override
    {
        if (!body_ || !lines_.seek(file, p.offset))
            return false;
        line_ = p.line;
        skipped_ = p.count;
        return true;
    }

private:
    int header(std::string_view text, std::string *why);
    bool begin_body(std::string *why);
    int frame(std::string_view text, Frame *f, std::string *name, std::string *why);
    int fail(std::string *why, const std::string &what) const
    {
        *why = line_error(line_, what);
        return -1;
    }

    LineSource lines_;
    std::string text_;
    int line_ = 0;
    int version_ = 10;  // 10 * major + minor
    bool body_ = false;
    int64_t start_us_ = 0;
    bool have_start_ = false;
    int64_t comment_start_us_ = 0;
    bool have_comment_start_ = false;
    std::string columns_;
    uint64_t skipped_ = 0;
};

int TrcDecoder::next(Frame *f, std::string *name, std::string *why)
{
    for (;;) {
        const int r = lines_.next(&text_);
        if (r == 0)
            return 0;
        ++line_;
        if (r < 0)
            return fail(why, "read error or a line longer than 65536 bytes");
        for (char c : text_) {
            const unsigned char u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t' && c != '\r') || u == 0x7F)
                return fail(why, "binary data, not a TRC trace");
        }
        std::string_view t = trim(text_);
        if (line_ == 1 && t.substr(0, 3) == "\xEF\xBB\xBF")
            t = trim(t.substr(3));
        if (t.empty())
            continue;
        if (t[0] == ';') {
            if (header(t.substr(1), why) < 0)
                return -1;
            continue;
        }
        if (!body_ && !begin_body(why))
            return -1;
        const int got = frame(t, f, name, why);
        if (got != 0)
            return got;
    }
}

int TrcDecoder::header(std::string_view text, std::string *why)
{
    if (body_)
        return 0;
    const std::string_view t = trim(text);
    const size_t eq = t.find('=');
    const std::string_view key = trim(t.substr(0, eq));
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : trim(t.substr(eq + 1));
    if (key == "$FILEVERSION") {
        static constexpr const char *kVersions[] = {"1.0", "1.1", "1.2", "1.3", "2.0", "2.1"};
        for (const char *v : kVersions)
            if (value == v) {
                version_ = (v[0] - '0') * 10 + (v[2] - '0');
                return 0;
            }
        return fail(why, "TRC version " + std::string(value) + " is not read (1.0 to 2.1 are)");
    }
    if (key == "$STARTTIME") {
        if (!parse_days(value, &start_us_))
            return fail(why, "$STARTTIME must be days since 1899-12-30, such as 45270.4895833333");
        have_start_ = true;
        return 0;
    }
    if (key == "$COLUMNS") {
        columns_.clear();
        size_t i = 0;
        while (i < value.size()) {
            const size_t comma = value.find(',', i);
            const std::string_view c = trim(value.substr(i, comma == std::string_view::npos ? comma : comma - i));
            if (c.size() != 1 || std::strchr("NOTBIdRLlD", c[0]) == nullptr)
                return fail(why, "$COLUMNS names an unknown column '" + std::string(c) + "'");
            if (columns_.find(c[0]) != std::string::npos)
                return fail(why, "$COLUMNS names the column " + std::string(c) + " twice");
            columns_ += c[0];
            if (comma == std::string_view::npos)
                break;
            i = comma + 1;
        }
        return 0;
    }
    const size_t st = t.find("Start time:");
    if (st != std::string_view::npos && !have_comment_start_)
        have_comment_start_ = parse_start_comment(trim(t.substr(st + 11)), &comment_start_us_);
    return 0;
}

bool TrcDecoder::begin_body(std::string *why)
{
    body_ = true;
    if (!have_start_ && have_comment_start_)
        start_us_ = comment_start_us_;
    if (version_ < 20) {
        // The fixed columns of 1.x; T holds Rx, Tx, Warng or Error there.
        static constexpr const char *kLayouts[] = {"NOILD", "NOTILD", "NOBTILD", "NOBTIRLD"};
        columns_ = kLayouts[version_ - 10];
        return true;
    }
    if (columns_.empty())
        columns_ = version_ == 20 ? "NOTIdlD" : kColumns21;
    for (char c : {'O', 'T', 'I', 'D'})
        if (columns_.find(c) == std::string::npos) {
            fail(why, std::string("$COLUMNS lacks the column ") + c);
            return false;
        }
    if (columns_.find('L') == std::string::npos && columns_.find('l') == std::string::npos) {
        fail(why, "$COLUMNS lacks the length (L or l)");
        return false;
    }
    return true;
}

int TrcDecoder::frame(std::string_view text, Frame *f, std::string *name, std::string *why)
{
    const std::vector<std::string_view> w = split_ws(text);
    const size_t ncol = columns_.size();
    const size_t data_col = columns_.find('D');
    // The data column takes what the others leave; columns after it count from the end.
    auto col = [&](char c) -> std::string_view {
        const size_t i = columns_.find(c);
        if (i == std::string::npos)
            return {};
        const size_t at_word = i < data_col ? i : w.size() - (ncol - i);
        return at_word < w.size() ? w[at_word] : std::string_view();
    };
    const std::string_view type = col('T');
    const bool v1 = version_ < 20;
    // Status, error counter and event lines have columns of their own.
    static constexpr const char *kSkipped[] = {"ST", "EC", "EV"};
    for (const char *s : kSkipped)
        if (!v1 && type == s) {
            ++skipped_;
            return 0;
        }
    if (w.size() < ncol - 1)
        return fail(why, "expected " + std::to_string(ncol - 1) + " columns or more, found " +
                             std::to_string(w.size()));
    const std::vector<std::string_view> data(w.begin() + static_cast<long>(data_col),
                                             w.end() - static_cast<long>(ncol - 1 - data_col));

    bool fd = false, error = false, remote = false;
    if (v1) {
        if (type == "Warng" || (version_ == 10 && col('I') == "FFFFFFFF")) {
            ++skipped_;
            return 0;
        }
        if (!type.empty() && type != "Rx" && type != "Tx" && type != "Error")
            return fail(why, "unknown message type '" + std::string(type) + "' (Rx, Tx, Warng or Error)");
        error = type == "Error" || (!data.empty() && data[0] == "ERROR");
        remote = !data.empty() && data[0] == "RTR";
        f->tx = type == "Tx";
    } else {
        fd = type == "FD" || type == "FB" || type == "FE" || type == "BI";
        error = type == "ER";
        remote = type == "RR";
        if (!fd && !error && !remote && type != "DT")
            return fail(why, "unknown message type '" + std::string(type) + "'");
        f->brs = type == "FB" || type == "BI";
        f->esi = type == "FE" || type == "BI";
        const std::string_view dir = col('d');
        if (!dir.empty() && dir != "Rx" && dir != "Tx")
            return fail(why, "direction '" + std::string(dir) + "' (Rx or Tx)");
        f->tx = dir == "Tx";
    }

    int64_t offset;
    if (!parse_seconds(col('O'), true, &offset))
        return fail(why, "time offset '" + std::string(col('O')) + "' is not milliseconds");
    set_frame_us(f, start_us_ + offset / 1000);
    *name = "1";
    if (columns_.find('B') != std::string::npos) {
        uint64_t bus;
        if (!parse_uint(col('B'), 10, 255, &bus) || bus == 0)
            return fail(why, "bus '" + std::string(col('B')) + "' is not a number from 1 to 255");
        *name = std::to_string(bus);
    }
    if (error) {
        f->error = true;
        return 1;
    }

    const std::string_view id = col('I');
    uint64_t v;
    if (id.empty() || id.size() > 8 || !parse_uint(id, 16, 0xFFFFFFFF, &v))
        return fail(why, "identifier '" + std::string(id) + "' is not hexadecimal");
    f->extended = id.size() > 4;
    if (v > (f->extended ? 0x1FFFFFFFu : 0x7FFu))
        return fail(why, "identifier " + std::string(id) + " out of range");
    f->id = static_cast<uint32_t>(v);

    const bool by_length = columns_.find('L') == std::string::npos;
    const std::string_view len_text = col(by_length ? 'l' : 'L');
    uint64_t n;
    if (!parse_uint(len_text, 10, by_length && fd ? 64 : 15, &n))
        return fail(why, std::string(by_length ? "length" : "DLC") + " '" + std::string(len_text) + "' out of range");
    int len;
    if (fd) {
        const int dlc = by_length ? len_to_dlc(static_cast<int>(n)) : static_cast<int>(n);
        if (dlc < 0)
            return fail(why, "no CAN FD frame is " + std::to_string(n) + " bytes long");
        f->fd = true;
        f->dlc = static_cast<uint8_t>(dlc);
        len = dlc_to_len(dlc);
    } else {
        if (by_length && n > 8)
            return fail(why, "a classic frame's length " + std::to_string(n) + " (at most 8)");
        f->dlc = static_cast<uint8_t>(n);
        len = n > 8 ? 8 : static_cast<int>(n);
    }
    if (remote) {
        f->remote = true;
        return 1;
    }
    if (data.size() != static_cast<size_t>(len))
        return fail(why, std::to_string(data.size()) + " data bytes where the " + (by_length ? "length" : "DLC") +
                             " says " + std::to_string(len));
    for (int i = 0; i < len; ++i) {
        const std::string_view b = data[static_cast<size_t>(i)];
        if (b.size() != 2 || hex_digit(b[0]) < 0 || hex_digit(b[1]) < 0)
            return fail(why, "data byte '" + std::string(b) + "' is not two hex digits");
        f->data[static_cast<size_t>(i)] = static_cast<uint8_t>(hex_digit(b[0]) << 4 | hex_digit(b[1]));
    }
    f->len = static_cast<uint8_t>(len);
    return 1;
}

class TrcEncoder : public Encoder {
public:
    explicit TrcEncoder(const WriteOptions &options) : options_(options) {}
    bool begin(Output &) override { return true; }
    bool write(Output &out, const Frame &f) override;
    bool flush(Output &) override { return true; }
    bool finish(Output &out) override;

private:
    bool header(Output &out, int64_t start_us);

    WriteOptions options_;
    bool started_ = false;
    int64_t start_us_ = 0;
    uint64_t number_ = 0;
    std::string line_;
};

bool TrcEncoder::header(Output &out, int64_t start_us)
{
    started_ = true;
    start_us_ = start_us;
    struct tm tm;
    int64_t sub;
    local_time(start_us, &tm, &sub);
    char when[64];
    std::snprintf(when, sizeof when, "%02d.%02d.%04d %02d:%02d:%02d.%03d.%d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(sub / 1000),
                  static_cast<int>(sub / 100 % 10));
    std::string h;
    auto add = [&h](std::string_view line) {
        h += line;
        h += "\r\n";
    };
    add(";$FILEVERSION=2.1");
    add(join({";$STARTTIME=", days_text(start_us)}));
    add(join({";$COLUMNS=N,O,T,B,I,d,R,L,D"}));
    add(";");
    add(join({";   Start time: ", when}));
    add(";   Generated by velk");
    add(";-------------------------------------------------------------------------------");
    add(";   Bus  Name");
    add(join({";   1    ", options_.names[0]}));
    add(join({";   2    ", options_.names[1]}));
    add(";-------------------------------------------------------------------------------");
    add(";   Number, time offset (ms), type, bus, identifier (hex), Rx/Tx, reserved,");
    add(";   DLC, data bytes (hex)");
    add(";---+-- ------+------ +- +- --+----- +- +- +--- +- -- -- -- -- -- -- --");
    return out.put(h);
}

bool TrcEncoder::write(Output &out, const Frame &f)
{
    if (!started_ && !header(out, options_.start_us >= 0 ? options_.start_us : frame_us(f)))
        return false;
    const int64_t off = frame_us(f) - start_us_;
    const uint64_t a = static_cast<uint64_t>(off < 0 ? -off : off);
    char offset[32], id[16];
    std::snprintf(offset, sizeof offset, "%s%llu.%03llu", off < 0 ? "-" : "", static_cast<unsigned long long>(a / 1000),
                  static_cast<unsigned long long>(a % 1000));
    const char *type = "DT";
    if (f.error)
        type = "ER";
    else if (f.remote)
        type = "RR";
    else if (f.fd)
        type = f.brs && f.esi ? "BI" : f.brs ? "FB" : f.esi ? "FE" : "FD";
    if (f.error)
        std::snprintf(id, sizeof id, "-");
    else
        std::snprintf(id, sizeof id, f.extended ? "%08X" : "%04X", f.id);
    // An error frame keeps no detail: its five bytes say "other error" in its direction.
    const int dlc = f.error ? 5 : f.dlc;
    char b[96];
    std::snprintf(b, sizeof b, "%7llu %13s %s %2d %8s %s -  %-4d", static_cast<unsigned long long>(++number_), offset,
                  type, f.channel == 1 ? 2 : 1, id, f.tx ? "Tx" : "Rx", dlc);
    line_ = b;
    if (f.error) {
        line_ += f.tx ? " 08 00 00 00 00" : " 08 01 00 00 00";
    } else if (!f.remote) {
        for (int i = 0; i < f.len && i < 64; ++i) {
            line_ += ' ';
            append_hex(&line_, &f.data[static_cast<size_t>(i)], 1, false);
        }
    }
    line_ += "\r\n";
    return out.put(line_);
}

bool TrcEncoder::finish(Output &out)
{
    if (started_)
        return true;
    Frame now;
    set_frame_us(&now, int64_t{std::time(nullptr)} * 1000000);
    return header(out, options_.start_us >= 0 ? options_.start_us : frame_us(now));
}

}  // namespace

std::unique_ptr<Decoder> trc_decoder(FILE *file, const ReadOptions &)
{
    return std::make_unique<TrcDecoder>(file);
}

std::unique_ptr<Encoder> trc_encoder(const WriteOptions &options)
{
    return std::make_unique<TrcEncoder>(options);
}

}  // namespace velk::trace::detail
