// ISO-TP connections driven frame by frame on a fake clock: each case is a
// script of what the caller does and the exact frames and events that must
// come back; then two connections back to back, the trace reassembler, and
// UDS requests and exchanges over a connection on the same clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "isotp.h"
#include "uds.h"

using velk::isotp::Addressing;
using velk::isotp::Connection;
using velk::isotp::Error;
using velk::isotp::Event;
using velk::isotp::Options;
using velk::trace::Frame;

namespace {

std::vector<uint8_t> bytes_of(const std::string &hex)
{
    // "n300": 300 bytes counting up from 0.
    std::vector<uint8_t> v;
    if (!hex.empty() && hex[0] == 'n') {
        for (int i = 0, n = std::stoi(hex.substr(1)); i < n; ++i)
            v.push_back(uint8_t(i));
        return v;
    }
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        v.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return v;
}

std::string hex_of(const std::vector<uint8_t> &v)
{
    std::string s;
    char b[3];
    for (uint8_t x : v) {
        std::snprintf(b, sizeof b, "%02X", x);
        s += b;
    }
    return s;
}

Frame frame(const std::string &text)
{
    Frame f;
    std::string why;
    EXPECT_TRUE(velk::trace::parse_frame_text(text, &f, &why)) << text << ": " << why;
    return f;
}

// A case's name as GoogleTest takes it.
std::string test_name(const char *name)
{
    std::string n;
    for (const char *p = name; *p; ++p)
        n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
}

std::string text_of(const Frame &f)
{
    return velk::trace::frame_text(f, false);
}

std::string event_text(const Event &e)
{
    switch (e.kind) {
    case Event::Sent: return "Sent";
    case Event::Received: return "Received " + hex_of(e.data);
    case Event::TxError: return std::string("TxError ") + velk::isotp::error_name(e.error);
    case Event::RxError: return std::string("RxError ") + velk::isotp::error_name(e.error);
    }
    return "?";
}

// What the caller does at time t (microseconds):
//   S send the message, F send it as a functional request, X send is refused
//   T next frame is this one (then confirmed sent), U the same unconfirmed,
//   C confirm, N no frame now, R a frame arrives, K tick,
//   E next event is this one, Q no event.
struct Step {
    char op;
    uint64_t t;
    const char *arg;
};

struct Case {
    const char *name;
    void (*setup)(Options *o);
    std::vector<Step> steps;
};

void normal(Options *o)
{
    o->address.tx_id = 0x7E0;
    o->address.rx_id = 0x7E8;
}

void padded(Options *o)
{
    normal(o);
    o->padding = 0xAA;
    o->min_len = 8;
}

void extended(Options *o)
{
    normal(o);
    o->address.mode = Addressing::Extended;
    o->address.tx_ext = 0xF1;
    o->address.rx_ext = 0x10;
}

void mixed29(Options *o)
{
    o->address = {.tx_id = 0x18DA01F1, .rx_id = 0x18DAF101, .extended_id = true, .mode = Addressing::Mixed,
                  .tx_ext = 0x55, .rx_ext = 0x55};
}

void fd64(Options *o)
{
    normal(o);
    o->fd = true;
    o->tx_dl = 64;
}

void two_waits(Options *o)
{
    normal(o);
    o->max_wait_frames = 2;
}

void blocks_of_one(Options *o)
{
    normal(o);
    o->block_size = 1;
    o->stmin = 0xF3;
}

void short_limit(Options *o)
{
    normal(o);
    o->max_rx_len = 100;
}

void flow_padded(Options *o)
{
    normal(o);
    o->padding = 0x55;
    o->min_len = 8;
    o->block_size = 8;
    o->stmin = 5;
}

void functional(Options *o)
{
    normal(o);
    o->address.func_id = 0x7DF;
}

const std::vector<Case> kCases = {
    {"single frame", normal, {{'S', 0, "22F190"}, {'T', 0, "7E0#0322F190"}, {'E', 0, "Sent"}, {'N', 0, ""}}},
    {"single frame padded to 8", padded, {{'S', 0, "22F190"}, {'T', 0, "7E0#0322F190AAAAAAAA"}, {'E', 0, "Sent"}}},
    {"single frame of 7 bytes", normal, {{'S', 0, "n7"}, {'T', 0, "7E0#07000102030405 06"}}},
    {"extended addressing puts the target first", extended,
     {{'S', 0, "n6"}, {'T', 0, "7E0#F106000102030405"}, {'E', 0, "Sent"}}},
    {"extended addressing: seven bytes need a first frame", extended,
     {{'S', 0, "n7"}, {'T', 0, "7E0#F110070001020304"}, {'N', 0, ""}, {'R', 1, "7E8#10300000"},
      {'T', 1, "7E0#F121050 6"}, {'E', 1, "Sent"}}},
    {"extended addressing takes only its own address", extended,
     {{'R', 0, "7E8#11037F2231"}, {'Q', 0, ""}, {'R', 0, "7E8#10037F2231"}, {'E', 0, "Received 7F2231"}}},
    {"mixed addressing on 29-bit identifiers", mixed29,
     {{'S', 0, "1001"}, {'T', 0, "18DA01F1#55021001"}, {'R', 5, "18DAF101#5502 5001"},
      {'E', 0, "Sent"}, {'E', 0, "Received 5001"}}},
    {"first frame, flow control, last consecutive frame", normal,
     {{'S', 0, "n10"}, {'T', 0, "7E0#100A000102030405"}, {'N', 500, ""}, {'R', 600, "7E8#300000"},
      {'T', 600, "7E0#2106070809"}, {'E', 600, "Sent"}}},
    {"block size and STmin of the receiver are honoured", normal,
     {{'S', 0, "n27"}, {'T', 0, "7E0#101B000102030405"}, {'R', 1000, "7E8#30020A"},
      {'T', 1000, "7E0#2106070809 0A0B0C"}, {'N', 10999, ""}, {'T', 11000, "7E0#220D0E0F10111213"},
      {'N', 50000, ""}, {'R', 50000, "7E8#300014"}, {'T', 50000, "7E0#23141516171819 1A"}, {'E', 0, "Sent"}}},
    {"STmin of 100 to 900 microseconds", normal,
     {{'S', 0, "n20"}, {'T', 0, "7E0#1014000102030405"}, {'R', 0, "7E8#3000F5"}, {'T', 0, "7E0#21060708090A0B0C"},
      {'N', 499, ""}, {'T', 500, "7E0#220D0E0F10111213"}, {'E', 0, "Sent"}}},
    {"reserved STmin counts as 127 ms", normal,
     {{'S', 0, "n20"}, {'T', 0, "7E0#1014000102030405"}, {'R', 0, "7E8#300080"}, {'T', 0, "7E0#21060708090A0B0C"},
      {'N', 126999, ""}, {'T', 127000, "7E0#220D0E0F10111213"}}},
    {"wait frames up to the limit", two_waits,
     {{'S', 0, "n10"}, {'T', 0, "7E0#100A000102030405"}, {'R', 900000, "7E8#310000"}, {'K', 1800000, ""},
      {'Q', 0, ""}, {'R', 1800000, "7E8#310000"}, {'R', 1900000, "7E8#310000"},
      {'E', 0, "TxError too many wait frames"}, {'N', 1900000, ""}}},
    {"a wait frame restarts N_Bs", two_waits,
     {{'S', 0, "n10"}, {'T', 0, "7E0#100A000102030405"}, {'R', 900000, "7E8#310000"}, {'K', 1899999, ""},
      {'Q', 0, ""}, {'K', 1900000, ""}, {'E', 0, "TxError timeout N_Bs"}}},
    {"overflow ends the sending", normal,
     {{'S', 0, "n10"}, {'T', 0, "7E0#100A000102030405"}, {'R', 1, "7E8#320000"}, {'E', 1, "TxError receiver overflow"},
      {'N', 2, ""}}},
    {"unknown flow status ends the sending", normal,
     {{'S', 0, "n10"}, {'T', 0, "7E0#100A000102030405"}, {'R', 1, "7E8#370000"}, {'E', 1, "TxError bad flow status"}}},
    {"no flow control within N_Bs", normal,
     {{'S', 0, "n10"}, {'T', 0, "7E0#100A000102030405"}, {'K', 999999, ""}, {'Q', 0, ""}, {'K', 1000000, ""},
      {'E', 0, "TxError timeout N_Bs"}, {'S', 1000000, "01"}, {'T', 1000000, "7E0#0101"}}},
    {"no confirmation within N_As", normal,
     {{'S', 0, "3E00"}, {'U', 0, "7E0#023E00"}, {'K', 999999, ""}, {'Q', 0, ""}, {'K', 1000000, ""},
      {'E', 0, "TxError timeout N_As"}}},
    {"flow control before the first frame's confirmation", normal,
     {{'S', 0, "n10"}, {'U', 0, "7E0#100A000102030405"}, {'R', 10, "7E8#300000"}, {'C', 20, ""},
      {'T', 20, "7E0#2106070809"}, {'E', 0, "Sent"}}},
    {"full duplex: a message each way at once", normal,
     {{'S', 0, "n10"}, {'T', 0, "7E0#100A000102030405"}, {'R', 1, "7E8#1014000102030405"}, {'T', 1, "7E0#300000"},
      {'R', 2, "7E8#300000"}, {'T', 2, "7E0#2106070809"}, {'E', 2, "Sent"}, {'R', 3, "7E8#21060708090A0B0C"},
      {'R', 4, "7E8#220D0E0F10111213"}, {'E', 4, "Received 000102030405060708090A0B0C0D0E0F10111213"}}},
    {"a second message waits for the first", normal, {{'S', 0, "n10"}, {'S', 0, "01"}, {'X', 0, ""}}},
    {"receive a single frame", normal, {{'R', 0, "7E8#0462F19001"}, {'E', 0, "Received 62F19001"}}},
    {"frames of other identifiers are not taken", normal,
     {{'R', 0, "7E9#0462F19001"}, {'R', 0, "7E0#0462F19001"}, {'Q', 0, ""}}},
    {"receive a segmented message, announcing block size and STmin", blocks_of_one,
     {{'R', 0, "7E8#1014000102030405"}, {'T', 0, "7E0#3001F3"}, {'R', 300, "7E8#21060708090A0B0C"},
      {'T', 300, "7E0#3001F3"}, {'R', 600, "7E8#220D0E0F10111213"}, {'N', 600, ""},
      {'E', 0, "Received 000102030405060708090A0B0C0D0E0F10111213"}}},
    {"flow control padded", flow_padded,
     {{'R', 0, "7E8#100A000102030405"}, {'T', 0, "7E0#3008055555555555"}}},
    {"wrong sequence number drops the message", normal,
     {{'R', 0, "7E8#1014000102030405"}, {'T', 0, "7E0#300000"}, {'R', 1, "7E8#22060708090A0B0C"},
      {'E', 0, "RxError wrong sequence number"}, {'R', 2, "7E8#23060708090A0B0C"}, {'Q', 0, ""}}},
    {"no consecutive frame within N_Cr", normal,
     {{'R', 0, "7E8#1014000102030405"}, {'T', 0, "7E0#300000"}, {'R', 500000, "7E8#21060708090A0B0C"},
      {'K', 1499999, ""}, {'Q', 0, ""}, {'K', 1500000, ""}, {'E', 0, "RxError timeout N_Cr"}}},
    {"a message beyond the limit is refused with overflow", short_limit,
     {{'R', 0, "7E8#10C8000102030405"}, {'T', 0, "7E0#320000"}, {'E', 0, "RxError message too long"},
      {'R', 1, "7E8#21060708090A0B0C"}, {'Q', 0, ""}}},
    {"a new message interrupts the one under way", normal,
     {{'R', 0, "7E8#1014000102030405"}, {'T', 0, "7E0#300000"}, {'R', 1, "7E8#0151"},
      {'E', 0, "RxError interrupted by a new message"}, {'E', 0, "Received 51"}}},
    {"malformed frames are said and ignored", normal,
     {{'R', 0, "7E8#00"}, {'E', 0, "RxError malformed frame"}, {'R', 0, "7E8#0801020304050607"},
      {'E', 0, "RxError malformed frame"}, {'R', 0, "7E8#1006000102030405"}, {'E', 0, "RxError malformed frame"},
      {'R', 0, "7E8#3000"}, {'E', 0, "RxError malformed frame"}, {'R', 0, "7E8#4000"},
      {'E', 0, "RxError malformed frame"}}},
    {"first frame beyond 4095 bytes in the escape form", normal,
     {{'S', 0, "n5000"}, {'T', 0, "7E0#1000000013880001"}, {'R', 0, "7E8#300000"}, {'T', 0, "7E0#2102030405060708"}}},
    {"receive the escape form of a first frame", normal,
     {{'R', 0, "7E8#1000000010000001"}, {'T', 0, "7E0#300000"}, {'R', 0, "7E8#1000000000080001"},
      {'E', 0, "RxError malformed frame"}, {'Q', 0, ""}}},
    {"CAN FD single frame of up to 7 bytes keeps the short form", fd64,
     {{'S', 0, "n5"}, {'T', 0, "7E0##0050001020304"}, {'E', 0, "Sent"}}},
    {"CAN FD single frame beyond 7 bytes in the escape form", fd64,
     {{'S', 0, "n20"}, {'T', 0, "7E0##00014000102030405060708090A0B0C0D0E0F10111213CCCC"}, {'E', 0, "Sent"},
      {'R', 0, "7E8##0000A00010203040506070809"}, {'E', 0, "Received 00010203040506070809"}}},
    {"CAN FD first frame and 64-byte consecutive frames", fd64,
     {{'S', 0, "n150"}, {'T', 0, "7E0##01096000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
                                  "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D"},
      {'R', 0, "7E8##0300000"},
      {'T', 0, "7E0##0213E3F404142434445464748494A4B4C4D4E4F505152535455565758595A5B5C5D5E5F60616263"
               "6465666768696A6B6C6D6E6F707172737475767778797A7B7C"},
      {'T', 0, "7E0##0227D7E7F808182838485868788898A8B8C8D8E8F909192939495 CCCCCCCCCCCC"},
      {'E', 0, "Sent"}}},
    {"functional request in one single frame", functional,
     {{'F', 0, "3E00"}, {'T', 0, "7DF#023E00"}, {'E', 0, "Sent"}, {'F', 0, "n8"}, {'X', 0, ""}}},
};

void run(const Case &c)
{
    Options o;
    c.setup(&o);
    Connection conn(o);
    bool last_send = true;
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step &s = c.steps[i];
        std::string arg = s.arg;
        if (s.op == 'T' || s.op == 'U' || s.op == 'R')
            std::erase(arg, ' ');  // frames are spaced for reading
        SCOPED_TRACE("step " + std::to_string(i) + " " + s.op + " " + arg);
        Frame f;
        Event e;
        switch (s.op) {
        case 'S':
        case 'F':
            last_send = conn.send(bytes_of(arg), s.t, s.op == 'F');
            if (i + 1 == c.steps.size() || c.steps[i + 1].op != 'X') {
                ASSERT_TRUE(last_send);
            }
            break;
        case 'X': ASSERT_FALSE(last_send); break;
        case 'T':
        case 'U':
            ASSERT_TRUE(conn.next_frame(s.t, &f));
            EXPECT_EQ(text_of(f), arg);
            EXPECT_TRUE(f.tx);
            if (s.op == 'T')
                conn.sent(s.t);
            break;
        case 'C': conn.sent(s.t); break;
        case 'N':
            EXPECT_FALSE(conn.next_frame(s.t, &f)) << text_of(f);
            break;
        case 'R': conn.on_frame(frame(arg), s.t); break;
        case 'K': conn.tick(s.t); break;
        case 'E':
            ASSERT_TRUE(conn.next_event(&e));
            EXPECT_EQ(event_text(e), arg);
            break;
        case 'Q':
            EXPECT_FALSE(conn.next_event(&e)) << event_text(e);
            break;
        default: FAIL() << "unknown step";
        }
    }
}

