// VELKImpCfg over arbitrary file contents, against an adapter that accepts
// every command. A file that is not exactly 92 bytes sends nothing and fails;
// one that is sends the settings its words decode to.
#include <unistd.h>

#include "check.h"
#include "fake_port.h"
#include "lib_velk_2.h"

namespace {

char path[64] = "";

void remove_file()
{
    unlink(path);
}

const char *file_path()
{
    if (path[0] == 0) {
        // Memory-backed when there is one: a file is written every run.
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::snprintf(path, sizeof(path), "%s/velk-fuzz-impcfg-XXXXXX", dir);
        int fd = mkstemp(path);
        FUZZ_CHECK(fd >= 0);
        close(fd);
        std::atexit(remove_file);
    }
    return path;
}

void write_file(const char *path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path, "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
}

uint8_t decoded(const uint8_t *file, int i)
{
    uint32_t w = fuzzcheck::le32(file + 4 * i);
    uint32_t k = static_cast<uint32_t>(i + 1);
    return static_cast<uint8_t>((w - k) / k);
}

uint32_t be_of(const uint8_t *file, int i)
{
    return static_cast<uint32_t>(decoded(file, i)) << 24 | static_cast<uint32_t>(decoded(file, i + 1)) << 16 |
           static_cast<uint32_t>(decoded(file, i + 2)) << 8 | decoded(file, i + 3);
}

// A frame with its checksum and CR LF, and the payload bytes expected.
void check_frame(const std::vector<uint8_t> &w, const std::vector<uint8_t> &head)
{
    FUZZ_CHECK(w.size() == head.size() + 3);
    FUZZ_CHECK(std::memcmp(w.data(), head.data(), head.size()) == 0);
    FUZZ_CHECK(fuzzcheck::trailer_ok(w.data(), w.size()));
}

std::vector<uint8_t> filter_head(uint8_t code, const uint8_t *file, int at)
{
    std::vector<uint8_t> h = {code, decoded(file, at)};
    uint32_t id = be_of(file, at + 1);
    uint32_t mask = be_of(file, at + 5);
    for (int s = 24; s >= 0; s -= 8)
        h.push_back(static_cast<uint8_t>(id >> s));
    for (int s = 24; s >= 0; s -= 8)
        h.push_back(static_cast<uint8_t>(mask >> s));
    if (mask & 0x10000000u)
        h[6] = 0x3F;
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzport::open_index0();
    fuzzport::load(nullptr, 0);
    fuzzport::set_auto_reply(true);
    const char *path = file_path();
    write_file(path, data, size);
    int rc = VELKImpCfg(0, path);
    fuzzport::set_auto_reply(false);
    const auto &w = fuzzport::writes();
    if (size != 92) {
        FUZZ_CHECK(rc == 1 && w.empty());
        return 0;
    }
    FUZZ_CHECK(rc == 0);
    // Bit rates (after the version query), modes, error reporting, filters.
    FUZZ_CHECK(w.size() == 7);
    check_frame(w[0], {'5'});
    check_frame(w[1], {'6'});
    check_frame(w[2], {'0', decoded(data, 0), decoded(data, 11)});
    check_frame(w[3], {'3', decoded(data, 1), decoded(data, 12)});
    check_frame(w[4], {'8', decoded(data, 22)});
    check_frame(w[5], filter_head('1', data, 2));
    check_frame(w[6], filter_head('2', data, 13));
    return 0;
}
