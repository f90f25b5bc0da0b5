// velk_socketcand's server on the emulated adapter, at the protocol's wire:
// each mode, the error replies, many clients, a stuck one, floods of
// connects, and the adapter unplugged and plugged in again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <vector>

#include "net_support.h"
#include "test_support.h"
#include "wire_oracle.h"

namespace velk::test {
namespace {

using sim::Bytes;

// A frame line's parts: identifier, seconds, data.
struct Line {
    std::string id;
    double time = 0;
    std::string data;
};

bool frame_of_line(const std::string &s, Line *l)
{
    static const std::regex re(R"(< frame ([0-9A-F]{3}|[0-9A-F]{8}) ([0-9]+)\.([0-9]{6}) ([0-9A-F]*) >)");
    std::smatch m;
    if (!std::regex_match(s, m, re))
        return false;
    l->id = m[1];
    l->time = std::stod(m[2].str() + "." + m[3].str());
    l->data = m[4];
    return true;
}

double wall_seconds()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

class NetServer : public NetServerTest {
protected:
    // The E0 frames the adapter got, after the open's commands were cleared.
    std::vector<Bytes> wire_frames(size_t n)
    {
        EXPECT_TRUE(wait_until([&] { return sim().host_frames(0xE0).size() >= n; }, 5000));
        return sim().host_frames(0xE0);
    }

    static size_t count_of(const std::vector<Bytes> &frames, const Bytes &f)
    {
        return static_cast<size_t>(std::count(frames.begin(), frames.end(), f));
    }

