// What the trace fuzz targets share: the invariants of every decoded frame
// and a round trip through a format's own encoder, in memory.
#ifndef VELK_FUZZ_TRACE_FUZZ_H
#define VELK_FUZZ_TRACE_FUZZ_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "formats.h"

namespace fuzztrace {

using velk::trace::Frame;

// A frame as every reader must deliver it: a DLC and length that agree,
// nothing past the length, no identifier or data on an error frame.
inline void check_frame(const Frame &f)
{
    FUZZ_CHECK(f.usec < 1000000);
    FUZZ_CHECK(f.dlc <= 15 && f.len <= 64);
    FUZZ_CHECK(f.id <= (f.extended ? 0x1FFFFFFFu : 0x7FFu));
    if (f.error) {
        FUZZ_CHECK(f.id == 0 && f.len == 0 && !f.extended && !f.remote && !f.fd);
    } else if (f.remote) {
        FUZZ_CHECK(f.len == 0 && !f.fd);
    } else if (f.fd) {
        FUZZ_CHECK(f.len == fuzzcheck::dlc_length(f.dlc));
    } else {
        FUZZ_CHECK(!f.brs && !f.esi);
        FUZZ_CHECK(f.len == (f.dlc > 8 ? 8 : f.dlc));
    }
    for (size_t i = f.len; i < f.data.size(); ++i)
        FUZZ_CHECK(f.data[i] == 0);
}

// Every frame of `data` read as `format` (at most `limit`); *error holds why
// the reading stopped early, or "".
inline std::vector<Frame> decode_all(velk::trace::Format format, const void *data, size_t size, size_t limit,
                                     std::vector<std::string> *names, std::string *error)
{
    std::vector<Frame> out;
    FILE *in = size == 0 ? std::tmpfile() : fmemopen(const_cast<void *>(data), size, "rb");
    FUZZ_CHECK(in != nullptr);
    auto decoder = velk::trace::detail::make_decoder(format, in, {});
    Frame f;
    std::string name, why;
    int r;
    while (out.size() < limit && (f = Frame(), name.clear(), r = decoder->next(&f, &name, &why)) > 0) {
        check_frame(f);
        out.push_back(f);
        if (names != nullptr)
            names->push_back(name);
    }
    (void)decoder->summary();
    *error = out.size() < limit && r < 0 ? why : "";
    if (out.size() < limit && r < 0)
        FUZZ_CHECK(!why.empty());
    std::fclose(in);
    return out;
}

// The frames written by the format's encoder into memory and read back.
inline std::vector<Frame> round_trip(velk::trace::Format format, const std::vector<Frame> &frames)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    FUZZ_CHECK(mem != nullptr);
    uint64_t bytes = 0;
    std::string pending;
    velk::trace::detail::Output out(mem, &bytes, &pending);
    auto encoder = velk::trace::detail::make_encoder(format, {});
    FUZZ_CHECK(encoder != nullptr && encoder->begin(out));
    for (const Frame &f : frames)
        FUZZ_CHECK(encoder->write(out, f));
    FUZZ_CHECK(encoder->finish(out) && out.flush());
    std::fclose(mem);
    FUZZ_CHECK(bytes == len);
    std::string error;
    std::vector<Frame> back = decode_all(format, buf, len, frames.size() + 1, nullptr, &error);
    FUZZ_CHECK(error.empty());
    std::free(buf);
    return back;
}

}  // namespace fuzztrace

#endif
