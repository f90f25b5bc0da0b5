// VELKReceive_CANFD over an arbitrary byte stream served in arbitrary
// chunks: every record produced must be exactly one whole report, decoded
// from the bytes of the stream and nothing else, in stream order.
#include "receive_common.h"

namespace {

using fuzzrecv::Filters;

bool yields(const uint8_t *rep, const Filters &filters)
{
    switch (fuzzrecv::report_length(rep) == 0 ? 0 : rep[0]) {
    case 0xE1: return fuzzrecv::data_passes(rep, 2, filters);
    case 0xE2: return fuzzrecv::data_passes(rep, 10, filters);
    case 0xF1: return (rep[2] & 0x04) != 0 && fuzzrecv::data_passes(rep, 11, filters);
    case 0x99:
    case 0x62: return fuzzrecv::status_yields(rep, true);
    default: return false;
    }
}

bool is(const CAN_FRAME_INFO &f, const uint8_t *rep, const Filters &filters)
{
    if (!yields(rep, filters))
        return false;
    switch (rep[0]) {
    case 0xE1: return fuzzrecv::data_frame_is(f, rep, 2, 6, 8, filters);
    case 0xE2:
        return fuzzrecv::data_frame_is(f, rep, 10, 14, 8, filters) &&
               f.timestamp.second == fuzzcheck::le32(rep + 2) && f.timestamp.micro_second == fuzzcheck::le32(rep + 6);
    case 0xF1:
        return fuzzrecv::data_frame_is(f, rep, 11, 15, fuzzcheck::dlc_length(rep[1] >> 4), filters) &&
               f.brs == (rep[2] & 1) && f.esi == ((rep[2] >> 1) & 1) && f.fdf == 1 &&
               f.timestamp.second == fuzzcheck::le32(rep + 3) && f.timestamp.micro_second == fuzzcheck::le32(rep + 7);
    default: return fuzzrecv::status_record_is(f, rep);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzport::open_index0();
    fuzzport::set_auto_reply(false);
    const Filters filters = fuzzrecv::set_filters(size > 0 ? data[0] : 0);
    fuzzport::load(data, size);
    fuzzrecv::drive({VELKReceive_CANFD, yields, is}, filters);
    return 0;
}