// A case of any table is shown by its name.
template <typename T>
    requires requires(const T &c) { c.name; }
void PrintTo(const T &c, std::ostream *os)
{
    *os << c.name;
}

class Script : public testing::TestWithParam<Case> {};

TEST_P(Script, FramesAndEventsAreExact)
{
    run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Isotp, Script, testing::ValuesIn(kCases), [](const auto &info) { return test_name(info.param.name); });

// Connections sharing a channel: each takes the frames of its own receive
// identifier and address byte, and leaves every other frame to the rest.
TEST(IsotpChannel, ConnectionsTakeOnlyTheirOwnFrames)
{
    Options o1, o2, o3;
    normal(&o1);
    o2.address = {.tx_id = 0x7E1, .rx_id = 0x7E9};
    extended(&o3);
    o3.address.rx_id = 0x6F1;
    Connection c1(o1), c2(o2), c3(o3);
    const std::vector<std::pair<const char *, int>> frames = {
        {"7E8#0151", 1}, {"7E9#0152", 2}, {"6F1#100153", 3}, {"6F1#11025354", 0}, {"123#0155", 0}, {"7E9#0156", 2},
    };
    for (const auto &[text, owner] : frames) {
        Frame f = frame(text);
        EXPECT_EQ(c1.on_frame(f, 0), owner == 1) << text;
        EXPECT_EQ(c2.on_frame(f, 0), owner == 2) << text;
        EXPECT_EQ(c3.on_frame(f, 0), owner == 3) << text;
        f.tx = true;  // a copy of what this side sent
        EXPECT_FALSE(c1.on_frame(f, 0) || c2.on_frame(f, 0) || c3.on_frame(f, 0)) << text;
    }
    Event e;
    ASSERT_TRUE(c2.next_event(&e));
    EXPECT_EQ(event_text(e), "Received 52");
    ASSERT_TRUE(c2.next_event(&e));
    EXPECT_EQ(event_text(e), "Received 56");
    ASSERT_TRUE(c3.next_event(&e));
    EXPECT_EQ(event_text(e), "Received 53");
}

