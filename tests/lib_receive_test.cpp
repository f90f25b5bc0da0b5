// Frame receive against the emulated adapter: every report kind decoded,
// range filters, the bounded receive loop, the bus error request, reports
// split across writes, and a long stream of mixed reports.
#include <poll.h>

#include <cctype>
#include <cstring>
#include <sstream>

#include "test_support.h"

namespace velk::test {
namespace {

using sim::Report;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes counting(size_t n, uint8_t from)
{
    Bytes b;
    for (size_t i = 0; i < n; ++i)
        b.push_back(static_cast<uint8_t>(from + i));
    return b;
}

constexpr unsigned char kSentinel = 0xA5;

CAN_FRAME_INFO sentinel_record()
{
    CAN_FRAME_INFO f;
    std::memset(&f, kSentinel, sizeof(f));
    return f;
}

bool is_sentinel(const CAN_FRAME_INFO &f)
{
    const CAN_FRAME_INFO s = sentinel_record();
    return std::memcmp(&f, &s, sizeof(f)) == 0;
}

bool is_all_zero(const CAN_FRAME_INFO &f)
{
    CAN_FRAME_INFO z;
    std::memset(&z, 0, sizeof(z));
    return std::memcmp(&f, &z, sizeof(f)) == 0;
}

bool bytes_are(const unsigned char *p, size_t n, unsigned char v)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != v)
            return false;
    return true;
}

// "%02d:%02d:%02d:%03d"
bool is_time_of_day(const char *t)
{
    if (std::strlen(t) != 12)
        return false;
    for (int i = 0; i < 12; ++i) {
        const bool colon = i == 2 || i == 5 || i == 8;
        if (colon ? t[i] != ':' : !std::isdigit(static_cast<unsigned char>(t[i])))
            return false;
    }
    return true;
}

int64_t elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

RANGE_FILTER_INFO zero_table()
{
    RANGE_FILTER_INFO t;
    std::memset(&t, 0, sizeof(t));
    return t;
}

bool same_table(const RANGE_FILTER_INFO &a, const RANGE_FILTER_INFO &b)
{
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

class Receive : public OpenAdapter {
protected:
    // Calls VELKReceive_CANFD on a sentinel-filled record until a call takes
    // a report (it produced a record, or it read bytes and stamped the time).
    // Returns that call's result, or -1 when nothing came in time.
    int read_one(CAN_FRAME_INFO *out, int timeout_ms = 2000)
    {
        int result = 0;
        const bool got = wait_until(
            [&] {
                *out = sentinel_record();
                result = VELKReceive_CANFD(kPort, out);
                return result == 1 || !is_sentinel(*out);
            },
            timeout_ms);
        return got ? result : -1;
    }

    // The same with the classic decoder, which leaves the record as it was
    // for a report it drops unread; waits for a produced record only.
    int read_classic(CAN_FRAME_INFO *out, int timeout_ms = 2000)
    {
        const bool got = wait_until(
            [&] {
                *out = sentinel_record();
                return VELKReceive(kPort, out) == 1;
            },
            timeout_ms);
        return got ? 1 : -1;
    }

    // As wait_until, but between tries it waits in poll() for input on the
    // port instead of spinning, leaving the processor to the adapter.
    bool wait_readable_until(const std::function<bool()> &cond, int timeout_ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        COM_NODE *node = chk_is_legal_com(kPort);
        while (!cond()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (node == nullptr || left.count() <= 0)
                return false;
            struct pollfd p = {node->fd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()));
        }
        return true;
    }

    // Reads one E1/E2 data report and returns its identifier (~0 on failure).
    unsigned read_id()
    {
        CAN_FRAME_INFO f;
        if (read_one(&f) != 1)
            return ~0u;
        return f.id;
    }

    void TearDown() override
    {
        EXPECT_FALSE(range_filter_mutex);
        OpenAdapter::TearDown();
    }
};

// ---- decoding ----

