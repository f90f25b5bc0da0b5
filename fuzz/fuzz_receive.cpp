// VELKReceive (classic reports) over an arbitrary byte stream served in
// arbitrary chunks: every record produced must be exactly one whole report,
// decoded from the bytes of the stream and nothing else, in stream order.
#include "receive_common.h"

namespace {

using fuzzrecv::Filters;

bool yields(const uint8_t *rep, const Filters &filters)
{
    switch (fuzzrecv::report_length(rep) == 0 ? 0 : rep[0]) {
    case 0xE1: return fuzzrecv::data_passes(rep, 2, filters);
    case 0x99:
    case 0x62: return fuzzrecv::status_yields(rep, false);
    default: return false;
    }
}

bool is(const CAN_FRAME_INFO &f, const uint8_t *rep, const Filters &filters)
{
    if (!yields(rep, filters))
        return false;
    return rep[0] == 0xE1 ? fuzzrecv::data_frame_is(f, rep, 2, 6, 8, filters) : fuzzrecv::status_record_is(f, rep);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzport::open_index0();
    fuzzport::set_auto_reply(false);
    const Filters filters = fuzzrecv::set_filters(size > 0 ? data[0] : 0);
    fuzzport::load(data, size);
    fuzzrecv::drive({VELKReceive, yields, is}, filters);
    return 0;
}