    // The E0 frames of the next `n` cycles of a running job whose frame is
    // `tick`, once whatever was queued for the wire before has gone out (a
    // marker frame that `sender` sends now has reached it).
    std::vector<Bytes> next_cycles(NetClient &sender, const Bytes &tick, size_t n)
    {
        const Bytes marker = with_trailer({0xE0, 0x01, 0x00, 0x00, 0x07, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
        sender.send_text("< send 7FF 0 >");
        EXPECT_TRUE(wait_until([&] { return count_of(sim().host_frames(0xE0), marker) > 0; }, 5000));
        sim().clear_host_frames();
        EXPECT_TRUE(wait_until([&] { return count_of(sim().host_frames(0xE0), tick) >= n; }, 5000));
        return sim().host_frames(0xE0);
    }
};

TEST_F(NetServer, GreetsOpensABusAndClosesOnAnUnknownOne)
{
    serve();
    NetClient a;
    ASSERT_TRUE(a.connect_to(port()));
    EXPECT_EQ(a.item(), "< hi >");
    a.send_text("< open can0 >");
    EXPECT_EQ(a.item(), "< ok >");
    a.send_text("< echo >");
    EXPECT_EQ(a.item(), "< echo >");

    NetClient b;
    ASSERT_TRUE(b.connect_to(port()));
    EXPECT_EQ(b.item(), "< hi >");
    b.send_text("< open can7 >");
    EXPECT_EQ(b.item(), "< error could not open bus >");
    EXPECT_TRUE(b.wait_closed());

    NetClient c;
    ASSERT_TRUE(c.connect_to(port()));
    EXPECT_EQ(c.item(), "< hi >");
    c.send_text("< rawmode >");
    EXPECT_EQ(c.item(), "< error no bus open >");
    EXPECT_TRUE(c.wait_closed());
}

TEST_F(NetServer, RawSendReachesTheWireByteExact)
{
    serve();
    NetClient a;
    ASSERT_TRUE(a.open_bus(port(), "can0"));
    a.send_text("< send 123 3 11 22 33 >");
    a.send_text("< send 1AAAAAAA 2 1 F1 >");
    ASSERT_EQ(wire_frames(2).size(), 2u);
    NetClient b;
    ASSERT_TRUE(b.open_bus(port(), "can1"));
    b.send_text("< send 7FF 0 >");
    const std::vector<Bytes> got = wire_frames(3);
    ASSERT_EQ(got.size(), 3u);
    // Flags: channel (1 CAN1, 2 CAN2) + 4 extended + DLC * 16; eight data bytes always.
    EXPECT_EQ(got[0], with_trailer({0xE0, 0x31, 0x00, 0x00, 0x01, 0x23, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0}));
    EXPECT_EQ(got[1], with_trailer({0xE0, 0x25, 0x1A, 0xAA, 0xAA, 0xAA, 0x01, 0xF1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(got[2], with_trailer({0xE0, 0x02, 0x00, 0x00, 0x07, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(NetServer, SendFdGoesOutAsACanFdFrameAndOtherClientsSeeAnFdFrame)
{
    serve();
    NetClient a, b;
    ASSERT_TRUE(a.open_bus(port(), "can0"));
    ASSERT_TRUE(b.open_bus(port(), "can0"));
    a.send_text("< sendfd 123 1 12 0 1 2 3 4 5 6 7 8 9 A B >");
    ASSERT_TRUE(wait_until([&] { return sim().host_frames(0xF0).size() == 1; }, 5000));
    // Flags: CAN1 + DLC 9 * 16; FD flags: BRS (bit 0) and FDF (bit 2).
    EXPECT_EQ(sim().host_frames(0xF0)[0], with_trailer({0xF0, 0x91, 0x05, 0x00, 0x00, 0x01, 0x23, 0, 1, 2, 3, 4, 5, 6,
                                                        7, 8, 9, 10, 11}));
    const std::string fd = b.item();
    EXPECT_EQ(fd.substr(0, 17), "< fdframe 123 01 ") << fd;
    EXPECT_EQ(fd.substr(fd.size() - 27), " 000102030405060708090A0B >") << fd;
}

TEST_F(NetServer, RawReceivesTheBusFramesWithTheAdaptersTimeSpacing)
{
    serve();
    NetClient a, b;
    ASSERT_TRUE(a.open_bus(port(), "can0"));
    ASSERT_TRUE(b.open_bus(port(), "can1"));
    const double before = wall_seconds();
    sim().inject(sim::report_e2(0, false, false, 4, 0x321, {1, 2, 3, 4}, 100, 250000));
    sim().inject(sim::report_e2(1, true, false, 1, 0x1234567, {0xAB}, 100, 260000));
    sim().inject(sim::report_e2(0, false, false, 0, 0x005, {}, 100, 750000));
    sim().inject(sim::report_f1(1, false, 9, 0x05, 0x0AB, Bytes(12, 0x5A), 101, 0));
    Line l1, l2;
    ASSERT_TRUE(frame_of_line(a.item(), &l1));
    EXPECT_EQ(l1.id, "321");
    EXPECT_EQ(l1.data, "01020304");
    // The first timestamp is mapped to the time of receipt.
    EXPECT_GT(l1.time, before - 1);
    EXPECT_LT(l1.time, wall_seconds() + 1);
    ASSERT_TRUE(frame_of_line(a.item(), &l2));
    EXPECT_EQ(l2.id, "005");
    EXPECT_EQ(l2.data, "");
    // Injected at once, the frame stamped 0.5 s later is received as soon:
    // its time follows the first's by at most the adapter's spacing and is
    // never after it was received.
    EXPECT_GE(l2.time, l1.time);
    EXPECT_LE(l2.time - l1.time, 0.5 + 1e-6);
    EXPECT_LT(l2.time, wall_seconds() + 1e-3);

    Line l3;
    ASSERT_TRUE(frame_of_line(b.item(), &l3));
    EXPECT_EQ(l3.id, "01234567");
    EXPECT_EQ(l3.data, "AB");
    const std::string fd = b.item();
    EXPECT_EQ(fd.substr(0, 17), "< fdframe 0AB 01 ");
    EXPECT_EQ(fd.substr(fd.size() - 27), " 5A5A5A5A5A5A5A5A5A5A5A5A >");
}

TEST_F(NetServer, ClientsOnOneBusSeeEachOthersFramesButNotTheirOwn)
{
    serve();
    NetClient a, b, other;
    ASSERT_TRUE(a.open_bus(port(), "can0"));
    ASSERT_TRUE(b.open_bus(port(), "can0"));
    ASSERT_TRUE(other.open_bus(port(), "can1"));
    a.send_text("< send 123 3 11 22 33 >");
    Line l;
    ASSERT_TRUE(frame_of_line(b.item(), &l));
    EXPECT_EQ(l.id, "123");
    EXPECT_EQ(l.data, "112233");
    EXPECT_NEAR(l.time, wall_seconds(), 2.0);
    // The sender's next item is its echo, not its own frame; the other bus
    // got nothing either.
    a.send_text("< echo >");
    EXPECT_EQ(a.item(), "< echo >");
    other.send_text("< echo >");
    EXPECT_EQ(other.item(), "< echo >");
}

TEST_F(NetServer, BadCommandsGetErrorRepliesAndLoseNothing)
{
    serve();
    NetClient a, b;
    ASSERT_TRUE(a.open_bus(port(), "can0"));
    ASSERT_TRUE(b.open_bus(port(), "can0"));
    a.send_text("< frobnicate >");
    EXPECT_EQ(a.item(), "< error unknown command >");
    a.send_text("< send 123 9 1 2 3 4 5 6 7 8 9 >");
    EXPECT_EQ(a.item(), "< error bad length >");
    a.send_text("< isotpmode >");
    EXPECT_EQ(a.item(), "< error isotp mode is not supported >");
    a.send_text("< statistics 10 >");
    EXPECT_EQ(a.item(), "< error command not allowed in this mode >");
    // A command without its end, longer than any command may be.
    a.send_text("< send " + std::string(2000, '1'));
    EXPECT_EQ(a.item(), "< error command too long or malformed >");
    // Half a command, the rest later: one command.
    a.send_text("< send 12");
    a.send_text("3 1 7 >");
    Line l;
    ASSERT_TRUE(frame_of_line(b.item(), &l));
    EXPECT_EQ(l.id, "123");
    EXPECT_EQ(l.data, "07");
    a.send_text("< echo >");
    EXPECT_EQ(a.item(), "< echo >");
}

TEST_F(NetServer, BcmModeSubscriptionsAndContentFilters)
{
    serve();
    NetClient a;
    ASSERT_TRUE(a.open_bus(port(), "can0", false));
    a.send_text("< subscribe 0 0 321 >< filter 0 0 322 1 FF >< echo >");
    EXPECT_EQ(a.item(), "< echo >");
    sim().inject(sim::report_e2(0, false, false, 1, 0x320, {9}, 1, 0));
    sim().inject(sim::report_e2(0, false, false, 1, 0x321, {1}, 1, 1));
    sim().inject(sim::report_e2(0, false, false, 2, 0x322, {1, 1}, 1, 2));
    sim().inject(sim::report_e2(0, false, false, 2, 0x322, {1, 2}, 1, 3));  // same under the mask
    sim().inject(sim::report_e2(0, false, false, 2, 0x322, {2, 2}, 1, 4));
    sim().inject(sim::report_e2(0, false, false, 1, 0x321, {3}, 1, 5));
    Line l;
    ASSERT_TRUE(frame_of_line(a.item(), &l));
    EXPECT_EQ(l.id + "#" + l.data, "321#01");
    ASSERT_TRUE(frame_of_line(a.item(), &l));
    EXPECT_EQ(l.id + "#" + l.data, "322#0101");
    ASSERT_TRUE(frame_of_line(a.item(), &l));
    EXPECT_EQ(l.id + "#" + l.data, "322#0202");
    ASSERT_TRUE(frame_of_line(a.item(), &l));
    EXPECT_EQ(l.id + "#" + l.data, "321#03");
    a.send_text("< unsubscribe 321 >< unsubscribe 321 >");
    EXPECT_EQ(a.item(), "< error no such subscription >");
    a.send_text("< muxfilter 0 0 123 2 FF 00 00 00 00 00 00 00 33 FF FF FF FF FF FF FF >");
    EXPECT_EQ(a.item(), "< error muxfilter is not supported >");
}

TEST_F(NetServer, BcmModeCyclicSendsAreAddedUpdatedAndDeleted)
{
    serve();
    NetClient a, b;
    ASSERT_TRUE(a.open_bus(port(), "can0", false));
    ASSERT_TRUE(b.open_bus(port(), "can0"));
    // The owner listens to its own identifier: its job's frames must not
    // come back to it, while b sees them as on a real bus.
    a.send_text("< subscribe 0 0 123 >< echo >");
    EXPECT_EQ(a.item(), "< echo >");
    const Bytes first = with_trailer({0xE0, 0x21, 0x00, 0x00, 0x01, 0x23, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0});
    const auto added = std::chrono::steady_clock::now();
    a.send_text("< add 0 5000 123 2 AA BB >");
    std::vector<Bytes> got = wire_frames(10);
    const auto seen = std::chrono::steady_clock::now();
    ASSERT_GE(got.size(), 10u);
    for (const Bytes &f : got)
        EXPECT_EQ(f, first);
    // On the scheduler's grid: never more frames than cycles since the add.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(seen - added).count();
    EXPECT_LE(static_cast<int64_t>(got.size()), us / 5000 + 2);
    EXPECT_EQ(server().cyclic_jobs(), 1u);
    Line l;
    ASSERT_TRUE(frame_of_line(b.item(), &l));
    EXPECT_EQ(l.id + "#" + l.data, "123#AABB");

    // A second job of the same client runs on; it is the clock below.
    a.send_text("< add 0 5000 124 1 01 >");
    const Bytes tick = with_trailer({0xE0, 0x11, 0x00, 0x00, 0x01, 0x24, 0x01, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(wait_until([&] { return count_of(sim().host_frames(0xE0), tick) >= 2; }, 5000));
    EXPECT_EQ(server().cyclic_jobs(), 2u);

    // From the next cycle on, the new bytes only.
    a.send_text("< update 123 2 CC DD >< echo >");
    EXPECT_EQ(a.item(), "< echo >");
    const Bytes updated = with_trailer({0xE0, 0x21, 0x00, 0x00, 0x01, 0x23, 0xCC, 0xDD, 0, 0, 0, 0, 0, 0});
    got = next_cycles(b, tick, 5);
    EXPECT_EQ(count_of(got, first), 0u);
    EXPECT_GE(count_of(got, updated), 3u);
    while (frame_of_line(b.item(), &l) && l.id + "#" + l.data != "123#CCDD") {
    }
    EXPECT_EQ(l.id + "#" + l.data, "123#CCDD");

    a.send_text("< delete 123 >< delete 123 >");
    EXPECT_EQ(a.item(), "< error no such send job >");
    EXPECT_EQ(server().cyclic_jobs(), 1u);
    got = next_cycles(b, tick, 5);
    EXPECT_EQ(count_of(got, updated), 0u);
    a.send_text("< update 123 1 00 >");
    EXPECT_EQ(a.item(), "< error no such send job >");

    // A client that goes takes its jobs with it, and only its own.
    NetClient c;
    ASSERT_TRUE(c.open_bus(port(), "can0", false));
    c.send_text("< add 0 5000 125 1 02 >< add 1 0 126 1 03 >");
    const Bytes gone = with_trailer({0xE0, 0x11, 0x00, 0x00, 0x01, 0x25, 0x02, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(wait_until([&] { return count_of(sim().host_frames(0xE0), gone) >= 2; }, 5000));
    EXPECT_TRUE(wait_until([&] { return server().cyclic_jobs() == 3; }, 5000));
    c.close_now();
    EXPECT_TRUE(wait_until([&] { return server().cyclic_jobs() == 1; }, 5000));
    got = next_cycles(b, tick, 5);
    EXPECT_EQ(count_of(got, gone), 0u);

    // Interval 0: one frame now.
    a.send_text("< delete 124 >< echo >");
    EXPECT_EQ(a.item(), "< echo >");
    EXPECT_EQ(server().cyclic_jobs(), 0u);
    sim().clear_host_frames();
    a.send_text("< add 0 0 456 1 01 >");
    got = wire_frames(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], with_trailer({0xE0, 0x11, 0x00, 0x00, 0x04, 0x56, 0x01, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(server().cyclic_jobs(), 0u);
}

TEST_F(NetServer, ControlModeSendsStatistics)
{
    serve();
    NetClient a, b;
    ASSERT_TRUE(a.open_bus(port(), "can0"));
    ASSERT_TRUE(b.open_bus(port(), "can0", false));
    a.send_text("< send 123 2 1 2 >< send 124 1 3 >");
    b.send_text("< controlmode >");
    EXPECT_EQ(b.item(), "< ok >");
    ASSERT_TRUE(wait_until([&] { return sim().host_frames(0xE0).size() == 2; }, 5000));
    a.send_text("< controlmode >");
    EXPECT_EQ(a.item(), "< ok >");
    a.send_text("< statistics 20 >");
    // rbytes rpackets tbytes tpackets, then the frames dropped for it.
    EXPECT_EQ(a.item(), "< stat 0 0 3 2 0 >");
    EXPECT_EQ(a.item(), "< stat 0 0 3 2 0 >");
    a.send_text("< statistics 0 >< echo >");
    std::string s;
    while ((s = a.item()) == "< stat 0 0 3 2 0 >") {
    }
    EXPECT_EQ(s, "< echo >");
    a.send_text("< send 123 0 >");
    EXPECT_EQ(a.item(), "< error command not allowed in this mode >");
}

TEST_F(NetServer, AStuckClientLosesOnlyItsOwnFrames)
{
    netd::ServerOptions o = quiet_options();
    // Room for more than two seconds of the stream: the reader keeps up on a
    // busy machine, while the stuck client's share is far more than that.
    o.queue_bytes = 1024 * 1024;
    serve(o);
    NetClient stuck, reader;
    ASSERT_TRUE(stuck.connect_to(port(), 4096));
    EXPECT_EQ(stuck.item(), "< hi >");
    stuck.send_text("< open can0 >< rawmode >");
    EXPECT_EQ(stuck.item(), "< ok >");
    EXPECT_EQ(stuck.item(), "< ok >");
    ASSERT_TRUE(reader.open_bus(port(), "can0"));
    constexpr int kFrames = 60000;
    Bytes burst;
    for (int i = 0; i < kFrames; ++i) {
        const Bytes r = sim::report_e2(0, false, false, 8, static_cast<uint32_t>(i & 0x7FF), Bytes(8, uint8_t(i)),
                                       static_cast<uint32_t>(i), 0);
        burst.insert(burst.end(), r.begin(), r.end());
    }
    // At about 20,000 frames/s, more than a CAN bus carries.
    sim().inject(burst, 600, 5);
    for (int i = 0; i < kFrames; ++i) {
        Line l;
        ASSERT_TRUE(frame_of_line(reader.item(10000), &l)) << "frame " << i;
        char id[8];
        std::snprintf(id, sizeof id, "%03X", i & 0x7FF);
        ASSERT_EQ(l.id, id) << "frame " << i;
    }
    EXPECT_GT(server().counters().dropped.load(), 0u);
    // The stuck client still gets its replies once it reads again.
    stuck.send_text("< echo >");
    std::string s;
    int frames = 0;
    while ((s = stuck.item()) != "< echo >" && !s.empty())
        ++frames;
    EXPECT_EQ(s, "< echo >");
    EXPECT_LT(frames, kFrames);
}

TEST_F(NetServer, FloodsOfConnectsSilentAndVanishingClientsLeaveItServing)
{
    netd::ServerOptions o = quiet_options();
    o.max_clients = 20;
    o.hello_timeout_ms = 300;
    serve(o);
    std::vector<std::unique_ptr<NetClient>> many;
    for (int i = 0; i < 40; ++i) {
        many.push_back(std::make_unique<NetClient>());
        ASSERT_TRUE(many.back()->connect_to(port()));
    }
    int greeted = 0, refused = 0;
    for (auto &c : many) {
        const std::string s = c->item();
        if (s == "< hi >")
            ++greeted;
        else if (s == "< error too many clients >" && c->wait_closed())
            ++refused;
    }
    EXPECT_EQ(greeted, 20);
    EXPECT_EQ(refused, 20);
    // Some vanish mid-command, the rest say nothing and are closed.
    for (int i = 0; i < 40; i += 4) {
        many[static_cast<size_t>(i)]->send_text("< open ca");
        many[static_cast<size_t>(i)]->close_now();
    }
    for (auto &c : many)
        if (c->fd() >= 0 && c->item(0).empty()) {
        }
    EXPECT_TRUE(wait_until([&] { return server().clients() == 0; }, 10000));
    for (int round = 0; round < 300; ++round) {
        NetClient c;
        ASSERT_TRUE(c.connect_to(port()));
        c.close_now();
    }
    // Those that were let in are seen closing; the rest were refused.
    EXPECT_TRUE(wait_until([&] { return server().clients() == 0; }, 10000));
    NetClient fresh;
    ASSERT_TRUE(fresh.open_bus(port(), "can0"));
    fresh.send_text("< echo >");
    EXPECT_EQ(fresh.item(), "< echo >");
    NetClient silent;
    ASSERT_TRUE(silent.connect_to(port()));
    EXPECT_EQ(silent.item(), "< hi >");
    EXPECT_EQ(silent.item(), "< error no bus opened in time >");
    EXPECT_TRUE(silent.wait_closed());
}

TEST_F(NetServer, ClientsOutsideTheAllowedNetworksAreRefused)
{
    netd::ServerOptions o = quiet_options();
    ASSERT_TRUE(netd::parse_networks("10.0.0.0/8,192.168.1.7", &o.allow));
    serve(o);
    NetClient c;
    ASSERT_TRUE(c.connect_to(port()));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_EQ(c.item(0), "");
    EXPECT_TRUE(wait_until([&] { return server().counters().refused.load() == 1; }));
}

TEST_F(NetServer, TheBeaconNamesTheServerAndItsBusesWhenAskedFor)
{
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(udp, reinterpret_cast<sockaddr *>(&a), &len);
    netd::ServerOptions o = quiet_options();
    o.beacon = true;
    o.beacon_address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    serve(o);
    pollfd p = {udp, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    char b[2048];
    const ssize_t n = recv(udp, b, sizeof b, 0);
    close(udp);
    ASSERT_GT(n, 0);
    const std::string text(b, static_cast<size_t>(n));
    EXPECT_EQ(text.rfind("<CANBeacon name=\"", 0), 0u) << text;
    EXPECT_NE(text.find("type=\"adapter\""), std::string::npos) << text;
    EXPECT_NE(text.find("<URL>can://127.0.0.1:" + std::to_string(port()) + "</URL>"), std::string::npos) << text;
    EXPECT_NE(text.find("<Bus name=\"can0\"/><Bus name=\"can1\"/>"), std::string::npos) << text;
}

TEST_F(NetServer, UnplugClosesTheBusClientsWithAReasonAndAReplugIsServedAgain)
{
    serve();
    NetClient a, waiting;
    ASSERT_TRUE(a.open_bus(port(), "can0"));
    ASSERT_TRUE(waiting.connect_to(port()));
    EXPECT_EQ(waiting.item(), "< hi >");
    // A cyclic send running when the adapter goes ends with it.
    a.send_text("< bcmmode >< add 0 5000 123 1 55 >< rawmode >");
    EXPECT_EQ(a.item(), "< ok >");
    EXPECT_EQ(a.item(), "< ok >");
    ASSERT_GE(wire_frames(2).size(), 2u);
    EXPECT_EQ(server().cyclic_jobs(), 1u);
    unplug();
    // The cyclic frame the gone adapter refused may be reported before the
    // link sees the adapter go.
    std::string reason = a.item();
    while (reason == "< error frame not sent: the adapter refused it >")
        reason = a.item();
    EXPECT_EQ(reason.rfind("< error the adapter at ", 0), 0u) << reason;
    EXPECT_NE(reason.find(" has gone >"), std::string::npos) << reason;
    EXPECT_TRUE(a.wait_closed());
    ASSERT_TRUE(wait_until([&] { return !link().up(); }));
    EXPECT_TRUE(wait_until([&] { return server().cyclic_jobs() == 0; }));
    // A client without a bus stays; a bus cannot be opened meanwhile.
    waiting.send_text("< echo >");
    EXPECT_EQ(waiting.item(), "< echo >");
    NetClient early;
    ASSERT_TRUE(early.connect_to(port()));
    EXPECT_EQ(early.item(), "< hi >");
    early.send_text("< open can0 >");
    EXPECT_EQ(early.item(), "< error could not open bus >");

    replug();
    ASSERT_TRUE(wait_until([&] { return link().up(); }, 10000));
    NetClient b;
    ASSERT_TRUE(b.open_bus(port(), "can0"));
    sim().inject(sim::report_e2(0, false, false, 1, 0x42, {7}, 5, 0));
    Line l;
    ASSERT_TRUE(frame_of_line(b.item(), &l));
    EXPECT_EQ(l.id + "#" + l.data, "042#07");
    b.send_text("< send 43 1 8 >");
    // The new adapter gets that frame and nothing of the old cyclic send.
    const Bytes sent = with_trailer({0xE0, 0x11, 0x00, 0x00, 0x00, 0x43, 0x08, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(wire_frames(1), std::vector<Bytes>{sent});
}

}  // namespace
}  // namespace velk::test