TEST_F(Receive, DecodesClassicAndFdDataReports)
{
    const Bytes data8 = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const Bytes e1 = with_trailer(concat({{0xE1, 0x11, 0x00, 0x00, 0x01, 0x23}, data8}));
    const Bytes e1_ch2 = with_trailer(concat({{0xE1, 0x12, 0x00, 0x00, 0x01, 0x23}, data8}));
    const Bytes e1_ext = with_trailer(concat({{0xE1, 0x8E, 0x1A, 0xBC, 0xDE, 0xF0}, data8}));
    const Bytes e2 = with_trailer(
        concat({{0xE2, 0x81, 0x10, 0x00, 0x00, 0x00, 0x20, 0xA1, 0x07, 0x00, 0x00, 0x00, 0x07, 0xFF}, data8}));
    // DLC 3: eight payload bytes on the wire, three taken.
    const Bytes f1_3 = with_trailer(concat(
        {{0xF1, 0x31, 0x05, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x21}, data8}));
    // DLC 15 on channel 2, extended, BRS ESI FDF: 64 payload bytes.
    const Bytes f1_15 = with_trailer(concat(
        {{0xF1, 0xF6, 0x07, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78},
         counting(64, 0x80)}));
    ASSERT_EQ(e1.size(), 17u);
    ASSERT_EQ(e2.size(), 25u);
    ASSERT_EQ(f1_3.size(), 26u);
    ASSERT_EQ(f1_15.size(), 82u);
    // Back to back, so each report must be taken at exactly its length.
    sim().inject(concat({e1, e1_ch2, e1_ext, e2, f1_3, f1_15}));
    temp_buf_fun0 = 0xCAFEBA00u;
    temp_buf_fun1 = 0x12345600u;

    CAN_FRAME_INFO f;
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_DATA_TYPE);
    EXPECT_EQ(f.CAN_port, VELK_CAN_1);
    EXPECT_EQ(f.id_type, VELK_SID);
    EXPECT_EQ(f.rtr, 0);
    EXPECT_EQ(f.dlc, 1);
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_EQ(Bytes(f.data, f.data + 8), data8);
    EXPECT_TRUE(is_time_of_day(f.recv_time)) << f.recv_time;
    // Everything else is left as the caller had it.
    EXPECT_TRUE(bytes_are(f.data + 8, 56, kSentinel));
    EXPECT_TRUE(bytes_are(reinterpret_cast<unsigned char *>(&f.timestamp), sizeof(f.timestamp), kSentinel));
    EXPECT_TRUE(bytes_are(&f.data_err[0][0], 12, kSentinel));
    EXPECT_TRUE(bytes_are(reinterpret_cast<unsigned char *>(&f.brs), 3 * sizeof(int), kSentinel));
    EXPECT_EQ(temp_buf_fun0, 0xCAFEBA11u);

    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);
    EXPECT_EQ(f.dlc, 1);
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_EQ(temp_buf_fun0, 0xCAFEBA12u);

    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);
    EXPECT_EQ(f.id_type, VELK_EID);
    EXPECT_EQ(f.rtr, VELK_EN_RTR);
    EXPECT_EQ(f.dlc, 8);
    EXPECT_EQ(f.id, 0x1ABCDEF0u);

    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_DATA_TYPE);
    EXPECT_EQ(f.CAN_port, VELK_CAN_1);
    EXPECT_EQ(f.dlc, 8);
    EXPECT_EQ(f.id, 0x7FFu);
    EXPECT_EQ(f.timestamp.second, 16u);
    EXPECT_EQ(f.timestamp.micro_second, 500000u);
    EXPECT_EQ(Bytes(f.data, f.data + 8), data8);
    EXPECT_TRUE(bytes_are(reinterpret_cast<unsigned char *>(&f.brs), 3 * sizeof(int), kSentinel));
    EXPECT_EQ(temp_buf_fun0, 0xCAFEBA81u);
    EXPECT_EQ(temp_buf_fun1, 0x12345600u);

    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_DATA_TYPE);
    EXPECT_EQ(f.CAN_port, VELK_CAN_1);
    EXPECT_EQ(f.id_type, VELK_SID);
    EXPECT_EQ(f.dlc, 3);
    EXPECT_EQ(f.brs, 1);
    EXPECT_EQ(f.esi, 0);
    EXPECT_EQ(f.fdf, 1);
    EXPECT_EQ(f.timestamp.second, 1u);
    EXPECT_EQ(f.timestamp.micro_second, 2u);
    EXPECT_EQ(f.id, 0x321u);
    EXPECT_EQ(Bytes(f.data, f.data + 3), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_TRUE(bytes_are(f.data + 3, 61, kSentinel));
    EXPECT_EQ(temp_buf_fun0, 0xCAFEBA31u);
    EXPECT_EQ(temp_buf_fun1, 0x12345605u);

    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);
    EXPECT_EQ(f.id_type, VELK_EID);
    EXPECT_EQ(f.dlc, 15);
    EXPECT_EQ(f.brs, 1);
    EXPECT_EQ(f.esi, 1);
    EXPECT_EQ(f.fdf, 1);
    EXPECT_EQ(f.timestamp.second, 3u);
    EXPECT_EQ(f.timestamp.micro_second, 4u);
    EXPECT_EQ(f.id, 0x12345678u);
    EXPECT_EQ(Bytes(f.data, f.data + 64), counting(64, 0x80));
    EXPECT_EQ(temp_buf_fun0, 0xCAFEBAF6u);
    EXPECT_EQ(temp_buf_fun1, 0x12345607u);

    EXPECT_EQ(bytes_waiting(), 0);
}

