// The network server's command parser on arbitrary client bytes: commands
// are found in the stream and parsed without overrunning anything; every
// accepted command holds values in range, and a frame it carries formats
// to a line that parses back as the same frame.
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "protocol.h"

using namespace velk::netd;

namespace {

void check_frame(const NetFrame &f)
{
    FUZZ_CHECK(f.len <= 64);
    FUZZ_CHECK(f.fd || f.len <= 8);
    FUZZ_CHECK(f.id <= 0x1FFFFFFF);
    FUZZ_CHECK(f.extended || f.id <= 0x7FF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view in(reinterpret_cast<const char *>(data), size);
    size_t pos = 0;
    for (int guard = 0; guard <= static_cast<int>(size) + 1; ++guard) {
        std::string_view text;
        const size_t before = pos;
        const ParseResult r = next_command(in, &pos, &text);
        FUZZ_CHECK(pos <= in.size());
        if (r == ParseResult::Incomplete)
            break;
        FUZZ_CHECK(pos > before);
        if (r == ParseResult::Error)
            continue;
        FUZZ_CHECK(text.size() + 2 <= kMaxCommand);
        Command c;
        std::string why;
        if (parse_command(text, &c, &why) != ParseResult::Ok) {
            FUZZ_CHECK(!why.empty());
            continue;
        }
        FUZZ_CHECK(c.bus.size() <= kMaxBusName);
        FUZZ_CHECK(c.interval_us >= 0 && c.stats_ms >= 0);
        if (c.verb == Verb::Send || c.verb == Verb::Add || c.verb == Verb::Update) {
            check_frame(c.frame);
            // The frame written as a send command parses back unchanged.
            const std::string line = frame_line(c.frame, 1, 2);
            FUZZ_CHECK(line.size() < 200);
            char head[48];
            if (c.frame.fd)
                std::snprintf(head, sizeof head, c.frame.extended ? "sendfd %08X %u %u" : "sendfd %X %u %u",
                              c.frame.id, (c.frame.brs ? 1u : 0u) | (c.frame.esi ? 2u : 0u), c.frame.len);
            else
                std::snprintf(head, sizeof head, c.frame.extended ? "send %08X %u" : "send %X %u", c.frame.id,
                              c.frame.len);
            std::string back = head;
            for (size_t i = 0; i < c.frame.len; ++i) {
                back += ' ';
                back += "0123456789ABCDEF"[c.frame.data[i] >> 4];
                back += "0123456789ABCDEF"[c.frame.data[i] & 15];
            }
            Command again;
            FUZZ_CHECK(parse_command(back, &again, &why) == ParseResult::Ok);
            FUZZ_CHECK(again.frame.id == c.frame.id && again.frame.extended == c.frame.extended);
            FUZZ_CHECK(again.frame.len == c.frame.len && again.frame.fd == c.frame.fd);
            for (size_t i = 0; i < c.frame.len; ++i)
                FUZZ_CHECK(again.frame.data[i] == c.frame.data[i]);
        }
    }
    return 0;
}