// Two connections back to back on one fake clock: every frame handed out
// goes to the other side at once, and time jumps to the next deadline.
struct Loop {
    const char *name;
    void (*setup)(Options *o);
    uint8_t block_size;
    uint8_t stmin;
    size_t length;
    int data_frames;  // frames of the message
    int flow_controls;
    uint64_t last_us; // when its last frame went out
};

void reversed(Options *o)
{
    std::swap(o->address.tx_id, o->address.rx_id);
    std::swap(o->address.tx_ext, o->address.rx_ext);
}

void extended_both(Options *o)
{
    extended(o);
    o->address.rx_ext = 0xF1;
    o->address.tx_ext = 0xF1;
}

const std::vector<Loop> kLoops = {
    // 4095 bytes: a first frame of 6, then 585 consecutive frames of 7.
    {"largest short first frame", normal, 0, 0, 4095, 586, 1, 0},
    // Blocks of 8 spaced by 5 ms, with no wait at a block's start: 585
    // frames in 74 blocks, 511 gaps.
    {"blocks of 8 at 5 ms", normal, 8, 5, 4095, 586, 74, 511 * 5000},
    {"STmin of 500 us", normal, 0, 0xF5, 100, 15, 1, 13 * 500},
    {"one frame a block", padded, 1, 0, 20, 3, 2, 0},
    // 5000 bytes in CAN FD: an escaped first frame of 58, then 79 of up to 63.
    {"CAN FD beyond 4095 bytes", fd64, 0, 0, 5000, 80, 1, 0},
    // With an address byte: a first frame of 5, then 682 of up to 6.
    {"extended addressing", extended_both, 0, 0, 4095, 683, 1, 0},
};

