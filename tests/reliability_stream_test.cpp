// Report streams under stress: garbage bytes between well-formed reports, an
// adapter that stops answering commands while reports keep coming, commands
// run during a steady stream, input nobody takes, and a very long stream
// written as fast as the terminal takes it.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <sstream>

#include "test_support.h"

namespace velk::test {
namespace {

using sim::Report;


CAN_FRAME_INFO zero_record()
{
    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof(f));
    return f;
}

using Decoder = int (*)(int, CAN_FRAME_INFO *);

class Stream : public OpenAdapter {
protected:
    // Calls the decoder until the adapter has written everything queued (its
    // stream too) and the port holds nothing more; returns every record
    // produced.
    std::vector<CAN_FRAME_INFO> read_all(Decoder decode, int timeout_ms)
    {
        std::vector<CAN_FRAME_INFO> got;
        const bool done = wait_until(
            [&] {
                CAN_FRAME_INFO f = zero_record();
                if (decode(kPort, &f) == 1)
                    got.push_back(f);
                return sim().wait_stream_done(0) && bytes_waiting() == 0;
            },
            timeout_ms);
        EXPECT_TRUE(done) << "the stream was not consumed in time";
        return got;
    }
};

// Well-formed reports with bursts of random bytes between them; the last
// `clean_tail` reports have nothing between them.
struct GarbledStream {
    std::vector<Report> reports;
    Bytes bytes;
    size_t garbage = 0;
    std::vector<bool> after_garbage;  // per report: garbage right before it
};

// `headers_only`: every garbage byte is one that opens a report or follows
// such a byte in a header.
GarbledStream garbled(size_t count, size_t clean_tail, unsigned seed, bool headers_only = false)
{
    GarbledStream g;
    g.reports = sim::stream_sequence(count, seed);
    g.after_garbage.assign(count, false);
    std::mt19937 rng(seed);
    // Bytes that open a report, so garbage often looks like a header.
    const uint8_t headers[] = {0xE1, 0xE2, 0xF1, 0x99, 0x62, 0x01, 0x02, 0x04};
    for (size_t i = 0; i < count; ++i) {
        const Bytes r = sim::encode(g.reports[i]);
        g.bytes.insert(g.bytes.end(), r.begin(), r.end());
        if (i + clean_tail >= count || rng() % 3 == 0)
            continue;
        const size_t n = 1 + rng() % 7;
        for (size_t k = 0; k < n; ++k) {
            const uint32_t v = rng();
            const bool header = headers_only || v % 4 == 0;
            g.bytes.push_back(header ? headers[(v >> 8) % sizeof(headers)] : static_cast<uint8_t>(v >> 16));
        }
        g.garbage += n;
        if (i + 1 < count)
            g.after_garbage[i + 1] = true;
    }
    return g;
}

// The reports' trailers are not examined, so garbage that looks like a header
// may decode into a record made of delivered bytes; what must hold is that
// the decoder realigns: the last `tail` reports, sent after the last garbage,
// are the last records, decoded whole and in order.
void expect_decoded_again_after_garbage(const std::vector<Report> &reports, const std::vector<CAN_FRAME_INFO> &got,
                                        size_t tail, bool classic)
{
    std::vector<size_t> want;
    for (size_t j = reports.size() - tail; j < reports.size(); ++j) {
        const Report::Kind k = reports[j].kind;
        const bool fd_only = k == Report::E2 || k == Report::F1 || k == Report::BusErrorPsr;
        if (!classic || !fd_only)
            want.push_back(j);
    }
    ASSERT_GE(got.size(), want.size());
    const size_t base = got.size() - want.size();
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(report_mismatch(reports[want[i]], got[base + i]), "") << "tail report " << want[i] << " after the garbage";
}

TEST_F(Stream, DecoderRealignsAfterGarbageBetweenReports)
{
    const GarbledStream g = garbled(600, 40, 7);
    ASSERT_GT(g.garbage, 500u);
    sim().inject(g.bytes);
    const std::vector<CAN_FRAME_INFO> got = read_all(VELKReceive_CANFD, 20000);
    expect_decoded_again_after_garbage(g.reports, got, 20, false);
    RecordProperty("decoded", static_cast<int>(got.size()));
}

TEST_F(Stream, ClassicDecoderRealignsAfterGarbageBetweenReports)
{
    const GarbledStream g = garbled(600, 40, 11);
    sim().inject(g.bytes);
    const std::vector<CAN_FRAME_INFO> got = read_all(VELKReceive, 20000);
    expect_decoded_again_after_garbage(g.reports, got, 20, true);
}

TEST_F(Stream, GarbageArrivingInPiecesIsSurvivedToo)
{
    const GarbledStream g = garbled(300, 40, 23);
    // Small writes 1 ms apart: reports and garbage straddle read boundaries.
    sim().inject(g.bytes, static_cast<int>(g.bytes.size() / 5), 1);
    const std::vector<CAN_FRAME_INFO> got = read_all(VELKReceive_CANFD, 30000);
    expect_decoded_again_after_garbage(g.reports, got, 20, false);
}

TEST_F(Stream, NoiseFullOfHeaderValuesCostsAtMostTheReportItRunsInto)
{
    const GarbledStream g = garbled(500, 0, 31, true);
    InputCounters before;
    ASSERT_TRUE(input_counters(kPort, &before));
    sim().inject(g.bytes);
    const std::vector<CAN_FRAME_INFO> got = read_all(VELKReceive_CANFD, 20000);
    // Every record is a report sent, in order; a report goes missing only
    // right after garbage.
    size_t j = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        while (j < g.reports.size() && !report_mismatch(g.reports[j], got[i]).empty()) {
            EXPECT_TRUE(g.after_garbage[j]) << "report " << j << " lost with no garbage before it";
            ++j;
        }
        ASSERT_LT(j, g.reports.size()) << "record " << i << " is no report sent";
        ++j;
    }
    EXPECT_EQ(j, g.reports.size()) << "the last report arrives";
    InputCounters after;
    ASSERT_TRUE(input_counters(kPort, &after));
    EXPECT_GE(after.skipped - before.skipped, g.garbage);
    RecordProperty("lost", static_cast<int>(g.reports.size() - got.size()));
}

