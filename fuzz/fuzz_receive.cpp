// VELKReceive (classic reports) over an arbitrary byte stream served in
// arbitrary chunks: every record produced must be exactly one whole report,
// decoded from the bytes served for it and nothing else.
#include "receive_common.h"

namespace {

using fuzzrecv::report_length;

void check_record(const CAN_FRAME_INFO &f, const uint8_t *rep, size_t got, const fuzzrecv::Filters &filters)
{
    FUZZ_CHECK(got >= 2);
    int len = report_length(rep);
    FUZZ_CHECK(len > 0 && got == static_cast<size_t>(len));
    switch (f.msg_type) {
    case VELK_DATA_TYPE:
        FUZZ_CHECK(rep[0] == 0xE1);
        fuzzrecv::check_data_frame(f, rep, 2, 6, 8, filters);
        break;
    case VELK_EEERR_TYPE:
        FUZZ_CHECK(rep[0] == 0x99 && rep[1] == 0x01);
        FUZZ_CHECK(fuzzcheck::time_text_ok(f.recv_time));
        break;
    case VELK_BUSERR_TYPE:
        FUZZ_CHECK(rep[0] == 0x99 && rep[1] == 0x02);
        fuzzrecv::check_status(f, rep);
        break;
    case VELK_GETBUS_TYPE:
        FUZZ_CHECK(rep[0] == 0x62 && rep[1] == 0x02);
        fuzzrecv::check_status(f, rep);
        break;
    default: FUZZ_CHECK(!"unexpected message type");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzport::open_index0();
    fuzzport::set_auto_reply(false);
    fuzzrecv::Filters filters = fuzzrecv::set_filters(size > 0 ? data[0] : 0);
    fuzzport::load(data, size);
    int idle = 0;
    while (fuzzport::remaining() > 0 && idle < 32) {
        size_t before = fuzzport::served();
        CAN_FRAME_INFO f;
        std::memset(&f, 0xA5, sizeof(f));
        int r = VELKReceive(0, &f);
        size_t got = fuzzport::served() - before;
        const uint8_t *rep = fuzzport::stream() + before;
        idle = got == 0 ? idle + 1 : 0;
        FUZZ_CHECK(r == 0 || r == 1);
        // A call reads the two bytes that name the kind and at most the rest
        // of that one report; kinds it does not decode are consumed whole.
        int len = got >= 2 ? report_length(rep) : 0;
        FUZZ_CHECK(got <= 2 || got <= static_cast<size_t>(len));
        // An unknown kind loses the two bytes that named it and nothing more.
        if (got >= 2 && len == 0)
            FUZZ_CHECK(got == 2);
        if (r == 1)
            check_record(f, rep, got, filters);
        else if (got >= 2 && len > 0 && got == static_cast<size_t>(len) && fuzzrecv::trailer_ok(rep, got) &&
                 rep[0] == 0xE1)
            FUZZ_CHECK(fuzzrecv::all_zero(f));
    }
    return 0;
}
