// The command-line tools end to end: the real programs as child processes
// against emulated adapters, two of them wired to one CAN bus (adapter A's
// CAN1 and adapter B's CAN2), so velk_send on A is seen by velk_dump on B.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <ostream>

#include "adapter.h"
#include "bus.h"
#include "tool_common.h"
#include "tools_support.h"
#include "trace.h"

namespace {

using velk::test::Child;
using velk::test::lines_of;
using velk::test::read_file;
using velk::test::read_trace;
using velk::test::us_of;
using velk::test::ScratchDir;
using velk::test::write_file;
using velk::trace::Format;
using velk::trace::Frame;

constexpr int kToolMs = 30000;

std::string tool(const char *name)
{
    return std::string(VELK_TOOLS_DIR) + "/" + name;
}

// Identifier, flags and data of `text`, as received on `channel`.
Frame expected(const char *text, int channel)
{
    Frame f;
    std::string why;
    EXPECT_TRUE(velk::trace::parse_frame_text(text, &f, &why)) << why;
    f.channel = channel;
    return f;
}

// Everything but time and its source.
void expect_frames(const std::vector<Frame> &got, const std::vector<Frame> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        Frame g = got[i];
        g.sec = want[i].sec;
        g.usec = want[i].usec;
        g.source = want[i].source;
        g.has_adapter_time = want[i].has_adapter_time;
        g.adapter_sec = want[i].adapter_sec;
        g.adapter_usec = want[i].adapter_usec;
        EXPECT_TRUE(g == want[i]) << "frame " << i << ": " << velk::trace::frame_text(got[i], true);
    }
}

class Tools : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(a.start());
        ASSERT_TRUE(b.start());
        bus.wire(a, 0, b, 1);
    }

    // Waits until the host of `s` has started channel `ch`; clear the
    // adapter's record before starting the program that should do it.
    static bool started(velk::sim::Adapter &s, int ch, int timeout_ms = kToolMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (size_t seen = 0;;) {
            const auto frames = s.host_frames();
            for (; seen < frames.size(); ++seen)
                if (frames[seen][0] == 'a' && frames[seen][1 + ch] == 1)
                    return true;
            const int left = velk::test::ms_left(deadline);
            if (left == 0 || !s.wait_host_frames(seen + 1, left))
                return false;
        }
    }

    // Starts velk_dump on B with `args` (and a channel argument such as "CAN2,100:700") and waits until
    // it listens on CAN2.
    void start_dump(Child *dump, std::vector<std::string> args, const std::string &channel = "")
    {
        b.clear_host_frames();
        args.insert(args.begin(), tool("velk_dump"));
        args.push_back(b.slave_path());
        if (!channel.empty())
            args.push_back(channel);
        ASSERT_TRUE(dump->start(args));
        ASSERT_TRUE(started(b, 1)) << dump->err();
    }

    void send(std::vector<std::string> frames, std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {tool("velk_send")};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(a.slave_path());
        args.push_back("CAN1");
        args.insert(args.end(), frames.begin(), frames.end());
        Child c;
        ASSERT_TRUE(velk::test::run(&c, args, kToolMs));
        ASSERT_EQ(c.status(), 0) << c.err();
    }

    velk::sim::Adapter a, b;
    velk::sim::Bus bus;
    ScratchDir dir;
};

// The scenario of docs/tools.md with every program real, velk_sim included.
TEST(ToolsEndToEnd, SendOnCan1IsRecordedOnCan2AndReplayReproducesIt)
{
    ScratchDir dir;
    Child sim;
    ASSERT_TRUE(sim.start({VELK_SIM, "-A", "2", "--bus", "0.CAN1=1.CAN2", "-v"}));
    ASSERT_TRUE(sim.wait_output("\n", 5000, 2));
    const auto paths = lines_of(sim.out());
    const std::string start_can2 = "port 1 < 61 01 01";
    std::string fd16 = "1ABCDEF0##3";
    for (int i = 0; i < 16; ++i)
        fd16 += "A5";
    const std::vector<std::string> texts = {"123#DEADBEEF", "1ABCDEF0#R3", fd16, "7FF#"};

    Child dump;
    ASSERT_TRUE(dump.start({tool("velk_dump"), "-n", "4", "-f", dir.path("rec.log"), paths[1]}));
    ASSERT_TRUE(sim.wait_output(start_can2, kToolMs)) << dump.err();
    Child send;
    std::vector<std::string> args = {tool("velk_send"), "-i", "150000", paths[0], "CAN1"};
    args.insert(args.end(), texts.begin(), texts.end());
    ASSERT_TRUE(velk::test::run(&send, args));
    EXPECT_EQ(send.status(), 0) << send.err();
    ASSERT_TRUE(dump.wait(kToolMs));
    EXPECT_EQ(dump.status(), 0) << dump.err();
    EXPECT_NE(dump.err().find("CAN1 0 frames, CAN2 4 frames"), std::string::npos) << dump.err();
    const auto rec = read_trace(dir.path("rec.log"), Format::CandumpLog);
    std::vector<Frame> want;
    for (const std::string &t : texts)
        want.push_back(expected(t.c_str(), 1));
    expect_frames(rec, want);

    Child dump2, replay;
    ASSERT_TRUE(dump2.start({tool("velk_dump"), "-n", "4", "-f", dir.path("again.log"), paths[1]}));
    ASSERT_TRUE(sim.wait_output(start_can2, kToolMs, 2)) << dump2.err();
    ASSERT_TRUE(velk::test::run(&replay, {tool("velk_replay"), paths[0], dir.path("rec.log"), "CAN1=can1"}));
    EXPECT_EQ(replay.status(), 0) << replay.err();
    ASSERT_TRUE(dump2.wait(kToolMs));
    const auto again = read_trace(dir.path("again.log"), Format::CandumpLog);
    expect_frames(again, want);
    // The replay keeps the recorded gaps (never shorter; allowing for when
    // the emulator read each frame).
    for (size_t i = 1; i < again.size() && i < rec.size(); ++i)
        EXPECT_GT(us_of(again[i]) - us_of(again[i - 1]), us_of(rec[i]) - us_of(rec[i - 1]) - 50000) << i;
    sim.signal(SIGTERM);
    EXPECT_TRUE(sim.wait(kToolMs));
}

TEST_F(Tools, DumpSetsTheChannelsAndShowsOnlyWhatItsFiltersPass)
{
    struct Case {
        const char *channel_spec;
        std::vector<std::string> shown;
    };
    const Case cases[] = {{"CAN2,100:700", {"100", "1FF", "180"}}, {"CAN2,100~700", {"0FF", "200"}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.channel_spec);
        Child dump;
        start_dump(&dump,
                   {"--listen-only", "-b", "250k", "-d", "4M", "-a", "-p", "-n", std::to_string(c.shown.size()),
                    "-f", dir.path("f.asc")},
                   c.channel_spec);
        const velk::sim::State s = b.state();
        EXPECT_EQ(s.mode[0] + s.mode[1], 2);
        EXPECT_EQ(s.baud[0] + s.baud[1], 12);  // code 6 = 250k on both
        EXPECT_EQ(s.datarate[0] + s.datarate[1], 8);
        EXPECT_EQ(s.fdf_en[0] + s.fdf_en[1], 2);
        EXPECT_EQ(s.active[0], 0);  // only the channel asked for is started
        send({"0FF#30", "100#41", "200#42", "1FF#4243", "180#7F"});
        ASSERT_TRUE(dump.wait(kToolMs));
        EXPECT_EQ(dump.status(), 0) << dump.err();
        const auto out = lines_of(dump.out());
        ASSERT_EQ(out.size(), c.shown.size()) << dump.out();
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_NE(out[i].find("can1        " + c.shown[i] + "  ["), std::string::npos) << out[i];
        if (c.shown[0] == "100") {
            EXPECT_NE(out[1].find("[ 2]  42 43   'BC'"), std::string::npos) << out[1];
        }
        const auto asc = lines_of(read_file(dir.path("f.asc")));
        ASSERT_FALSE(asc.empty());
        EXPECT_EQ(asc.back(), "End TriggerBlock");
        EXPECT_EQ(read_trace(dir.path("f.asc"), Format::Asc).size(), c.shown.size());
    }
}