TEST_F(Receive, DecodesStatusReportsAndTheBusErrorRequest)
{
    const Bytes status = counting(12, 1);
    const Bytes zeros(12, 0);
    const Bytes eeprom = with_trailer({0x99, 0x01, 0xAA, 0xBB, 0xCC, 0xDD});
    ASSERT_EQ(eeprom.size(), 9u);
    sim().inject(concat({
        eeprom,
        with_trailer(concat({{0x99, 0x02}, zeros})),    // nothing to report
        with_trailer(concat({{0x99, 0x02}, status})),
        with_trailer(concat({{0x99, 0x04}, status})),
        with_trailer(concat({{0x62, 0x02}, status})),
        Bytes{0x55, 0x66, 0x77},                        // no report: skipped
        sim::report_e1(0, false, false, 8, 0x456, counting(8, 0)),
    }));

    CAN_FRAME_INFO f;
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_EEERR_TYPE);
    EXPECT_TRUE(is_time_of_day(f.recv_time));
    EXPECT_TRUE(bytes_are(&f.data_err[0][0], 12, kSentinel));
    EXPECT_TRUE(bytes_are(f.data, 64, kSentinel));

    ASSERT_EQ(read_one(&f), 0);
    EXPECT_TRUE(bytes_are(reinterpret_cast<unsigned char *>(&f.msg_type), sizeof(int), kSentinel));

    const int kinds[3] = {VELK_BUSERR_TYPE, VELK_BUSERR_PSR_TYPE, VELK_GETBUS_TYPE};
    for (int kind : kinds) {
        ASSERT_EQ(read_one(&f), 1) << "kind " << kind;
        EXPECT_EQ(f.msg_type, kind);
        EXPECT_EQ(Bytes(&f.data_err[0][0], &f.data_err[0][0] + 6), counting(6, 1));
        EXPECT_EQ(Bytes(&f.data_err[1][0], &f.data_err[1][0] + 6), counting(6, 7));
        EXPECT_TRUE(is_time_of_day(f.recv_time));
        EXPECT_TRUE(bytes_are(f.data, 64, kSentinel));
    }

    // The bytes that start no report cost no call: the next one decodes.
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.id, 0x456u);
    EXPECT_EQ(bytes_waiting(), 0);

    // The request is written without waiting; the reply arrives as a report.
    sim::State s = sim().state();
    for (int i = 0; i < 12; ++i)
        s.bus_status[i] = static_cast<uint8_t>(0xF0 + i);
    sim().set_state(s);
    sim().clear_host_frames();
    ASSERT_EQ(VELKGetBusError(kPort), 0);
    ASSERT_TRUE(sim().wait_host_frames(1, 2000));
    EXPECT_EQ(frames(), std::vector<Bytes>{(Bytes{0x62, 0x62, 0x0D, 0x0A})});
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_GETBUS_TYPE);
    EXPECT_EQ(Bytes(&f.data_err[0][0], &f.data_err[0][0] + 12), counting(12, 0xF0));

    EXPECT_EQ(VELKGetBusError(5), 1);
}

