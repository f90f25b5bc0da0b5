// Trace files: Writer and Reader, which own the file and its errors, and
// the text helpers the three formats share.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/time.h>

#include "formats.h"
#include "lib_velk_2.h"

namespace velk::trace {

namespace {

constexpr size_t kWriteBuffer = 1 << 16;

int64_t now_us()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
}

}  // namespace

int dlc_to_len(int dlc)
{
    return VELKDlcToLength(dlc);
}

int len_to_dlc(int len)
{
    const int dlc = VELKLengthToDlc(len);
    return VELKDlcToLength(dlc) == len ? dlc : -1;
}

int hex_digit(char c)
{
    return detail::hex_value(c);
}

bool format_of(const std::string &full_path, Format *format)
{
    const Compression c = compression_of(full_path);
    const std::string path = c == Compression::None ? full_path : full_path.substr(0, full_path.find_last_of('.'));
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return false;
    const std::string_view ext(path.c_str() + dot + 1);
    if (detail::equal_nocase(ext, "log"))
        *format = Format::CandumpLog;
    else if (detail::equal_nocase(ext, "asc"))
        *format = Format::Asc;
    else if (detail::equal_nocase(ext, "csv"))
        *format = Format::Csv;
    else if (detail::equal_nocase(ext, "blf"))
        *format = Format::Blf;
    else if (detail::equal_nocase(ext, "mf4"))
        *format = Format::Mf4;
    else if (detail::equal_nocase(ext, "pcapng"))
        *format = Format::Pcapng;
    else if (detail::equal_nocase(ext, "pcap"))
        *format = Format::Pcap;
    else if (detail::equal_nocase(ext, "trc"))
        *format = Format::Trc;
    else
        return false;
    // BLF and MF4 compress inside the format; a capture is compressed as a whole by the tools that want it.
    return c == Compression::None || !is_binary(*format);
}

bool is_binary(Format format)
{
    return format == Format::Blf || format == Format::Mf4 || format == Format::Pcapng || format == Format::Pcap;
}

// ---- Writer ----

Writer::Writer() = default;

Writer::~Writer()
{
    close();
}

bool Writer::open(const std::string &path, Format format, const WriteOptions &options)
{
    close();
    failed_ = false;
    error_.clear();
    path_ = path == "-" ? "standard output" : path;
    format_ = format;
    options_ = options;
    asc_started_ = false;
    bytes_ = 0;
    frames_ = 0;
    pending_.clear();
    encoder_ = detail::make_encoder(format, options);
    if (is_binary(format) || format == Format::Trc) {
        if (!encoder_) {
            error_ = "writing this format is not supported yet: " + path_;
            failed_ = true;
            return false;
        }
    }
    const Compression compression = path == "-" ? Compression::None : compression_of(path);
    if (compression != Compression::None && is_binary(format)) {
        error_ = path_ + ": BLF, MF4 and captures are not compressed by suffix (BLF and MF4 compress inside)";
        failed_ = true;
        return false;
    }
    if (path == "-") {
        file_ = stdout;
        owns_file_ = false;
    } else {
        file_ = std::fopen(path.c_str(), "wb");
        if (file_ == nullptr)
            return fail("cannot create");
        owns_file_ = true;
        // Whole lines and blocks gather in pending_ and go out in one write.
        if (compression == Compression::None)
            std::setvbuf(file_, nullptr, _IONBF, 0);
        if (compression != Compression::None) {
            FILE *raw = file_;
            file_ = detail::open_compressed(raw, compression, true, options.text_compression, &compressed_);
            if (file_ == nullptr) {
                std::fclose(raw);
                return fail("cannot compress");
            }
            std::setvbuf(file_, nullptr, _IONBF, 0);
        }
    }
    if (format_ == Format::Csv && !put(detail::kCsvHeader))
        return fail("cannot write");
    if (encoder_) {
        detail::Output out(file_, &bytes_, &pending_);
        if (!encoder_->begin(out) || !drain())
            return fail("cannot write");
    }
    return true;
}

// Text goes out in whole lines: the lines gather here and reach the file in
// one write, so that a writer killed at any moment leaves a file that ends
// at a line's end.
bool Writer::put(std::string_view text)
{
    pending_.append(text);
    bytes_ += text.size();
    return pending_.size() < kWriteBuffer || drain();
}

