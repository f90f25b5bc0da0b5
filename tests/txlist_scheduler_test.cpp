// The transmit list's scheduler on a clock the test moves: deadlines on the
// grid, the order of frames due together, edits while running, the stop
// paths, refusals and the pacing report; then on the emulated adapter next
// to the send worker's bursts.
#include <cstring>
#include <set>

#include "worker_support.h"

using namespace velk::wtest;
using namespace velk::txlist;

namespace {

constexpr uint64_t kMs = 1000;

Entry frame_entry(unsigned id, uint64_t cycle_us, int channel = 0, uint64_t count = 0)
{
    Entry e;
    std::string why;
    EXPECT_TRUE(velk::trace::parse_frame_text("123#0011223344556677", &e.frame, &why)) << why;
    e.frame.id = id;
    e.channel = channel;
    e.cycle_us = cycle_us;
    e.count = count;
    return e;
}

List list_of(std::initializer_list<Entry> entries)
{
    List l;
    l.entries = entries;
    return l;
}

std::vector<unsigned> ids(const std::vector<SendLog::Sent> &sent)
{
    std::vector<unsigned> out;
    for (const SendLog::Sent &s : sent)
        out.push_back(s.frame.id);
    return out;
}

std::vector<uint64_t> times_of(const std::vector<SendLog::Sent> &sent, unsigned id)
{
    std::vector<uint64_t> out;
    for (const SendLog::Sent &s : sent)
        if (s.frame.id == id)
            out.push_back(s.at);
    return out;
}

class Schedule : public ::testing::Test {
protected:
    ManualClock clock;
    SendLog log{clock};
    Scheduler sched{clock, log.fn()};

    void start_and_settle()
    {
        sched.start();
        ASSERT_TRUE(wait_until([this] { return clock.waiting(); }, 10000));
    }
};

TEST_F(Schedule, DeadlinesStayOnTheGridWhateverTheWakeUps)
{
    sched.set_list(list_of({frame_entry(0x10, 10 * kMs)}));
    start_and_settle();
    // Steps of 3 ms wake the scheduler up to 2 ms after a deadline; the
    // following deadlines stay at whole multiples of 10 ms.
    ASSERT_TRUE(clock.run_for(300 * kMs, 3 * kMs));
    const std::vector<uint64_t> t = times_of(log.sent(), 0x10);
    ASSERT_EQ(t.size(), 31u);
    for (size_t k = 0; k < t.size(); ++k) {
        EXPECT_GE(t[k], k * 10 * kMs);
        EXPECT_LT(t[k], k * 10 * kMs + 3 * kMs) << "frame " << k;
    }
    const EntryStats st = sched.stats()[0];
    EXPECT_EQ(st.sent, 31u);
    EXPECT_EQ(st.late, 0u);
    EXPECT_EQ(st.skipped, 0u);
}

TEST_F(Schedule, FramesDueTogetherGoOutInDeadlineOrder)
{
    sched.set_list(list_of({frame_entry(0xA, 10 * kMs), frame_entry(0xB, 7 * kMs)}));
    start_and_settle();
    // Both at 0 in list order; then one wake at 12 ms finds B (due at 7)
    // before A (due at 10), each sent once.
    clock.advance(12 * kMs);
    ASSERT_TRUE(wait_until([this] { return clock.waiting(); }, 10000));
    EXPECT_EQ(ids(log.sent()), (std::vector<unsigned>{0xA, 0xB, 0xB, 0xA}));
    // B was 5 ms late, A 2 ms: only B is over the tolerance.
    EXPECT_EQ(sched.stats()[0].late, 0u);
    EXPECT_EQ(sched.stats()[1].late, 1u);
}

TEST_F(Schedule, MoreThanACycleBehindSkipsAndCountsTheMissedDeadlines)
{
    sched.set_list(list_of({frame_entry(0x10, 10 * kMs)}));
    start_and_settle();
    clock.advance(45 * kMs);
    ASSERT_TRUE(wait_until([this] { return clock.waiting(); }, 10000));
    // Deadlines 10..40 passed: one frame (for 40, late) and three skipped;
    // the next deadline is 50.
    EntryStats st = sched.stats()[0];
    EXPECT_EQ(st.sent, 2u);
    EXPECT_EQ(st.skipped, 3u);
    EXPECT_EQ(st.late, 1u);
    clock.advance(5 * kMs);
    ASSERT_TRUE(wait_until([this] { return clock.waiting(); }, 10000));
    EXPECT_EQ(times_of(log.sent(), 0x10), (std::vector<uint64_t>{0, 45 * kMs, 50 * kMs}));
}

TEST_F(Schedule, EditsApplyFromTheNextCycleAndKeepTheCounts)
{
    sched.set_list(list_of({frame_entry(0x10, 10 * kMs)}));
    start_and_settle();
    ASSERT_TRUE(clock.run_for(20 * kMs, 1 * kMs));
    Entry e = frame_entry(0x10, 20 * kMs);
    e.frame.data[0] = 0xEE;
    sched.update(0, e);
    ASSERT_TRUE(clock.run_for(60 * kMs, 1 * kMs));
    const std::vector<SendLog::Sent> sent = log.sent();
    // 0, 10, 20 with the old data; the next deadline (30) stays, then every 20 ms.
    ASSERT_EQ(times_of(sent, 0x10), (std::vector<uint64_t>{0, 10 * kMs, 20 * kMs, 30 * kMs, 50 * kMs, 70 * kMs}));
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].frame.data[0], i < 3 ? 0x00 : 0xEE) << "frame " << i;
    EXPECT_EQ(sched.stats()[0].sent, 6u);
    EXPECT_DOUBLE_EQ(sched.stats()[0].period_us, 70.0 * kMs / 5);
}