TEST_F(Receive, ClassicDecoderTakesTheClassicReports)
{
    const Bytes data8 = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    sim().inject(concat({
        with_trailer(concat({{0xE1, 0x11, 0x00, 0x00, 0x01, 0x23}, data8})),
        with_trailer({0x99, 0x01, 0, 0, 0, 0}),
        with_trailer(concat({{0x99, 0x02}, Bytes(12, 0)})),
        with_trailer(concat({{0x99, 0x02}, counting(12, 1)})),
        with_trailer(concat({{0x62, 0x02}, counting(12, 0x21)})),
        with_trailer(concat({{0xE1, 0x12, 0x00, 0x00, 0x04, 0x56}, data8})),
    }));

    CAN_FRAME_INFO f;
    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_DATA_TYPE);
    EXPECT_EQ(f.CAN_port, VELK_CAN_1);
    EXPECT_EQ(f.id_type, VELK_SID);
    EXPECT_EQ(f.rtr, 0);
    EXPECT_EQ(f.dlc, 1);
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_EQ(Bytes(f.data, f.data + 8), data8);
    EXPECT_TRUE(is_time_of_day(f.recv_time));
    EXPECT_TRUE(bytes_are(f.data + 8, 56, kSentinel));

    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_EEERR_TYPE);

    // The all-zero bus error report produces nothing; the next one does.
    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_BUSERR_TYPE);
    EXPECT_EQ(Bytes(&f.data_err[0][0], &f.data_err[0][0] + 12), counting(12, 1));

    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_GETBUS_TYPE);
    EXPECT_EQ(Bytes(&f.data_err[0][0], &f.data_err[0][0] + 12), counting(12, 0x21));

    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.msg_type, VELK_DATA_TYPE);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);
    EXPECT_EQ(f.id, 0x456u);
    EXPECT_EQ(bytes_waiting(), 0);

    // Kinds this decoder does not take are consumed whole and dropped, so
    // the next report is read from its start.
    const Bytes others[] = {
        sim::report_e2(0, false, false, 8, 0x111, data8, 1, 2),
        sim::report_f1(1, true, 12, 0x04, 0x222, counting(24, 0), 3, 4),
        with_trailer(concat({{0x99, 0x04}, counting(12, 1)})),
    };
    for (const Bytes &r : others) {
        sim().inject(r);
        ASSERT_TRUE(wait_until([&] { return bytes_waiting() >= static_cast<int>(r.size()); }));
        f = sentinel_record();
        EXPECT_EQ(VELKReceive(kPort, &f), 0) << std::hex << int{r[0]};
        EXPECT_TRUE(is_sentinel(f));
        EXPECT_EQ(bytes_waiting(), 0) << std::hex << int{r[0]};
    }

    // A report split across two writes 20 ms apart is read whole.
    sim().inject(sim::report_e1(1, true, true, 8, 0x1ABCDEF0, data8), 2, 20);
    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);
    EXPECT_EQ(f.id_type, VELK_EID);
    EXPECT_EQ(f.rtr, 1);
    EXPECT_EQ(f.id, 0x1ABCDEF0u);
    EXPECT_EQ(Bytes(f.data, f.data + 8), data8);

    // Range filters apply here too.
    RANGE_FILTER_INFO t = zero_table();
    t.entry[0] = {1, VELK_SID, 0x100, 0x1FF};
    ASSERT_EQ(VELKSetRangeFilter(kPort, &t, nullptr), 0);
    ASSERT_EQ(VELKInitRangeFilter(kPort, 2, 0), 0);
    sim().inject(concat({sim::report_e1(0, false, false, 8, 0x200, data8),
                         sim::report_e1(0, false, false, 8, 0x1FF, data8)}));
    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.id, 0x1FFu);

    // Nothing waiting, port not open, no record.
    f = sentinel_record();
    EXPECT_EQ(VELKReceive(kPort, &f), 0);
    EXPECT_TRUE(is_sentinel(f));
    EXPECT_EQ(VELKReceive(5, &f), 0);
    EXPECT_EQ(VELKReceive(kPort, nullptr), 0);
}

// ---- range filters ----