TEST_F(Tools, SigtermLeavesACompleteFileWithTimeSourcesAndASummary)
{
    Child dump;
    start_dump(&dump, {"-p", "-e", "-f", dir.path("x.csv")});
    EXPECT_EQ(b.host_frames('8').size(), 1u);  // error reports switched on
    send({"123#11", "1ABCDEF0#2233"});
    b.inject(velk::sim::report_e1(1, false, false, 1, 0x456, {0x44}));
    b.inject(velk::sim::report_status(velk::sim::Report::BusError, {0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(dump.wait_output("\n", kToolMs, 4)) << dump.out();
    dump.signal(SIGTERM);
    ASSERT_TRUE(dump.wait(kToolMs));
    EXPECT_EQ(dump.status(), 0);
    EXPECT_NE(dump.err().find("bus error report, CAN1 00 00 00 00 00 00, CAN2 01 02 03 04 05 06"), std::string::npos)
        << dump.err();
    EXPECT_NE(dump.err().find("CAN1 0 frames, CAN2 3 frames, 1 status reports"), std::string::npos) << dump.err();
    EXPECT_NE(dump.err().find("skipped bytes 0; lost 0"), std::string::npos) << dump.err();

    const auto got = read_trace(dir.path("x.csv"), Format::Csv);
    ASSERT_EQ(got.size(), 4u);
    Frame err;
    err.error = true;
    err.channel = 1;
    expect_frames(got, {expected("123#11", 1), expected("1ABCDEF0#2233", 1), expected("456#44", 1), err});
    // Adapter times map to wall-clock time; the report without a timestamp
    // carries the host's receive time, in order with them.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(got[i].source, velk::trace::TimeSource::Adapter);
        EXPECT_TRUE(got[i].has_adapter_time);
    }
    for (size_t i = 1; i < got.size(); ++i)
        EXPECT_GE(us_of(got[i]), us_of(got[i - 1])) << i;
    EXPECT_EQ(got[2].source, velk::trace::TimeSource::Host);
    EXPECT_FALSE(got[2].has_adapter_time);
    EXPECT_LT(std::llabs(got[0].sec - static_cast<long long>(time(nullptr))), 60);
}

// A dump written in compressed pieces and killed with SIGKILL: once the
// frames are flushed (within a second), every piece reads, and together the
// pieces hold every frame, once, in order.
TEST_F(Tools, ADumpInPiecesKilledWithSigkillKeepsEveryFlushedFrame)
{
    Child dump;
    start_dump(&dump, {"-f", dir.path("run.log.zst"), "--split-size", "1k"});
    constexpr int kFrames = 400;
    for (int i = 0; i < kFrames; ++i) {
        velk::sim::Bytes data;
        for (int k = 0; k < 8; ++k)
            data.push_back(static_cast<uint8_t>((i * 131 + k * 29) ^ (i >> 3)));
        b.inject(velk::sim::report_e1(1, false, false, 8, static_cast<uint32_t>(i), data));
    }
    auto pieces = [&](int *count) {
        std::vector<Frame> all;
        *count = 0;
        for (int k = 1;; ++k) {
            const std::string piece = velk::trace::piece_path(dir.path("run.log.zst"), k);
            if (access(piece.c_str(), F_OK) != 0)
                break;
            ++*count;
            std::string err;
            const auto got = read_trace(piece, Format::CandumpLog, &err);
            EXPECT_EQ(err, "") << piece;
            all.insert(all.end(), got.begin(), got.end());
        }
        return all;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kToolMs);
    int count = 0;
    while (pieces(&count).size() < static_cast<size_t>(kFrames)) {
        ASSERT_GT(velk::test::ms_left(deadline), 0) << "the frames never reached the pieces: " << dump.err();
        ASSERT_FALSE(dump.wait(50)) << "the dump ended: " << dump.err();  // between looks, it must go on
    }
    dump.signal(SIGKILL);
    ASSERT_TRUE(dump.wait(kToolMs));
    const auto all = pieces(&count);
    EXPECT_GE(count, 4);
    ASSERT_EQ(all.size(), static_cast<size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i)
        EXPECT_EQ(all[static_cast<size_t>(i)].id, static_cast<uint32_t>(i)) << "frame " << i;
}

TEST_F(Tools, DumpToAFullDiskEndsWithStatusTwoAndCountsTheLostFrames)
{
    ASSERT_EQ(symlink("/dev/full", dir.path("full.log").c_str()), 0);
    Child dump;
    start_dump(&dump, {"-f", dir.path("full.log")});
    send({"123#00", "123#01", "123#02"});
    // The periodic flush finds the disk full; the program ends by itself.
    ASSERT_TRUE(dump.wait(kToolMs));
    EXPECT_EQ(dump.status(), 2);
    EXPECT_NE(dump.err().find("No space left on device"), std::string::npos) << dump.err();
    EXPECT_EQ(dump.err().find("lost 0"), std::string::npos) << dump.err();
}

TEST_F(Tools, BadInputEndsWithStatusTwoAndSaysWhy)
{
    velk::sim::Adapter silent;
    ASSERT_TRUE(silent.start());
    silent.set_answering(false);
    ASSERT_TRUE(write_file(dir.path("notrace.log"), "hello\n"));
    ASSERT_TRUE(write_file(dir.path("bin.log"), "\x89LOGG\x01\x02\xfe\xff\n(1.000000) can0 123#00\n"));
    ASSERT_TRUE(write_file(dir.path("fd.log"), "(1.000000) can0 123#00\n(2.000000) can0 123##1AABB\n"));
    ASSERT_TRUE(write_file(dir.path("bad.log"), "(1.000000) can0 123#00\n(2.000000) can0 123#01\n(3.0) can0 123#0\n"));
    const std::string pa = a.slave_path();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{tool("velk_send"), "--bogus"}, "Usage"},
        {{tool("velk_send"), pa, "CAN1", "12#00"}, "3 (11-bit) or 8 (29-bit) hex digits"},
        {{tool("velk_send"), pa, "CAN1", "800#00"}, "out of range"},
        {{tool("velk_send"), pa, "CAN1", "123#001122334455667788"}, "more than 8 data bytes"},
        {{tool("velk_send"), pa, "CAN1", "123##1" + std::string(130, '0')}, "more than 64 data bytes"},
        {{tool("velk_send"), "-c", pa, "CAN1", "123##1AABB"}, "a CAN FD frame cannot be sent with CAN FD off (-c)"},
        {{tool("velk_send"), pa, "can2", "123#00"}, "unknown channel"},
        {{tool("velk_send"), "-N", "a,CAN1", pa, "CAN1", "123#00"}, "bad interface names"},
        {{tool("velk_dump"), "-t", "x", pa}, "bad time form"},
        {{tool("velk_send"), pa, "CAN3", "123#00"}, "unknown channel"},
        {{tool("velk_send"), "/nonexistent/tty", "CAN1", "123#00"}, "no device /nonexistent/tty"},
        {{tool("velk_send"), silent.slave_path(), "CAN1", "123#00"}, "no adapter answers at"},
        {{tool("velk_dump"), "-f", dir.path("x.txt"), pa}, "unknown trace format"},
        {{tool("velk_dump"), "-n", "abc", pa}, "bad count"},
        {{tool("velk_dump"), pa, "CAN2,12G:7FF"}, "bad filter"},
        {{tool("velk_replay"), pa, dir.path("notrace.log")}, "notrace.log holds no frame to send"},
        {{tool("velk_replay"), pa, dir.path("bin.log")}, "bin.log:1: binary data, not a trace"},
        {{tool("velk_replay"), "-c", pa, dir.path("fd.log")}, "holds CAN FD frames, and -c turns CAN FD off"},
        {{tool("velk_replay"), "-l", "2", pa, "-"}, "standard input plays once"},
        {{tool("velk_replay"), pa, dir.path("bad.log")}, "bad.log:3: malformed frame"},
        {{tool("velk_list"), "99999"}, "outside 0.."},
        {{tool("velk_bridge")}, "no PORT given"},
        {{tool("velk_bridge"), pa, pa}, "one PORT only"},
        {{tool("velk_bridge"), "-N", "can0,a_name_of_16chars", pa}, "bad interface names"},
        {{tool("velk_bridge"), "-b", "7k", pa}, "bad nominal bit rate"},
        {{tool("velk_isotp"), "talk", pa, "CAN1"}, "unknown command"},
        {{tool("velk_isotp"), "send", "-s", "7E0", "-r", "7E8", pa, "CAN1", " "}, "an empty message cannot be sent"},
        {{tool("velk_isotp"), "send", pa, "CAN1", "01"}, "send needs -s and -r"},
        {{tool("velk_isotp"), "recv", "-s", "7E8", "-r", "7E0", "-m", "1000us", pa, "CAN2"}, "bad STmin"},
        {{tool("velk_isotp"), "send", "-s", "7E0", "-r", "800", pa, "CAN1", "01"}, "bad identifier"},
        {{tool("velk_isotp"), "send", "-s", "7E0", "-r", "7E8", pa, "CAN1", "2G"}, "bad message (hex bytes)"},
        {{tool("velk_isotp"), "send", "-s", "7E0", "-r", "7E8", "-l", "13", pa, "CAN1", "01"}, "bad CAN FD frame length"},
        {{tool("velk_isotp"), "dump", "-f", dir.path("x.txt")}, "unknown trace format"},
    };
    for (const auto &[args, fragment] : cases) {
        Child c;
        ASSERT_TRUE(velk::test::run(&c, args, kToolMs)) << args[1];
        EXPECT_EQ(c.status(), 2) << args[0] << " " << args[1];
        EXPECT_NE(c.err().find(fragment), std::string::npos) << args[1] << ": " << c.err();
    }
    // Nothing reached the adapter from any of them.
    EXPECT_TRUE(a.host_frames(0xE0).empty());
}