TEST_F(Stream, SilentAdapterFailsCommandsButReportsStillArriveAndAnsweringAgainRecovers)
{
    int s1 = 0, s2 = 0;
    ASSERT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
    sim().set_answering(false);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 1);
    CFG_INFO cfg;
    EXPECT_EQ(VELKGetCfg(kPort, &cfg), 1);
    EXPECT_EQ(VELKSetMode(kPort, VELK_LISTEN, VELK_NORMAL), 1);
    VER_INFO ver;
    EXPECT_EQ(VELKShowVer(kPort, &ver), 1);
    // Five exchanges, each bounded by its wait; nothing waits on a reply forever.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5 * 150 + 1500));
    ASSERT_TRUE(sim().wait_host_frames(5, 2000)) << "every command still went out";

    // The adapter keeps delivering reports while it does not answer.
    sim().inject(sim::report_e1(1, false, false, 8, 0x2AB, Bytes(8, 0x5A)));
    CAN_FRAME_INFO f = zero_record();
    ASSERT_TRUE(wait_until([&] { return VELKReceive_CANFD(kPort, &f) == 1; }));
    EXPECT_EQ(f.id, 0x2ABu);
    EXPECT_EQ(f.CAN_port, VELK_CAN_2);

    sim().set_answering(true);
    EXPECT_EQ(VELKSetMode(kPort, VELK_LISTEN, VELK_NORMAL), 0);
    ASSERT_EQ(VELKGetCfg(kPort, &cfg), 0);
    EXPECT_EQ(cfg.mode[0], VELK_LISTEN);
    ASSERT_EQ(VELKShowVer(kPort, &ver), 0);
    EXPECT_STREQ(ver.fw, "03.02");
}