TEST_F(Receive, RangeFilterPassesOnlyListedIdentifiersOfAnEnabledChannel)
{
    RANGE_FILTER_INFO got1, got2;
    ASSERT_EQ(VELKGetRangeFilter(kPort, &got1, &got2), 0);
    EXPECT_TRUE(same_table(got1, zero_table()));
    EXPECT_TRUE(same_table(got2, zero_table()));

    RANGE_FILTER_INFO t = zero_table();
    t.enable = 1;  // a table set is off whatever it says
    t.entry[0] = {1, VELK_SID, 0x100, 0x1FF};
    t.entry[1] = {0, VELK_SID, 0x200, 0x2FF};  // not used
    ASSERT_EQ(VELKSetRangeFilter(kPort, &t, nullptr), 0);
    ASSERT_EQ(VELKGetRangeFilter(kPort, &got1, &got2), 0);
    RANGE_FILTER_INFO want = t;
    want.enable = 0;
    EXPECT_TRUE(same_table(got1, want));
    EXPECT_TRUE(same_table(got2, zero_table()));

    const Bytes d = counting(8, 0);
    sim().inject(sim::report_e2(0, false, false, 8, 0x200, d, 0, 0));
    EXPECT_EQ(read_id(), 0x200u);  // not applied yet

    ASSERT_EQ(VELKInitRangeFilter(kPort, 2, 0), 0);
    ASSERT_EQ(VELKGetRangeFilter(kPort, &got1, &got2), 0);
    EXPECT_EQ(got1.enable, 1);
    EXPECT_EQ(got2.enable, 0);

    sim().inject(concat({
        sim::report_e2(0, false, false, 8, 0x1FF, d, 0, 0),
        sim::report_e2(0, false, false, 8, 0x200, d, 0, 0),
        sim::report_e2(0, true, false, 8, 0x150, d, 0, 0),
        sim::report_e2(1, false, false, 8, 0x200, d, 0, 0),
        sim::report_e1(0, false, false, 8, 0x100, d),
        sim::report_f1(0, false, 8, 0x04, 0x0FF, d, 0, 0),
        sim::report_f1(0, false, 8, 0x04, 0x180, d, 0, 0),
        sim::report_f1(1, true, 8, 0x04, 0x1000, d, 0, 0),
    }));
    const struct {
        unsigned id;
        int result;
    } expected[] = {{0x1FF, 1}, {0x200, 0}, {0x150, 0}, {0x200, 1}, {0x100, 1}, {0x0FF, 0}, {0x180, 1}, {0x1000, 1}};
    for (const auto &e : expected) {
        CAN_FRAME_INFO f;
        ASSERT_EQ(read_one(&f), e.result) << std::hex << "id " << e.id;
        if (e.result == 1)
            EXPECT_EQ(f.id, e.id);
        else
            EXPECT_TRUE(is_all_zero(f)) << std::hex << "id " << e.id;
    }

    // Operations other than 1, 2 and 3 change nothing; 1 switches off and
    // keeps the entries.
    ASSERT_EQ(VELKInitRangeFilter(kPort, 7, -1), 0);
    ASSERT_EQ(VELKGetRangeFilter(kPort, &got1, &got2), 0);
    EXPECT_EQ(got1.enable, 1);
    ASSERT_EQ(VELKInitRangeFilter(kPort, 1, 0), 0);
    ASSERT_EQ(VELKGetRangeFilter(kPort, &got1, &got2), 0);
    EXPECT_TRUE(same_table(got1, want));
    sim().inject(sim::report_e2(0, false, false, 8, 0x200, d, 0, 0));
    EXPECT_EQ(read_id(), 0x200u);

    // 3 zeroes the whole table; switched on empty, it passes nothing.
    ASSERT_EQ(VELKInitRangeFilter(kPort, 3, 0), 0);
    ASSERT_EQ(VELKGetRangeFilter(kPort, &got1, &got2), 0);
    EXPECT_TRUE(same_table(got1, zero_table()));
    ASSERT_EQ(VELKInitRangeFilter(kPort, 2, 0), 0);
    sim().inject(concat({sim::report_e2(0, false, false, 8, 0x150, d, 0, 0),
                         sim::report_e2(1, false, false, 8, 0x151, d, 0, 0)}));
    CAN_FRAME_INFO f;
    EXPECT_EQ(read_one(&f), 0);
    EXPECT_EQ(read_id(), 0x151u);

    // Channel 2's table works the same, apart from channel 1's.
    RANGE_FILTER_INFO t2 = zero_table();
    t2.entry[15] = {1, VELK_EID, 0x10000, 0x1FFFFFFF};
    ASSERT_EQ(VELKInitRangeFilter(kPort, 1, 0), 0);
    ASSERT_EQ(VELKSetRangeFilter(kPort, nullptr, &t2), 0);
    ASSERT_EQ(VELKInitRangeFilter(kPort, 0, 2), 0);
    sim().inject(concat({sim::report_e2(1, true, false, 8, 0xFFFF, d, 0, 0),
                         sim::report_e2(1, true, false, 8, 0x1FFFFFFF, d, 0, 0),
                         sim::report_e2(0, true, false, 8, 0xFFFF, d, 0, 0)}));
    EXPECT_EQ(read_one(&f), 0);
    EXPECT_EQ(read_id(), 0x1FFFFFFFu);
    EXPECT_EQ(read_id(), 0xFFFFu);

    EXPECT_EQ(VELKInitRangeFilter(5, 2, 2), 1);
    EXPECT_EQ(VELKGetRangeFilter(5, &got1, &got2), 1);
    EXPECT_EQ(VELKSetRangeFilter(5, &t, &t), 1);
    EXPECT_EQ(VELKGetRangeFilter(kPort, nullptr, &got2), 1);
    EXPECT_EQ(VELKGetRangeFilter(kPort, &got1, nullptr), 1);
}

