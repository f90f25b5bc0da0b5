// VELKReceive_CANFD over an arbitrary byte stream served in arbitrary chunks:
// every record produced must be exactly one whole report, decoded from the
// bytes served for it and nothing else.
#include "receive_common.h"

namespace {

using fuzzrecv::report_length;

void check_record(const CAN_FRAME_INFO &f, const uint8_t *rep, size_t got, const fuzzrecv::Filters &filters)
{
    FUZZ_CHECK(got >= 3);
    int len = report_length(rep);
    FUZZ_CHECK(len > 0 && got == static_cast<size_t>(len));
    switch (f.msg_type) {
    case VELK_DATA_TYPE:
        if (rep[0] == 0xE1) {
            fuzzrecv::check_data_frame(f, rep, 2, 6, 8, filters);
        } else if (rep[0] == 0xE2) {
            fuzzrecv::check_data_frame(f, rep, 10, 14, 8, filters);
            FUZZ_CHECK(f.timestamp.second == fuzzcheck::le32(rep + 2));
            FUZZ_CHECK(f.timestamp.micro_second == fuzzcheck::le32(rep + 6));
        } else {
            FUZZ_CHECK(rep[0] == 0xF1);
            FUZZ_CHECK((rep[2] & 0x04) != 0);
            fuzzrecv::check_data_frame(f, rep, 11, 15, fuzzcheck::dlc_length(rep[1] >> 4), filters);
            FUZZ_CHECK(f.brs == (rep[2] & 1) && f.esi == ((rep[2] >> 1) & 1) && f.fdf == 1);
            FUZZ_CHECK(f.timestamp.second == fuzzcheck::le32(rep + 3));
            FUZZ_CHECK(f.timestamp.micro_second == fuzzcheck::le32(rep + 7));
        }
        break;
    case VELK_EEERR_TYPE:
        FUZZ_CHECK(rep[0] == 0x99 && rep[1] == 0x01);
        FUZZ_CHECK(fuzzcheck::time_text_ok(f.recv_time));
        break;
    case VELK_BUSERR_TYPE:
        FUZZ_CHECK(rep[0] == 0x99 && rep[1] == 0x02);
        fuzzrecv::check_status(f, rep);
        break;
    case VELK_BUSERR_PSR_TYPE:
        FUZZ_CHECK(rep[0] == 0x99 && rep[1] == 0x04);
        fuzzrecv::check_status(f, rep);
        break;
    case VELK_GETBUS_TYPE:
        FUZZ_CHECK(rep[0] == 0x62 && rep[1] == 0x02);
        fuzzrecv::check_status(f, rep);
        break;
    default: FUZZ_CHECK(!"unknown message type");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzport::open_index0();
    fuzzport::set_auto_reply(false);
    fuzzrecv::Filters filters = fuzzrecv::set_filters(size > 0 ? data[0] : 0);
    fuzzport::load(data, size);
    // Calls that take nothing (a chunk of 0) are allowed a few times in a row.
    int idle = 0;
    while (fuzzport::remaining() > 0 && idle < 32) {
        size_t before = fuzzport::served();
        CAN_FRAME_INFO f;
        std::memset(&f, 0xA5, sizeof(f));
        int r = VELKReceive_CANFD(0, &f);
        size_t got = fuzzport::served() - before;
        const uint8_t *rep = fuzzport::stream() + before;
        idle = got == 0 ? idle + 1 : 0;
        FUZZ_CHECK(r == 0 || r == 1);
        // A call never reads past the report it started, whatever it returns.
        int len = got >= 2 ? report_length(rep) : 0;
        FUZZ_CHECK(got <= 3 || got <= static_cast<size_t>(len));
        // An unknown kind loses its three header bytes and nothing more.
        if (got >= 3 && len == 0)
            FUZZ_CHECK(got == 3);
        // The scratch bytes hold the last data report's flags.
        if (got >= 3 && (rep[0] == 0xE1 || rep[0] == 0xE2 || rep[0] == 0xF1))
            FUZZ_CHECK((temp_buf_fun0 & 0xFFu) == rep[1]);
        if (got >= 3 && rep[0] == 0xF1)
            FUZZ_CHECK((temp_buf_fun1 & 0xFFu) == rep[2]);
        if (r == 1) {
            check_record(f, rep, got, filters);
        } else if (got >= 3 && len > 0 && got == static_cast<size_t>(len) && fuzzrecv::trailer_ok(rep, got) &&
                   (rep[0] == 0xE1 || rep[0] == 0xE2 || rep[0] == 0xF1)) {
            // A whole, well-ended data report that was dropped was dropped by
            // a filter or for naming no channel: the record is all zero.
            FUZZ_CHECK(fuzzrecv::all_zero(f));
        }
    }
    return 0;
}
