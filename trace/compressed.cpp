// Text traces compressed by their suffix: .gz (zlib's gzip stream) and .zst
// (zstd). The Reader and Writer see an ordinary FILE: a stdio cookie stream
// compresses what is written and inflates what is read, so every text
// format works through it unchanged.
//
// A file cut short (the logger killed, the power gone) reads up to the last
// whole piece the writer flushed: the writer ends every flush with a sync
// point of its stream (Z_SYNC_FLUSH, a zstd block end), and the reader takes
// everything before the cut and says the file ends early.
//
// A reader that goes back to a place (seek) inflates from the last restart
// point before it: gzip keeps one every MiB of text at a deflate block
// boundary (the bit there and the 32 KiB window before it, as zlib's zran
// example does), zstd one at each frame's start (the writer begins a new
// frame every 4 MiB of text). Going back thus inflates at most a MiB of
// gzip text, or a frame of zstd text (all of it, for a file written as one
// frame by another tool).
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "formats.h"

namespace velk::trace::detail {

// A place in a compressed stream to inflate from: the byte (and the bit of
// it, for gzip) in the file, the text before it, the gzip window there.
struct InflatePoint {
    uint64_t in = 0;
    uint64_t out = 0;
    int bits = 0;
    std::vector<uint8_t> window;
    std::shared_ptr<const InflatePoint> prev;
};

namespace {

constexpr size_t kChunk = 1 << 16;
constexpr uint64_t kRestartSpan = 1 << 20;       // text between two gzip restart points
constexpr uint64_t kZstdFrameText = 4 << 20;     // text in one zstd frame, as velk writes it
constexpr unsigned kWindow = 32768;

class Codec {
public:
    virtual ~Codec() = default;
    // Compresses n bytes into the file; `flush` ends with a sync point.
    virtual bool put(const char *data, size_t n, bool flush) = 0;
    // Ends the stream.
    virtual bool finish() = 0;
    // Up to n bytes of the inflated text; 0 at the end; -1 on damage.
    virtual ssize_t get(char *out, size_t n) = 0;
    // Reading from a restart point on, or from the start (nullptr).
    virtual bool restart(const InflatePoint *from) = 0;
    bool cut_short = false;  // the compressed stream ended before its end mark
    std::string damage;      // why get() failed
    uint64_t produced = 0;   // text handed out so far
    bool keep_points = false;
    std::shared_ptr<const InflatePoint> latest;  // the last restart point met
};

void add_point(Codec *c, uint64_t in, uint64_t out, int bits, std::vector<uint8_t> window)
{
    auto p = std::make_shared<InflatePoint>();
    p->in = in;
    p->out = out;
    p->bits = bits;
    p->window = std::move(window);
    p->prev = c->latest;
    c->latest = std::move(p);
}

class Gzip : public Codec {
public:
    Gzip(FILE *file, bool writing, int level) : file_(file), writing_(writing)
    {
        std::memset(&z_, 0, sizeof z_);
        // 15 + 16: a gzip header and trailer; 15 + 32 reads gzip or zlib.
        ok_ = writing ? deflateInit2(&z_, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK
                      : inflateInit2(&z_, 15 + 32) == Z_OK;
        buf_.resize(kChunk);
        z_.next_in = reinterpret_cast<Bytef *>(buf_.data());
    }
    ~Gzip() override
    {
        if (writing_)
            deflateEnd(&z_);
        else
            inflateEnd(&z_);
    }

    bool put(const char *data, size_t n, bool flush) override
    {
        if (!ok_)
            return false;
        z_.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        z_.avail_in = static_cast<uInt>(n);
        return pump(flush ? Z_SYNC_FLUSH : Z_NO_FLUSH);
    }

    bool finish() override { return ok_ && pump(Z_FINISH); }

    ssize_t get(char *out, size_t n) override
    {
        if (!ok_)
            return fail("the gzip stream cannot be read");
        z_.next_out = reinterpret_cast<Bytef *>(out);
        z_.avail_out = static_cast<uInt>(n);
        while (z_.avail_out == n && !ended_) {
            if (z_.avail_in == 0) {
                in_at_ += static_cast<uint64_t>(reinterpret_cast<char *>(z_.next_in) - buf_.data());
                const size_t got = std::fread(buf_.data(), 1, buf_.size(), file_);
                z_.next_in = reinterpret_cast<Bytef *>(buf_.data());
                if (got == 0) {
                    if (std::ferror(file_))
                        return fail(std::string("read error: ") + std::strerror(errno));
                    // No end mark: a stream cut short. What came before stands.
                    cut_short = in_member_;
                    ended_ = true;
                    break;
                }
                z_.avail_in = static_cast<uInt>(got);
            }
            if (trailer_left_ > 0) {
                // A member taken up at a restart point is raw deflate: its
                // gzip trailer is passed by hand.
                const uInt k = std::min<uInt>(trailer_left_, z_.avail_in);
                z_.next_in += k;
                z_.avail_in -= k;
                trailer_left_ -= k;
                if (trailer_left_ == 0 && inflateReset2(&z_, 15 + 32) != Z_OK)
                    return fail("the gzip stream cannot be read");
                continue;
            }
            in_member_ = true;
            const int r = inflate(&z_, keep_points ? Z_BLOCK : Z_NO_FLUSH);
            if (keep_points && r == Z_OK && (z_.data_type & 128) != 0 && (z_.data_type & 64) == 0 &&
                produced + (n - z_.avail_out) >= (latest ? latest->out : 0) + kRestartSpan) {
                std::vector<uint8_t> window(kWindow);
                uInt have = kWindow;
                if (inflateGetDictionary(&z_, window.data(), &have) == Z_OK) {
                    window.resize(have);
                    add_point(this, in_at_ + static_cast<uint64_t>(reinterpret_cast<char *>(z_.next_in) - buf_.data()),
                              produced + (n - z_.avail_out), z_.data_type & 7, std::move(window));
                }
            }
            if (r == Z_STREAM_END) {
                // Concatenated members (cat a.gz b.gz) read as one text.
                in_member_ = false;
                if (raw_) {
                    raw_ = false;
                    trailer_left_ = 8;
                } else if (inflateReset(&z_) != Z_OK) {
                    return fail("the gzip stream cannot be read");
                }
            } else if (r != Z_OK && r != Z_BUF_ERROR) {
                return fail(std::string("damaged gzip data (") + (z_.msg != nullptr ? z_.msg : "inflate failed") +
                            ")");
            }
        }
        return static_cast<ssize_t>(n - z_.avail_out);
    }

    bool restart(const InflatePoint *from) override
    {
        const uint64_t at = from == nullptr ? 0 : from->in - (from->bits != 0 ? 1 : 0);
        if (!ok_ || writing_ || fseeko(file_, static_cast<off_t>(at), SEEK_SET) != 0)
            return false;
        z_.next_in = reinterpret_cast<Bytef *>(buf_.data());
        z_.avail_in = 0;
        in_at_ = at;
        ended_ = false;
        cut_short = false;
        trailer_left_ = 0;
        damage.clear();
        if (from == nullptr) {
            raw_ = in_member_ = false;
            produced = 0;
            return inflateReset2(&z_, 15 + 32) == Z_OK;
        }
        raw_ = in_member_ = true;
        produced = from->out;
        if (inflateReset2(&z_, -15) != Z_OK)
            return false;
        if (from->bits != 0) {
            const int c = std::fgetc(file_);
            if (c == EOF || inflatePrime(&z_, from->bits, c >> (8 - from->bits)) != Z_OK)
                return false;
            in_at_ = from->in;
        }
        return from->window.empty() ||
               inflateSetDictionary(&z_, from->window.data(), static_cast<uInt>(from->window.size())) == Z_OK;
    }

private:
    bool pump(int mode)
    {
        do {
            z_.next_out = reinterpret_cast<Bytef *>(buf_.data());
            z_.avail_out = static_cast<uInt>(buf_.size());
            if (deflate(&z_, mode) == Z_STREAM_ERROR)
                return false;
            const size_t have = buf_.size() - z_.avail_out;
            if (have > 0 && std::fwrite(buf_.data(), 1, have, file_) != have)
                return false;
        } while (z_.avail_out == 0);
        return true;
    }

    ssize_t fail(const std::string &why)
    {
        damage = why;
        return -1;
    }

    FILE *file_;
    bool writing_;
    bool ok_ = false;
    bool ended_ = false;
    bool in_member_ = false;
    bool raw_ = false;         // a member taken up at a restart point, as raw deflate
    uInt trailer_left_ = 0;    // of such a member's gzip trailer, still to pass
    uint64_t in_at_ = 0;       // the file offset of buf_[0]
    z_stream z_;
    std::vector<char> buf_;
};

class Zstd : public Codec {
public:
    Zstd(FILE *file, bool writing, int level) : file_(file)
    {
        if (writing) {
            c_ = ZSTD_createCCtx();
            if (c_ != nullptr)
                ZSTD_CCtx_setParameter(c_, ZSTD_c_compressionLevel, level);
            out_.resize(ZSTD_CStreamOutSize());
        } else {
            d_ = ZSTD_createDCtx();
            in_.resize(ZSTD_DStreamInSize());
        }
    }
    ~Zstd() override
    {
        ZSTD_freeCCtx(c_);
        ZSTD_freeDCtx(d_);
    }