TEST_F(Tools, SendReportsRefusedFramesWhenTheAdapterGoes)
{
    Child sender;
    ASSERT_TRUE(sender.start({tool("velk_send"), "-n", "0", "-i", "2000", a.slave_path(), "CAN1", "123#00"}));
    for (size_t n = 0; a.host_frames(0xE0).size() < 3; n = a.host_frames().size())
        ASSERT_TRUE(a.wait_host_frames(n + 1, kToolMs)) << sender.err();
    a.unplug();
    ASSERT_TRUE(sender.wait(kToolMs));
    EXPECT_EQ(sender.status(), 1);
    EXPECT_NE(sender.err().find("has gone"), std::string::npos) << sender.err();
    EXPECT_NE(sender.err().find("frames refused"), std::string::npos) << sender.err();
}

TEST_F(Tools, ReplayKeepsTheFileTimingScaledAndLoops)
{
    ASSERT_TRUE(write_file(dir.path("r.log"), "(10.000000) can0 101#01\n(10.200000) can0 102#02\n"
                                              "(10.300000) can5 7FF#\n(10.400000) can0 103#03\n"));
    Child dump, replay;
    start_dump(&dump, {"-n", "6", "-f", dir.path("out.csv")});
    ASSERT_TRUE(velk::test::run(&replay, {tool("velk_replay"), "-x", "2", "-l", "2", a.slave_path(),
                                          dir.path("r.log"), "CAN1=can0"}));
    EXPECT_EQ(replay.status(), 0) << replay.err();
    EXPECT_NE(replay.err().find("1 error frames or frames on unmapped channels skipped"), std::string::npos);
    EXPECT_NE(replay.err().find("unmapped channels: 'can5'"), std::string::npos) << replay.err();
    ASSERT_TRUE(dump.wait(kToolMs));
    const auto got = read_trace(dir.path("out.csv"), Format::Csv);
    ASSERT_EQ(got.size(), 6u);
    // At twice the speed the frames of a pass are 100 ms apart, and the
    // second pass follows the first: 401 ms from first to last. The times
    // are B's own clock; allow for when the emulator read each frame.
    auto adapter_us = [&](size_t i) { return got[i].adapter_sec * 1000000LL + got[i].adapter_usec; };
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(got[i].id, 0x101u + i % 3) << i;
    EXPECT_GT(adapter_us(1) - adapter_us(0), 50000);
    EXPECT_GT(adapter_us(5) - adapter_us(0), 401000 - 50000);
}

TEST_F(Tools, ListShowsTheAdapterAtAPathWithItsVersions)
{
    unsetenv("VELK_DEBUG");
    Child list;
    ASSERT_TRUE(velk::test::run(&list, {tool("velk_list"), a.slave_path()}));
    EXPECT_EQ(list.status(), 0) << list.err();
    const auto out = lines_of(list.out());
    ASSERT_EQ(out.size(), 2u) << list.out();
    EXPECT_NE(out[1].find(a.slave_path()), std::string::npos);
    EXPECT_NE(out[1].find("03.02     3.1.0     5102"), std::string::npos) << out[1];
    EXPECT_EQ(list.err(), "") << "the library says nothing unless asked";

    // VELK_DEBUG=1: the library explains each failed exchange in one line.
    a.set_fault('6', velk::sim::Fault{velk::sim::Fault::BadStatus});
    setenv("VELK_DEBUG", "1", 1);
    Child debug;
    ASSERT_TRUE(velk::test::run(&debug, {tool("velk_list"), a.slave_path()}));
    unsetenv("VELK_DEBUG");
    ASSERT_EQ(lines_of(debug.out()).size(), 2u) << debug.out();
    const std::string index = lines_of(debug.out())[1].substr(0, 5);
    const std::string why = "velk: VELKShowVer port " + index.substr(index.find_first_not_of(' ')) +
                            ": status byte 1; sent 36 36 0D 0A; got 36 01 51 02 89 0D 0A";
    const auto err = lines_of(debug.err());
    EXPECT_NE(std::find(err.begin(), err.end(), why), err.end()) << debug.err();
    a.clear_faults();

    a.set_answering(false);
    Child none;
    ASSERT_TRUE(velk::test::run(&none, {tool("velk_list"), a.slave_path()}));
    EXPECT_EQ(none.status(), 1);
}

TEST_F(Tools, EveryToolShowsUsageWithExamplesAndDumpStopsAfterItsTime)
{
    for (const char *t : {"velk_dump", "velk_send", "velk_replay", "velk_list", "velk_convert", "velk_bridge",
                          "velk_isotp"}) {
        Child help;
        ASSERT_TRUE(velk::test::run(&help, {tool(t), "-h"}));
        EXPECT_EQ(help.status(), 0) << t;
        EXPECT_NE(help.out().find("Examples:"), std::string::npos) << t;
    }
    Child dump;
    start_dump(&dump, {"-T", "0.3"});
    ASSERT_TRUE(dump.wait(kToolMs));
    EXPECT_EQ(dump.status(), 0);
    EXPECT_NE(dump.err().find("CAN1 0 frames, CAN2 0 frames"), std::string::npos) << dump.err();
}

// Where the kernel has no SocketCAN (this project's machines), the bridge
// says so before it starts the adapter's channels; the SocketCAN lab
// (label "lab") runs it on a kernel that has it.
TEST_F(Tools, BridgeOnAKernelWithoutCanSaysSoAndStopsTheChannels)
{
    if (access("/proc/net/can", F_OK) == 0)
        GTEST_SKIP() << "this kernel has SocketCAN: the lab checks the bridge";
    Child bridge;
    ASSERT_TRUE(velk::test::run(&bridge, {tool("velk_bridge"), "-N", "velktest0,velktest1", a.slave_path()}, kToolMs));
    EXPECT_EQ(bridge.status(), 1) << bridge.err();
    EXPECT_NE(bridge.err().find("velktest0 cannot be made"), std::string::npos) << bridge.err();
    const velk::sim::State st = a.state();
    EXPECT_EQ(st.active[0], 0);
    EXPECT_EQ(st.active[1], 0);
}

TEST_F(Tools, SendListRunsItsEntriesAndSummarisesThem)
{
    Child dump;
    start_dump(&dump, {"-n", "8", "-f", dir.path("rec.log")});
    ASSERT_TRUE(write_file(dir.path("a.list"), "# two entries that end by themselves\n"
                                               "CAN1 123#11 10ms count=5 counter=0\n"
                                               "CAN1 1ABCDEF0#R2 20ms count=3 # remote\n"
                                               "CAN2 321#00 10ms count=2\n"));
    Child send;
    ASSERT_TRUE(velk::test::run(&send, {tool("velk_send"), "--list", dir.path("a.list"), "-T", "30", a.slave_path()}));
    EXPECT_EQ(send.status(), 0) << send.err();
    const auto summary = lines_of(send.out());
    ASSERT_EQ(summary.size(), 3u) << send.out();
    EXPECT_EQ(summary[0].rfind("1 CAN1 123#11 10ms count=5 counter=0: sent 5, late ", 0), 0u) << summary[0];
    EXPECT_NE(summary[0].find(", refused 0"), std::string::npos) << summary[0];
    EXPECT_EQ(summary[1].rfind("2 CAN1 1ABCDEF0#R2 20ms count=3: sent 3, ", 0), 0u) << summary[1];
    EXPECT_EQ(summary[2].rfind("3 CAN2 321#00 10ms count=2: sent 2, ", 0), 0u) << summary[2];
    ASSERT_TRUE(dump.wait(kToolMs));
    std::vector<Frame> rec = read_trace(dir.path("rec.log"), Format::CandumpLog);
    // Both entries' frames, each entry's in its order; the counter steps in byte 0.
    std::vector<Frame> counted, remote;
    for (const Frame &f : rec)
        (f.id == 0x123 ? counted : remote).push_back(f);
    expect_frames(counted, {expected("123#11", 1), expected("123#12", 1), expected("123#13", 1),
                            expected("123#14", 1), expected("123#15", 1)});
    expect_frames(remote, {expected("1ABCDEF0#R2", 1), expected("1ABCDEF0#R2", 1), expected("1ABCDEF0#R2", 1)});
}

