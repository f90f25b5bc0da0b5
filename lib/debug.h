// Diagnostics on request. With the environment variable VELK_DEBUG set to
// anything but empty or "0", the library writes to standard error why a
// call failed, one line each, starting "velk: ": failed command exchanges,
// opens and their failures, bytes skipped while resynchronising, reports
// dropped at the input buffer's cap, and the serial layer's messages. Unset,
// nothing is printed. The variable is read once, on first use.
#ifndef VELK_DEBUG_H
#define VELK_DEBUG_H

#include <cstddef>

namespace velk {

bool debug_on();

// Writes "velk: " and the formatted text as one line to standard error when
// VELK_DEBUG is set. Keeps errno.
void debug_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Bytes as hex text, "37 37 0D 0A"; "nothing" for none, and "..." after the
// first kHexBytes.
struct HexText {
    static constexpr size_t kHexBytes = 64;
    char text[kHexBytes * 3 + 8];
};
HexText hex(const unsigned char *p, size_t len);

}  // namespace velk

#endif