    bool put(const char *data, size_t n, bool flush) override
    {
        ZSTD_inBuffer in = {data, n, 0};
        if (c_ == nullptr)
            return false;
        // Frames of a few MiB each: a reader goes back to a frame's start.
        frame_text_ += n;
        if (frame_text_ >= kZstdFrameText) {
            frame_text_ = 0;
            return pump(&in, ZSTD_e_end);
        }
        return pump(&in, flush ? ZSTD_e_flush : ZSTD_e_continue);
    }

    bool finish() override
    {
        ZSTD_inBuffer in = {nullptr, 0, 0};
        return c_ != nullptr && pump(&in, ZSTD_e_end);
    }

    ssize_t get(char *out, size_t n) override
    {
        if (d_ == nullptr)
            return fail("the zstd stream cannot be read");
        ZSTD_outBuffer o = {out, n, 0};
        while (o.pos == 0 && !ended_) {
            if (pos_ == have_) {
                in_at_ += have_;
                have_ = std::fread(in_.data(), 1, in_.size(), file_);
                pos_ = 0;
                if (have_ == 0) {
                    if (std::ferror(file_))
                        return fail(std::string("read error: ") + std::strerror(errno));
                    cut_short = in_frame_;
                    ended_ = true;
                    break;
                }
            }
            ZSTD_inBuffer i = {in_.data(), have_, pos_};
            const size_t r = ZSTD_decompressStream(d_, &o, &i);
            pos_ = i.pos;
            if (ZSTD_isError(r))
                return fail(std::string("damaged zstd data (") + ZSTD_getErrorName(r) + ")");
            in_frame_ = r != 0;
            if (r == 0 && keep_points && produced + o.pos >= (latest ? latest->out : 0) + kRestartSpan)
                add_point(this, in_at_ + pos_, produced + o.pos, 0, {});
        }
        return static_cast<ssize_t>(o.pos);
    }

