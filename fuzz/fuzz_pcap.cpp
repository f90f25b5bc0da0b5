// The pcap/pcapng reader over arbitrary bytes. It delivers well-formed
// frames and ends or fails with "at byte N: ..." within the input; the
// frames it read, written again as pcap and pcapng, read back the same.
#include <string>

#include "trace_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using velk::trace::Format;
    std::vector<std::string> names;
    std::string error;
    std::vector<fuzztrace::Frame> frames = fuzztrace::decode_all(Format::Pcapng, data, size, 4096, &names, &error);
    if (!error.empty()) {
        FUZZ_CHECK(error.compare(0, 8, "at byte ") == 0);
        FUZZ_CHECK(std::strtoull(error.c_str() + 8, nullptr, 10) <= size);
    }
    // What each format keeps: pcap no channel or direction, and times of
    // 32-bit seconds; pcapng two channels.
    std::vector<fuzztrace::Frame> pcap, ng;
    for (size_t i = 0; i < frames.size(); ++i) {
        fuzztrace::Frame f = frames[i];
        if (f.sec < 0 || f.sec > 0xFFFFFFFFll)
            continue;
        f.channel = names[i] == "can1" ? 1 : 0;
        ng.push_back(f);
        f.channel = 0;
        f.tx = false;
        pcap.push_back(f);
    }
    for (fuzztrace::Frame &f : ng)
        f.channel = 0;  // the decoder leaves channels to the Reader
    std::vector<fuzztrace::Frame> back = fuzztrace::round_trip(Format::Pcap, pcap);
    for (fuzztrace::Frame &f : back)
        f.channel = 0;
    FUZZ_CHECK(back == pcap);
    back = fuzztrace::round_trip(Format::Pcapng, ng);
    for (fuzztrace::Frame &f : back)
        f.channel = 0;
    FUZZ_CHECK(back == ng);
    return 0;
}