TEST_F(Stream, HundredThousandReportsAsFastAsTheTerminalTakesThemAreDecodedInOrder)
{
    constexpr size_t kCount = 100000;
    constexpr unsigned kSeed = 4242;
    const std::vector<Report> seq = sim::stream_sequence(kCount, kSeed);
    // Blocking reads, as a reader thread would use them: a report whose rest
    // is held up by a busy machine is waited for instead of timed out.
    ASSERT_EQ(VELKSetRecvBlock(kPort, true), 0);
    // Should a report go missing, the blocking read would wait for ever;
    // unplugging the adapter at the deadline ends it, and the test fails.
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        if (!wait_until([&] { return finished.load(); }, 60000))
            sim().unplug();
    });
    sim().stream(kCount, 0, kSeed, 256);

    size_t i = 0;
    for (; i < kCount; ++i) {
        CAN_FRAME_INFO f = zero_record();
        if (VELKReceive_CANFD(kPort, &f) != 1 && VELKCheckDevice(kPort) != 0)
            break;
        const std::string why = report_mismatch(seq[i], f);
        if (!why.empty()) {
            ADD_FAILURE() << "report " << i << ": " << why << " (got channel " << f.CAN_port << ", id_type "
                          << f.id_type << ", rtr " << f.rtr << ", dlc " << f.dlc << ", id 0x" << std::hex << f.id
                          << ")";
            break;
        }
    }
    finished = true;
    watchdog.join();
    ASSERT_EQ(i, kCount) << "reports decoded before the stream stopped";
    EXPECT_TRUE(sim().wait_stream_done(2000));
    EXPECT_EQ(sim().reports_streamed(), kCount);
    ASSERT_EQ(VELKSetRecvBlock(kPort, false), 0);
    CAN_FRAME_INFO f = zero_record();
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
    EXPECT_EQ(bytes_waiting(), 0);
}

TEST_F(Stream, BoundedReceiveLoopTakesAFastStreamInOrderWithNoForeignRecord)
{
    constexpr size_t kCount = 10000;
    constexpr unsigned kSeed = 99;
    const std::vector<Report> seq = sim::stream_sequence(kCount, kSeed);
    sim().stream(kCount, 0, kSeed, 64);

    // As the utility's worker reads in non-blocking mode. A report whose rest
    // is held up longer than the decoder's deadline (a loaded machine can
    // stall the terminal that long) is dropped, so a few may be missing; but
    // every record is a report sent, in order, and nearly all arrive.
    std::vector<CAN_FRAME_INFO> batch(128);
    std::vector<CAN_FRAME_INFO> got;
    const bool done = wait_until(
        [&] {
            NON_BLOCK_INFO info = {static_cast<unsigned>(batch.size()), 20, batch.data()};
            const int n = VELKReceiveNonblock(kPort, &info);
            got.insert(got.end(), batch.begin(), batch.begin() + n);
            return sim().wait_stream_done(0) && bytes_waiting() == 0;
        },
        30000);
    ASSERT_TRUE(done);
    expect_decoded_again_after_garbage(seq, got, 0, false);
    EXPECT_GE(got.size(), kCount * 99 / 100);
}