class BackToBack : public testing::TestWithParam<Loop> {};

TEST_P(BackToBack, MessageArrivesWholeInTheFramesAndTimeExpected)
{
    const Loop &l = GetParam();
    Options oa, ob;
    l.setup(&oa);
    l.setup(&ob);
    reversed(&ob);
    ob.block_size = l.block_size;
    ob.stmin = l.stmin;
    Connection a(oa), b(ob);
    std::vector<uint8_t> message(l.length);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = uint8_t(i * 7 + 3);
    uint64_t now = 0;
    ASSERT_TRUE(a.send(message, now));
    int data_frames = 0, flow_controls = 0;
    uint64_t last_us = 0;
    bool sent = false, received = false;
    for (int guard = 0; guard < 100000 && !(sent && received); ++guard) {
        Frame f;
        bool moved = false;
        while (a.next_frame(now, &f)) {
            ++data_frames;
            last_us = now;
            f.tx = false;
            b.on_frame(f, now);
            a.sent(now);
            moved = true;
        }
        while (b.next_frame(now, &f)) {
            ++flow_controls;
            f.tx = false;
            a.on_frame(f, now);
            b.sent(now);
            moved = true;
        }
        Event e;
        while (a.next_event(&e)) {
            ASSERT_EQ(e.kind, Event::Sent) << event_text(e);
            sent = true;
        }
        while (b.next_event(&e)) {
            ASSERT_EQ(e.kind, Event::Received) << event_text(e);
            EXPECT_EQ(e.data, message);
            received = true;
        }
        if (!moved)
            now = std::min(a.next_deadline(), b.next_deadline());
        a.tick(now);
        b.tick(now);
    }
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received);
    EXPECT_EQ(data_frames, l.data_frames);
    EXPECT_EQ(flow_controls, l.flow_controls);
    EXPECT_EQ(last_us, l.last_us);
}