TEST_F(Schedule, EntriesAddedRemovedAndToggledWhileRunning)
{
    sched.set_list(list_of({frame_entry(0x1, 10 * kMs), frame_entry(0x2, 10 * kMs)}));
    start_and_settle();
    ASSERT_TRUE(clock.run_for(5 * kMs, 1 * kMs));
    sched.set_enabled(0, false);
    EXPECT_EQ(sched.add(frame_entry(0x3, 10 * kMs)), 2u);  // first at 5 ms, then 15, 25
    ASSERT_TRUE(clock.run_for(20 * kMs, 1 * kMs));
    sched.remove(1);
    sched.set_enabled(0, true);  // again from 25 ms
    ASSERT_TRUE(clock.run_for(10 * kMs, 1 * kMs));
    EXPECT_EQ(ids(log.sent()), (std::vector<unsigned>{0x1, 0x2, 0x3, 0x2, 0x3, 0x2, 0x3, 0x1, 0x1, 0x3}));
    ASSERT_EQ(sched.size(), 2u);
    EXPECT_EQ(sched.list().entries[1].frame.id, 0x3u);
}

TEST_F(Schedule, SendNowGoesOutAtOnceOutsideTheCycle)
{
    sched.set_list(list_of({frame_entry(0x1, 100 * kMs)}));
    start_and_settle();
    ASSERT_TRUE(clock.run_for(30 * kMs, 10 * kMs));
    sched.send_now(0);
    ASSERT_TRUE(wait_until([this] { return log.count() == 2; }, 10000));
    ASSERT_TRUE(clock.run_for(70 * kMs, 10 * kMs));
    EXPECT_EQ(times_of(log.sent(), 0x1), (std::vector<uint64_t>{0, 30 * kMs, 100 * kMs}));
}