TEST_F(Stream, CommandsDuringASteadyStreamSucceedAndEveryReportArrivesOnceInOrder)
{
    char path[] = "/tmp/velk-stream-cfg-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    constexpr size_t kCount = 5000;
    // First with nobody receiving while the commands run, then with a
    // receiving thread beside them.
    for (bool beside : {false, true}) {
        SCOPED_TRACE(beside ? "receiving thread" : "received afterwards");
        const unsigned seed = beside ? 12 : 11;
        const std::vector<Report> seq = sim::stream_sequence(kCount, seed);
        sim().stream(kCount, 2000, seed, 64);
        auto rx = beside ? std::make_unique<Receiver>(kPort) : nullptr;

        CANFD_CFG_INFO fd_cfg;
        EXPECT_EQ(VELKGetCFG_CANFD(kPort, &fd_cfg), 0);
        int s1 = -1, s2 = -1;
        EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
        VER_INFO ver;
        EXPECT_EQ(VELKShowVer(kPort, &ver), 0);
        EXPECT_STREQ(ver.fw, "03.02");
        EXPECT_EQ(VELKSetMode(kPort, VELK_LISTEN, VELK_NORMAL), 0);
        EXPECT_EQ(VELKSetErrorType(kPort, VELK_EN_ALL), 0);
        EXPECT_EQ(VELKExpCfg(kPort, path), 0);
        EXPECT_EQ(VELKResetCAN(kPort), 0);
        EXPECT_EQ(sim().state().mode[0], VELK_NORMAL);
        EXPECT_EQ(VELKImpCfg(kPort, path), 0);
        CFG_INFO cfg;
        ASSERT_EQ(VELKGetCfg(kPort, &cfg), 0);
        EXPECT_EQ(cfg.mode[0], VELK_LISTEN);
        EXPECT_EQ(cfg.err_set, VELK_EN_ALL);

        if (!rx)
            rx = std::make_unique<Receiver>(kPort);
        ASSERT_TRUE(wait_until([&] { return rx->received() >= kCount; }, 20000)) << rx->received();
        const std::vector<CAN_FRAME_INFO> got = rx->stop();
        ASSERT_EQ(got.size(), kCount);
        for (size_t i = 0; i < kCount; ++i)
            ASSERT_EQ(report_mismatch(seq[i], got[i]), "") << "report " << i;
    }
    unlink(path);
}

TEST_F(Stream, InputNobodyTakesIsCappedByDroppingTheOldestReports)
{
    constexpr size_t kCount = 40000;  // about 1.6 MB
    const std::vector<Report> seq = sim::stream_sequence(kCount, 5);
    sim().stream(kCount, 0, 5, 4096);
    // The bus error request reads what is waiting before it writes, and
    // waits for nothing: the port is read at full speed, nobody receives.
    auto unread_on_tty = [] {
        int n = -1;
        return ioctl(first->fd, FIONREAD, &n) == 0 ? n : -1;
    };
    ASSERT_TRUE(wait_until(
        [&] {
            struct pollfd p = {first->fd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                EXPECT_EQ(VELKGetBusError(kPort), 0);
            }
            return sim().wait_stream_done(0) && unread_on_tty() == 0;
        },
        30000));
    InputCounters c;
    ASSERT_TRUE(input_counters(kPort, &c));
    EXPECT_LE(c.buffered, size_t{1} << 20);
    EXPECT_GT(c.overflowed, 0u);

    // What is left is the newest reports, whole and in order (the replies
    // to the requests, zero status, left aside).
    std::vector<CAN_FRAME_INFO> got;
    for (const CAN_FRAME_INFO &f : read_all(VELKReceive_CANFD, 20000)) {
        const CAN_FRAME_INFO zero = zero_record();
        if (f.msg_type != VELK_GETBUS_TYPE || std::memcmp(f.data_err, zero.data_err, sizeof(f.data_err)) != 0)
            got.push_back(f);
    }
    ASSERT_FALSE(got.empty());
    size_t start = 0;
    while (start < kCount && !report_mismatch(seq[start], got[0]).empty())
        ++start;
    EXPECT_GE(c.overflowed, start);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(report_mismatch(seq[start + i], got[i]), "") << "report " << start + i;
    EXPECT_EQ(start + got.size(), kCount) << "the newest reports are kept";
}

// Library state shared between a host program's threads, changed on one while
// another sends or receives. These also run under ThreadSanitizer.
class Threads : public Stream {};

