// The BLF reader over arbitrary bytes, read as a pipe gives them (no size
// known). Every frame it gives is one a CAN bus can carry; it ends cleanly
// or with "at byte N: ...". What it read, written again by the BLF writer
// and read back, is the same frames.
#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "formats.h"

namespace {

using velk::trace::Frame;

constexpr int64_t kYear3000 = 32503680000000000;  // microseconds

void check_frame(const Frame &f, const std::string &name)
{
    FUZZ_CHECK(f.usec < 1000000);
    FUZZ_CHECK(!name.empty() && name.size() <= 5);
    for (char c : name)
        FUZZ_CHECK(c >= '0' && c <= '9');
    FUZZ_CHECK(f.dlc <= 15 && f.id <= 0x1FFFFFFF);
    if (f.error) {
        FUZZ_CHECK(f.id == 0 && f.len == 0 && f.dlc == 0 && !f.fd && !f.remote && !f.extended);
    } else if (f.fd) {
        FUZZ_CHECK(!f.remote && f.len == fuzzcheck::dlc_length(f.dlc));
    } else {
        FUZZ_CHECK(!f.brs && !f.esi);
        FUZZ_CHECK(f.len == (f.remote ? 0 : (f.dlc < 8 ? f.dlc : 8)));
    }
    for (size_t i = f.len; i < f.data.size(); ++i)
        FUZZ_CHECK(f.data[i] == 0);
}

struct Decoded {
    std::vector<Frame> frames;
    std::vector<std::string> names;
    int end = 0;
    std::string why;
};

Decoded decode(FILE *in)
{
    Decoded d;
    auto dec = velk::trace::detail::blf_decoder(in, {});
    Frame f;
    std::string name;
    while ((d.end = dec->next(&f, &name, &d.why)) > 0) {
        d.frames.push_back(f);
        d.names.push_back(name);
        f = Frame();
    }
    // Once ended, it stays ended.
    std::string again;
    FUZZ_CHECK(dec->next(&f, &name, &again) == d.end && again == d.why);
    dec->summary();
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (in == nullptr)
        return 0;
    const Decoded d = decode(in);
    std::fclose(in);
    FUZZ_CHECK(d.end == 0 || d.end == -1);
    if (d.end < 0)
        FUZZ_CHECK(d.why.compare(0, 8, "at byte ") == 0);
    for (size_t i = 0; i < d.frames.size(); ++i)
        check_frame(d.frames[i], d.names[i]);
    if (d.frames.empty() || d.frames.size() > 2000)
        return 0;

    // Written again on channels 1 and 2, to a file as the Writer does, and
    // read back.
    std::vector<Frame> frames = d.frames;
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i].channel = d.names[i] == "2" ? 1 : 0;
    FILE *out = std::tmpfile();
    FUZZ_CHECK(out != nullptr);
    uint64_t written = 0;
    {
        std::string pending;
        velk::trace::detail::Output o(out, &written, &pending);
        velk::trace::WriteOptions options;
        options.compression = static_cast<int>(size % 10);
        auto enc = velk::trace::detail::blf_encoder(options);
        FUZZ_CHECK(enc->begin(o));
        for (const Frame &f : frames)
            FUZZ_CHECK(enc->write(o, f));
        FUZZ_CHECK(enc->finish(o) && o.flush());
    }
    FUZZ_CHECK(std::fflush(out) == 0 && ftello(out) == static_cast<off_t>(written));
    std::rewind(out);
    const Decoded back = decode(out);
    std::fclose(out);
    FUZZ_CHECK(back.end == 0 && back.frames.size() == frames.size());
    const int64_t first = frames[0].sec * 1000000 + frames[0].usec;
    const int64_t start = first - ((first % 1000) + 1000) % 1000;
    for (size_t i = 0; i < frames.size(); ++i) {
        Frame a = frames[i], b = back.frames[i];
        FUZZ_CHECK(back.names[i] == (a.channel == 1 ? "2" : "1"));
        b.channel = a.channel;
        // Times before the start are written at it; far ones (beyond the
        // header's years or the objects' 584 years of nanoseconds) are not kept.
        const int64_t us = a.sec * 1000000 + a.usec;
        if (us < start || us - start > (int64_t{1} << 50) || first < 0 || first > kYear3000) {
            b.sec = a.sec;
            b.usec = a.usec;
        }
        FUZZ_CHECK(a == b);
    }
    return 0;
}