TEST_F(Tools, SendListStopsOnCtrlCAndRefusesBadOrOverfullLists)
{
    ASSERT_TRUE(write_file(dir.path("run.list"), "CAN1 123#00 5ms\n"));
    Child send;
    ASSERT_TRUE(send.start({tool("velk_send"), "-L", dir.path("run.list"), a.slave_path()}));
    for (size_t n = 0; a.host_frames(0xE0).size() < 3; n = a.host_frames().size())
        ASSERT_TRUE(a.wait_host_frames(n + 1, kToolMs)) << send.err();
    send.signal(SIGINT);
    ASSERT_TRUE(send.wait(kToolMs));
    EXPECT_EQ(send.status(), 0) << send.err();
    EXPECT_EQ(send.out().rfind("1 CAN1 123#00 5ms: sent ", 0), 0u) << send.out();
    // Every frame counted as sent reached the adapter.
    const size_t sent = std::stoul(send.out().substr(send.out().find("sent ") + 5));
    for (size_t n = a.host_frames().size(); a.host_frames(0xE0).size() < sent; n = a.host_frames().size())
        ASSERT_TRUE(a.wait_host_frames(n + 1, kToolMs));
    EXPECT_EQ(a.host_frames(0xE0).size(), sent);

    ASSERT_TRUE(write_file(dir.path("bad.list"), "CAN1 123#00 10ms\nCAN1 123#00 10 ms\n"));
    Child bad;
    ASSERT_TRUE(velk::test::run(&bad, {tool("velk_send"), "--list", dir.path("bad.list"), a.slave_path()}));
    EXPECT_EQ(bad.status(), 2);
    EXPECT_NE(bad.err().find(dir.path("bad.list") + ":2: bad cycle '10'"), std::string::npos) << bad.err();

    // A list with nothing enabled (or nothing at all) says so and fails.
    ASSERT_TRUE(write_file(dir.path("off.list"), "CAN1 123#00 10ms enabled=no\nCAN2 124#00 10ms enabled=no\n"));
    ASSERT_TRUE(write_file(dir.path("empty.list"), "# nothing\n"));
    for (const char *name : {"off.list", "empty.list"}) {
        Child off;
        ASSERT_TRUE(velk::test::run(&off, {tool("velk_send"), "--list", dir.path(name), "-T", "1", a.slave_path()}));
        EXPECT_EQ(off.status(), 1) << name;
        EXPECT_NE(off.err().find(dir.path(name) + ": no entry is enabled ("), std::string::npos) << off.err();
        EXPECT_NE(off.err().find("nothing to send"), std::string::npos) << off.err();
        EXPECT_EQ(off.out(), "") << name;
    }
    EXPECT_EQ(a.host_frames(0xE0).size(), sent) << "nothing was sent";

    std::string full;
    for (int i = 0; i < 12; ++i)
        full += "CAN2 " + std::to_string(100 + i) + "#00 1ms\n";
    ASSERT_TRUE(write_file(dir.path("full.list"), full));
    Child over;
    ASSERT_TRUE(velk::test::run(&over, {tool("velk_send"), "--list", dir.path("full.list"), a.slave_path()}));
    EXPECT_EQ(over.status(), 2);
    EXPECT_NE(over.err().find("the list offers more frames than the pacing allows: CAN2: 12000 frames/s offered"),
              std::string::npos)
        << over.err();
}

// Every stop signal only asks: however many come, the file ends with a
// whole line and the summary is printed.
TEST_F(Tools, RepeatedStopSignalsLeaveACompleteFileAndTheSummary)
{
    Child dump;
    start_dump(&dump, {"-p", "-f", dir.path("s.log")});
    b.stream(100000000, 5000, 3);
    ASSERT_TRUE(dump.wait_output("\n", kToolMs, 200)) << dump.err();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGINT, SIGINT, SIGTERM})
        dump.signal(sig);
    ASSERT_TRUE(dump.wait(kToolMs));
    EXPECT_EQ(dump.status(), 0) << dump.err();
    EXPECT_NE(dump.err().find("status reports"), std::string::npos) << dump.err();
    const std::string text = read_file(dir.path("s.log"));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::string error;
    EXPECT_GE(read_trace(dir.path("s.log"), Format::CandumpLog, &error).size(), 200u);
    EXPECT_EQ(error, "");
}

// One channel name, one channel, in every tool.
TEST(ToolChannels, EveryNameMeansOneChannel)
{
    using velk::tools::ChannelNames;
    ChannelNames named;
    ASSERT_TRUE(velk::tools::parse_names("left,right", &named));
    const struct {
        const char *text;
        bool custom;
        int channel;  // -1: no channel
    } cases[] = {
        {"CAN1", false, 0}, {"1", false, 0},     {"can0", false, 0},  {"CAN2", false, 1},   {"2", false, 1},
        {"can1", false, 1}, {"can2", false, -1}, {"Can1", false, -1}, {"CAN3", false, -1},  {"", false, -1},
        {"left", true, 0},  {"right", true, 1},  {"CAN1", true, 0},   {"2", true, 1},       {"can0", true, -1},
        {"can1", true, -1},
    };
    for (const auto &c : cases) {
        int ch = -1;
        const bool ok = velk::tools::parse_channel(c.text, c.custom ? named : ChannelNames{}, &ch);
        EXPECT_EQ(ok ? ch : -1, c.channel) << c.text << (c.custom ? " with -N left,right" : "");
    }
    ChannelNames n;
    for (const char *bad : {"a", "a,", ",b", "a,a", "CAN2,b", "a,1", "a b,c", "a,b,c"})
        EXPECT_FALSE(velk::tools::parse_names(bad, &n)) << bad;
    EXPECT_TRUE(velk::tools::parse_names("CAN1,CAN2", &n));
}

// velk_convert: a trace of every kind of frame through every format and
// back comes out as it went in, except for what a format does not keep.
TEST(VelkConvert, EveryFormatConvertsToEveryOtherAndBack)
{
    ScratchDir dir;
    const std::string log =
        "(1700000000.000100) can0 123#DEADBEEF\n"
        "(1700000000.000250) can1 1ABCDEF0#0011223344556677 T\n"
        "(1700000000.001000) can0 7FF#R\n"
        "(1700000000.002000) can1 456##3001122334455667788990011\n"
        "(1700000000.002500) can0 00000042##000\n"
        "(1700000001.000000) can1 20000080#0000000000000000\n"
        "(1700000002.500001) can0 001#\n";
    ASSERT_TRUE(write_file(dir.path("in.log"), log));
    const std::vector<Frame> want = read_trace(dir.path("in.log"), Format::CandumpLog);
    ASSERT_EQ(want.size(), 7u);
    for (const char *ext : {"log", "asc", "csv"}) {
        const std::string there = dir.path(std::string("out.") + ext), back = dir.path(std::string("back-") + ext + ".log");
        Child c;
        ASSERT_TRUE(velk::test::run(&c, {tool("velk_convert"), dir.path("in.log"), there}));
        ASSERT_EQ(c.status(), 0) << ext << ": " << c.err();
        EXPECT_EQ(c.err(), "velk_convert: 7 frames written to " + there + ", 0 left out\n");
        ASSERT_TRUE(velk::test::run(&c, {tool("velk_convert"), there, back}));
        ASSERT_EQ(c.status(), 0) << ext << ": " << c.err();
        const std::vector<Frame> got = read_trace(back, Format::CandumpLog);
        ASSERT_EQ(got.size(), want.size()) << ext;
        for (size_t i = 0; i < want.size(); ++i) {
            Frame g = got[i];
            g.source = want[i].source;
            EXPECT_TRUE(g == want[i]) << ext << " frame " << i << ": " << velk::trace::log_line(got[i], "can0", true);
        }
    }
}

