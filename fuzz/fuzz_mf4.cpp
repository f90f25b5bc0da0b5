// The MF4 reader over arbitrary bytes: it reads frames or stops with an
// error that names a byte offset, and every frame it hands out is one a CAN
// bus can carry.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "check.h"
#include "formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int fd = memfd_create("mf4", 0);
    if (fd < 0)
        return 0;
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    FILE *file = fdopen(fd, "rb");
    FUZZ_CHECK(file != nullptr);
    auto decoder = velk::trace::detail::mf4_decoder(file, {});
    velk::trace::Frame f;
    std::string name, why;
    int r;
    int frames = 0;
    while ((r = decoder->next(&f, &name, &why)) > 0) {
        ++frames;
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(f.usec < 1000000);
        FUZZ_CHECK(f.dlc <= 15 && f.len <= 64);
        if (f.error || f.remote)
            FUZZ_CHECK(f.len == 0);
        if (f.error)
            FUZZ_CHECK(f.id == 0 && !f.extended);
        FUZZ_CHECK(f.id <= (f.extended ? 0x1FFFFFFFu : 0x7FFu));
        if (f.fd)
            FUZZ_CHECK(fuzzcheck::dlc_length(velk::trace::len_to_dlc(f.len)) == f.len);
        else
            FUZZ_CHECK(f.len <= 8 && !f.brs && !f.esi);
        for (int i = f.len; i < 64; ++i)
            FUZZ_CHECK(f.data[i] == 0);
        FUZZ_CHECK(frames < 1000000);
    }
    if (r < 0)
        FUZZ_CHECK(why.compare(0, 8, "at byte ") == 0);
    else  // a call after the end says the end again
        FUZZ_CHECK(decoder->next(&f, &name, &why) == 0);
    decoder.reset();
    std::fclose(file);
    return 0;
}