INSTANTIATE_TEST_SUITE_P(Isotp, BackToBack, testing::ValuesIn(kLoops), [](const auto &info) { return test_name(info.param.name); });

// The reassembler over a trace: frames at given times (seconds), each
// message as "ID[/EXT] [fc=ID] START-END LENGTH ERROR DATA".
struct Trace {
    const char *name;
    Addressing mode;
    std::vector<std::pair<uint32_t, bool>> ids;
    std::vector<std::pair<double, const char *>> frames;
    std::vector<std::string> messages;
};

std::string summary(const velk::isotp::Message &m)
{
    char head[128];
    const std::string ext = m.ext >= 0 ? "/" + std::to_string(m.ext) : "";
    char fc[16] = "";
    if (m.flow_id >= 0)
        std::snprintf(fc, sizeof fc, " fc=%X", unsigned(m.flow_id));
    std::snprintf(head, sizeof head, "%X%s%s %.3f-%.3f %u %s ", unsigned(m.id), ext.c_str(), fc,
                  double(m.start_us) / 1e6, double(m.end_us) / 1e6, unsigned(m.length),
                  velk::isotp::error_name(m.error));
    return head + hex_of(m.data);
}

const std::vector<Trace> kTraces = {
    {"request and segmented response",
     Addressing::Normal,
     {},
     {{1.0, "7E0#0322F190"},
      {1.1, "7E8#101462F190000102"},
      {1.101, "7E0#300000"},
      {1.102, "123#DEADBEEF"},
      {1.103, "7E8#2103040506070809"},
      {1.104, "7E8#220A0B0C0D0E0F10"}},
     {"7E0 1.000-1.000 3 none 22F190", "7E8 fc=7E0 1.100-1.104 20 none 62F190000102030405060708090A0B0C0D0E0F10"}},
    {"wrong sequence number",
     Addressing::Normal,
     {},
     {{0, "7E8#1014000102030405"}, {0.01, "7E8#22060708090A0B0C"}},
     {"7E8 0.000-0.010 20 wrong sequence number 000102030405"}},
    {"a gap beyond N_Cr",
     Addressing::Normal,
     {},
     {{0, "7E8#1014000102030405"}, {1.5, "7E8#21060708090A0B0C"}},
     {"7E8 0.000-0.000 20 timeout N_Cr 000102030405"}},
    {"a new message before the end",
     Addressing::Normal,
     {},
     {{0, "7E8#1014000102030405"}, {0.2, "7E8#0151"}, {0.3, "7E8#1009000102030405"}},
     {"7E8 0.000-0.000 20 missing frames 000102030405", "7E8 0.200-0.200 1 none 51",
      "7E8 0.300-0.300 9 missing frames 000102030405"}},
    {"overflow refuses the message",
     Addressing::Normal,
     {},
     {{0, "7E8#1014000102030405"}, {0.001, "7E0#320000"}},
     {"7E8 fc=7E0 0.000-0.000 20 receiver overflow 000102030405"}},
    {"identifiers chosen",
     Addressing::Normal,
     {{0x7E8, false}},
     {{0, "7E0#0322F190"}, {0.1, "7E8#037F2231"}, {0.2, "7E8#0151"}},
     {"7E8 0.100-0.100 3 none 7F2231", "7E8 0.200-0.200 1 none 51"}},
    {"extended addressing keeps each target apart",
     Addressing::Extended,
     {},
     {{0, "6F1#10100A0001020304"}, {0.001, "6F1#1101AA"}, {0.002, "6F1#10210506070809"}},
     {"6F1/17 0.001-0.001 1 none AA", "6F1/16 0.000-0.002 10 none 00010203040506070809"}},
};

