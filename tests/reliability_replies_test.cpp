// Every command that reads a reply, against replies that go wrong: a wrong
// echo, a non-zero status, too short, too late, never, or in pieces. Each
// failure is clean (the outputs as documented) and the next command works;
// a reply whose pieces are all in shortly after the 150 ms wait is taken.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "test_support.h"

namespace velk::test {
namespace {

using sim::Fault;

Fault once(Fault::Kind kind)
{
    Fault f;
    f.kind = kind;
    f.times = 1;
    return f;
}

Fault split(int pieces, int delay_ms)
{
    Fault f = once(Fault::Split);
    f.pieces = pieces;
    f.delay_ms = delay_ms;
    return f;
}

Fault late(int delay_ms)
{
    Fault f = once(Fault::Late);
    f.delay_ms = delay_ms;
    return f;
}

Fault cut(int bytes)
{
    Fault f = once(Fault::Short);
    f.bytes = bytes;
    return f;
}

// One command under test: `call` runs it with fresh outputs and returns its
// result; `check(ok)` asserts the outputs after a success or a failure.
struct Command {
    const char *name;
    uint8_t code;  // the reply that goes wrong
    std::function<int()> call;
    std::function<void(bool ok)> check;
};

class Replies : public OpenAdapter {
protected:
    void SetUp() override
    {
        OpenAdapter::SetUp();
        // Generation 3: every bit-rate code is taken.
        sim().set_firmware(0x03, 0x03);
    }

    // Runs the command once with the fault on its reply.
    void expect_fails(const Command &c, Fault f, const char *what)
    {
        const size_t sent = sim().host_frames(c.code).size();
        sim().set_fault(c.code, f);
        EXPECT_EQ(c.call(), 1) << c.name << ": " << what;
        c.check(false);
        // The adapter has taken the command (a busy machine can hold it up
        // past the host's wait), and a reply still on its way is written
        // before the next command goes out.
        EXPECT_TRUE(wait_until([&] { return sim().host_frames(c.code).size() > sent; }));
        EXPECT_TRUE(sim().wait_output_drained(2000));
        sim().clear_faults();
    }

    void expect_works(const Command &c, Fault f, const char *what)
    {
        sim().set_fault(c.code, f);
        EXPECT_EQ(c.call(), 0) << c.name << ": " << what;
        c.check(true);
        sim().clear_faults();
    }

    // The channel status query with channel 2 running; s1 and s2 are its
    // outputs.
    Command status_query(int &s1, int &s2)
    {
        sim().set_channel_state(1, true);
        return {"VELKGetCANStatus", 0x60,
                [&] {
                    s1 = s2 = 7;
                    return VELKGetCANStatus(kPort, &s1, &s2);
                },
                [&](bool ok) {
                    EXPECT_EQ(s1, ok ? 0 : 7);
                    EXPECT_EQ(s2, ok ? 1 : 7);
                }};
    }