// Several inputs merge by time; the window, the channel filters and maps
// leave out what they should and say what they left; bad usage and input
// end with status 2, the frames before the damage written.
TEST(VelkConvert, MergesByTimeWithinAWindowFiltersAndMaps)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.path("a.log"), "(1700000000.000100) can0 123#01\n(1700000000.000300) can1 124#02\n"
                                              "(1700000001.500000) can0 7FF#R\n(1700000003.000000) can5 555#05\n"));
    ASSERT_TRUE(write_file(dir.path("b.log"), "(1700000000.000200) can1 18FEF100#03\n(1700000002.000000) can0 100#04\n"));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;  // the candump log written to standard output
        std::string err;  // the last line of standard error
    };
    const Case cases[] = {
        {{"a.log", "b.log", "-"},
         0,
         "(1700000000.000100) can0 123#01\n(1700000000.000200) can1 18FEF100#03\n(1700000000.000300) can1 124#02\n"
         "(1700000001.500000) can0 7FF#R\n(1700000002.000000) can0 100#04\n",
         "velk_convert: 5 frames written to standard output, 1 left out"},
        {{"--from", "0.0001", "--to", "1.5", "a.log", "b.log", "-"},
         0,
         "(1700000000.000200) can1 18FEF100#03\n(1700000000.000300) can1 124#02\n(1700000001.500000) can0 7FF#R\n",
         "velk_convert: 3 frames written to standard output, 3 left out"},
        {{"--from", "2023-11-14T22:13:21Z", "--to", "2023-11-14T23:13:22+01:00", "a.log", "b.log", "-"},
         0,
         "(1700000001.500000) can0 7FF#R\n(1700000002.000000) can0 100#04\n",
         "velk_convert: 2 frames written to standard output, 4 left out"},
        {{"-F", "CAN2,18FEF100:1FFFFF00", "a.log", "b.log", "-"},
         0,
         "(1700000000.000200) can1 18FEF100#03\n",
         "velk_convert: 1 frame written to standard output, 5 left out"},
        {{"-m", "CAN2=can5", "-m", "CAN1=can1", "a.log", "-"},
         0,
         "(1700000000.000300) can0 124#02\n(1700000003.000000) can1 555#05\n",
         "velk_convert: 2 frames written to standard output, 2 left out"},
        {{"-N", "x,y", "-F", "y", "a.log", "-"}, 0, "", "velk_convert: 0 frames written to standard output, 4 left out"},
        {{"a.log", "a.log"}, 2, "", "velk_convert: OUT is one of the inputs 'a.log' (try -h)"},
        {{"a.log", "out.txt"}, 2, "", "velk_convert: unknown trace format of OUT (see -h for the extensions) 'out.txt' (try -h)"},
        {{"--from", "yesterday", "a.log", "-"}, 2, "", "velk_convert: bad time (seconds, or 2024-03-01T14:05:00) 'yesterday' (try -h)"},
        {{"-F", "CAN3", "a.log", "-"}, 2, "", "velk_convert: unknown channel 'CAN3' (try -h)"},
        {{"-z", "10", "a.log", "-"}, 2, "", "velk_convert: bad compression level (0 to 9) '10' (try -h)"},
        {{"a.log"}, 2, "", "velk_convert: give IN and OUT (try -h)"},
        {{"none.log", "-"}, 2, "", "velk_convert: cannot open none.log: No such file or directory"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {tool("velk_convert")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        for (std::string &a : args)
            if (a.size() > 4 && a.find(".log") == a.size() - 4 && a.find('/') == std::string::npos)
                a = dir.path(a);
        Child conv;
        ASSERT_TRUE(velk::test::run(&conv, args));
        const std::string joined = c.args.front() + " ... " + c.args.back();
        EXPECT_EQ(conv.status(), c.status) << joined << ": " << conv.err();
        EXPECT_EQ(conv.out(), c.out) << joined;
        std::vector<std::string> err = lines_of(conv.err());
        ASSERT_FALSE(err.empty()) << joined;
        std::string last = err.back();
        const std::string prefix = dir.path("");
        for (size_t at; (at = last.find(prefix)) != std::string::npos;)
            last.erase(at, prefix.size());
        EXPECT_EQ(last, c.err) << joined;
    }
    // A channel no map names is said by name; a damaged input ends the
    // output after the frames before the damage.
    Child conv;
    ASSERT_TRUE(velk::test::run(&conv, {tool("velk_convert"), dir.path("a.log"), "-"}));
    EXPECT_NE(conv.err().find("frames on channels no map names left out: 'can5' (map one with -m, e.g. CAN1=can5)"),
              std::string::npos)
        << conv.err();
    ASSERT_TRUE(write_file(dir.path("bad.log"), "(1.000000) can0 123#00\n(2.000000) can0 12G#00\n"));
    Child damaged;
    ASSERT_TRUE(velk::test::run(&damaged, {tool("velk_convert"), dir.path("bad.log"), dir.path("out.csv")}));
    EXPECT_EQ(damaged.status(), 2);
    EXPECT_NE(damaged.err().find("bad.log:2: "), std::string::npos) << damaged.err();
    EXPECT_EQ(read_trace(dir.path("out.csv"), Format::Csv).size(), 1u);
}

// --repair: files left by a logger that died (a BLF cut inside a container,
// an MF4 still unfinalized with half a block after its last flush, a
// .log.zst without its end) become whole files of their format holding
// every frame before the cut, and say what they recovered.
TEST(VelkConvert, RepairMakesWholeFilesOfCutOnes)
{
    ScratchDir dir;
    std::vector<Frame> frames;
    for (int i = 0; i < 300; ++i) {
        char text[40];
        std::snprintf(text, sizeof text, "%03X#%02X%02X%02X", 0x100 + i % 50, i & 0xFF, i >> 8, i * 3 & 0xFF);
        frames.push_back(velk::test::frame_at(text, 1700000000000000 + i * 1000, i % 2, i % 3 == 0));
    }
    // Writes the frames with a flush every 100 and keeps the file as it is
    // then, the writer still open: what a killed logger leaves.
    auto left_by_logger = [&](const std::string &path, Format format) {
        velk::trace::Writer w;
        EXPECT_TRUE(w.open(path, format, {})) << w.error();
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_TRUE(w.write(frames[i]));
            if (i % 100 == 99) {
                EXPECT_TRUE(w.flush());
            }
        }
        std::string bytes = read_file(path);
        w.close();
        return bytes;
    };
    struct Case {
        const char *name;
        Format format;
        size_t cut;        // bytes taken off the end of the file left
        std::string tail;  // bytes added after it
        std::string said;  // in what --repair says
    };
    const Case cases[] = {
        {"cut.blf", Format::Blf, 0, "", "up to where the input ends: " + dir.path("cut.blf") + ": at byte "},
        {"unfinalized.mf4", Format::Mf4, 0, std::string("##DZ\0\0\0\0\x80", 9), " from " + dir.path("unfinalized.mf4") + " ("},
        {"cut.log.zst", Format::CandumpLog, 5, "", "cut.log.zst: the compressed stream ends early"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.path(c.name), out = dir.path(std::string("fixed-") + c.name);
        std::string bytes = left_by_logger(in, c.format);
        if (c.format == Format::Blf) {
            // A whole file cut inside its last container.
            bytes = read_file(in);
            bytes.resize(bytes.size() - 20);
        }
        bytes.resize(bytes.size() - c.cut);
        ASSERT_TRUE(write_file(in, bytes + c.tail));
        std::string err;
        const std::vector<Frame> before = read_trace(in, c.format, &err);
        ASSERT_GE(before.size(), 200u) << err;
        Child conv;
        ASSERT_TRUE(velk::test::run(&conv, {tool("velk_convert"), "--repair", in, out}));
        EXPECT_EQ(conv.status(), 0) << conv.err();
        EXPECT_NE(conv.err().find("velk_convert: recovered " + std::to_string(before.size()) + " frames"),
                  std::string::npos)
            << conv.err();
        EXPECT_NE(conv.err().find(c.said), std::string::npos) << conv.err();
        // The repaired file reads to its end without a word.
        const std::vector<Frame> after = read_trace(out, c.format);
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); ++i)
            EXPECT_EQ(us_of(after[i]), us_of(frames[i])) << i;
        if (c.format == Format::Mf4) {
            EXPECT_EQ(read_file(out).substr(0, 8), "MDF     ");
        }
    }
    // OUT in another format, or more than one IN, is a mistake.
    Child conv;
    ASSERT_TRUE(velk::test::run(&conv, {tool("velk_convert"), "--repair", dir.path("cut.blf"), dir.path("x.mf4")}));
    EXPECT_EQ(conv.status(), 2);
    EXPECT_NE(conv.err().find("--repair writes OUT in the format of IN"), std::string::npos) << conv.err();
    ASSERT_TRUE(velk::test::run(&conv, {tool("velk_convert"), "--repair", dir.path("cut.blf"), dir.path("cut.blf"),
                                        dir.path("x.blf")}));
    EXPECT_EQ(conv.status(), 2);
    EXPECT_NE(conv.err().find("--repair takes one IN and one OUT"), std::string::npos) << conv.err();
}

// A line copied from the dump (can1 = CAN2 there) names the same channel
// for velk_send; -N names work in both.
TEST_F(Tools, SendTakesTheChannelNamesTheDumpPrints)
{
    Child dump;
    start_dump(&dump, {"-n", "2", "-N", "left,right"}, "right");
    send({"123#11"}, {"-N", "x,y"});  // "CAN1" after -N still is CAN1
    Child c;
    ASSERT_TRUE(velk::test::run(&c, {tool("velk_send"), a.slave_path(), "can0", "124#22"}));
    EXPECT_EQ(c.status(), 0) << c.err();
    ASSERT_TRUE(dump.wait(kToolMs));
    const auto out = lines_of(dump.out());
    ASSERT_EQ(out.size(), 2u) << dump.out();
    EXPECT_NE(out[0].find(") right 123#11"), std::string::npos) << out[0];
    EXPECT_NE(out[1].find(") right 124#22"), std::string::npos) << out[1];
}

