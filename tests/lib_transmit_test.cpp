// Frame transmit against the emulated adapter: the exact 0xE0 and 0xF0 data
// frames, pacing refreshed on activation, the send queue and the raw
// command pass-through.
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "test_support.h"

namespace velk::test {
namespace {

using sim::Fault;

CAN_FRAME_INFO make_frame(int port, int id_type, int rtr, int dlc, unsigned id)
{
    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof(f));
    f.CAN_port = port;
    f.id_type = id_type;
    f.rtr = rtr;
    f.dlc = dlc;
    f.id = id;
    for (int i = 0; i < 64; ++i)
        f.data[i] = static_cast<unsigned char>(0x40 + i);
    return f;
}

Bytes payload(size_t n)
{
    Bytes b;
    for (size_t i = 0; i < n; ++i)
        b.push_back(static_cast<uint8_t>(0x40 + i));
    return b;
}

class Transmit : public OpenAdapter {
protected:
    void TearDown() override
    {
        enable_send_queue = false;
        size_send_queue = 0;
        can_frame_queue = nullptr;
        rear = -1;
        front = -1;
        send_delay[0] = 100;
        send_delay[1] = 100;
        OpenAdapter::TearDown();
    }

    // Waits for n frames from the host and returns all it wrote.
    std::vector<Bytes> wait_frames(size_t n)
    {
        EXPECT_TRUE(sim().wait_host_frames(n, 2000));
        return frames();
    }

    // A classic frame that marks the end of a check: once the adapter has it,
    // everything the host wrote before it has arrived too.
    Bytes send_marker()
    {
        CAN_FRAME_INFO m = make_frame(VELK_CAN_1, VELK_SID, 0, 0, 0x7FF);
        EXPECT_EQ(VELKSend(kPort, &m), 0);
        return with_trailer({0xE0, 0x01, 0x00, 0x00, 0x07, 0xFF, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47});
    }
};

TEST_F(Transmit, ClassicFrameCarriesEightDataBytesWhateverTheDlc)
{
    CAN_FRAME_INFO f = make_frame(VELK_CAN_1, VELK_SID, VELK_DIS_RTR, 3, 0x123);
    ASSERT_EQ(VELKSend(kPort, &f), 0);
    // Identifier 0x123 as 00 00 01 23; flags 1 + 3 * 16 = 0x31; data bytes 3-7
    // are whatever the record holds.
    const Bytes expected =
        with_trailer({0xE0, 0x31, 0x00, 0x00, 0x01, 0x23, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47});
    ASSERT_EQ(expected.size(), 17u);
    EXPECT_EQ(wait_frames(1), std::vector<Bytes>{expected});
    EXPECT_EQ(sim().host_checksums_ok(), std::vector<bool>{true});
}

TEST_F(Transmit, FlagsByteAndChecksumWrap)
{
    // Channel 2, extended identifier, RTR, DLC 8: 2 + 4 + 8 + 0x80.
    CAN_FRAME_INFO a = make_frame(VELK_CAN_2, VELK_EID, VELK_EN_RTR, 8, 0x1ABCDEF0);
    ASSERT_EQ(VELKSend(kPort, &a), 0);
    // Sum 0xC79 wraps to 0x79.
    CAN_FRAME_INFO b = make_frame(VELK_CAN_1, VELK_EID, VELK_DIS_RTR, 8, 0x1FFFFFFF);
    std::memset(b.data, 0xFF, sizeof(b.data));
    ASSERT_EQ(VELKSend(kPort, &b), 0);

    const std::vector<Bytes> got = wait_frames(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0],
              with_trailer({0xE0, 0x8E, 0x1A, 0xBC, 0xDE, 0xF0, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}));
    EXPECT_EQ(got[1], (Bytes{0xE0, 0x85, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                             0x79, 0x0D, 0x0A}));
    EXPECT_EQ(sim().host_checksums_ok(), (std::vector<bool>{true, true}));
}

