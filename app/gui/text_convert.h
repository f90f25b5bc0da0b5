// Hexadecimal text of the utility's entries to numbers. No GTK here, so the
// conversions can be tested and fuzzed on their own.
#pragma once

// Two hexadecimal digit characters to one byte. Lower case counts as upper
// case; a character below '0' (only pasting can put one into an entry)
// counts as 0.
unsigned char hex_2_dec(char ch_high, char ch_low);

// The last two characters of str, right-aligned into "00", as one byte:
// "" gives 0, "5" gives 0x05, "a5" gives 0xA5. A null pointer gives 0.
unsigned char str_2_uchar(const char *str);

// The last eight characters of str, right-aligned into "00000000", as a
// 32-bit value: "" gives 0, "7FF" gives 0x7FF. A null pointer gives 0.
unsigned int str_2_uint(const char *str);

// The leading decimal digits of str as an int: "" or text without a leading
// digit gives 0, "00123" gives 123, and the value stops at INT_MAX. A null
// pointer gives 0.
int str_2_int(const char *str);
