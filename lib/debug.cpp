// The diagnostic sink: standard error when VELK_DEBUG asks for it, nothing
// otherwise. Also the serial layer's showDebugMsg, which lands here.
#include "debug.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial.h"

namespace velk {

bool debug_on()
{
    // Initialised once, safely between threads.
    static const bool on = [] {
        const char *v = std::getenv("VELK_DEBUG");
        return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
    }();
    return on;
}

void debug_line(const char *fmt, ...)
{
    if (!debug_on())
        return;
    const int saved_errno = errno;
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    // One call, so that lines of different threads do not interleave.
    std::fprintf(stderr, "velk: %s\n", text);
    errno = saved_errno;
}

HexText hex(const unsigned char *p, size_t len)
{
    HexText h;
    if (len == 0) {
        std::snprintf(h.text, sizeof(h.text), "nothing");
        return h;
    }
    size_t at = 0;
    const size_t shown = len < HexText::kHexBytes ? len : HexText::kHexBytes;
    for (size_t i = 0; i < shown; ++i)
        at += static_cast<size_t>(std::snprintf(h.text + at, sizeof(h.text) - at, i == 0 ? "%02X" : " %02X", p[i]));
    if (shown < len)
        std::snprintf(h.text + at, sizeof(h.text) - at, " ...");
    return h;
}

}  // namespace velk

extern "C" {

void showDebugMsg(int line, const char *func, const char *msg)
{
    (void)line;
    velk::debug_line("%s: %s", func != nullptr ? func : "?", msg != nullptr ? msg : "");
}

}  // extern "C"