// ---- bounded receive, blocking switch ----

TEST_F(Receive, NonblockCollectsUpToCntRecordsWithinTheLimit)
{
    const Bytes d = counting(8, 0);
    sim().inject(sim::report_e1(0, false, false, 8, 0x101, d));
    ASSERT_TRUE(wait_until([&] { return bytes_waiting() >= 17; }));

    // cnt 0 reads nothing.
    CAN_FRAME_INFO recs[3];
    NON_BLOCK_INFO none = {0, 1000, nullptr};
    EXPECT_EQ(VELKReceiveNonblock(kPort, &none), 0);
    NON_BLOCK_INFO none_with_room = {0, 1000, recs};
    EXPECT_EQ(VELKReceiveNonblock(kPort, &none_with_room), 0);
    EXPECT_EQ(bytes_waiting(), 17);
    EXPECT_EQ(VELKReceiveNonblock(kPort, nullptr), 0);

    // Three records produced: returns at once, long before the limit; a
    // dropped report does not count.
    sim().inject(concat({with_trailer(concat({{0x99, 0x02}, Bytes(12, 0)})),
                         sim::report_e1(0, false, false, 8, 0x102, d), sim::report_e1(0, false, false, 8, 0x103, d),
                         sim::report_e1(0, false, false, 8, 0x104, d)}));
    std::memset(recs, 0, sizeof(recs));
    NON_BLOCK_INFO three = {3, 60000, recs};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceiveNonblock(kPort, &three), 3);
    EXPECT_LT(elapsed_ms(t0), 30000);
    EXPECT_EQ(recs[0].id, 0x101u);
    EXPECT_EQ(recs[1].id, 0x102u);
    EXPECT_EQ(recs[2].id, 0x103u);
    EXPECT_EQ(recs[2].msg_type, VELK_DATA_TYPE);

    // Fewer when the limit passes first; the rest was left unread above.
    std::memset(recs, 0, sizeof(recs));
    three.interval = 200;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceiveNonblock(kPort, &three), 1);
    EXPECT_GE(elapsed_ms(t0), 200);
    EXPECT_EQ(recs[0].id, 0x104u);

    NON_BLOCK_INFO closed = {1, 20, recs};
    EXPECT_EQ(VELKReceiveNonblock(5, &closed), 0);
}