TEST_F(Schedule, CountedEntriesEndAndTheListReportsFinished)
{
    sched.set_list(list_of({frame_entry(0x1, 1 * kMs, 0, 3), frame_entry(0x2, 2 * kMs, 1, 2)}));
    start_and_settle();
    EXPECT_FALSE(sched.finished());
    ASSERT_TRUE(clock.run_for(10 * kMs, 1 * kMs));
    EXPECT_TRUE(sched.finished());
    EXPECT_EQ(ids(log.sent()), (std::vector<unsigned>{0x1, 0x2, 0x1, 0x1, 0x2}));
    EXPECT_FALSE(sched.stats()[0].running);
    EXPECT_EQ(log.sent()[1].frame.CAN_port, 1);
    // A count raised after the entry ended: it goes on to the new count.
    sched.update(0, frame_entry(0x1, 1 * kMs, 0, 5));
    ASSERT_TRUE(clock.run_for(10 * kMs, 1 * kMs));
    EXPECT_EQ(sched.stats()[0].sent, 5u);
    EXPECT_TRUE(sched.finished());
}

TEST_F(Schedule, RefusedFramesAreCountedNotHidden)
{
    sched.set_list(list_of({frame_entry(0x1, 10 * kMs)}));
    log.refuse = true;
    start_and_settle();
    ASSERT_TRUE(clock.run_for(20 * kMs, 10 * kMs));
    log.refuse = false;
    ASSERT_TRUE(clock.run_for(10 * kMs, 10 * kMs));
    const EntryStats st = sched.stats()[0];
    EXPECT_EQ(st.refused, 3u);
    EXPECT_EQ(st.sent, 1u);
}

TEST_F(Schedule, AnEntryThatCannotBeBuiltIsRefusedEachCycle)
{
    Entry e = frame_entry(0x1, 10 * kMs);
    e.message = "NoSuchMessage";  // no database
    sched.set_list(list_of({e, frame_entry(0x2, 10 * kMs)}));
    start_and_settle();
    ASSERT_TRUE(clock.run_for(10 * kMs, 10 * kMs));
    EXPECT_EQ(sched.stats()[0].refused, 2u);
    EXPECT_EQ(ids(log.sent()), (std::vector<unsigned>{0x2, 0x2}));
}

TEST_F(Schedule, StopEndsTheThreadWhileItWaitsAndSendsNoMore)
{
    sched.set_list(list_of({frame_entry(0x1, 100000 * kMs)}));
    start_and_settle();
    sched.stop();
    EXPECT_FALSE(sched.running());
    clock.advance(200000 * kMs);
    EXPECT_EQ(log.count(), 1u);
    EXPECT_FALSE(sched.stats()[0].running);
    // Started again: counts from zero, first frame at once.
    start_and_settle();
    EXPECT_EQ(log.count(), 2u);
    EXPECT_EQ(sched.stats()[0].sent, 1u);
}

TEST_F(Schedule, StopWhileAFrameIsBeingSentLetsItComplete)
{
    std::atomic<bool> in_send{false}, release{false};
    ManualClock c2;
    std::atomic<int> sent{0};
    Scheduler s(c2, [&](const CAN_FRAME_INFO &) {
        in_send = true;
        while (!release.load())
            std::this_thread::yield();
        ++sent;
        return 0;
    });
    s.set_list(list_of({frame_entry(0x1, 10 * kMs)}));
    s.start();
    ASSERT_TRUE(wait_until([&] { return in_send.load(); }, 10000));
    std::thread stopper([&] { s.stop(); });
    release = true;
    stopper.join();
    EXPECT_EQ(sent.load(), 1);
    EXPECT_EQ(s.stats()[0].sent, 1u);
}

TEST_F(Schedule, PacingReportComparesOfferedFramesWithTheBound)
{
    List l;
    for (int i = 0; i < 6; ++i)
        l.entries.push_back(frame_entry(0x100 + i, 1 * kMs, 0));
    l.entries.push_back(frame_entry(0x200, 10 * kMs, 1));
    Entry off = frame_entry(0x300, 1 * kMs, 1);
    off.enabled = false;
    l.entries.push_back(off);
    sched.set_list(l);
    const int pause[2] = {200, 100};
    const PacingReport r = sched.pacing(pause);
    EXPECT_DOUBLE_EQ(r.offered[0], 6000);
    EXPECT_DOUBLE_EQ(r.offered[1], 100);
    EXPECT_DOUBLE_EQ(r.bound[0], 5000);
    EXPECT_DOUBLE_EQ(r.bound[1], 10000);
    EXPECT_FALSE(r.fits());
    EXPECT_EQ(r.text(pause), "CAN1: 6000 frames/s offered, 5000 allowed by its 200 us pause");
    const int slow[2] = {100, 100};
    EXPECT_TRUE(sched.pacing(slow).fits());
}