class Reassemble : public testing::TestWithParam<Trace> {};

TEST_P(Reassemble, MessagesWithTimesAndErrors)
{
    const Trace &t = GetParam();
    velk::isotp::ReassemblerOptions o;
    o.mode = t.mode;
    o.ids = t.ids;
    velk::isotp::Reassembler r(o);
    for (const auto &[sec, text] : t.frames) {
        Frame f = frame(text);
        const int64_t us = int64_t(sec * 1e6 + 0.5);
        f.sec = us / 1000000;
        f.usec = uint32_t(us % 1000000);
        r.add(f);
    }
    r.finish();
    std::vector<std::string> got;
    velk::isotp::Message m;
    while (r.next(&m))
        got.push_back(summary(m));
    EXPECT_EQ(got, t.messages);
}

INSTANTIATE_TEST_SUITE_P(Isotp, Reassemble, testing::ValuesIn(kTraces), [](const auto &info) { return test_name(info.param.name); });

// UDS: each request as the bytes it makes.
struct Request {
    const char *name;
    std::vector<uint8_t> bytes;
    const char *hex;
};

const std::vector<Request> kRequests = {
    {"session", velk::uds::session_request(0x03), "1003"},
    {"reset", velk::uds::reset_request(0x01), "1101"},
    {"read two identifiers", velk::uds::read_request({0xF190, 0x0102}), "22F1900102"},
    {"write", velk::uds::write_request(0xF199, {0x20, 0x26}), "2EF1992026"},
    {"DTC count by mask", velk::uds::dtc_request(0x01, 0x09), "190109"},
    {"DTCs by mask", velk::uds::dtc_request(0x02, 0xFF), "1902FF"},
    {"supported DTCs take no mask", velk::uds::dtc_request(0x0A, 0xFF), "190A"},
    {"clear every DTC", velk::uds::clear_dtc_request(), "14FFFFFF"},
    {"clear one group", velk::uds::clear_dtc_request(0x123456), "14123456"},
    {"start a routine with options", velk::uds::routine_request(0x01, 0xFF00, {0xAA}), "3101FF00AA"},
    {"ask a seed", velk::uds::seed_request(0x01), "2701"},
    {"send the key on the next level", velk::uds::key_request(0x03, {0x12, 0x34}), "27041234"},
    {"tester present, no answer wanted", velk::uds::tester_present_request(true), "3E80"},
    {"tester present", velk::uds::tester_present_request(false), "3E00"},
};

class UdsRequest : public testing::TestWithParam<Request> {};