TEST_F(Threads, PacingIsRefreshedWhileAnotherThreadSends)
{
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        CAN_FRAME_INFO f = zero_record();
        f.id_type = VELK_SID;
        f.dlc = 8;
        while (!stop) {
            f.id = static_cast<unsigned>(sent.load()) & 0x7FF;
            if (VELKSend(kPort, &f) == 0)
                ++sent;
        }
    });
    // 100 kbit/s, then 125 kbit/s: 1050 and 850 us.
    sim::State s = sim().state();
    for (uint8_t code : {4, 5}) {
        s.baud[0] = s.baud[1] = code;
        sim().set_state(s);
        EXPECT_EQ(VELKInitCAN(kPort, VELK_ACTIVE, VELK_ACTIVE), 0);
    }
    stop = true;
    sender.join();
    EXPECT_EQ(send_delay[0], 850);
    EXPECT_EQ(send_delay[1], 850);
    EXPECT_GT(sent.load(), 0);
    EXPECT_TRUE(wait_until([&] { return sim().host_frames(0xE0).size() == static_cast<size_t>(sent.load()); }))
        << "every frame sent reached the adapter";
    for (bool ok : sim().host_checksums_ok())
        EXPECT_TRUE(ok);
}

TEST_F(Threads, RangeFilterIsReplacedWhileAnotherThreadReceivesAndAThirdReadsIt)
{
    // Two tables that differ in every entry.
    RANGE_FILTER_INFO a, b;
    std::memset(&a, 0, sizeof(a));
    std::memset(&b, 0, sizeof(b));
    for (unsigned i = 0; i < 16; ++i) {
        a.entry[i] = {1, VELK_SID, 0x40 * i, 0x40 * i + 0x3F};
        b.entry[i] = {1, VELK_EID, 0x10000 * i, 0x10000 * i + 0xFFFF};
    }
    ASSERT_EQ(VELKSetRangeFilter(kPort, &a, &b), 0);

    // A stream of 10,000 reports a second, taken in batches that wait for
    // input rather than spin.
    sim().stream(100000, 10000, 77, 64);
    std::atomic<bool> stop{false};
    std::atomic<int> records{0};
    std::thread receiver([&] {
        std::vector<CAN_FRAME_INFO> batch(64);
        while (!stop) {
            NON_BLOCK_INFO info = {static_cast<unsigned>(batch.size()), 10, batch.data()};
            records += VELKReceiveNonblock(kPort, &info);
        }
    });
    ASSERT_TRUE(wait_until([&] { return records > 0; }, 5000));

    // While 500 more records come in, one thread replaces both tables and
    // switches them on and off, another reads them back: a table read is
    // always one of the two set, never a mix or a cleared one.
    const int until = records + 500;
    std::atomic<bool> sets_done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!sets_done) {
            RANGE_FILTER_INFO t1, t2;
            if (VELKGetRangeFilter(kPort, &t1, &t2) != 0)
                ++torn;
            for (const RANGE_FILTER_INFO *t : {&t1, &t2}) {
                if (std::memcmp(t->entry, a.entry, sizeof(a.entry)) != 0 &&
                    std::memcmp(t->entry, b.entry, sizeof(b.entry)) != 0)
                    ++torn;
            }
            ++reads;
        }
    });
    int sets = 0;
    const bool overlapped = wait_until(
        [&] {
            EXPECT_EQ(VELKSetRangeFilter(kPort, sets % 2 ? &a : &b, sets % 2 ? &b : &a), 0);
            EXPECT_EQ(VELKInitRangeFilter(kPort, 2, sets % 3 == 0 ? 2 : 1), 0);
            ++sets;
            return records >= until;
        },
        20000);
    sets_done = true;
    reader.join();
    stop = true;
    receiver.join();
    EXPECT_TRUE(overlapped) << sets << " sets, " << reads << " reads";
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace velk::test
