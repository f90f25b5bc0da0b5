// Text traces compressed by their suffix: .gz (zlib's gzip stream) and .zst
// (zstd). The Reader and Writer see an ordinary FILE: a stdio cookie stream
// compresses what is written and inflates what is read, so every text
// format works through it unchanged.
//
// A file cut short (the logger killed, the power gone) reads up to the last
// whole piece the writer flushed: the writer ends every flush with a sync
// point of its stream (Z_SYNC_FLUSH, a zstd block end), and the reader takes
// everything before the cut and says the file ends early.
#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "formats.h"

namespace velk::trace::detail {

namespace {

constexpr size_t kChunk = 1 << 16;

class Codec {
public:
    virtual ~Codec() = default;
    // Compresses n bytes into the file; `flush` ends with a sync point.
    virtual bool put(const char *data, size_t n, bool flush) = 0;
    // Ends the stream.
    virtual bool finish() = 0;
    // Up to n bytes of the inflated text; 0 at the end; -1 on damage.
    virtual ssize_t get(char *out, size_t n) = 0;
    bool cut_short = false;  // the compressed stream ended before its end mark
    std::string damage;      // why get() failed
};

class Gzip : public Codec {
public:
    Gzip(FILE *file, bool writing, int level) : file_(file), writing_(writing)
    {
        std::memset(&z_, 0, sizeof z_);
        // 15 + 16: a gzip header and trailer; 15 + 32 reads gzip or zlib.
        ok_ = writing ? deflateInit2(&z_, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK
                      : inflateInit2(&z_, 15 + 32) == Z_OK;
        buf_.resize(kChunk);
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
                const size_t got = std::fread(buf_.data(), 1, buf_.size(), file_);
                if (got == 0) {
                    if (std::ferror(file_))
                        return fail(std::string("read error: ") + std::strerror(errno));
                    // No end mark: a stream cut short. What came before stands.
                    cut_short = in_member_;
                    ended_ = true;
                    break;
                }
                z_.next_in = reinterpret_cast<Bytef *>(buf_.data());
                z_.avail_in = static_cast<uInt>(got);
            }
            in_member_ = true;
            const int r = inflate(&z_, Z_NO_FLUSH);
            if (r == Z_STREAM_END) {
                // Concatenated members (cat a.gz b.gz) read as one text.
                in_member_ = false;
                if (inflateReset(&z_) != Z_OK)
                    return fail("the gzip stream cannot be read");
            } else if (r != Z_OK && r != Z_BUF_ERROR) {
                return fail(std::string("damaged gzip data (") + (z_.msg != nullptr ? z_.msg : "inflate failed") +
                            ")");
            }
        }
        return static_cast<ssize_t>(n - z_.avail_out);
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
        return c_ != nullptr && pump(&in, flush ? ZSTD_e_flush : ZSTD_e_continue);
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
        }
        return static_cast<ssize_t>(o.pos);
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
    }
    return got;
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

bool compressed_cut_short(const CompressedState *state)
{
    return state->codec->cut_short;
}

const std::string &compressed_damage(const CompressedState *state)
{
    return state->codec->damage;
}

}  // namespace velk::trace::detail