TEST_P(UdsRequest, BytesAreExact)
{
    EXPECT_EQ(hex_of(GetParam().bytes), GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(Uds, UdsRequest, testing::ValuesIn(kRequests), [](const auto &info) { return test_name(info.param.name); });

// A response checked against its request, as a user reads the outcome.
struct Answer {
    const char *name;
    const char *request;
    const char *response;
    const char *text;
};

const std::vector<Answer> kAnswers = {
    {"positive session", "1003", "5003003201F4", "positive response"},
    {"positive read echoes the identifier", "22F190", "62F19041", "positive response"},
    {"suppress bit is not echoed", "3E80", "7E00", "positive response"},
    {"routine echoes control and identifier", "3101FF00", "7101FF0000", "positive response"},
    {"negative response by name", "22F190", "7F2231", "negative response 0x31 requestOutOfRange"},
    {"security denied", "270201020304", "7F2735", "negative response 0x35 invalidKey"},
    {"unknown code", "1101", "7F1195", "negative response 0x95 (unknown)"},
    {"pending", "3101FF00", "7F3178", "response pending"},
    {"another service's negative response", "22F190", "7F3E12", "a negative response to another request"},
    {"wrong service", "22F190", "6E F190", "unexpected answer: response 0x6E to request 0x22"},
    {"wrong identifier", "22F190", "62F19141",
     "unexpected answer: response to 0x22 repeats 0x91 where the request had 0x90"},
    {"short negative response", "1003", "7F10", "unexpected answer: a negative response of 2 bytes"},
    {"cut short", "1003", "50", "unexpected answer: a response of 1 bytes to request 0x10"},
};

class UdsAnswer : public testing::TestWithParam<Answer> {};

TEST_P(UdsAnswer, OutcomeIsSaid)
{
    std::string response = GetParam().response;
    std::erase(response, ' ');
    const velk::uds::Outcome o = velk::uds::check_response(bytes_of(GetParam().request), bytes_of(response));
    EXPECT_EQ(velk::uds::outcome_text(o), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Uds, UdsAnswer, testing::ValuesIn(kAnswers), [](const auto &info) { return test_name(info.param.name); });

// A request's exchange over a connection from 7E0 to 7E8, on a fake clock:
//   S send the request, T next frame is this one (confirmed sent),
//   R a frame arrives, K tick, W still waiting with this deadline ("-": none),
//   O the outcome.
struct UdsCase {
    const char *name;
    std::vector<Step> steps;
};

const std::vector<UdsCase> kExchanges = {
    {"answer within P2",
     {{'S', 0, "22F190"}, {'T', 10, "7E0#0322F190"}, {'W', 10, "50010"}, {'R', 50009, "7E8#0462F19041"},
      {'O', 0, "positive response 62F19041"}}},
    {"no answer within P2",
     {{'S', 0, "1003"}, {'T', 0, "7E0#021003"}, {'K', 49999, ""}, {'W', 0, "50000"}, {'K', 50000, ""},
      {'O', 0, "no response within P2 (50 ms)"}}},
    {"responsePending moves to P2*",
     {{'S', 0, "3101FF00"}, {'T', 0, "7E0#043101FF00"}, {'R', 40000, "7E8#037F3178"}, {'W', 0, "5040000"},
      {'R', 5000000, "7E8#037F3178"}, {'K', 9999999, ""}, {'W', 0, "10000000"},
      {'R', 9999999, "7E8#057101FF0000"}, {'O', 0, "positive response 7101FF0000 [2 pending]"}}},
    {"no final response within P2*",
     {{'S', 0, "3101FF00"}, {'T', 0, "7E0#043101FF00"}, {'R', 1000, "7E8#037F3178"}, {'K', 5000999, ""},
      {'W', 0, "5001000"}, {'K', 5001000, ""},
      {'O', 0, "no final response within P2* (5000 ms) after responsePending [1 pending]"}}},
    {"a long answer stops the clock while it arrives",
     {{'S', 0, "22F190"}, {'T', 0, "7E0#0322F190"}, {'R', 40000, "7E8#100A62F190414243"}, {'T', 40000, "7E0#300000"},
      {'W', 0, "-"}, {'K', 900000, ""}, {'R', 900000, "7E8#2144454647"},
      {'O', 0, "positive response 62F19041424344454647"}}},
    {"a negative response",
     {{'S', 0, "2EF19901"}, {'T', 0, "7E0#042EF19901"}, {'R', 1, "7E8#037F2E33"},
      {'O', 0, "negative response 0x33 securityAccessDenied 7F2E33"}}},
    {"another service's answer is passed over",
     {{'S', 0, "1101"}, {'T', 0, "7E0#021101"}, {'R', 30000, "7E8#037F3E12"}, {'W', 0, "80000"},
      {'R', 30001, "7E8#025101"}, {'O', 0, "positive response 5101"}}},
    {"suppressed answer: done once sent", {{'S', 0, "3E80"}, {'T', 0, "7E0#023E80"}, {'O', 0, "sent"}}},
    {"the transport fails",
     {{'S', 0, "22F190"}, {'T', 0, "7E0#0322F190"}, {'R', 1, "7E8#100A62F190414243"}, {'T', 1, "7E0#300000"},
      {'K', 1000001, ""}, {'O', 0, "ISO-TP: timeout N_Cr"}}},
};

class UdsExchange : public testing::TestWithParam<UdsCase> {};

TEST_P(UdsExchange, TimesAndOutcomeAreExact)
{
    Options o;
    normal(&o);
    Connection conn(o);
    velk::uds::Exchange x({});
    uint64_t now = 0;
    auto pump = [&] {
        Event e;
        while (conn.next_event(&e))
            x.on_event(e, now);
    };
    const auto &steps = GetParam().steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step &s = steps[i];
        std::string arg = s.arg;
        std::erase(arg, ' ');
        SCOPED_TRACE("step " + std::to_string(i) + " " + s.op + " " + arg);
        now = std::max(now, s.t);
        Frame f;
        switch (s.op) {
        case 'S':
            ASSERT_TRUE(conn.send(bytes_of(arg), now));
            x.start(bytes_of(arg), now);
            break;
        case 'T':
            ASSERT_TRUE(conn.next_frame(now, &f));
            EXPECT_EQ(text_of(f), arg);
            conn.sent(now);
            pump();
            break;
        case 'R':
            if (conn.on_frame(frame(arg), now))
                x.on_frame(now);
            pump();
            break;
        case 'K':
            conn.tick(now);
            pump();
            x.tick(now);
            break;
        case 'W':
            EXPECT_FALSE(x.done()) << velk::uds::outcome_text(x.outcome());
            EXPECT_EQ(x.deadline() == UINT64_MAX ? "-" : std::to_string(x.deadline()), arg);
            break;
        case 'O': {
            ASSERT_TRUE(x.done());
            const velk::uds::Outcome &out = x.outcome();
            std::string text = velk::uds::outcome_text(out);
            if (!out.response.empty())
                text += " " + hex_of(out.response);
            if (out.pending)
                text += " [" + std::to_string(out.pending) + " pending]";
            EXPECT_EQ(text, s.arg);
            break;
        }
        default: FAIL() << "unknown step";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Uds, UdsExchange, testing::ValuesIn(kExchanges), [](const auto &info) { return test_name(info.param.name); });

TEST(UdsRead, IdentifiersSplitByTheirKnownLengths)
{
    std::vector<velk::uds::DidValue> v;
    std::string why;
    const auto lengths = [](uint16_t did) { return did == 0x0102 ? 2 : -1; };
    ASSERT_TRUE(velk::uds::read_data_response(bytes_of("620102ABCDF19041424344"), {0x0102, 0xF190}, lengths, &v, &why))
        << why;
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(hex_of(v[0].value), "ABCD");
    EXPECT_EQ(hex_of(v[1].value), "41424344");
    EXPECT_FALSE(velk::uds::read_data_response(bytes_of("62F19041420102ABCD"), {0xF190, 0x0102}, lengths, &v, &why));
    EXPECT_EQ(why, "the length of F190 is not known, so the identifiers after it cannot be read");
    EXPECT_FALSE(velk::uds::read_data_response(bytes_of("620102AB"), {0x0102}, lengths, &v, &why));
    EXPECT_EQ(why, "the value of 0102 is cut short");
    EXPECT_FALSE(velk::uds::read_data_response(bytes_of("620102ABCDEE"), {0x0102}, lengths, &v, &why));
    EXPECT_EQ(why, "1 bytes after the last identifier");
}

TEST(UdsDtc, RecordsAndStatusBitsByName)
{
    velk::uds::DtcReport r;
    std::string why;
    ASSERT_TRUE(velk::uds::read_dtc_response(bytes_of("5902FF01234509C4560128"), &r, &why)) << why;
    EXPECT_EQ(r.availability, 0xFF);
    ASSERT_EQ(r.dtcs.size(), 2u);
    EXPECT_EQ(velk::uds::dtc_text(r.dtcs[0].code), "P0123-45");
    EXPECT_EQ(velk::uds::dtc_status_text(r.dtcs[0].status), "testFailed confirmedDTC");
    EXPECT_EQ(velk::uds::dtc_text(r.dtcs[1].code), "U0456-01");
    EXPECT_EQ(velk::uds::dtc_status_text(r.dtcs[1].status), "confirmedDTC testFailedSinceLastClear");
    EXPECT_EQ(velk::uds::dtc_status_text(0), "-");
    ASSERT_TRUE(velk::uds::read_dtc_response(bytes_of("590109010003"), &r, &why)) << why;
    EXPECT_EQ(r.format, 0x01);
    EXPECT_EQ(r.count, 3);
    EXPECT_FALSE(velk::uds::read_dtc_response(bytes_of("5902FF012345"), &r, &why));
    EXPECT_EQ(why, "DTC records of 4 bytes expected, 3 bytes given");
}

}  // namespace