TEST_F(Receive, RecvBlockSwitchesTheReadModeOfAnOpenPortOnly)
{
    EXPECT_EQ(VELKSetRecvBlock(5, true), -1);
    EXPECT_EQ(VELKSetRecvBlock(5, false), -1);

    // With nothing waiting an immediate read returns 0 at once.
    CAN_FRAME_INFO f = sentinel_record();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
    EXPECT_LT(elapsed_ms(t0), 100);
    EXPECT_TRUE(is_sentinel(f));
    EXPECT_EQ(VELKReceive_CANFD(5, &f), 0);
    EXPECT_EQ(VELKReceive_CANFD(kPort, nullptr), 0);

    // Blocking: the call waits for the report's first byte.
    ASSERT_EQ(VELKSetRecvBlock(kPort, true), 0);
    sim().inject(sim::report_e1(1, false, false, 2, 0x42, counting(8, 0)), 2, 20);
    f = sentinel_record();
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 1);
    EXPECT_EQ(f.id, 0x42u);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);
    ASSERT_EQ(VELKSetRecvBlock(kPort, false), 0);
    f = sentinel_record();
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
    EXPECT_TRUE(is_sentinel(f));
}

// ---- reports in pieces ----

TEST_F(Receive, ReportsSplitAcrossWritesAreDecodedWhole)
{
    const Bytes d = counting(8, 0x30);
    // Body split: two writes 20 ms apart.
    sim().inject(sim::report_e2(0, false, false, 8, 0x123, d, 16, 500000), 2, 20);
    CAN_FRAME_INFO f;
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_EQ(f.timestamp.second, 16u);
    EXPECT_EQ(f.timestamp.micro_second, 500000u);
    EXPECT_EQ(Bytes(f.data, f.data + 8), d);

    // The longest report in three writes.
    sim().inject(sim::report_f1(1, true, 15, 0x05, 0x1234567, counting(64, 0), 7, 8), 3, 20);
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.id, 0x1234567u);
    EXPECT_EQ(f.dlc, 15);
    EXPECT_EQ(Bytes(f.data, f.data + 64), counting(64, 0));

    // Header in pieces: 1 byte, then 2, then the body two bytes at a time,
    // each write 5 ms after the last (40 ms in all, well inside the report's
    // 100 ms on a loaded machine). The following report still decodes.
    sim().inject(sim::report_e1(0, false, false, 8, 0x321, d), 9, 5);
    sim().inject(sim::report_e1(1, false, false, 8, 0x322, d));
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.id, 0x321u);
    EXPECT_EQ(f.CAN_port, VELK_CAN_1);
    EXPECT_EQ(Bytes(f.data, f.data + 8), d);
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.id, 0x322u);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);
    EXPECT_EQ(bytes_waiting(), 0);
}

TEST_F(Receive, ReportWhoseRestNeverArrivesIsDroppedAfterItsDeadline)
{
    const Bytes d = counting(8, 0x30);
    const Bytes e2 = sim::report_e2(0, false, false, 8, 0x123, d, 16, 500000);

    // A body cut short: the bytes that came are not decoded.
    sim().inject(Bytes(e2.begin(), e2.begin() + 10));
    ASSERT_TRUE(wait_until([&] { return bytes_waiting() >= 10; }));
    CAN_FRAME_INFO f = sentinel_record();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
    EXPECT_GE(elapsed_ms(t0), 99);
    EXPECT_TRUE(bytes_are(reinterpret_cast<unsigned char *>(&f.timestamp), sizeof(f.timestamp), kSentinel));
    EXPECT_TRUE(bytes_are(reinterpret_cast<unsigned char *>(&f.id), sizeof(f.id), kSentinel));
    EXPECT_TRUE(bytes_are(f.data, 64, kSentinel));
    EXPECT_EQ(bytes_waiting(), 0);
    sim().inject(sim::report_e1(0, false, false, 8, 0x456, d));
    EXPECT_EQ(read_id(), 0x456u);

    // A header cut short.
    sim().inject(Bytes{0xE2, 0x81});
    ASSERT_TRUE(wait_until([&] { return bytes_waiting() >= 2; }));
    f = sentinel_record();
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
    EXPECT_GE(elapsed_ms(t0), 99);
    EXPECT_TRUE(bytes_are(reinterpret_cast<unsigned char *>(&f.id), sizeof(f.id), kSentinel));
    sim().inject(sim::report_f1(1, false, 9, 0x04, 0x457, counting(12, 0), 1, 2));
    EXPECT_EQ(read_id(), 0x457u);

    // The classic decoder's read too: the time is not even stamped.
    const Bytes e1 = sim::report_e1(0, false, false, 8, 0x458, d);
    sim().inject(Bytes(e1.begin(), e1.begin() + 8));
    ASSERT_TRUE(wait_until([&] { return bytes_waiting() >= 8; }));
    f = sentinel_record();
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceive(kPort, &f), 0);
    EXPECT_GE(elapsed_ms(t0), 99);
    EXPECT_TRUE(is_sentinel(f));
    EXPECT_EQ(bytes_waiting(), 0);
    sim().inject(e1);
    EXPECT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.id, 0x458u);
}