TEST_F(Transmit, FdFrameLengthFollowsTheDlcWithAtLeastEightDataBytes)
{
    const size_t expected_len[16] = {18, 18, 18, 18, 18, 18, 18, 18, 18, 22, 26, 30, 34, 42, 58, 74};
    for (int dlc = 0; dlc < 16; ++dlc) {
        CAN_FRAME_INFO f = make_frame(VELK_CAN_1, VELK_SID, 0, dlc, 0x100 + static_cast<unsigned>(dlc));
        f.fdf = VELK_FDF_ON;
        ASSERT_EQ(VELKSend_CANFD(kPort, &f), 0) << "dlc " << dlc;
    }
    const std::vector<Bytes> got = wait_frames(16);
    ASSERT_EQ(got.size(), 16u);
    for (int dlc = 0; dlc < 16; ++dlc) {
        const size_t n = expected_len[dlc] - 10;
        Bytes want = {0xF0, static_cast<uint8_t>(1 + dlc * 16), 0x04, 0x00, 0x00, 0x01, static_cast<uint8_t>(dlc)};
        const Bytes data = payload(n);
        want.insert(want.end(), data.begin(), data.end());
        EXPECT_EQ(got[static_cast<size_t>(dlc)].size(), expected_len[dlc]) << "dlc " << dlc;
        EXPECT_EQ(got[static_cast<size_t>(dlc)], with_trailer(want)) << "dlc " << dlc;
    }
    for (bool ok : sim().host_checksums_ok())
        EXPECT_TRUE(ok);
}

TEST_F(Transmit, FdFlagsByteCarriesBrsEsiAndFdf)
{
    CAN_FRAME_INFO a = make_frame(VELK_CAN_2, VELK_EID, 0, 9, 0x12345678);
    a.brs = VELK_BRS_ON;
    a.esi = 1;
    a.fdf = VELK_FDF_ON;
    ASSERT_EQ(VELKSend_CANFD(kPort, &a), 0);
    // A frame without FDF still goes out in the FD format, bit 2 clear.
    CAN_FRAME_INFO b = make_frame(VELK_CAN_1, VELK_SID, 0, 8, 0x7FF);
    b.brs = VELK_BRS_ON;
    b.fdf = VELK_FDF_OFF;
    ASSERT_EQ(VELKSend_CANFD(kPort, &b), 0);

    const std::vector<Bytes> got = wait_frames(2);
    ASSERT_EQ(got.size(), 2u);
    Bytes want_a = {0xF0, 0x96, 0x07, 0x12, 0x34, 0x56, 0x78};
    const Bytes data12 = payload(12);
    want_a.insert(want_a.end(), data12.begin(), data12.end());
    EXPECT_EQ(got[0], with_trailer(want_a));
    Bytes want_b = {0xF0, 0x81, 0x01, 0x00, 0x00, 0x07, 0xFF};
    const Bytes data8 = payload(8);
    want_b.insert(want_b.end(), data8.begin(), data8.end());
    EXPECT_EQ(got[1], with_trailer(want_b));
}

TEST_F(Transmit, ChannelOutsideTheTwoIsRefusedAndNothingWritten)
{
    CAN_FRAME_INFO f = make_frame(2, VELK_SID, 0, 8, 0x123);
    EXPECT_EQ(VELKSend(kPort, &f), 1);
    EXPECT_EQ(VELKSend_CANFD(kPort, &f), 1);
    f.CAN_port = -1;
    EXPECT_EQ(VELKSend(kPort, &f), 1);
    EXPECT_EQ(VELKSend_CANFD(kPort, &f), 1);
    EXPECT_EQ(VELKSend(kPort, nullptr), 1);
    EXPECT_EQ(VELKSend_CANFD(kPort, nullptr), 1);
    // A port that is not open.
    f.CAN_port = VELK_CAN_1;
    EXPECT_EQ(VELKSend(5, &f), 1);
    EXPECT_EQ(VELKSend_CANFD(5, &f), 1);

    const Bytes marker = send_marker();
    EXPECT_EQ(wait_frames(1), std::vector<Bytes>{marker});
    EXPECT_EQ(sim().host_bytes(), marker);
}