// -L is candump's log on standard output (and acknowledges on the bus),
// listen-only is --listen-only alone, -t picks the time form.
TEST_F(Tools, DumpTakesCandumpsLogAndTimeOptions)
{
    Child dump;
    start_dump(&dump, {"-L", "-n", "2", "-f", dir.path("l.csv")});
    EXPECT_EQ(b.state().mode[1], 0) << "-L must not be listen-only";
    send({"123#11", "124#22"});
    ASSERT_TRUE(dump.wait(kToolMs));
    EXPECT_EQ(dump.status(), 0) << dump.err();
    auto out = lines_of(dump.out());
    ASSERT_EQ(out.size(), 2u) << dump.out();
    EXPECT_EQ(read_trace(dir.path("l.csv"), Format::Csv).size(), 2u);
    ASSERT_TRUE(write_file(dir.path("l.log"), dump.out()));
    EXPECT_EQ(read_trace(dir.path("l.log"), Format::CandumpLog).size(), 2u);

    Child zero;
    start_dump(&zero, {"--listen-only", "-t", "z", "-n", "2"});
    EXPECT_NE(b.state().mode[1], 0);
    send({"123#11", "124#22"}, {"-i", "20000"});
    ASSERT_TRUE(zero.wait(kToolMs));
    out = lines_of(zero.out());
    ASSERT_EQ(out.size(), 2u) << zero.out();
    EXPECT_EQ(out[0], "(000.000000) can1 123#11");
    EXPECT_EQ(out[1].substr(0, 4), "(000");
    EXPECT_NE(out[1].find(") can1 124#22"), std::string::npos) << out[1];

    Child dated;
    start_dump(&dated, {"-t", "A", "-a", "-n", "1"});
    send({"123#41"});
    ASSERT_TRUE(dated.wait(kToolMs));
    char year[8];
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    std::strftime(year, sizeof year, "(%Y-", &tm);
    EXPECT_EQ(dated.out().substr(0, 6), year) << dated.out();
    EXPECT_NE(dated.out().find("'A'"), std::string::npos) << dated.out();
}

// velk_send takes cansend's dots anywhere between bytes and pads a CAN FD
// payload to the next length a frame can have, saying so.
TEST_F(Tools, SendTakesCansendDotsAndPadsCanFdPayloads)
{
    Child dump;
    start_dump(&dump, {"-n", "2", "-d", "2M", "-f", dir.path("p.log")});
    std::vector<std::string> args = {tool("velk_send"), "-d", "2M", a.slave_path(), "CAN1", "123#.11.22.",
                                     "124##1.11.22.33.44.55.66.77.88.99"};
    Child c;
    ASSERT_TRUE(velk::test::run(&c, args));
    EXPECT_EQ(c.status(), 0) << c.err();
    EXPECT_NE(c.err().find("CAN FD payload of 9 bytes padded with zeros to 12"), std::string::npos) << c.err();
    ASSERT_TRUE(dump.wait(kToolMs));
    expect_frames(read_trace(dir.path("p.log"), Format::CandumpLog),
                  {expected("123#1122", 1), expected("124##1112233445566778899000000", 1)});
}

// velk_replay reads standard input (velk_dump -L | velk_replay PORT -),
// takes canplayer's map order, skips lines that are no frame with a
// warning, says once that times go backwards and names every unmapped
// channel.
TEST_F(Tools, ReplayReadsStandardInputAndWarnsAsCanplayerDoes)
{
    const std::string log = "(10.000000) can0 101#01\n"
                            "garbage after a crash\n"
                            "(10.100000) can5 7FF#\n"
                            "(10.050000) can0 102#02\n"
                            "(10.020000) can0 103#03\n"
                            "(10.200000) can7 7FE#\n"
                            "(10.300000) can0 104#04\n";
    ASSERT_TRUE(write_file(dir.path("in.log"), log));
    for (const bool from_stdin : {true, false}) {
        SCOPED_TRACE(from_stdin ? "standard input" : "file");
        Child dump, replay;
        start_dump(&dump, {"-n", "4", "-f", dir.path("out.log")});
        ASSERT_TRUE(velk::test::run(&replay,
                                    {tool("velk_replay"), a.slave_path(), from_stdin ? "-" : dir.path("in.log"),
                                     "CAN1=can0"},
                                    kToolMs, from_stdin ? dir.path("in.log") : "/dev/null"));
        EXPECT_EQ(replay.status(), 0) << replay.err();
        const std::string where = from_stdin ? "standard input" : dir.path("in.log");
        const std::string err = replay.err();
        EXPECT_NE(err.find(where + ":2: skipped, not a frame line: garbage after a crash"), std::string::npos)
            << err;
        EXPECT_NE(err.find(where + ":4: time goes backwards"), std::string::npos) << err;
        EXPECT_EQ(err.find("backwards", err.find("backwards") + 1), std::string::npos) << "said once: " << err;
        EXPECT_NE(err.find("unmapped channels: 'can5', 'can7'"), std::string::npos) << err;
        ASSERT_TRUE(dump.wait(kToolMs));
        const auto got = read_trace(dir.path("out.log"), Format::CandumpLog);
        ASSERT_EQ(got.size(), 4u);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(got[i].id, 0x101u + i);
    }
    // The other order is still taken where its left side is no channel.
    ASSERT_TRUE(write_file(dir.path("v.log"), "(1.000000) vcan0 101#01\n"));
    Child dump, replay;
    start_dump(&dump, {"-n", "1"});
    ASSERT_TRUE(velk::test::run(&replay, {tool("velk_replay"), a.slave_path(), dir.path("v.log"), "vcan0=CAN1"}));
    EXPECT_EQ(replay.status(), 0) << replay.err();
    ASSERT_TRUE(dump.wait(kToolMs));
    // All frames on unmapped channels: every one is named.
    Child none;
    ASSERT_TRUE(velk::test::run(&none, {tool("velk_replay"), a.slave_path(), dir.path("in.log"), "CAN1=can9"}));
    EXPECT_EQ(none.status(), 2);
    EXPECT_NE(none.err().find("found 'can0', 'can5', 'can7'; map one, e.g. CAN1=can0"), std::string::npos)
        << none.err();
}

// A received copy of a sent frame is never stamped before the send, even
// from an adapter whose clock runs slow.
TEST_F(Tools, ReceivedCopyIsNeverBeforeItsSend)
{
    b.set_clock(-1500, 0, 1);
    Child dump;
    start_dump(&dump, {"-n", "8", "-f", dir.path("c.log")});
    std::vector<std::string> args = {tool("velk_send"), "-v", "-i", "30000", a.slave_path(), "CAN1"};
    for (int i = 0; i < 8; ++i)
        args.push_back("12" + std::to_string(i) + "#" + std::string(2 * i, 'A'));
    Child c;
    ASSERT_TRUE(velk::test::run(&c, args));
    ASSERT_EQ(c.status(), 0) << c.err();
    ASSERT_TRUE(dump.wait(kToolMs));
    ASSERT_TRUE(write_file(dir.path("sent.log"), c.out()));
    const auto sent = read_trace(dir.path("sent.log"), Format::CandumpLog);
    const auto got = read_trace(dir.path("c.log"), Format::CandumpLog);
    ASSERT_EQ(sent.size(), 8u);
    ASSERT_EQ(got.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(got[i].id, sent[i].id);
        EXPECT_GE(us_of(got[i]), us_of(sent[i])) << i;
    }
}

// An adapter clock that drifts and jumps: every row of the file, adapter-
// and host-stamped, in order and none after the dump ended.
TEST_F(Tools, TimesFromADriftingJumpingClockNeverRunAheadOrBack)
{
    b.set_clock(800, 2000, 300);
    const int64_t start = velk::tools::wall_us();
    Child dump;
    start_dump(&dump, {"-e", "-n", "2000", "-f", dir.path("d.csv")});
    b.stream(3000, 3000, 7);
    ASSERT_TRUE(dump.wait(kToolMs));
    const int64_t end = velk::tools::wall_us();
    EXPECT_EQ(dump.status(), 0) << dump.err();
    const auto got = read_trace(dir.path("d.csv"), Format::Csv);
    ASSERT_GT(got.size(), 2050u);
    size_t host = 0, back = 0, ahead = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        host += got[i].source == velk::trace::TimeSource::Host;
        back += i > 0 && us_of(got[i]) < us_of(got[i - 1]);
        ahead += us_of(got[i]) > end || us_of(got[i]) < start;
    }
    EXPECT_GT(host, 100u);
    EXPECT_EQ(back, 0u);
    EXPECT_EQ(ahead, 0u);
}

// velk_list lists what answers and names what is missing.
TEST_F(Tools, ListShowsWhatAnswersAndNamesWhatIsMissing)
{
    velk::sim::Adapter silent;
    ASSERT_TRUE(silent.start());
    silent.set_answering(false);
    Child list;
    ASSERT_TRUE(velk::test::run(&list, {tool("velk_list"), "/nonexistent/tty", a.slave_path(), silent.slave_path()}));
    EXPECT_EQ(list.status(), 1);
    const auto out = lines_of(list.out());
    ASSERT_EQ(out.size(), 2u) << list.out();
    EXPECT_NE(out[1].find(a.slave_path()), std::string::npos);
    EXPECT_NE(list.err().find("no device /nonexistent/tty: No such file or directory"), std::string::npos)
        << list.err();
    EXPECT_NE(list.err().find("no adapter answers at " + silent.slave_path()), std::string::npos) << list.err();
}