bool Writer::drain()
{
    return detail::Output(file_, &bytes_, &pending_).drain();
}

bool Writer::fail(const char *what)
{
    error_ = std::string(what) + " " + path_ + ": " + std::strerror(errno);
    failed_ = true;
    return false;
}

bool Writer::begin_asc(const Frame &first)
{
    asc_base_us_ = options_.start_us >= 0 ? options_.start_us : detail::frame_us(first);
    // The header date has milliseconds; times count from exactly that instant.
    asc_base_us_ -= asc_base_us_ % 1000;
    asc_started_ = true;
    return put(detail::asc_header(asc_base_us_, options_.time_note));
}

uint64_t Writer::size_on_disk() const
{
    if (compressed_ == nullptr || file_ == nullptr)
        return bytes_;
    const off_t at = ftello(detail::compressed_file(compressed_));
    return at < 0 ? bytes_ : static_cast<uint64_t>(at);
}

bool Writer::write(const Frame &f)
{
    if (file_ == nullptr || failed_)
        return false;
    ++frames_;
    if (encoder_) {
        detail::Output out(file_, &bytes_, &pending_);
        return (encoder_->write(out, f) && (pending_.size() < kWriteBuffer || drain())) || fail("cannot write");
    }
    buf_.clear();
    switch (format_) {
    case Format::CandumpLog:
        buf_ = log_line(f, options_.names[f.channel == 1 ? 1 : 0], options_.len8_dlc);
        buf_ += '\n';
        break;
    case Format::Asc:
        if (!asc_started_ && !begin_asc(f))
            return fail("cannot write");
        detail::asc_append_frame(&buf_, f, asc_base_us_);
        break;
    case Format::Csv:
        detail::csv_append_row(&buf_, f);
        break;
    default: break;  // the formats with an encoder
    }
    if (!put(buf_))
        return fail("cannot write");
    return true;
}

bool Writer::flush()
{
    if (file_ == nullptr || failed_)
        return false;
    if (encoder_) {
        detail::Output out(file_, &bytes_, &pending_);
        if (!encoder_->flush(out))
            return fail("cannot write");
    }
    if (!drain() || std::fflush(file_) != 0 || (compressed_ != nullptr && !detail::sync_compressed(compressed_)))
        return fail("cannot write");
    return true;
}

bool Writer::close()
{
    if (file_ == nullptr)
        return !failed_;
    if (!failed_ && format_ == Format::Asc) {
        if (!asc_started_) {
            Frame none;
            detail::set_frame_us(&none, now_us());
            if (!begin_asc(none))
                fail("cannot write");
        }
        if (!failed_ && !put(detail::kAscFooter))
            fail("cannot write");
    }
    if (!failed_ && encoder_) {
        detail::Output out(file_, &bytes_, &pending_);
        if (!encoder_->finish(out))
            fail("cannot write");
    }
    encoder_.reset();
    if (!failed_ && (!drain() || std::fflush(file_) != 0))
        fail("cannot write");
    pending_.clear();
    if (owns_file_ && std::fclose(file_) != 0 && !failed_)
        fail("cannot close");
    file_ = nullptr;
    compressed_ = nullptr;
    return !failed_;
}

bool Writer::still_at_path()
{
    if (file_ == nullptr || !owns_file_)
        return file_ != nullptr;
    struct stat open_file, at_path;
    if (fstat(fileno(compressed_ != nullptr ? detail::compressed_file(compressed_) : file_), &open_file) != 0)
        return true;
    if (stat(path_.c_str(), &at_path) != 0 || at_path.st_dev != open_file.st_dev ||
        at_path.st_ino != open_file.st_ino) {
        error_ = path_ + " was removed or replaced while it was written";
        failed_ = true;
        return false;
    }
    return true;
}

// ---- Reader ----

Reader::Reader() = default;

Reader::~Reader()
{
    close();
    std::free(line_buf_);
}