TEST_F(Transmit, QueueOfFourTakesFourFramesAndRefusesTheFifth)
{
    SEND_QUEUE_ITEM items[4];
    std::memset(items, 0, sizeof(items));
    can_frame_queue = items;
    size_send_queue = 4;
    rear = -1;
    front = -1;
    enable_send_queue = true;

    CAN_FRAME_INFO f[5];
    for (int i = 0; i < 5; ++i)
        f[i] = make_frame(i % 2, VELK_SID, 0, 8, 0x200 + static_cast<unsigned>(i));
    EXPECT_EQ(VELKSend(kPort, &f[0]), 0);
    EXPECT_EQ(VELKSend_CANFD(kPort, &f[1]), 0);
    EXPECT_EQ(VELKSend(kPort, &f[2]), 0);
    EXPECT_EQ(VELKSend_CANFD(kPort, &f[3]), 0);
    EXPECT_EQ(rear, 3);
    EXPECT_EQ(VELKSend(kPort, &f[4]), 1);
    EXPECT_EQ(VELKSend_CANFD(kPort, &f[4]), 1);
    EXPECT_EQ(rear, 3);
    EXPECT_EQ(front, -1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(items[i].com_port, kPort);
        EXPECT_EQ(std::memcmp(&items[i].can_frame_info, &f[i], sizeof(CAN_FRAME_INFO)), 0) << "slot " << i;
    }
    // Invalid channels are refused before the queue.
    CAN_FRAME_INFO bad = make_frame(3, VELK_SID, 0, 8, 0x1);
    front = 1;  // the consumer has taken slots 0 and 1
    EXPECT_EQ(VELKSend(kPort, &bad), 1);
    EXPECT_EQ(rear, 3);
    // One slot is freed for a wrap to slot 0; slot 1 stays free.
    EXPECT_EQ(VELKSend(kPort, &f[4]), 0);
    EXPECT_EQ(rear, 0);
    EXPECT_EQ(items[0].can_frame_info.id, 0x204u);
    EXPECT_EQ(VELKSend(kPort, &f[4]), 1);

    enable_send_queue = false;
    const Bytes marker = send_marker();
    EXPECT_EQ(wait_frames(1), std::vector<Bytes>{marker});
    EXPECT_EQ(sim().host_bytes(), marker);
}

TEST_F(Transmit, ActivationSetsPacingFromTheNominalBitRates)
{
    EXPECT_EQ(send_delay[0], 100);
    EXPECT_EQ(send_delay[1], 100);
    sim::State s = sim().state();
    s.baud[0] = 7;
    s.baud[1] = 9;
    sim().set_state(s);
    ASSERT_EQ(VELKInitCAN(kPort, VELK_ACTIVE, VELK_ACTIVE), 0);
    EXPECT_EQ(send_delay[0], 200);
    EXPECT_EQ(send_delay[1], 100);
    // The read-back comes between the status query and the start command.
    std::vector<Bytes> got = frames();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0][0], 0x60);
    EXPECT_EQ(got[1], Bytes(getcfg_cmd, getcfg_cmd + sizeof(getcfg_cmd)));
    EXPECT_EQ(got[2], frame({'a', 1, 1}));

    // A code that names no bit rate keeps the previous pause.
    s.baud[0] = 13;
    s.baud[1] = 10;
    sim().set_state(s);
    ASSERT_EQ(VELKInitCAN(kPort, VELK_ACTIVE, VELK_INACTIVE), 0);
    EXPECT_EQ(send_delay[0], 200);
    EXPECT_EQ(send_delay[1], 250);

    // A failed read-back keeps both.
    s.baud[0] = 4;
    s.baud[1] = 4;
    sim().set_state(s);
    sim().set_fault('7', Fault{Fault::NoReply});
    EXPECT_EQ(VELKInitCAN(kPort, VELK_INACTIVE, VELK_ACTIVE), 0);
    EXPECT_EQ(send_delay[0], 200);
    EXPECT_EQ(send_delay[1], 250);

    // Deactivating both does not refresh the pacing.
    sim().clear_faults();
    EXPECT_EQ(VELKInitCAN(kPort, VELK_INACTIVE, VELK_INACTIVE), 0);
    EXPECT_EQ(send_delay[0], 200);
    EXPECT_EQ(send_delay[1], 250);
}

TEST_F(Transmit, EveryBitRateCodeGetsAPauseOfAtLeastItsLongestFrame)
{
    // Microseconds per nominal bit-rate code. 4 to 10 are the tuned values.
    // Below 100 kbit/s the longest frame is a classic one with a 29-bit
    // identifier and 8 data bytes, 160 bits with worst-case stuffing: 32 ms at
    // 5 kbit/s down to 3.2 ms at 50 kbit/s. The custom codes 11 and 12 get
    // the pause of the slowest rate.
    const int kPause[13] = {32000, 16000, 8000, 3200, 1050, 850, 400, 200, 150, 100, 250, 32000, 32000};
    sim::State s = sim().state();
    for (int c = 0; c <= 6; ++c) {
        s.baud[0] = static_cast<uint8_t>(c);
        s.baud[1] = static_cast<uint8_t>(12 - c);
        sim().set_state(s);
        ASSERT_EQ(VELKInitCAN(kPort, VELK_ACTIVE, VELK_ACTIVE), 0);
        EXPECT_EQ(send_delay[0], kPause[c]) << "code " << c;
        EXPECT_EQ(send_delay[1], kPause[12 - c]) << "code " << 12 - c;
    }
}