    bool restart(const InflatePoint *from) override
    {
        const uint64_t at = from == nullptr ? 0 : from->in;
        if (d_ == nullptr || fseeko(file_, static_cast<off_t>(at), SEEK_SET) != 0)
            return false;
        ZSTD_DCtx_reset(d_, ZSTD_reset_session_only);
        in_at_ = at;
        have_ = pos_ = 0;
        ended_ = in_frame_ = cut_short = false;
        damage.clear();
        produced = from == nullptr ? 0 : from->out;
        return true;
    }

private:
    bool pump(ZSTD_inBuffer *in, ZSTD_EndDirective mode)
    {
        for (;;) {
            ZSTD_outBuffer o = {out_.data(), out_.size(), 0};
            const size_t left = ZSTD_compressStream2(c_, &o, in, mode);
            if (ZSTD_isError(left))
                return false;
            if (o.pos > 0 && std::fwrite(out_.data(), 1, o.pos, file_) != o.pos)
                return false;
            if (mode == ZSTD_e_continue ? in->pos == in->size : left == 0)
                return true;
        }
    }

    ssize_t fail(const std::string &why)
    {
        damage = why;
        return -1;
    }

    FILE *file_;
    ZSTD_CCtx *c_ = nullptr;
    ZSTD_DCtx *d_ = nullptr;
    std::vector<char> in_, out_;
    size_t have_ = 0, pos_ = 0;
    uint64_t in_at_ = 0;  // the file offset of in_[0]
    uint64_t frame_text_ = 0;
    bool ended_ = false;
    bool in_frame_ = false;
};

}  // namespace

// The state behind a cookie stream: the codec over the real file.
struct CompressedState {
    FILE *file = nullptr;
    std::unique_ptr<Codec> codec;
    bool writing = false;
    bool failed = false;
    std::shared_ptr<const InflatePoint> from;  // restart points to go back by, besides the codec's own
};

namespace {

using Cookie = CompressedState;

ssize_t cookie_read(void *c, char *buf, size_t n)
{
    auto *k = static_cast<Cookie *>(c);
    const ssize_t got = k->codec->get(buf, n);
    if (got < 0) {
        k->failed = true;
        errno = EIO;
    } else {
        k->codec->produced += static_cast<uint64_t>(got);
    }
    return got;
}

// The last restart point at or before `target` on a chain of them.
const InflatePoint *point_before(const InflatePoint *p, uint64_t target)
{
    while (p != nullptr && p->out > target)
        p = p->prev.get();
    return p;
}

// Positions in the text: where the stream stands (for ftello), and going to
// any place by inflating from the nearest restart point before it.
int cookie_seek(void *c, off64_t *pos, int whence)
{
    auto *k = static_cast<Cookie *>(c);
    Codec &codec = *k->codec;
    if (whence == SEEK_CUR && *pos == 0) {
        *pos = static_cast<off64_t>(codec.produced);
        return 0;
    }
    // stdio seeks to a buffer's boundary and reads on, or seeks on from where it stands.
    const off64_t to = whence == SEEK_CUR ? static_cast<off64_t>(codec.produced) + *pos : *pos;
    if (k->writing || (whence != SEEK_SET && whence != SEEK_CUR) || to < 0) {
        errno = EINVAL;
        return -1;
    }
    const uint64_t target = static_cast<uint64_t>(to);
    const InflatePoint *a = point_before(k->from.get(), target);
    const InflatePoint *b = point_before(codec.latest.get(), target);
    const InflatePoint *best = a == nullptr || (b != nullptr && b->out > a->out) ? b : a;
    const uint64_t best_out = best == nullptr ? 0 : best->out;
    if (k->failed || codec.produced > target || codec.produced < best_out) {
        if (!codec.restart(best)) {
            errno = EIO;
            return -1;
        }
        k->failed = false;
    }
    char scratch[8192];
    while (codec.produced < target) {
        const ssize_t got = codec.get(scratch, static_cast<size_t>(std::min<uint64_t>(sizeof scratch, target - codec.produced)));
        if (got <= 0) {
            k->failed = got < 0;
            errno = EIO;
            return -1;
        }
        codec.produced += static_cast<uint64_t>(got);
    }
    *pos = to;
    return 0;
}

ssize_t cookie_write(void *c, const char *buf, size_t n)
{
    auto *k = static_cast<Cookie *>(c);
    if (k->failed || !k->codec->put(buf, n, false)) {
        k->failed = true;
        errno = errno != 0 ? errno : EIO;
        return 0;
    }
    return static_cast<ssize_t>(n);
}

int cookie_close(void *c)
{
    auto *k = static_cast<Cookie *>(c);
    bool ok = !k->failed;
    if (k->writing && ok)
        ok = k->codec->finish();
    k->codec.reset();
    if (std::fclose(k->file) != 0)
        ok = false;
    delete k;
    return ok ? 0 : EOF;
}

}  // namespace

}  // namespace velk::trace::detail

namespace velk::trace {

Compression compression_of(const std::string &path)
{
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return Compression::None;
    const std::string_view ext(path.c_str() + dot + 1);
    if (detail::equal_nocase(ext, "gz"))
        return Compression::Gzip;
    if (detail::equal_nocase(ext, "zst"))
        return Compression::Zstd;
    return Compression::None;
}

}  // namespace velk::trace

namespace velk::trace::detail {

FILE *open_compressed(FILE *file, Compression c, bool writing, int level, CompressedState **state)
{
    auto *k = new CompressedState;
    k->file = file;
    k->writing = writing;
    if (c == Compression::Gzip)
        k->codec = std::make_unique<Gzip>(file, writing, level < 0 ? 6 : level);
    else
        k->codec = std::make_unique<Zstd>(file, writing, level < 0 ? 3 : level);
    cookie_io_functions_t io = {};
    if (writing)
        io.write = cookie_write;
    else
        io.read = cookie_read;
    io.seek = cookie_seek;
    io.close = cookie_close;
    FILE *f = fopencookie(k, writing ? "w" : "r", io);
    if (f == nullptr) {
        k->codec.reset();
        delete k;
        k = nullptr;
    }
    *state = k;
    return f;
}

bool sync_compressed(CompressedState *state)
{
    return !state->failed && state->codec->put(nullptr, 0, true) && std::fflush(state->file) == 0;
}

FILE *compressed_file(const CompressedState *state)
{
    return state->file;
}

std::shared_ptr<const InflatePoint> compressed_point(CompressedState *state)
{
    state->codec->keep_points = true;
    return state->codec->latest;
}

void compressed_resume_from(CompressedState *state, std::shared_ptr<const InflatePoint> from)
{
    state->from = std::move(from);
}

bool compressed_cut_short(const CompressedState *state)
{
    return state->codec->cut_short;
}

const std::string &compressed_damage(const CompressedState *state)
{
    return state->codec->damage;
}

}  // namespace velk::trace::detail