bool Reader::open(const std::string &path, Format format, const ReadOptions &options)
{
    close();
    path_ = path;
    format_ = format;
    channels_ = options.channels;
    skip_line_ = options.skip_line;
    notice_ = options.notice;
    options_ = options;
    if (channels_.empty()) {
        switch (format) {
        case Format::CandumpLog:
        case Format::Pcapng:
        case Format::Pcap: channels_ = {{"can0", 0}, {"can1", 1}}; break;
        case Format::Asc:
        case Format::Blf:
        case Format::Mf4:
        case Format::Trc: channels_ = {{"1", 0}, {"2", 1}}; break;
        case Format::Csv: channels_ = {{"CAN1", 0}, {"CAN2", 1}}; break;
        }
    }
    if (path == "-") {
        path_ = "standard input";
        file_ = stdin;
        owns_file_ = false;
        restart();
        return true;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error_ = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    owns_file_ = true;
    if (const Compression c = compression_of(path); c != Compression::None) {
        FILE *raw = file_;
        file_ = detail::open_compressed(raw, c, false, -1, &compressed_);
        if (file_ == nullptr) {
            std::fclose(raw);
            error_ = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        restart();
        return true;
    }
    // A named pipe cannot seek; a file just opened is at its start anyway.
    restart();
    return true;
}

bool Reader::rewind()
{
    if (compressed_ != nullptr) {
        // A compressed stream cannot seek: it is read again from its start.
        const std::string path = path_;
        const ReadOptions options = options_;
        return open(path, format_, options);
    }
    if (file_ == nullptr || !owns_file_ || std::fseek(file_, 0, SEEK_SET) != 0)
        return false;
    restart();
    return true;
}

void Reader::restart()
{
    line_ = 0;
    frames_ = 0;
    started_ = false;
    error_.clear();
    summary_said_ = false;
    channel_cached_ = false;
    decoder_ = detail::make_decoder(format_, file_, options_);
    asc_in_body_ = false;
    asc_base_ = 16;
    asc_relative_ = false;
    asc_start_us_ = 0;
    asc_last_us_ = 0;
}

bool Reader::mark(ResumePoint *p) const
{
    if (file_ == nullptr || !owns_file_)
        return false;
    *p = ResumePoint();
    p->frames = frames_;
    if (compressed_ != nullptr)
        p->inflate = detail::compressed_point(compressed_);
    if (frames_ == 0)
        return true;
    if (decoder_) {
        p->replay = !decoder_->mark(p);
        return true;
    }
    const off_t at = ftello(file_);
    if (at < 0)
        return true;
    p->offset = static_cast<uint64_t>(at);
    p->line = line_;
    p->t0 = asc_start_us_;
    p->t1 = asc_last_us_;
    p->flags = static_cast<uint32_t>(asc_base_) | (asc_relative_ ? 0x100u : 0) | (asc_in_body_ ? 0x200u : 0);
    p->replay = false;
    return true;
}

bool Reader::seek(const ResumePoint &p)
{
    if (file_ == nullptr || !owns_file_)
        return false;
    const auto replay = [&] {
        if (!rewind())
            return false;
        Frame f;
        while (frames_ < p.frames)
            if (next(&f) <= 0)
                return false;
        return true;
    };
    if (p.replay || p.frames == 0)
        return replay();
    // The decoder learns the file's header (interfaces, start time) from
    // its start before it can take up a place further on.
    if (decoder_ && !started_) {
        Frame f;
        if (!rewind() || next(&f) <= 0)
            return false;
    }
    // After any rewind: a compressed file's rewind opens a new stream.
    if (compressed_ != nullptr)
        detail::compressed_resume_from(compressed_, p.inflate);
    if (decoder_) {
        if (!decoder_->resume(file_, p))
            return replay();
    } else {
        if (fseeko(file_, static_cast<off_t>(p.offset), SEEK_SET) != 0)
            return false;
        line_ = p.line;
        asc_start_us_ = p.t0;
        asc_last_us_ = p.t1;
        asc_base_ = static_cast<int>(p.flags & 0xFF);
        asc_relative_ = (p.flags & 0x100) != 0;
        asc_in_body_ = (p.flags & 0x200) != 0;
    }
    error_.clear();
    frames_ = p.frames;
    return true;
}

void Reader::close()
{
    decoder_.reset();
    if (file_ != nullptr && owns_file_)
        std::fclose(file_);
    file_ = nullptr;
    compressed_ = nullptr;
}

uint64_t Reader::position() const
{
    if (file_ == nullptr || !owns_file_)
        return 0;
    const off_t at = ftello(compressed_ != nullptr ? detail::compressed_file(compressed_) : file_);
    return at < 0 ? 0 : static_cast<uint64_t>(at);
}

int Reader::fail(const std::string &why)
{
    error_ = path_ + ":" + std::to_string(line_) + ": " + why;
    return -1;
}

int Reader::map_channel(const std::string &name)
{
    // Most frames name the channel the one before named: no lookup then.
    // Names are a few characters: compared here, not through memcmp().
    bool same = channel_cached_ && name.size() == channel_name_.size();
    for (size_t i = 0; same && i < name.size(); ++i)
        same = name[i] == channel_name_[i];
    if (same)
        return cached_channel_;
    channel_name_ = name;
    const auto it = channels_.find(name);
    cached_channel_ = it == channels_.end() ? -1 : it->second;
    channel_cached_ = true;
    return cached_channel_;
}

namespace {

// A control byte other than tab, CR, LF or form feed: no text trace holds one.
bool binary(const char *p, size_t n)
{
    // No early exit: the loop vectorises, and lines are short.
    bool found = false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        found |= (c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') || c == 0x7F;
    }
    return found;
}

}  // namespace

int Reader::next(Frame *f)
{
    if (file_ == nullptr)
        return -1;
    if (decoder_) {
        *f = Frame();
        std::string name, why;
        const int r = decoder_->next(f, &name, &why);
        if (r > 0) {
            f->channel = map_channel(name);
            started_ = true;
            ++frames_;
            return 1;
        }
        if (r < 0) {
            error_ = path_ + ": " + why;
            return -1;
        }
        if (!summary_said_ && notice_) {
            summary_said_ = true;
            if (const std::string s = decoder_->summary(); !s.empty())
                notice_(path_ + ": " + s);
        }
        return 0;
    }
    int result = 0;
    for (;;) {
        const ssize_t n = getline(&line_buf_, &line_cap_, file_);
        const char *raw = line_buf_;
        if (n < 0) {
            if (std::ferror(file_))
                result = fail(compressed_ != nullptr && !detail::compressed_damage(compressed_).empty()
                                  ? detail::compressed_damage(compressed_)
                                  : std::string("read error: ") + std::strerror(errno));
            else if (compressed_ != nullptr && detail::compressed_cut_short(compressed_) && !summary_said_ &&
                     notice_) {
                summary_said_ = true;
                notice_(path_ + ": the compressed stream ends early (its writer did not finish it); every frame "
                                "before the cut was read");
            }
            break;
        }
        ++line_;
        if (binary(raw, static_cast<size_t>(n))) {
            result = fail("binary data, not a trace");
            break;
        }
        const std::string_view text = detail::trim(std::string_view(raw, static_cast<size_t>(n)));
        *f = Frame();
        switch (format_) {
        case Format::CandumpLog: result = next_log(f, text); break;
        case Format::Asc: result = next_asc(f, text); break;
        case Format::Csv: result = next_csv(f, text); break;
        default: break;  // the formats with a decoder
        }
        // A last line without its newline is where a writer was stopped:
        // one that does not read as a frame, or any in a compressed stream
        // cut short (it may end anywhere), is left out and said.
        if (raw[n - 1] != '\n' && (result < 0 || (compressed_ != nullptr && detail::compressed_cut_short(compressed_)))) {
            error_.clear();
            result = 0;
            if (notice_)
                notice_(path_ + ":" + std::to_string(line_) + ": the last line is cut short (its writer stopped "
                                "there); it is left out");
            continue;
        }
        if (result != 0)
            break;
    }
    if (result > 0)
        ++frames_;
    return result;
}

// The result of a line parser: the frame on its mapped channel, or the error.
int Reader::parsed(bool ok, Frame *f, const std::string &name, const std::string &why)
{
    if (!ok)
        return fail(why);
    f->channel = map_channel(name);
    return 1;
}

int Reader::next_log(Frame *f, std::string_view text)
{
    if (text.empty())
        return 0;
    if (skip_line_ && text[0] != '(') {
        skip_line_(line_, std::string(text));
        return 0;
    }
    std::string name, why;
    return parsed(detail::log_parse(text, f, &name, &why), f, name, why);
}

int Reader::next_csv(Frame *f, std::string_view text)
{
    if (line_ == 1) {
        if (std::string(text) + "\n" != detail::kCsvHeader)
            return fail("not a velk CSV trace (the first line is not its header)");
        return 0;
    }
    if (text.empty())
        return 0;
    std::string name, why;
    return parsed(detail::csv_parse(text, f, &name, &why), f, name, why);
}

int Reader::next_asc(Frame *f, std::string_view text)
{
    using detail::starts_with_nocase;
    if (text.empty() || text.compare(0, 2, "//") == 0)
        return 0;
    std::string_view t(text);
    if (starts_with_nocase(t, "begin triggerblock")) {
        asc_in_body_ = true;
        int64_t us;
        if (detail::asc_date(t.substr(18), &us))
            asc_start_us_ = us;
        asc_last_us_ = asc_start_us_;
        return 0;
    }
    if (starts_with_nocase(t, "end triggerblock"))
        return 0;
    const size_t d = t[0] == '-' ? 1 : 0;
    const bool event = t.size() > d && t[d] >= '0' && t[d] <= '9';
    if (!asc_in_body_ && !event) {
        if (starts_with_nocase(t, "date ")) {
            int64_t us;
            // A date this reader cannot parse leaves times relative to zero.
            if (detail::asc_date(t.substr(5), &us))
                asc_start_us_ = us;
            return 0;
        }
        if (starts_with_nocase(t, "base ")) {
            const auto w = detail::split_ws(t);
            if (w.size() < 2 || !(detail::equal_nocase(w[1], "hex") || detail::equal_nocase(w[1], "dec")))
                return fail("not an ASC trace (base must be hex or dec)");
            asc_base_ = detail::equal_nocase(w[1], "dec") ? 10 : 16;
            asc_relative_ = w.size() >= 4 && detail::equal_nocase(w[3], "relative");
            return 0;
        }
        if (starts_with_nocase(t, "internal events logged") || starts_with_nocase(t, "no internal events logged"))
            return 0;
        return fail("not an ASC trace (expected the date, base or Begin Triggerblock header)");
    }
    if (!event)
        return fail("not an ASC event line");
    asc_in_body_ = true;
    std::string name, why;
    int64_t rel = 0;
    const int r = detail::asc_event(t, asc_base_, f, &name, &rel, &why);
    if (r < 0)
        return fail(why);
    // Relative timestamps count from the previous event, absolute ones from the start.
    const int64_t at = (asc_relative_ ? asc_last_us_ : asc_start_us_) + rel;
    asc_last_us_ = at;
    if (r == 0)
        return 0;
    detail::set_frame_us(f, at);
    f->channel = map_channel(name);
    return 1;
}

namespace detail {

// ---- the formats with a decoder and an encoder of their own ----

bool Output::put(const void *data, size_t n)
{
    pending_->append(static_cast<const char *>(data), n);
    *bytes_ += n;
    return true;
}

bool Output::drain()
{
    const bool ok = pending_->empty() || std::fwrite(pending_->data(), 1, pending_->size(), file_) == pending_->size();
    pending_->clear();
    return ok;
}

bool Output::patch(uint64_t offset, const void *data, size_t n)
{
    if (offset + n > *bytes_ || !drain() || std::fflush(file_) != 0 ||
        fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    const bool ok = std::fwrite(data, 1, n, file_) == n;
    return fseeko(file_, 0, SEEK_END) == 0 && ok;
}

bool Output::flush()
{
    return drain() && std::fflush(file_) == 0;
}

std::unique_ptr<Decoder> unsupported_decoder(const char *format)
{
    class Unsupported : public Decoder {
    public:
        explicit Unsupported(const char *format) : format_(format) {}
        int next(Frame *, std::string *, std::string *why) override
        {
            *why = std::string("reading ") + format_ + " files is not supported yet";
            return -1;
        }

    private:
        const char *format_;
    };
    return std::make_unique<Unsupported>(format);
}

std::unique_ptr<Decoder> make_decoder(Format format, FILE *file, const ReadOptions &options)
{
    switch (format) {
    case Format::Blf: return blf_decoder(file, options);
    case Format::Mf4: return mf4_decoder(file, options);
    case Format::Pcapng:
    case Format::Pcap: return pcap_decoder(file, options);
    case Format::Trc: return trc_decoder(file, options);
    default: return nullptr;
    }
}

std::unique_ptr<Encoder> make_encoder(Format format, const WriteOptions &options)
{
    switch (format) {
    case Format::Blf: return blf_encoder(options);
    case Format::Mf4: return mf4_encoder(options);
    case Format::Pcapng:
    case Format::Pcap: return pcap_encoder(format, options);
    case Format::Trc: return trc_encoder(options);
    default: return nullptr;
    }
}

}  // namespace detail

// ---- shared text helpers ----

namespace detail {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

size_t split_ws(std::string_view s, std::string_view *out, size_t max)
{
    size_t n = 0, i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        const size_t b = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t')
            ++i;
        if (i > b) {
            if (n < max)
                out[n] = s.substr(b, i - b);
            ++n;
        }
    }
    return n;
}

std::vector<std::string_view> split_ws(std::string_view s)
{
    std::vector<std::string_view> out(split_ws(s, nullptr, 0));
    split_ws(s, out.data(), out.size());
    return out;
}

namespace {
char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool equal_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && equal_nocase(s.substr(0, prefix.size()), prefix);
}

bool parse_uint(std::string_view s, int base, uint64_t max, uint64_t *v)
{
    if (s.empty() || s.size() > 20)
        return false;
    uint64_t x = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && lower(c) >= 'a' && lower(c) <= 'f')
            d = lower(c) - 'a' + 10;
        else
            return false;
        x = x * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (x > max)
            return false;
    }
    *v = x;
    return true;
}

bool parse_seconds(std::string_view s, bool negative, int64_t *us)
{
    bool minus = false;
    if (negative && !s.empty() && s[0] == '-') {
        minus = true;
        s.remove_prefix(1);
    }
    const size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    uint64_t sec = 0, frac = 0;
    if (!parse_uint(whole, 10, 1ull << 40, &sec))
        return false;
    if (dot != std::string_view::npos) {
        std::string_view f = s.substr(dot + 1);
        if (f.empty() || f.size() > 9)
            return false;
        uint64_t all;
        if (!parse_uint(f, 10, 999999999, &all))
            return false;
        // Scale to microseconds: pad short fractions, drop digits past six.
        frac = all;
        for (size_t k = f.size(); k < 6; ++k)
            frac *= 10;
        for (size_t k = 6; k < f.size(); ++k)
            frac /= 10;
    }
    const int64_t v = static_cast<int64_t>(sec) * 1000000 + static_cast<int64_t>(frac);
    *us = minus ? -v : v;
    return true;
}

std::string seconds_text(int64_t us)
{
    char b[40];
    const uint64_t a = us < 0 ? static_cast<uint64_t>(-us) : static_cast<uint64_t>(us);
    std::snprintf(b, sizeof b, "%s%llu.%06llu", us < 0 ? "-" : "", static_cast<unsigned long long>(a / 1000000),
                  static_cast<unsigned long long>(a % 1000000));
    return b;
}

int64_t frame_us(const Frame &f)
{
    return f.sec * 1000000 + f.usec;
}

void set_frame_us(Frame *f, int64_t us)
{
    f->sec = us / 1000000;
    int64_t rem = us % 1000000;
    if (rem < 0) {
        rem += 1000000;
        --f->sec;
    }
    f->usec = static_cast<uint32_t>(rem);
}

std::string join(std::initializer_list<std::string_view> parts)
{
    std::string out;
    for (std::string_view p : parts)
        out += p;
    return out;
}

void append_hex(std::string *out, const uint8_t *p, int n, bool spaced)
{
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < n; ++i) {
        if (spaced && i > 0)
            *out += ' ';
        *out += kDigits[p[i] >> 4];
        *out += kDigits[p[i] & 15];
    }
}

}  // namespace detail

}  // namespace velk::trace
