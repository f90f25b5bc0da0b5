// Page compression: ZSTD (Debian's libzstd) or GZIP (zlib's gzip framing),
// one context per writer, reused from page to page.
#include <zlib.h>
#include <zstd.h>

#include "internal.h"

namespace velk::lake::detail {

Compressor::Compressor(Codec codec, int level) : codec_(codec), level_(level)
{
    if (codec_ == Codec::Zstd)
        zstd_ = ZSTD_createCCtx();
}

Compressor::~Compressor()
{
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(zstd_));
    if (zlib_ != nullptr) {
        auto *z = static_cast<z_stream *>(zlib_);
        deflateEnd(z);
        delete z;
    }
}

bool Compressor::compress(std::string_view in, std::string *out)
{
    switch (codec_) {
    case Codec::None: out->assign(in); return true;
    case Codec::Zstd: {
        if (zstd_ == nullptr)
            return false;
        out->resize(ZSTD_compressBound(in.size()));
        const size_t n = ZSTD_compressCCtx(static_cast<ZSTD_CCtx *>(zstd_), out->data(), out->size(), in.data(),
                                           in.size(), level_);
        if (ZSTD_isError(n))
            return false;
        out->resize(n);
        return true;
    }
    case Codec::Gzip: {
        auto *z = static_cast<z_stream *>(zlib_);
        if (z == nullptr) {
            z = new z_stream{};
            // 15 + 16: a window of 32 KiB with the gzip header and trailer.
            if (deflateInit2(z, level_, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
                delete z;
                return false;
            }
            zlib_ = z;
        } else if (deflateReset(z) != Z_OK) {
            return false;
        }
        out->resize(deflateBound(z, static_cast<uLong>(in.size())));
        z->next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
        z->avail_in = static_cast<uInt>(in.size());
        z->next_out = reinterpret_cast<Bytef *>(out->data());
        z->avail_out = static_cast<uInt>(out->size());
        if (deflate(z, Z_FINISH) != Z_STREAM_END)
            return false;
        out->resize(out->size() - z->avail_out);
        return true;
    }
    }
    return false;
}

}  // namespace velk::lake::detail

namespace velk::lake {

bool codec_of(std::string_view name, Codec *codec)
{
    constexpr struct {
        std::string_view name;
        Codec codec;
    } kCodecs[] = {{"none", Codec::None}, {"gzip", Codec::Gzip}, {"zstd", Codec::Zstd}};
    for (const auto &c : kCodecs)
        if (c.name == name) {
            *codec = c.codec;
            return true;
        }
    return false;
}

}  // namespace velk::lake