// On the emulated adapter: the list on both channels while the send worker
// bursts on channel 1; every frame arrives whole, and each one written,
// the list's as the burst's, is handed to the GUI's drain once, while it
// drains.
class ScheduleOnAdapter : public ::testing::Test {
protected:
    static constexpr int kPort = 0;
};

TEST_F(ScheduleOnAdapter, ListAndSendWorkerBurstShareTheAdapter)
{
    MappedAdapter adapter(kPort);
    ASSERT_TRUE(adapter.ok());
    CAN_CNNT_INFO info = {};
    // A version reply later than the library's 150 ms wait (a loaded
    // machine) fails a connect, which closes the port again: one more try.
    int connected = procConnect(kPort, &info);
    if (connected == 2)
        connected = procConnect(kPort, &info);
    ASSERT_EQ(connected, 0);
    adapter.sim().clear_host_frames();
    upbs_reset();

    SteadyClock clock;
    Scheduler s(clock, [](const CAN_FRAME_INFO &f) {
        CAN_FRAME_INFO copy = f;
        const int r = copy.fdf ? VELKSend_CANFD(kPort, &copy) : VELKSend(kPort, &copy);
        if (r == 0)
            apipart_push_sent(copy);
        return r;
    });
    s.set_list(list_of({frame_entry(0x101, 2 * kMs, 0, 20), frame_entry(0x102, 3 * kMs, 1, 20)}));
    s.start();
    CAN_SEND_INFO burst;
    std::memset(&burst, 0, sizeof burst);
    burst.cnt = 50;
    burst.times = 1;
    burst.id_inc = true;
    burst.can_frame_info.CAN_port = VELK_CAN_1;
    burst.can_frame_info.id_type = VELK_SID;
    burst.can_frame_info.dlc = 8;
    burst.can_frame_info.id = 0x400;
    procSend(kPort, burst);
    Drained d;
    EXPECT_TRUE(wait_until(
        [&] {
            drain_once(&d);
            return s.finished() && !apipart_send_worker_alive();
        },
        20000));
    EXPECT_TRUE(wait_send_done(20000));
    s.stop();
    EXPECT_TRUE(drain_until(&d, 90, 0));
    EXPECT_EQ(d.sent.size(), 90u);
    std::multiset<unsigned> listed;
    for (const UPBS_INFO &e : d.sent) {
        listed.insert(e.frame_info.id);
        EXPECT_EQ(e.now_time[2], ':');
    }
    EXPECT_EQ(listed.count(0x101), 20u);
    EXPECT_EQ(listed.count(0x102), 20u);
    for (unsigned id = 0x400; id < 0x432; ++id)
        EXPECT_EQ(listed.count(id), 1u) << std::hex << id;
    ASSERT_TRUE(adapter.sim().wait_host_frames(90, 10000));
    const std::vector<unsigned> wire = wire_ids(adapter.sim().host_frames());
    std::multiset<unsigned> got(wire.begin(), wire.end());
    EXPECT_EQ(got.count(0x101), 20u);
    EXPECT_EQ(got.count(0x102), 20u);
    for (unsigned id = 0x400; id < 0x432; ++id)
        EXPECT_EQ(got.count(id), 1u) << std::hex << id;
    for (bool ok : adapter.sim().host_checksums_ok())
        EXPECT_TRUE(ok);
    EXPECT_EQ(s.stats()[0].refused + s.stats()[1].refused, 0u);

    info.is_discnnt = true;
    procConnect(kPort, &info);
}

}  // namespace