TEST_F(Transmit, TwoThreadsOnOneChannelShareItsPause)
{
    // Each frame waits a whole pause after the channel's previous one,
    // whichever thread sent it: ten frames from two threads take at least
    // ten pauses (a pause per thread would let them take five).
    constexpr int kPause = 10000;
    send_delay[0] = kPause;
    const auto start = std::chrono::steady_clock::now();
    auto burst = [](unsigned base) {
        for (unsigned i = 0; i < 5; ++i) {
            CAN_FRAME_INFO f = make_frame(VELK_CAN_1, VELK_SID, 0, 8, base + i);
            EXPECT_EQ(VELKSend(kPort, &f), 0);
        }
    };
    std::thread a(burst, 0x100), b(burst, 0x200);
    a.join();
    b.join();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(), 10 * kPause);
    const std::vector<Bytes> got = wait_frames(10);
    ASSERT_EQ(got.size(), 10u);
    std::set<unsigned> ids;
    for (const Bytes &g : got) {
        ASSERT_EQ(g.size(), 17u);
        ids.insert(static_cast<unsigned>(g[4]) << 8 | g[5]);
    }
    EXPECT_EQ(ids, (std::set<unsigned>{0x100, 0x101, 0x102, 0x103, 0x104, 0x200, 0x201, 0x202, 0x203, 0x204}));
    EXPECT_EQ(sim().host_checksums_ok(), std::vector<bool>(10, true));
}

TEST_F(Transmit, TestingPassesRawBytesThroughAndReadsTheReply)
{
    // A version query as raw bytes: written unchanged, reply read back.
    unsigned char reply[16];
    std::memset(reply, 0xEE, sizeof(reply));
    TESTING_INFO t;
    std::memset(&t, 0, sizeof(t));
    t.send_len = 4;
    t.recv_len = 7;
    const unsigned char query[4] = {'5', '5', 0x0D, 0x0A};
    std::memcpy(t.send_buf, query, sizeof(query));
    t.recv_buf = reply;
    ASSERT_EQ(VELKTesting(kPort, &t), 0);
    EXPECT_EQ(sim().host_bytes(), (Bytes{'5', '5', 0x0D, 0x0A}));
    EXPECT_EQ(Bytes(reply, reply + 7), (Bytes{'5', 0x00, 0x03, 0x02, 0x3A, 0x0D, 0x0A}));
    EXPECT_EQ(reply[7], 0xEE);  // nothing beyond recv_len

    // Bytes that are no frame at all go out as they are; no reply asked.
    sim().clear_host_frames();
    const unsigned char raw[5] = {0x01, 0x02, 0x03, 0xFE, 0xFF};
    std::memset(t.send_buf, 0, sizeof(t.send_buf));
    std::memcpy(t.send_buf, raw, sizeof(raw));
    t.send_len = 5;
    t.recv_len = 0;
    t.recv_buf = nullptr;
    ASSERT_EQ(VELKTesting(kPort, &t), 0);
    EXPECT_TRUE(wait_until([&] { return sim().host_bytes().size() >= 5; }));
    EXPECT_EQ(sim().host_bytes(), (Bytes{0x01, 0x02, 0x03, 0xFE, 0xFF}));

    // A reply asked for that never comes.
    sim().set_fault('5', Fault{Fault::NoReply});
    std::memcpy(t.send_buf, query, sizeof(query));
    t.send_len = 4;
    t.recv_len = 7;
    t.recv_buf = reply;
    EXPECT_EQ(VELKTesting(kPort, &t), 1);

    EXPECT_EQ(VELKTesting(kPort, nullptr), 1);
    EXPECT_EQ(VELKTesting(5, &t), 1);
    t.recv_buf = nullptr;
    EXPECT_EQ(VELKTesting(kPort, &t), 1);  // reply asked for, no room for it
}

}  // namespace
}  // namespace velk::test
