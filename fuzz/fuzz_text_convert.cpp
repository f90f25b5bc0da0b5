// The utility's hexadecimal text conversions over arbitrary text. The input
// is copied into a buffer of exactly its length plus the terminator, so a
// read past the text is caught; the results must agree with each other and,
// for text of hexadecimal digits, with strtoul.
#include <cstdlib>
#include <string>

#include "check.h"
#include "text_convert.h"

namespace {

bool all_hex(const char *s, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= 2) {
        unsigned char b = hex_2_dec(static_cast<char>(data[0]), static_cast<char>(data[1]));
        char pair[3] = {static_cast<char>(data[0]), static_cast<char>(data[1]), 0};
        if (pair[0] != 0 && pair[1] != 0)
            FUZZ_CHECK(b == str_2_uchar(pair));
        // Lower case counts as upper case; a character below '0' as '0'.
        unsigned char hi = data[0];
        if (hi >= 'a' && hi <= 'z')
            FUZZ_CHECK(b == hex_2_dec(static_cast<char>(hi - 'a' + 'A'), static_cast<char>(data[1])));
        if (hi < '0')
            FUZZ_CHECK(b == hex_2_dec('0', static_cast<char>(data[1])));
    }
    char *text = static_cast<char *>(std::malloc(size + 1));
    FUZZ_CHECK(text != nullptr);
    std::memcpy(text, data, size);
    text[size] = 0;
    size_t len = std::strlen(text);  // the text ends at its first NUL

    unsigned char u8 = str_2_uchar(text);
    unsigned int u32 = str_2_uint(text);
    // Both read the text right-aligned: the byte is the word's low byte.
    FUZZ_CHECK(u8 == (u32 & 0xFFu));
    // Only the last eight characters count.
    if (len > 8)
        FUZZ_CHECK(u32 == str_2_uint(text + len - 8));
    if (len <= 8 && all_hex(text, len))
        FUZZ_CHECK(u32 == (len == 0 ? 0u : static_cast<unsigned int>(std::strtoul(text, nullptr, 16))));
    if (len > 8 && all_hex(text + len - 8, 8))
        FUZZ_CHECK(u32 == static_cast<unsigned int>(std::strtoul(text + len - 8, nullptr, 16)));
    std::free(text);

    FUZZ_CHECK(str_2_uchar(nullptr) == 0 && str_2_uint(nullptr) == 0);
    return 0;
}