TEST_F(Receive, ReportsAreAbandonedAfter100MsOfSilenceNotAfterTheirTotalTime)
{
    // Four writes 50 ms apart: 150 ms from first to last byte, never 100 ms
    // without one. Both decoders wait it out.
    const Bytes d = counting(8, 0x40);
    sim().inject(sim::report_e2(1, true, false, 8, 0x1234, d, 9, 10), 4, 50);
    CAN_FRAME_INFO f;
    ASSERT_EQ(read_one(&f), 1);
    EXPECT_EQ(f.id, 0x1234u);
    EXPECT_EQ(f.timestamp.micro_second, 10u);
    sim().inject(sim::report_e1(0, false, false, 8, 0x321, d), 4, 50);
    ASSERT_EQ(read_classic(&f), 1);
    EXPECT_EQ(f.id, 0x321u);

    // A report cut off after 17 bytes, then 150 ms of silence, then a whole
    // one: the cut report's bytes are never decoded, in either read mode.
    const Bytes e2 = sim::report_e2(0, false, false, 8, 0x111, d, 1, 2);
    const Bytes e1 = sim::report_e1(1, false, false, 8, 0x222, d);
    const Bytes cut_then_whole = concat({Bytes(e2.begin(), e2.begin() + 17), e1});
    for (bool blocking : {false, true}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        ASSERT_EQ(VELKSetRecvBlock(kPort, blocking), 0);
        unsigned long long skipped_before = 0, skipped_after = 0, dropped = 0;
        ASSERT_EQ(VELKGetInputStats(kPort, &skipped_before, &dropped), 0);
        sim().inject(cut_then_whole, 2, 150);
        ASSERT_EQ(read_one(&f), 1);
        EXPECT_EQ(f.id, 0x222u);
        EXPECT_EQ(f.CAN_port, VELK_CAN_2);
        ASSERT_EQ(VELKGetInputStats(kPort, &skipped_after, &dropped), 0);
        EXPECT_EQ(skipped_after - skipped_before, 17u);
        EXPECT_EQ(dropped, 0u);
        EXPECT_EQ(bytes_waiting(), 0);
    }
    ASSERT_EQ(VELKSetRecvBlock(kPort, false), 0);
}

// ---- a long stream ----

std::string mismatch(size_t i, const Report &r, const CAN_FRAME_INFO &f)
{
    const std::string why = report_mismatch(r, f);
    return why.empty() ? why : "report " + std::to_string(i) + " " + why;
}

TEST_F(Receive, LongStreamInRandomChunksIsDecodedCompletelyAndInOrder)
{
    constexpr size_t kCount = 10000;
    constexpr unsigned kSeed = 20240611;
    const std::vector<Report> seq = sim::stream_sequence(kCount, kSeed);
    sim().stream(kCount, 0, kSeed, 61);

    size_t i = 0;
    for (; i < kCount; ++i) {
        CAN_FRAME_INFO f;
        std::memset(&f, 0, sizeof(f));
        const bool got = wait_readable_until([&] { return VELKReceive_CANFD(kPort, &f) == 1; }, 5000);
        ASSERT_TRUE(got) << "no record for report " << i << " of " << kCount;
        const std::string why = mismatch(i, seq[i], f);
        ASSERT_TRUE(why.empty()) << why;
    }
    EXPECT_TRUE(sim().wait_stream_done(5000));
    EXPECT_EQ(sim().reports_streamed(), kCount);
    CAN_FRAME_INFO f;
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
    EXPECT_EQ(bytes_waiting(), 0);
}

}  // namespace
}  // namespace velk::test
