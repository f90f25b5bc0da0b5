// Every query that parses a reply, over arbitrary replies served in
// arbitrary chunks. Byte 0 of the input picks the query (and the timing set);
// the rest is served as the adapter's answers. A query that succeeds must
// have read whole replies with the right echo and a zero status and report
// exactly their bytes; one that fails must say so.
#include "check.h"
#include "fake_port.h"
#include "lib_velk_2.h"

namespace {

// The written frame of a command: its code, the checksum and CR LF.
void check_frame(const std::vector<uint8_t> &w, uint8_t code)
{
    FUZZ_CHECK(w.size() >= 4 && w[0] == code);
    FUZZ_CHECK(fuzzcheck::trailer_ok(w.data(), w.size()));
}

// A successful query took exactly `len` bytes per reply from the stream.
const uint8_t *whole_reply(size_t len, uint8_t echo)
{
    FUZZ_CHECK(fuzzport::served() == len);
    const uint8_t *r = fuzzport::stream();
    FUZZ_CHECK(r[0] == echo && r[1] == 0);
    return r;
}

template <typename Cfg>
void check_config(const Cfg &cfg, const uint8_t *r)
{
    for (int c = 0; c < 2; ++c) {
        const uint8_t *p = r + 2 + c * 11;
        FUZZ_CHECK(cfg.baud[c] == p[0] && cfg.mode[c] == p[1] && cfg.flt_type[c] == p[2]);
        FUZZ_CHECK(cfg.flt_id[c] == fuzzcheck::be32(p + 3));
        uint32_t mask = fuzzcheck::be32(p + 7);
        if (p[2] == VELK_EID)
            mask &= 0x1FFFFFFFu;
        FUZZ_CHECK(cfg.flt_mask[c] == mask);
    }
    FUZZ_CHECK(cfg.err_set == r[24]);
}

void show_ver()
{
    VER_INFO v;
    std::memset(&v, 0x5A, sizeof(v));
    int rc = VELKShowVer(0, &v);
    FUZZ_CHECK(rc == 0 || rc == 1);
    const auto &w = fuzzport::writes();
    FUZZ_CHECK(w.size() == 2);
    check_frame(w[0], '5');
    check_frame(w[1], '6');
    FUZZ_CHECK(std::strcmp(v.api, "3.1.0") == 0);
    if (rc != 0)
        return;
    FUZZ_CHECK(fuzzport::served() == 14);
    const uint8_t *r1 = fuzzport::stream();
    const uint8_t *r2 = r1 + 7;
    FUZZ_CHECK(r1[0] == '5' && r1[1] == 0 && r2[0] == '6' && r2[1] == 0);
    char fw[16], model[16];
    std::snprintf(fw, sizeof(fw), "%02X.%02X", r1[2], r1[3]);
    std::snprintf(model, sizeof(model), "%02X%02X", r2[2], r2[3]);
    FUZZ_CHECK(std::strcmp(v.fw, fw) == 0 && std::strcmp(v.model, model) == 0);
}

void can_status()
{
    int s1 = -5, s2 = -5;
    int rc = VELKGetCANStatus(0, &s1, &s2);
    FUZZ_CHECK(fuzzport::writes().size() == 1);
    check_frame(fuzzport::writes()[0], 0x60);
    if (rc != 0) {
        FUZZ_CHECK(rc == 1 && s1 == -5 && s2 == -5);
        return;
    }
    const uint8_t *r = whole_reply(7, 0x60);
    FUZZ_CHECK(s1 == r[2] && s2 == r[3]);
}

void bldid()
{
    unsigned char id[2] = {0x11, 0x22};
    int rc = VELKGetBLDID(0, id);
    FUZZ_CHECK(fuzzport::writes().size() == 1);
    check_frame(fuzzport::writes()[0], '6');
    if (rc != 0) {
        FUZZ_CHECK(rc == 1 && id[0] == 0x11 && id[1] == 0x22);
        return;
    }
    const uint8_t *r = whole_reply(7, '6');
    FUZZ_CHECK(id[0] == r[2] && id[1] == r[3]);
}

void get_cfg()
{
    CFG_INFO cfg;
    std::memset(&cfg, 0x5A, sizeof(cfg));
    int rc = VELKGetCfg(0, &cfg);
    FUZZ_CHECK(fuzzport::writes().size() == 1);
    check_frame(fuzzport::writes()[0], '7');
    if (rc != 0) {
        CFG_INFO zero;
        std::memset(&zero, 0, sizeof(zero));
        FUZZ_CHECK(rc == 1 && std::memcmp(&cfg, &zero, sizeof(cfg)) == 0);
        return;
    }
    check_config(cfg, whole_reply(28, '7'));
}

void get_cfg_canfd()
{
    CANFD_CFG_INFO cfg;
    std::memset(&cfg, 0x5A, sizeof(cfg));
    int rc = VELKGetCFG_CANFD(0, &cfg);
    FUZZ_CHECK(fuzzport::writes().size() == 1);
    check_frame(fuzzport::writes()[0], 'G');
    if (rc != 0) {
        CANFD_CFG_INFO zero;
        std::memset(&zero, 0, sizeof(zero));
        FUZZ_CHECK(rc == 1 && std::memcmp(&cfg, &zero, sizeof(cfg)) == 0);
        return;
    }
    const uint8_t *r = whole_reply(32, 'G');
    check_config(cfg, r);
    FUZZ_CHECK(cfg.fdf_en[0] == r[25] && cfg.datarate[0] == r[26]);
    FUZZ_CHECK(cfg.fdf_en[1] == r[27] && cfg.datarate[1] == r[28]);
}

void timing(unsigned char sel)
{
    TIMING_CFG_CANFD t;
    std::memset(&t, 0x5A, sizeof(t));
    TIMING_CFG_CANFD before = t;
    int rc = VELKGet_TimingCFG_CANFD(0, &t, sel);
    if (sel > 2) {
        // An unknown timing set is refused before anything is sent.
        FUZZ_CHECK(rc == 1 && fuzzport::writes().empty() && fuzzport::served() == 0);
        FUZZ_CHECK(std::memcmp(&t, &before, sizeof(t)) == 0);
        return;
    }
    FUZZ_CHECK(fuzzport::writes().size() == 1);
    const auto &w = fuzzport::writes()[0];
    check_frame(w, 'L');
    FUZZ_CHECK(w.size() == 5 && w[1] == sel);
    if (rc != 0) {
        TIMING_CFG_CANFD zero;
        std::memset(&zero, 0, sizeof(zero));
        FUZZ_CHECK(rc == 1 && std::memcmp(&t, &zero, sizeof(t)) == 0);
        return;
    }
    const uint8_t *r = whole_reply(21, 'L');
    FUZZ_CHECK(r[2] == sel && t.sel == sel);
    FUZZ_CHECK(std::memcmp(t.param, r + 3, 4) == 0 && t.param5 == r[7] && t.param6 == r[8]);
    FUZZ_CHECK(std::memcmp(t.param7, r + 9, 9) == 0 && t.reserved == 0);
}

void vcom()
{
    VCOM_CFG_INFO v;
    std::memset(&v, 0x5A, sizeof(v));
    int rc = VELKGetVCOMConfig(0, &v);
    FUZZ_CHECK(fuzzport::writes().size() == 1);
    check_frame(fuzzport::writes()[0], 'M');
    if (rc != 0) {
        FUZZ_CHECK(rc == 1);
        return;
    }
    const uint8_t *r = whole_reply(16, 'M');
    FUZZ_CHECK(v.vcom_mode == r[2] && v.vcom_map == r[3] && v.vcom_order == r[4] && v.com_index == 0);
    FUZZ_CHECK(std::memcmp(v.dev_id, r + 5, 8) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fuzzport::open_index0();
    fuzzport::set_auto_reply(false);
    uint8_t pick = data[0];
    fuzzport::load(data + 1, size - 1, true);
    switch (pick % 7) {
    case 0: show_ver(); break;
    case 1: can_status(); break;
    case 2: bldid(); break;
    case 3: get_cfg(); break;
    case 4: get_cfg_canfd(); break;
    case 5: timing(static_cast<unsigned char>(pick / 7 % 4)); break;
    default: vcom(); break;
    }
    return 0;
}
