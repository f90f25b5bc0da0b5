// The TRC reader over arbitrary text. It delivers well-formed frames and
// ends or fails with "line N: ..."; the frames it read, written again as
// TRC 2.1, read back the same.
#include <string>

#include "trace_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using velk::trace::Format;
    std::vector<std::string> names;
    std::string error;
    std::vector<fuzztrace::Frame> frames = fuzztrace::decode_all(Format::Trc, data, size, 4096, &names, &error);
    if (!error.empty())
        FUZZ_CHECK(error.compare(0, 5, "line ") == 0);
    // Bus numbers beyond 2 are written as bus 1; times far from the first
    // frame's would not fit the offset column's range in the checks below.
    std::vector<fuzztrace::Frame> kept;
    for (size_t i = 0; i < frames.size(); ++i) {
        FUZZ_CHECK(!names[i].empty() && names[i][0] >= '1' && names[i][0] <= '9');
        fuzztrace::Frame f = frames[i];
        f.channel = names[i] == "2" ? 1 : 0;
        kept.push_back(f);
    }
    std::vector<fuzztrace::Frame> back = fuzztrace::round_trip(Format::Trc, kept);
    FUZZ_CHECK(back.size() == kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        back[i].channel = kept[i].channel;  // the decoder names the bus; the Reader maps it
        FUZZ_CHECK(back[i] == kept[i]);
    }
    return 0;
}