    // The whole set of reply faults on one command, then a clean run.
    void exercise(const Command &c)
    {
        SCOPED_TRACE(c.name);
        expect_fails(c, once(Fault::WrongEcho), "wrong echo");
        expect_fails(c, once(Fault::BadStatus), "non-zero status");
        expect_fails(c, cut(3), "short reply");
        expect_fails(c, once(Fault::NoReply), "no reply");
        // The timings keep 80 ms or more clear of the 150 ms wait and of the
        // 100 ms after it: a loaded machine wakes both sides late, and must
        // not move a reply across either bound.
        expect_fails(c, late(400), "late reply");
        // Second half 250 ms after the wait ended: more than the 100 ms the
        // rest of a reply is waited for.
        expect_fails(c, split(2, 400), "rest too late");
        // Pieces at 0, 85 and 170 ms: the last one in 20 ms after the wait,
        // 80 ms before the rest is given up.
        expect_works(c, split(3, 85), "split reply");
        expect_works(c, Fault{}, "clean reply");
    }
};

bool all_zero(const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

TEST_F(Replies, VersionQueriesFailCleanlyAndRecover)
{
    VER_INFO v;
    auto call = [&] {
        std::memset(&v, 0, sizeof(v));
        std::strcpy(v.fw, "keep");
        std::strcpy(v.model, "keep");
        return VELKShowVer(kPort, &v);
    };
    auto check = [&](bool ok) {
        EXPECT_STREQ(v.fw, ok ? "03.03" : "keep");
        EXPECT_STREQ(v.model, ok ? "5102" : "keep");
        EXPECT_STREQ(v.api, "3.1.0");
    };
    exercise({"VELKShowVer version", '5', call, check});
    // The build identifier query of the pair, with fewer faults.
    Command second{"VELKShowVer build id", '6', call, check};
    expect_fails(second, once(Fault::WrongEcho), "wrong echo");
    expect_fails(second, cut(2), "short reply");
    expect_works(second, split(2, 170), "split reply");

    unsigned char id[2];
    exercise({"VELKGetBLDID", '6',
              [&] {
                  id[0] = id[1] = 0xEE;
                  return VELKGetBLDID(kPort, id);
              },
              [&](bool ok) {
                  EXPECT_EQ(id[0], ok ? 0x51 : 0xEE);
                  EXPECT_EQ(id[1], ok ? 0x02 : 0xEE);
              }});
}

TEST_F(Replies, StatusQueryFailsCleanlyOnPiecesAndRecovers)
{
    int s1, s2;
    exercise(status_query(s1, s2));
}

TEST_F(Replies, RepliesThatGoWrongAmongStreamingReportsFailAlikeAndNoReportIsLost)
{
    constexpr size_t kCount = 6000;
    const std::vector<sim::Report> seq = sim::stream_sequence(kCount, 8);
    sim().stream(kCount, 2000, 8, 64);
    Receiver rx(kPort);
    int s1, s2;
    exercise(status_query(s1, s2));
    ASSERT_TRUE(wait_until([&] { return rx.received() >= kCount; }, 20000)) << rx.received();
    const std::vector<CAN_FRAME_INFO> got = rx.stop();
    ASSERT_EQ(got.size(), kCount);
    for (size_t i = 0; i < kCount; ++i)
        ASSERT_EQ(report_mismatch(seq[i], got[i]), "") << "report " << i;
}

// A busy virtual machine can stop every thread at once, the emulated
// adapter's with the host's, for longer than the host's wait. On resuming the
// host must give the adapter a moment to catch up instead of failing on the
// time it was itself stopped. A child process stops this one for 300 ms, 20 ms
// into each exchange, while the reply is held back for 60 ms; the exchanges
// take recognised replies and raw ones in turn.
TEST_F(Replies, AReplyHeldUpByAStallOfTheWholeProcessIsStillTaken)
{
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t parent = getpid();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls here.
        close(go[1]);
        char c;
        while (read(go[0], &c, 1) == 1) {
            const struct timespec before = {0, 20 * 1000 * 1000}, stalled = {0, 300 * 1000 * 1000};
            nanosleep(&before, nullptr);
            kill(parent, SIGSTOP);
            nanosleep(&stalled, nullptr);
            kill(parent, SIGCONT);
        }
        _exit(0);
    }
    close(go[0]);
    int s1, s2;
    Command c = status_query(s1, s2);
    // The same query as a raw exchange, whose reply is taken as it comes.
    unsigned char raw[7];
    TESTING_INFO t;
    std::memset(&t, 0, sizeof(t));
    t.send_len = 4;
    t.recv_len = sizeof(raw);
    t.recv_buf = raw;
    const unsigned char query[4] = {0x60, 0x60, 0x0D, 0x0A};
    std::memcpy(t.send_buf, query, sizeof(query));
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        sim().set_fault(c.code, late(60));
        ASSERT_EQ(write(go[1], "g", 1), 1);
        if (round % 2 == 0) {
            EXPECT_EQ(c.call(), 0);
            c.check(true);
        } else {
            std::memset(raw, 0, sizeof(raw));
            EXPECT_EQ(VELKTesting(kPort, &t), 0);
            EXPECT_EQ(raw[0], 0x60);
        }
        ASSERT_TRUE(sim().wait_output_drained(2000));
    }
    close(go[1]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    sim().clear_faults();
}

TEST_F(Replies, ConfigurationQueriesLeaveAClearedRecordOnFailure)
{
    sim::State s = sim().state();
    s.baud[0] = 9;
    s.flt_id[1] = 0x12345678;
    s.datarate[1] = 5;
    sim().set_state(s);

    CFG_INFO cfg;
    exercise({"VELKGetCfg", '7',
              [&] {
                  std::memset(&cfg, 0xA5, sizeof(cfg));
                  return VELKGetCfg(kPort, &cfg);
              },
              [&](bool ok) {
                  if (!ok) {
                      EXPECT_TRUE(all_zero(&cfg, sizeof(cfg)));
                      return;
                  }
                  EXPECT_EQ(cfg.baud[0], 9);
                  EXPECT_EQ(cfg.flt_id[1], 0x12345678u);
              }});

    CANFD_CFG_INFO fd;
    exercise({"VELKGetCFG_CANFD", 'G',
              [&] {
                  std::memset(&fd, 0xA5, sizeof(fd));
                  return VELKGetCFG_CANFD(kPort, &fd);
              },
              [&](bool ok) {
                  if (!ok) {
                      EXPECT_TRUE(all_zero(&fd, sizeof(fd)));
                      return;
                  }
                  EXPECT_EQ(fd.baud[0], 9);
                  EXPECT_EQ(fd.datarate[1], 5);
              }});
}

TEST_F(Replies, TimingAndVirtualComQueriesFailCleanlyAndRecover)
{
    sim::State s = sim().state();
    for (int i = 0; i < 16; ++i)
        s.timing[1][i] = static_cast<uint8_t>(i == 0 ? 1 : 0x40 + i);
    s.vcom_mode = 2;
    s.vcom_order = 1;
    sim().set_state(s);

    TIMING_CFG_CANFD t;
    exercise({"VELKGet_TimingCFG_CANFD", 'L',
              [&] {
                  std::memset(&t, 0xA5, sizeof(t));
                  return VELKGet_TimingCFG_CANFD(kPort, &t, 1);
              },
              [&](bool ok) {
                  if (!ok) {
                      EXPECT_TRUE(all_zero(&t, sizeof(t)));
                      return;
                  }
                  EXPECT_EQ(t.sel, 1);
                  EXPECT_EQ(t.param[0], 0x41);
                  EXPECT_EQ(t.param7[8], 0x4F);
              }});

    VCOM_CFG_INFO v;
    exercise({"VELKGetVCOMConfig", 'M',
              [&] {
                  std::memset(&v, 0xA5, sizeof(v));
                  return VELKGetVCOMConfig(kPort, &v);
              },
              [&](bool ok) {
                  if (!ok) {
                      EXPECT_EQ(v.vcom_mode, 0xA5A5A5A5u) << "left as it was";
                      return;
                  }
                  EXPECT_EQ(v.vcom_mode, 2u);
                  EXPECT_EQ(v.vcom_order, 1u);
                  EXPECT_EQ(v.com_index, kPort);
              }});
}

TEST_F(Replies, BitRateModeAndErrorSettingsFailCleanlyAndRecover)
{
    auto no_outputs = [](bool) {};
    exercise({"VELKSetBaudRate", '0', [] { return VELKSetBaudRate(kPort, 5, 9); },
              [&](bool ok) {
                  if (ok) {
                      EXPECT_EQ(sim().state().baud[1], 9);
                  }
              }});
    // The version query inside it failing: taken as generation 0, and the
    // low codes are refused without a frame.
    sim().set_fault('5', once(Fault::WrongEcho));
    sim().clear_host_frames();
    EXPECT_EQ(VELKSetBaudRate(kPort, 2, 9), 1);
    EXPECT_TRUE(sim().host_frames('0').empty());
    EXPECT_EQ(VELKSetBaudRate(kPort, 2, 9), 0);
    sim().clear_faults();

    exercise({"VELKSetMode", '3', [] { return VELKSetMode(kPort, VELK_LISTEN, VELK_LISTEN); }, no_outputs});
    exercise({"VELKSetErrorType", '8', [] { return VELKSetErrorType(kPort, VELK_EN_ALL); }, no_outputs});
    exercise({"VELKResetCAN", '4', [] { return VELKResetCAN(kPort); }, no_outputs});
}

TEST_F(Replies, StopFilterAndCanFdSettingsFailCleanlyAndRecover)
{
    auto no_outputs = [](bool) {};
    exercise({"VELKInitCAN", 'a', [] { return VELKInitCAN(kPort, VELK_INACTIVE, VELK_INACTIVE); }, no_outputs});
    FILTER_INFO flt = {VELK_CAN_2, VELK_EID, 0x1234, 0x1FFFFFFF};
    exercise({"VELKSetFilter", '2', [&] { return VELKSetFilter(kPort, &flt); },
              [&](bool ok) {
                  if (ok) {
                      EXPECT_EQ(sim().state().flt_id[1], 0x1234u);
                  }
              }});
    exercise({"VELKClearFilter", '1', [] { return VELKClearFilter(kPort, 0); }, no_outputs});
    CFG_CANFD fd = {4, 1, 5, 1};
    exercise({"VELKSetCFG_CANFD", 'J', [&] { return VELKSetCFG_CANFD(kPort, &fd); }, no_outputs});
    TIMING_CFG_CANFD t;
    std::memset(&t, 0, sizeof(t));
    t.sel = 2;
    t.param5 = 9;
    exercise({"VELKSet_TimingCFG_CANFD", 'K', [&] { return VELKSet_TimingCFG_CANFD(kPort, &t); }, no_outputs});
    exercise({"VELKSetVCOMConfig", 'N', [] { return VELKSetVCOMConfig(kPort, 1); }, no_outputs});
}

TEST_F(Replies, ExportCreatesNoFileWhenTheReplyGoesWrong)
{
    char path[] = "/tmp/velk-rel-export-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    exercise({"VELKExpCfg", '7',
              [&] {
                  unlink(path);
                  return VELKExpCfg(kPort, path);
              },
              [&](bool ok) { EXPECT_EQ(access(path, F_OK) == 0, ok); }});
    unlink(path);
}

}  // namespace
}  // namespace velk::test
