#include "text_convert.h"

#include <climits>
#include <cstring>

namespace {

unsigned int digit_value(char ch)
{
    unsigned int c = static_cast<unsigned char>(ch);
    if (c >= 'a' && c <= 'z')
        c -= 'a' - 'A';
    if (c < '0')
        return 0;
    if (c <= 0x40)
        return c - 48;
    return c - 55;
}

// Copies the last `width` characters of str into out, padded on the left
// with '0'. Only the text up to its terminator is read, so an overlong
// pasted text cannot push the conversion past its width.
void right_align(const char *str, char *out, std::size_t width)
{
    std::memset(out, '0', width);
    if (str == nullptr)
        return;
    std::size_t len = std::strlen(str);
    std::size_t take = len < width ? len : width;
    std::memcpy(out + (width - take), str + (len - take), take);
}

} // namespace

unsigned char hex_2_dec(char ch_high, char ch_low)
{
    return static_cast<unsigned char>((digit_value(ch_high) * 16 + digit_value(ch_low)) & 0xFF);
}

unsigned char str_2_uchar(const char *str)
{
    char buf[2];
    right_align(str, buf, sizeof buf);
    return hex_2_dec(buf[0], buf[1]);
}

unsigned int str_2_uint(const char *str)
{
    char buf[8];
    right_align(str, buf, sizeof buf);
    return (static_cast<unsigned int>(hex_2_dec(buf[0], buf[1])) << 24) |
           (static_cast<unsigned int>(hex_2_dec(buf[2], buf[3])) << 16) |
           (static_cast<unsigned int>(hex_2_dec(buf[4], buf[5])) << 8) |
           static_cast<unsigned int>(hex_2_dec(buf[6], buf[7]));
}

int str_2_int(const char *str)
{
    if (str == nullptr)
        return 0;
    long long value = 0;
    for (const char *p = str; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(value);
}