// A replay waiting on standard input for its next line stops on SIGTERM.
TEST_F(Tools, ReplayWaitingOnStandardInputStopsOnASignal)
{
    const std::string fifo = dir.path("in.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing (never written), so the replay's read waits.
    const int w = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(w, 0);
    a.clear_host_frames();
    Child replay;
    ASSERT_TRUE(replay.start({tool("velk_replay"), a.slave_path(), "-"}, fifo));
    ASSERT_TRUE(started(a, 0)) << replay.err();
    // One line goes out; then the replay waits for the next.
    const std::string line = "(1.000000) can0 123#11\n";
    ASSERT_EQ(write(w, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    for (size_t n = 0; a.host_frames(0xE0).empty(); n = a.host_frames().size())
        ASSERT_TRUE(a.wait_host_frames(n + 1, kToolMs)) << replay.err();
    replay.signal(SIGTERM);
    const bool ended = replay.wait(kToolMs);
    close(w);
    ASSERT_TRUE(ended);
    EXPECT_EQ(replay.status(), 0) << replay.err();
}

// Whether `frame` holds `part` anywhere (a data frame's payload within the
// adapter's framing).
bool holds(const velk::sim::Bytes &frame, const velk::sim::Bytes &part)
{
    return std::search(frame.begin(), frame.end(), part.begin(), part.end()) != frame.end();
}

// The longest message of short first frames goes from A's CAN1 to B's CAN2:
// the receiver announces blocks of 8 and 500 us, the sender keeps to them.
TEST_F(Tools, IsotpCarriesTheLongestShortFormMessageInBlocks)
{
    std::string hex;
    std::string want;
    for (int i = 0; i < 4095; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", (i * 7) & 0xFF);
        want += b;
        hex += b + (i ? 1 : 0);
        if (i % 32 == 31)
            hex += "\n";
    }
    ASSERT_TRUE(write_file(dir.path("message.hex"), hex));
    Child recv;
    b.clear_host_frames();
    ASSERT_TRUE(recv.start({tool("velk_isotp"), "recv", "-n", "1", "-s", "7E8", "-r", "7E0", "-S", "8", "-m", "500us",
                            b.slave_path(), "CAN2"}));
    ASSERT_TRUE(started(b, 1)) << recv.err();
    a.clear_host_frames();
    Child send;
    ASSERT_TRUE(velk::test::run(&send, {tool("velk_isotp"), "send", "-s", "7E0", "-r", "7E8", a.slave_path(), "CAN1"},
                                kToolMs, dir.path("message.hex")));
    EXPECT_EQ(send.status(), 0) << send.err();
    ASSERT_TRUE(recv.wait(kToolMs));
    EXPECT_EQ(recv.status(), 0) << recv.err();
    EXPECT_EQ(recv.out(), want + "\n");

    // A first frame of 6 bytes and 585 consecutive ones; 74 flow controls.
    const auto sent = a.host_frames(0xE0);
    ASSERT_EQ(sent.size(), 586u);
    EXPECT_TRUE(holds(sent[0], {0xE0, 0x1F, 0xFF, 0x00, 0x07, 0x0E, 0x15, 0x1C, 0x23}));
    EXPECT_TRUE(holds(sent[1], {0xE0, 0x21, 0x2A, 0x31, 0x38, 0x3F, 0x46, 0x4D, 0x54}));
    const auto flow = b.host_frames(0xE0);
    ASSERT_EQ(flow.size(), 74u);
    EXPECT_TRUE(holds(flow[0], {0xE8, 0x30, 0x08, 0xF5}));
}

// velk_isotp dump on a live channel: a single frame, a first frame that no
// receiver answers (its sender gives up after -t), ended by its N_Cr of
// 500 ms when the next single frame comes (the next sender's connect alone
// takes longer), and that single frame.
TEST_F(Tools, IsotpDumpListsTheMessagesOnTheBus)
{
    Child dump;
    b.clear_host_frames();
    ASSERT_TRUE(dump.start({tool("velk_isotp"), "dump", "-n", "3", "-t", "500", "-T", "60", b.slave_path(), "CAN2"}));
    ASSERT_TRUE(started(b, 1)) << dump.err();
    const std::vector<std::pair<std::string, int>> sends = {{"22F190", 0}, {"00 01 02 03 04 05 06 07 08 09", 1},
                                                            {"3E 00", 0}};
    for (const auto &[message, status] : sends) {
        Child send;
        ASSERT_TRUE(velk::test::run(&send, {tool("velk_isotp"), "send", "-s", "7E0", "-r", "7E8", "-t", "100",
                                            a.slave_path(), "CAN1", message}));
        EXPECT_EQ(send.status(), status) << send.err();
        if (status != 0) {
            EXPECT_NE(send.err().find("velk_isotp: timeout N_Bs"), std::string::npos) << send.err();
        }
    }
    ASSERT_TRUE(dump.wait(kToolMs));
    EXPECT_EQ(dump.status(), 0) << dump.err();
    const auto lines = lines_of(dump.out());
    ASSERT_EQ(lines.size(), 3u) << dump.out();
    EXPECT_NE(lines[0].find(") can1 7E0 > ? [3] 22 F1 90"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(") can1 7E0 > ? [10] 00 01 02 03 04 05  (timeout N_Cr)"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(") can1 7E0 > ? [2] 3E 00"), std::string::npos) << lines[2];
}

// velk_isotp dump -f: each message of a trace with its times, identifiers
// and errors, in the order they ended.
TEST_F(Tools, IsotpDumpListsTheMessagesOfATrace)
{
    using velk::test::frame_at;
    const int64_t t0 = 1700000000000000;
    const std::vector<Frame> frames = {
        frame_at("7E0#0322F190", t0),
        frame_at("7E8#101462F190000102", t0 + 1000),
        frame_at("7E0#300000", t0 + 1500),
        frame_at("123#DEADBEEF", t0 + 1700),
        frame_at("7E8#2103040506070809", t0 + 2000),
        frame_at("18DAF101#0462F19001", t0 + 2500, 1),
        frame_at("7E8#220A0B0C0D0E0F10", t0 + 3000),
        frame_at("7E8#1014000102030405", t0 + 4000),
        frame_at("7E8#22060708090A0B0C", t0 + 5000),
    };
    ASSERT_TRUE(velk::test::write_trace(dir.path("diag.log"), Format::CandumpLog, frames));
    Child dump;
    ASSERT_TRUE(velk::test::run(&dump, {tool("velk_isotp"), "dump", "-f", dir.path("diag.log")}));
    EXPECT_EQ(dump.status(), 0) << dump.err();
    EXPECT_EQ(lines_of(dump.out()),
              (std::vector<std::string>{
                  "(1700000000.000000-1700000000.000000) can0 7E0 > ? [3] 22 F1 90",
                  "(1700000000.002500-1700000000.002500) can1 18DAF101 > ? [4] 62 F1 90 01",
                  "(1700000000.001000-1700000000.003000) can0 7E8 > 7E0 [20] 62 F1 90 00 01 02 03 04 05 06 07 08 09 0A 0B "
                  "0C 0D 0E 0F 10",
                  "(1700000000.004000-1700000000.005000) can0 7E8 > ? [20] 00 01 02 03 04 05  (wrong sequence number)",
              }));
    // -s and -r keep only those identifiers; -n stops after COUNT.
    Child first;
    ASSERT_TRUE(velk::test::run(&first, {tool("velk_isotp"), "dump", "-s", "7E8", "-r", "7E0", "-n", "1", "-f",
                                         dir.path("diag.log")}));
    EXPECT_EQ(lines_of(first.out()), (std::vector<std::string>{
                                        "(1700000000.000000-1700000000.000000) can0 7E0 > ? [3] 22 F1 90"}));
}

// velk_uds against velk_sim --ecu with the example ECU, a fresh one per
// case: each case is a few runs of velk_uds, each with its own
// options, its command, its exit status, its output and a part of its errors.
struct UdsRun {
    std::vector<std::string> options;
    std::vector<std::string> command;
    int status;
    std::string out;
    std::string err;
};

struct UdsCase {
    const char *name;
    std::vector<UdsRun> runs;
};

// The example ECU's key: the seed XOR A5A5A5A5; and a key that is wrong.
const char kKeyScript[] = "read s; printf '%08X\\n' $(( 0x$s ^ 0xA5A5A5A5 ))\n";
const char kWrongKeyScript[] = "read s; echo 01020304\n";

const std::vector<UdsCase> kUdsCases = {
    {"read identifiers, one in segments",
     {{{}, {"read", "F190", "0100"}, 0, "F190: 56 45 4C 4B 53 49 4D 30 30 30 30 30 30 30 30 30 31\n0100: 0E 74\n", ""}}},
    {"read by the names and formats of a table",
     {{{"-D", "TABLE"}, {"read", "VIN", "speed"}, 0, "F190 VIN: VELKSIM0000000001\n0100 speed: 3700\n", ""}}},
    {"a negative response by name",
     {{{}, {"read", "1234"}, 1, "", "velk_uds: negative response 0x31 requestOutOfRange\n"},
      {{}, {"raw", "22", "12", "34"}, 1, "7F 22 31\n", "velk_uds: negative response 0x31 requestOutOfRange\n"}}},
    {"responsePending waits P2*",
     {{{}, {"read", "F18C"}, 0, "F18C: 00 00 12 34\n", ""},
      {{"-O", "100"}, {"read", "F18C"}, 1, "", "velk_uds: no final response within P2* (100 ms) after responsePending\n"}}},
    {"no ECU answers within P2",
     {{{"-s", "7E1", "-r", "7E9"}, {"tester-present"}, 1, "", "velk_uds: no response within P2 (50 ms)\n"}}},
    {"DTCs by status, their count, cleared",
     {{{}, {"dtc"}, 0,
       "P0123-45 012345 09 testFailed confirmedDTC\nU0456-01 C45601 28 confirmedDTC testFailedSinceLastClear\n"
       "P0A1B-00 0A1B00 04 pendingDTC\n", ""},
      {{}, {"dtc", "01", "08"}, 0, "2 DTCs\n", ""},
      {{}, {"clear-dtc", "C45601"}, 0, "DTCs cleared\n", ""},
      {{}, {"dtc", "0A"}, 0, "P0123-45 012345 09 testFailed confirmedDTC\nP0A1B-00 0A1B00 04 pendingDTC\n", ""},
      {{}, {"clear-dtc"}, 0, "DTCs cleared\n", ""},
      {{}, {"dtc", "02", "FF"}, 0, "", ""}}},
    {"session, security with a key program, write, reset",
     {{{}, {"write", "F199", "20", "27", "01", "01"}, 1, "", "velk_uds: negative response 0x7F serviceNotSupportedInActiveSession\n"},
      {{}, {"session", "extended"}, 0, "session 03 (P2 50 ms, P2* 5000 ms)\n", ""},
      {{}, {"write", "F199", "20270101"}, 1, "", "velk_uds: negative response 0x33 securityAccessDenied\n"},
      {{}, {"security", "01", "KEY"}, 0, "level 01 unlocked\n", ""},
      {{}, {"security", "01", "KEY"}, 0, "level 01 already unlocked\n", ""},
      {{}, {"write", "F199", "20270101"}, 0, "F199 written\n", ""},
      {{}, {"read", "F199"}, 0, "F199: 20 27 01 01\n", ""},
      {{}, {"reset"}, 0, "reset 01\n", ""},
      {{}, {"write", "F199", "20270101"}, 1, "", "velk_uds: negative response 0x7F serviceNotSupportedInActiveSession\n"}}},
    {"a wrong key, a failing key program",
     {{{}, {"session", "03"}, 0, "session 03 (P2 50 ms, P2* 5000 ms)\n", ""},
      {{}, {"security", "01", "WRONGKEY"}, 1, "", "velk_uds: negative response 0x35 invalidKey\n"},
      {{}, {"security", "01", "exit 3"}, 1, "", "velk_uds: the key program 'exit 3' failed (exit status 3)\n"},
      {{}, {"security", "03", "KEY"}, 1, "", "velk_uds: negative response 0x12 subFunctionNotSupported\n"}}},
    {"routines",
     {{{}, {"routine", "start", "FF00"}, 1, "", "velk_uds: negative response 0x7F serviceNotSupportedInActiveSession\n"},
      {{}, {"session", "programming"}, 0, "session 02 (P2 50 ms, P2* 5000 ms)\n", ""},
      {{}, {"routine", "results", "FF00"}, 1, "", "velk_uds: negative response 0x24 requestSequenceError\n"},
      {{}, {"routine", "start", "FF00", "01"}, 0, "routine FF00 started: 00\n", ""},
      {{}, {"routine", "results", "FF00"}, 0, "routine FF00 results: 00\n", ""},
      {{}, {"routine", "stop", "FF00"}, 0, "routine FF00 stopped\n", ""}}},
    {"tester present and raw requests",
     {{{}, {"tester-present"}, 0, "tester present\n", ""},
      {{}, {"raw", "3E00"}, 0, "7E 00\n", ""},
      {{}, {"raw", "22F190"}, 0, "62 F1 90 56 45 4C 4B 53 49 4D 30 30 30 30 30 30 30 30 30 31\n", ""}}},
    {"bad usage",
     {{{}, {"erase"}, 2, "", "velk_uds: unknown command (session, reset, read, write, dtc, clear-dtc, routine, security, "
                          "tester-present or raw) 'erase'"},
      {{}, {"read", "F19"}, 2, "", "velk_uds: bad identifier (4 hex digits or a name of the -D table) 'F19'"},
      {{}, {"dtc", "04"}, 2, "", "velk_uds: dtc takes a sub-function (01, 02 or 0A) and a status mask"},
      {{}, {"security", "02", "KEY"}, 2, "", "velk_uds: security takes an odd level (01-7F) and a key program"}}},
};

void PrintTo(const UdsCase &c, std::ostream *os)
{
    *os << c.name;
}

class Uds : public ::testing::TestWithParam<UdsCase> {};

TEST_P(Uds, RunsSayWhatTheEcuAnswered)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.path("key.sh"), kKeyScript));
    ASSERT_TRUE(write_file(dir.path("wrong.sh"), kWrongKeyScript));
    ASSERT_TRUE(write_file(dir.path("dids.txt"), "# identifiers\nF190 VIN ascii\n0100 speed uint\n"));
    Child sim;
    ASSERT_TRUE(sim.start({VELK_SIM, "--ecu", VELK_EXAMPLE_ECU}));
    ASSERT_TRUE(sim.wait_output("\n", 5000));
    const std::string port = lines_of(sim.out())[0];
    for (const UdsRun &r : GetParam().runs) {
        std::vector<std::string> args = {tool("velk_uds"), "-s", "7E0", "-r", "7E8"};
        const auto put = [&](const std::string &a) {
            args.push_back(a == "TABLE"      ? dir.path("dids.txt")
                           : a == "KEY"      ? "sh " + dir.path("key.sh")
                           : a == "WRONGKEY" ? "sh " + dir.path("wrong.sh")
                                             : a);
        };
        std::for_each(r.options.begin(), r.options.end(), put);
        args.push_back(port);
        args.push_back("CAN1");
        std::for_each(r.command.begin(), r.command.end(), put);
        std::string shown;
        for (size_t i = 5; i < args.size(); ++i)
            shown += args[i] + " ";
        SCOPED_TRACE(shown);
        Child uds;
        ASSERT_TRUE(velk::test::run(&uds, args, kToolMs));
        EXPECT_EQ(uds.status(), r.status) << uds.err();
        EXPECT_EQ(uds.out(), r.out);
        if (r.err.empty())
            EXPECT_EQ(uds.err(), "");
        else
            EXPECT_NE(uds.err().find(r.err), std::string::npos) << uds.err();
    }
}

std::string uds_case_name(const char *name)
{
    std::string n;
    for (const char *p = name; *p; ++p)
        n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Tools, Uds, ::testing::ValuesIn(kUdsCases),
                         [](const auto &info) { return uds_case_name(info.param.name); });

// -k: tester present goes out (3E 80, no answer asked for) while a routine
// of 2.5 s keeps its answer back with responsePending.
TEST(ToolsUds, TesterPresentKeepsGoingWhileARoutineRuns)
{
    Child sim;
    ASSERT_TRUE(sim.start({VELK_SIM, "--ecu", VELK_EXAMPLE_ECU, "-v"}));
    ASSERT_TRUE(sim.wait_output("\n", 5000));
    const std::string port = lines_of(sim.out())[0];
    Child session;
    ASSERT_TRUE(velk::test::run(&session, {tool("velk_uds"), "-s", "7E0", "-r", "7E8", port, "CAN1", "session", "03"}));
    ASSERT_EQ(session.status(), 0) << session.err();
    Child routine;
    ASSERT_TRUE(velk::test::run(&routine, {tool("velk_uds"), "-s", "7E0", "-r", "7E8", "-k", "500", port, "CAN1",
                                           "routine", "start", "0203"}));
    EXPECT_EQ(routine.status(), 0) << routine.err();
    EXPECT_EQ(routine.out(), "routine 0203 started: 01 02\n");
    // E0, flags (DLC 3, CAN1), 7E0, then the single frame 02 3E 80.
    ASSERT_TRUE(sim.wait_output("E0 31 00 00 07 E0 02 3E 80", kToolMs, 3)) << sim.out();
}

}  // namespace


