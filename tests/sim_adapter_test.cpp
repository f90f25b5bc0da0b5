// The emulated adapter itself, driven through a plain file descriptor on its
// pseudo-terminal: parsing, replies, faults, loopback and the stream.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "adapter.h"
#include "bus.h"
#include "wire_oracle.h"

namespace {

using velk::sim::Adapter;
using velk::sim::Bytes;
using velk::sim::Fault;
using velk::sim::Report;
using velk::test::frame;

// The host side: the slave opened raw and non-blocking.
class Host {
public:
    explicit Host(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            struct termios t;
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Host()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void write_bytes(const Bytes &b) { ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // Reads until n bytes came or the deadline passed.
    Bytes read_n(size_t n, int timeout_ms = 2000)
    {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t buf[4096];
            const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    bool hung_up()
    {
        uint8_t b;
        const ssize_t r = read(fd_, &b, 1);
        return r == 0 || (r < 0 && errno == EIO);
    }
    // What is readable right now.
    Bytes read_now()
    {
        uint8_t buf[4096];
        const ssize_t r = read(fd_, buf, sizeof buf);
        return r > 0 ? Bytes(buf, buf + r) : Bytes{};
    }
    Bytes exchange(const Bytes &cmd, size_t reply_len)
    {
        write_bytes(cmd);
        return read_n(reply_len);
    }

private:
    int fd_ = -1;
};

class SimAdapter : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.start());
        host = std::make_unique<Host>(sim.slave_path());
        ASSERT_TRUE(host->ok());
    }
    Adapter sim;
    std::unique_ptr<Host> host;
};

TEST_F(SimAdapter, CommandsSplitAcrossWritesAndAmongGarbageAreParsed)
{
    host->write_bytes({0x00, 0xFF, 0x35, 0x35});
    host->write_bytes({0x0D, 0x0A, 0x36});
    host->write_bytes({0x36, 0x0D, 0x0A});
    ASSERT_TRUE(sim.wait_host_frames(2, 2000));
    EXPECT_EQ(sim.host_frames(), (std::vector<Bytes>{{0x35, 0x35, 0x0D, 0x0A}, {0x36, 0x36, 0x0D, 0x0A}}));
    EXPECT_EQ(sim.garbage_bytes(), 2u);
    EXPECT_EQ(host->read_n(14), (Bytes{0x35, 0x00, 0x03, 0x02, 0x3A, 0x0D, 0x0A,
                                       0x36, 0x00, 0x51, 0x02, 0x89, 0x0D, 0x0A}));
}

TEST_F(SimAdapter, StrayCommandCodeDoesNotSwallowTheNextCommand)
{
    // 'K' announces a 20-byte frame; when no more bytes follow it is dropped.
    host->write_bytes({'K', 0x60, 0x60, 0x0D, 0x0A});
    EXPECT_EQ(host->read_n(7), (Bytes{0x60, 0x00, 0x00, 0x00, 0x60, 0x0D, 0x0A}));
    EXPECT_EQ(sim.host_frames(0x60).size(), 1u);
}

TEST_F(SimAdapter, FrameWithBadChecksumIsRecordedAndNotAnswered)
{
    host->write_bytes({'a', 1, 1, 0x00, 0x0D, 0x0A});
    host->write_bytes(frame({'a', 1, 0}));
    ASSERT_TRUE(sim.wait_host_frames(2, 2000));
    EXPECT_EQ(sim.host_checksums_ok(), (std::vector<bool>{false, true}));
    EXPECT_EQ(host->read_n(5), (Bytes{'a', 0, 0x61, 0x0D, 0x0A}));
    EXPECT_EQ(sim.state().active[1], 0);
    EXPECT_EQ(sim.state().active[0], 1);
}

TEST_F(SimAdapter, ConfigurationQueriesReportWhatTheHostSet)
{
    EXPECT_EQ(host->exchange(frame({'0', 4, 9}), 5), frame({'0', 0}));
    EXPECT_EQ(host->exchange(frame({'3', 0, 1}), 5), frame({'3', 0}));
    EXPECT_EQ(host->exchange(frame({'8', 0xFF}), 5), frame({'8', 0}));
    EXPECT_EQ(host->exchange(frame({'2', 2, 0x12, 0x34, 0x56, 0x78, 0x3F, 0xFF, 0xFF, 0xFF}), 5), frame({'2', 0}));
    EXPECT_EQ(host->exchange(frame({'J', 4, 5, 1, 0}), 5), frame({'J', 0}));
    EXPECT_EQ(host->exchange(frame({'7'}), 28),
              frame({'7', 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                       9, 1, 2, 0x12, 0x34, 0x56, 0x78, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(host->exchange(frame({'G'}), 32),
              frame({'G', 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                       9, 1, 2, 0x12, 0x34, 0x56, 0x78, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 1, 4, 0, 5}));
    EXPECT_EQ(host->exchange(frame({'4'}), 5), frame({'4', 0}));
    EXPECT_EQ(sim.state().baud[1], 7);
    EXPECT_EQ(sim.state().flt_mask[1], 0u);
}

TEST_F(SimAdapter, TimingRecordsAndVirtualComSettingsRoundTrip)
{
    EXPECT_EQ(host->exchange(frame({'K', 1, 10, 11, 12, 13, 14, 15, 1, 2, 3, 4, 5, 6, 7, 8, 9}), 5),
              frame({'K', 0}));
    EXPECT_EQ(host->exchange(frame({'L', 1}), 21),
              frame({'L', 0, 1, 10, 11, 12, 13, 14, 15, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(host->exchange(frame({'L', 2}), 21), frame({'L', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    sim.set_vcom(0, 0, 1);
    sim.set_dev_id({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(host->exchange(frame({'M'}), 16), frame({'M', 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(host->exchange(frame({'N', 1}), 5), frame({'N', 0}));
    EXPECT_EQ(sim.vcom_sets(), (std::vector<uint8_t>{1}));
    EXPECT_EQ(sim.state().vcom_map, 1);
}

TEST(SimCommandModel, RepliesFollowTheStateWithoutAPty)
{
    velk::sim::State s;
    EXPECT_EQ(velk::sim::reply_to(s, frame({'0', 4, 9})), frame({'0', 0}));
    EXPECT_EQ(s.baud[0], 4);
    EXPECT_EQ(s.baud[1], 9);
    EXPECT_EQ(velk::sim::reply_to(s, frame({'L', 3})), frame({'L', 1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    s.bus_status[11] = 0x5A;
    EXPECT_EQ(velk::sim::reply_to(s, frame({'b'})), frame({0x62, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5A}));
    // Data frames, unknown codes and frames of the wrong length get nothing.
    EXPECT_TRUE(velk::sim::reply_to(s, frame({0xE0, 0x11, 0, 0, 1, 0x23, 1, 2, 3, 4, 5, 6, 7, 8})).empty());
    EXPECT_TRUE(velk::sim::reply_to(s, frame({'Z'})).empty());
    EXPECT_TRUE(velk::sim::reply_to(s, frame({'0', 4})).empty());
}

TEST_F(SimAdapter, RecordLimitKeepsOnlyTheLatestFrames)
{
    sim.set_record_limit(2);
    for (uint8_t v = 1; v <= 4; ++v)
        EXPECT_EQ(host->exchange(frame({'8', v}), 5), frame({'8', 0}));
    EXPECT_EQ(sim.host_frames(), (std::vector<Bytes>{frame({'8', 3}), frame({'8', 4})}));
    size_t seen = 3;
    EXPECT_EQ(sim.host_frames_since(&seen), (std::vector<Bytes>{frame({'8', 4})}));
    EXPECT_EQ(seen, 4u);
    EXPECT_TRUE(sim.host_frames_since(&seen).empty());
}

TEST_F(SimAdapter, FaultsShapeTheReply)
{
    sim.set_fault('5', Fault{Fault::WrongEcho});
    EXPECT_EQ(host->exchange(frame({'5'}), 7)[0], 0x34);
    sim.set_fault('5', Fault{Fault::BadStatus});
    EXPECT_EQ(host->exchange(frame({'5'}), 7)[1], 1);
    sim.set_fault('5', Fault{Fault::Short, 2, 20, 3});
    host->write_bytes(frame({'5'}));
    ASSERT_TRUE(sim.wait_host_frames(3, 2000));
    ASSERT_TRUE(sim.wait_output_drained(2000));
    EXPECT_EQ(host->read_n(3), (Bytes{0x35, 0x00, 0x03}));
    EXPECT_TRUE(host->read_now().empty());

    // Split into four pieces, once; then whole again.
    Fault split{Fault::Split, 4, 10};
    split.times = 1;
    sim.set_fault('5', split);
    const size_t before = sim.bytes_written_to_host();
    EXPECT_EQ(host->exchange(frame({'5'}), 7), frame({'5', 0, 3, 2}));
    EXPECT_EQ(sim.bytes_written_to_host() - before, 7u);
    EXPECT_EQ(host->exchange(frame({'5'}), 7), frame({'5', 0, 3, 2}));

    sim.set_fault('6', Fault{Fault::NoReply});
    host->write_bytes(frame({'6'}));
    ASSERT_TRUE(sim.wait_host_frames(6, 2000));
    ASSERT_TRUE(sim.wait_output_drained(2000));
    EXPECT_TRUE(host->read_now().empty());
}

TEST_F(SimAdapter, BusErrorRequestIsAnsweredWithAStatusReport)
{
    velk::sim::State s = sim.state();
    for (uint8_t i = 0; i < 12; ++i)
        s.bus_status[i] = static_cast<uint8_t>(i + 1);
    sim.set_state(s);
    EXPECT_EQ(host->exchange(frame({'b'}), 17), frame({0x62, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST_F(SimAdapter, LoopbackReturnsFramesOnTheOtherChannelOnlyWhileBothRun)
{
    sim.set_loopback(true);
    const Bytes classic = frame({0xE0, 0x81, 0x00, 0x00, 0x01, 0x23, 1, 2, 3, 4, 5, 6, 7, 8});
    host->write_bytes(classic);  // channels stopped: nothing comes back
    ASSERT_TRUE(sim.wait_host_frames(1, 2000));
    ASSERT_TRUE(sim.wait_output_drained(2000));
    EXPECT_TRUE(host->read_now().empty());

    EXPECT_EQ(host->exchange(frame({'a', 1, 1}), 5), frame({'a', 0}));
    host->write_bytes(classic);
    Bytes r = host->read_n(25);
    ASSERT_EQ(r.size(), 25u);
    EXPECT_EQ(r[0], 0xE2);
    EXPECT_EQ(r[1], 0x82);  // CAN2, standard, DLC 8
    EXPECT_EQ(Bytes(r.begin() + 10, r.begin() + 22), Bytes(classic.begin() + 2, classic.begin() + 14));

    // DLC 9 on CAN2, BRS and FDF: 22 bytes out, a 30-byte 0xF1 on CAN1 back.
    Bytes fd_frame = {0xF0, 0x92, 0x05, 0x10, 0x00, 0x00, 0x01};
    for (uint8_t i = 0; i < 12; ++i)
        fd_frame.push_back(static_cast<uint8_t>(0xA0 + i));
    fd_frame = velk::test::with_trailer(fd_frame);
    ASSERT_EQ(fd_frame.size(), 22u);
    host->write_bytes(fd_frame);
    r = host->read_n(30);
    ASSERT_EQ(r.size(), 30u);
    EXPECT_EQ(r[0], 0xF1);
    EXPECT_EQ(r[1], 0x91);
    EXPECT_EQ(r[2], 0x05);
    EXPECT_EQ(Bytes(r.begin() + 11, r.begin() + 27), Bytes(fd_frame.begin() + 3, fd_frame.begin() + 19));
}

TEST(SimBus, FramesCrossBetweenWiredChannelsOfTwoAdaptersWhileBothRun)
{
    Adapter a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    velk::sim::Bus bus;
    bus.wire(a, 0, b, 1);  // a's CAN1 and b's CAN2
    Host ha(a.slave_path()), hb(b.slave_path());
    const Bytes on_can1 = frame({0xE0, 0x81, 0x00, 0x00, 0x01, 0x23, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(ha.exchange(frame({'a', 1, 1}), 5), frame({'a', 0}));
    // b's CAN2 is stopped: nothing crosses. a's reply to the next command
    // comes after the frame has been handed to the bus.
    ha.write_bytes(on_can1);
    EXPECT_EQ(ha.exchange(frame({'5'}), 7).size(), 7u);
    EXPECT_EQ(hb.exchange(frame({'a', 0, 1}), 5), frame({'a', 0}));
    EXPECT_TRUE(hb.read_now().empty());

    ha.write_bytes(on_can1);
    Bytes r = hb.read_n(25);
    ASSERT_EQ(r.size(), 25u);
    EXPECT_EQ(r[0], 0xE2);
    EXPECT_EQ(r[1], 0x82);  // received on CAN2
    EXPECT_EQ(Bytes(r.begin() + 10, r.begin() + 22), Bytes(on_can1.begin() + 2, on_can1.begin() + 14));

    // The other way round, CAN FD; a's host gets nothing of its own back, and
    // a frame on a's unwired CAN2 goes nowhere.
    const Bytes fd_on_can2 = frame({0xF0, 0x02, 0x07, 0x1A, 0xBC, 0xDE, 0xF0, 9, 8, 7, 6, 5, 4, 3, 2});
    hb.write_bytes(fd_on_can2);
    r = ha.read_n(26);
    ASSERT_EQ(r.size(), 26u);
    EXPECT_EQ(r[0], 0xF1);
    EXPECT_EQ(r[1], 0x01);
    EXPECT_EQ(r[2], 0x07);
    EXPECT_EQ(Bytes(r.begin() + 11, r.begin() + 23), Bytes(fd_on_can2.begin() + 3, fd_on_can2.begin() + 15));
    ha.write_bytes(frame({0xE0, 0x82, 0x00, 0x00, 0x01, 0x23, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(ha.exchange(frame({'5'}), 7).size(), 7u);
    EXPECT_TRUE(b.wait_output_drained(2000));
    EXPECT_TRUE(hb.read_now().empty());
    EXPECT_TRUE(ha.read_now().empty());
}

TEST_F(SimAdapter, UnplugHangsUpTheHostSide)
{
    sim.unplug();
    // The host's open port now reads end of file or EIO, and the device is gone.
    EXPECT_TRUE(host->hung_up());
    EXPECT_LT(open(sim.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
    // Even once the host lets go, the name is not given to a new terminal
    // while the emulator lives: a host looking again at the old name must
    // not reach another process's adapter.
    host.reset();
    velk::sim::Adapter next;
    ASSERT_TRUE(next.start());
    EXPECT_NE(next.slave_path(), sim.slave_path());
}

TEST(SimReports, EncodingFollowsTheReportLayouts)
{
    EXPECT_EQ(velk::sim::report_e1(0, false, false, 1, 0x123, {9, 8, 7, 6, 5, 4, 3, 2}),
              frame({0xE1, 0x11, 0x00, 0x00, 0x01, 0x23, 9, 8, 7, 6, 5, 4, 3, 2}));
    const Bytes e2 = velk::sim::report_e2(1, true, false, 8, 0x1ABCDEF0, {}, 16, 500000);
    ASSERT_EQ(e2.size(), 25u);
    EXPECT_EQ(Bytes(e2.begin(), e2.begin() + 14),
              (Bytes{0xE2, 0x86, 0x10, 0, 0, 0, 0x20, 0xA1, 0x07, 0x00, 0x1A, 0xBC, 0xDE, 0xF0}));
    EXPECT_EQ(velk::sim::report_f1(0, false, 3, 0x04, 1, {}, 0, 0).size(), 26u);
    EXPECT_EQ(velk::sim::report_f1(0, false, 15, 0x04, 1, {}, 0, 0).size(), 82u);
    Report eeprom;
    eeprom.kind = Report::EepromError;
    EXPECT_EQ(velk::sim::encode(eeprom).size(), 9u);
}

TEST(SimReports, StreamSequenceIsDeterministicAndTagged)
{
    const auto a = velk::sim::stream_sequence(500, 3);
    const auto b = velk::sim::stream_sequence(500, 3);
    const auto c = velk::sim::stream_sequence(500, 4);
    size_t differ = 0, e2 = 0, f1 = 0, status = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(velk::sim::encode(a[i]), velk::sim::encode(b[i]));
        differ += velk::sim::encode(a[i]) != velk::sim::encode(c[i]);
        if (a[i].kind == Report::E2 || a[i].kind == Report::F1) {
            EXPECT_EQ(a[i].second, i);
        }
        e2 += a[i].kind == Report::E2;
        f1 += a[i].kind == Report::F1;
        status += a[i].kind == Report::BusError || a[i].kind == Report::BusErrorPsr || a[i].kind == Report::BusStatus;
    }
    EXPECT_GT(differ, 400u);
    EXPECT_GT(e2, 100u);
    EXPECT_GT(f1, 100u);
    EXPECT_GT(status, 10u);
}

TEST_F(SimAdapter, StreamDeliversTheRegeneratedSequenceInOrder)
{
    const auto seq = velk::sim::stream_sequence(3000, 11);
    Bytes expected;
    for (const Report &r : seq) {
        const Bytes b = velk::sim::encode(r);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    sim.stream(3000, 0, 11, 37);
    const Bytes got = host->read_n(expected.size(), 20000);
    EXPECT_TRUE(sim.wait_stream_done(5000));
    EXPECT_EQ(sim.reports_streamed(), 3000u);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// The adapter's time of an 0xE2 or 0xF1 report, in microseconds: seconds
// and microseconds, little-endian, after the flags (0xE2) or the FD flags (0xF1).
int64_t stamp_us(const Bytes &r)
{
    const int at = r[0] == 0xF1 ? 3 : 2;
    auto le32 = [&r](int i) {
        return uint32_t{r[i]} | uint32_t{r[i + 1]} << 8 | uint32_t{r[i + 2]} << 16 | uint32_t{r[i + 3]} << 24;
    };
    return int64_t{le32(at)} * 1000000 + le32(at + 4);
}

// One adapter, one clock: the stream's last stamped report and a loopback
// report right after it carry adapter times no further apart than the
// test's own clock saw pass.
TEST_F(SimAdapter, StreamAndLoopbackReportsCarryTheOneClock)
{
    sim.set_loopback(true);
    EXPECT_EQ(host->exchange(frame({'a', 1, 1}), 5), frame({'a', 0}));
    const auto seq = velk::sim::stream_sequence(200, 3);
    size_t total = 0;
    for (const Report &r : seq)
        total += velk::sim::report_length(r);
    const auto t0 = std::chrono::steady_clock::now();
    sim.stream(seq.size(), 0, 3, 64, Adapter::StreamStamps::Clock);
    const Bytes got = host->read_n(total, 5000);
    ASSERT_EQ(got.size(), total);
    int64_t streamed = -1;
    size_t at = 0;
    for (const Report &r : seq) {
        const size_t n = velk::sim::report_length(r);
        if (r.kind == Report::E2 || r.kind == Report::F1)
            streamed = stamp_us(Bytes(got.begin() + static_cast<long>(at), got.begin() + static_cast<long>(at + n)));
        at += n;
    }
    ASSERT_GE(streamed, 0) << "the stream has stamped reports";

    host->write_bytes(frame({0xE0, 0x81, 0x00, 0x00, 0x01, 0x23, 1, 2, 3, 4, 5, 6, 7, 8}));
    const Bytes loop = host->read_n(25);
    const int64_t passed_us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(loop.size(), 25u);
    ASSERT_EQ(loop[0], 0xE2);
    const int64_t looped = stamp_us(loop);
    EXPECT_GE(looped, streamed);
    EXPECT_LE(looped - streamed, passed_us + 1000) << "streamed at " << streamed << " us, looped back at " << looped;
}

TEST(SimPorts, TwoPortsShareADevIdAndSeparateAdaptersDoNot)
{
    velk::sim::DualPort dual;
    velk::sim::Adapter other;
    dual.set_dev_id({9, 9, 9, 9, 0, 0, 0, 1});
    dual.port[0].set_vcom(0, 0, 1);
    dual.port[1].set_vcom(0, 1, 0);
    ASSERT_TRUE(dual.start());
    ASSERT_TRUE(other.start());
    Host h0(dual.port[0].slave_path()), h1(dual.port[1].slave_path()), h2(other.slave_path());
    EXPECT_EQ(h0.exchange(frame({'M'}), 16), frame({'M', 0, 0, 0, 1, 9, 9, 9, 9, 0, 0, 0, 1}));
    EXPECT_EQ(h1.exchange(frame({'M'}), 16), frame({'M', 0, 0, 1, 0, 9, 9, 9, 9, 0, 0, 0, 1}));
    const Bytes r2 = h2.exchange(frame({'M'}), 16);
    ASSERT_EQ(r2.size(), 16u);
    EXPECT_NE(Bytes(r2.begin() + 5, r2.begin() + 13), (Bytes{9, 9, 9, 9, 0, 0, 0, 1}));
    EXPECT_EQ(h1.exchange(frame({'N', 0}), 5), frame({'N', 0}));
    EXPECT_EQ(dual.port[1].vcom_sets(), (std::vector<uint8_t>{0}));
    EXPECT_TRUE(dual.port[0].vcom_sets().empty());
}

TEST(SimPorts, LinkPointsAtTheSlaveAndGoesAwayOnStop)
{
    const std::string path = testing::TempDir() + "velk_sim_link_test";
    {
        velk::sim::Adapter a;
        ASSERT_TRUE(a.start());
        ASSERT_TRUE(a.link(path));
        char buf[256] = {};
        ASSERT_GT(readlink(path.c_str(), buf, sizeof buf - 1), 0);
        EXPECT_EQ(std::string(buf), a.slave_path());
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

// A stream nobody reads waits for the host's buffer to drain, backing off,
// rather than retrying every millisecond: 25 refused writes take most of a
// second (a loaded machine only makes it longer).
TEST(SimStream, AStreamNobodyReadsBacksOffInsteadOfSpinning)
{
    Adapter a;
    ASSERT_TRUE(a.start());
    a.stream(100000000, 0, 1);
    ASSERT_TRUE(a.wait_blocked_writes(1, 30000));
    const size_t first = a.blocked_writes();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(a.wait_blocked_writes(first + 25, 60000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_GE(ms.count(), 500);
}

}  // namespace
