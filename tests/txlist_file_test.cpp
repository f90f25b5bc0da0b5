// The transmit list file and the frames of its entries: what a line means,
// the round trip through the writer, bad lines refused with their line
// number, counters and checksums per cycle, database messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "txlist.h"

using namespace velk::txlist;

namespace {

bool parse(const std::string &text, List *l, std::string *error)
{
    return parse_list(text, "t.list", "", l, error);
}

std::string refusal(const std::string &text)
{
    List l;
    std::string error;
    EXPECT_FALSE(parse(text, &l, &error)) << text;
    return error;
}

CAN_FRAME_INFO frame_of(const Entry &e, uint64_t cycle, const velk::dbc::Database *db = nullptr)
{
    CAN_FRAME_INFO f;
    std::string why;
    EXPECT_TRUE(build_frame(e, db, cycle, &f, &why)) << why;
    return f;
}

TEST(ListFile, ALineGivesChannelFrameCycleAndOptions)
{
    List l;
    std::string error;
    ASSERT_TRUE(parse("# heartbeat and status\n"
                      "CAN1 123#DEADBEEF 10ms   # alive\n"
                      "\n"
                      "CAN2 1ABCDEF0##1112233 1.5s count=5 enabled=no name=Status\r\n"
                      "can1 7FF#R2 100s\n",
                      &l, &error))
        << error;
    ASSERT_EQ(l.entries.size(), 3u);
    const Entry &a = l.entries[0];
    EXPECT_EQ(a.channel, 0);
    EXPECT_EQ(a.frame.id, 0x123u);
    EXPECT_FALSE(a.frame.extended);
    EXPECT_EQ(a.frame.len, 4);
    EXPECT_EQ(a.cycle_us, 10000u);
    EXPECT_EQ(a.count, 0u);
    EXPECT_TRUE(a.enabled);
    const Entry &b = l.entries[1];
    EXPECT_EQ(b.channel, 1);
    EXPECT_TRUE(b.frame.extended);
    EXPECT_TRUE(b.frame.fd);
    EXPECT_TRUE(b.frame.brs);
    EXPECT_EQ(b.cycle_us, 1500000u);
    EXPECT_EQ(b.count, 5u);
    EXPECT_FALSE(b.enabled);
    EXPECT_EQ(b.name, "Status");
    EXPECT_TRUE(l.entries[2].frame.remote);
    EXPECT_EQ(l.entries[2].cycle_us, 100000000u);
}

TEST(ListFile, WriterAndReaderAgree)
{
    const std::string text = "CAN1 123#DEADBEEF 10ms\n"
                             "CAN2 1ABCDEF0##30011223344 250ms count=7 enabled=no counter=1/15 checksum=sum:0-3:4 "
                             "name=Cmd\n"
                             "CAN1 321#0011223344556677 1s counter=2-3 checksum=xor:0-6:7\n";
    List l, again;
    std::string error;
    ASSERT_TRUE(parse(text, &l, &error)) << error;
    const std::string written = list_text(l);
    ASSERT_TRUE(parse(written, &again, &error)) << error << "\n" << written;
    ASSERT_EQ(again.entries.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(entry_line(again.entries[i]), entry_line(l.entries[i]));
    EXPECT_EQ(entry_line(l.entries[1]),
              "CAN2 1ABCDEF0##30011223344 250ms count=7 enabled=no counter=1/15 checksum=sum:0-3:4 name=Cmd");
}

TEST(ListFile, BadLinesAreRefusedWithTheirLineNumber)
{
    EXPECT_EQ(refusal("CAN1 123#00 10ms\n\nCAN3 123#00 10ms\n"), "t.list:3: unknown channel 'CAN3' (CAN1 or CAN2)");
    EXPECT_EQ(refusal("CAN1 12G#00 10ms\n"), "t.list:1: bad frame '12G#00': " + [] {
        velk::trace::Frame f;
        std::string why;
        velk::trace::parse_frame_text("12G#00", &f, &why);
        return why;
    }());
    EXPECT_EQ(refusal("# c\nCAN1 123#00 0.5ms\n"), "t.list:2: bad cycle '0.5ms' (1ms to 100s, as 10ms or 1.5s)");
    EXPECT_EQ(refusal("CAN1 123#00 101s\n"), "t.list:1: bad cycle '101s' (1ms to 100s, as 10ms or 1.5s)");
    EXPECT_EQ(refusal("CAN1 123#00 10\n"), "t.list:1: bad cycle '10' (1ms to 100s, as 10ms or 1.5s)");
    EXPECT_EQ(refusal("CAN1 123#00\n"), "t.list:1: expected CHANNEL FRAME CYCLE");
    EXPECT_EQ(refusal("CAN1 123#00 10ms count=-1\n"), "t.list:1: bad count '-1'");
    EXPECT_EQ(refusal("CAN1 123#00 10ms speed=3\n"),
              "t.list:1: unknown key 'speed' (signal values need a msg: entry)");
    EXPECT_EQ(refusal("CAN1 123#00 10ms enabled=maybe\n"), "t.list:1: enabled: yes or no, not 'maybe'");
    EXPECT_EQ(refusal("CAN1 123#00 10ms checksum=crc:0-1:2\n"),
              "t.list:1: checksum: expected sum:BYTES:AT or xor:BYTES:AT, not 'crc:0-1:2'");
    // Checked against the payload once read: two bytes hold no byte 2.
    EXPECT_EQ(refusal("CAN1 123#0011 10ms\nCAN1 123#0011 10ms counter=2\n"),
              "t.list:2: counter: bytes outside the payload");
    EXPECT_EQ(refusal("CAN1 msg:Engine 10ms\n"), "t.list:1: message Engine: no database loaded");
    EXPECT_EQ(refusal("dbc /nonexistent/x.dbc\n").rfind("t.list:1: database: ", 0), 0u);
}

TEST(ListFile, ARefusedFileLeavesTheListAsItWas)
{
    List l;
    std::string error;
    ASSERT_TRUE(parse("CAN1 123#00 10ms\n", &l, &error));
    EXPECT_FALSE(parse("CAN1 456#00 10ms\nbad\n", &l, &error));
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(l.entries[0].frame.id, 0x123u);
}

TEST(ListFile, SaveAndLoadRoundTrip)
{
    char dir[] = "/tmp/txlistXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/a.list";
    List l;
    std::string error;
    ASSERT_TRUE(parse("CAN1 123#DEADBEEF 10ms counter=0\nCAN2 7FF#R 20ms\n", &l, &error)) << error;
    ASSERT_TRUE(save_list(path, l, &error)) << error;
    List back;
    ASSERT_TRUE(load_list(path, &back, &error)) << error;
    EXPECT_EQ(list_text(back), list_text(l));
    EXPECT_FALSE(save_list(std::string(dir) + "/no/such/dir.list", l, &error));
    std::remove(path.c_str());
    rmdir(dir);
}

TEST(EntryFrame, ByteCounterStepsAndWrapsAndChecksumFollows)
{
    List l;
    std::string error;
    ASSERT_TRUE(parse("CAN2 1ABCDEF0#0011223344556677 10ms counter=0/3 checksum=xor:0-6:7\n"
                      "CAN1 123#FEFF 10ms counter=0-1\n"
                      "CAN1 124#0102030400 10ms checksum=sum:0-3:4\n",
                      &l, &error))
        << error;
    const Entry &a = l.entries[0];
    const unsigned char want0[] = {0, 1, 2, 3, 0, 1};
    for (uint64_t k = 0; k < 6; ++k) {
        const CAN_FRAME_INFO f = frame_of(a, k);
        EXPECT_EQ(f.data[0], want0[k]) << "cycle " << k;
        EXPECT_EQ(f.data[7], want0[k] ^ 0x11 ^ 0x22 ^ 0x33 ^ 0x44 ^ 0x55 ^ 0x66) << "cycle " << k;
        EXPECT_EQ(f.CAN_port, 1);
        EXPECT_EQ(f.id_type, VELK_EID);
        EXPECT_EQ(f.id, 0x1ABCDEF0u);
        EXPECT_EQ(f.dlc, 8);
    }
    // Two bytes, first least significant: FFFE, FFFF, 0000.
    const Entry &b = l.entries[1];
    EXPECT_EQ(frame_of(b, 1).data[0], 0xFF);
    EXPECT_EQ(frame_of(b, 1).data[1], 0xFF);
    EXPECT_EQ(frame_of(b, 2).data[0], 0x00);
    EXPECT_EQ(frame_of(b, 2).data[1], 0x00);
    EXPECT_EQ(frame_of(l.entries[2], 0).data[4], 10);
}

TEST(EntryFrame, FdFrameKeepsItsFlagsAndLength)
{
    List l;
    std::string error;
    ASSERT_TRUE(parse("CAN1 123##1000102030405060708090A0B0C0D0E0F 1ms\n", &l, &error)) << error;
    const CAN_FRAME_INFO f = frame_of(l.entries[0], 0);
    EXPECT_EQ(f.fdf, VELK_FDF_ON);
    EXPECT_EQ(f.brs, VELK_BRS_ON);
    EXPECT_EQ(f.dlc, 10);
    EXPECT_EQ(f.data[15], 0x0F);
}

constexpr char kDbc[] = "VERSION \"\"\n"
                        "BU_: ECU\n"
                        "BO_ 291 Engine: 8 ECU\n"
                        " SG_ Speed : 0|16@1+ (1,0) [0|8000] \"rpm\" Vector__XXX\n"
                        " SG_ Alive : 16|4@1+ (1,0) [0|15] \"\" Vector__XXX\n"
                        " SG_ Check : 56|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
                        " SG_ Decade : 20|4@1+ (1,0) [0|9] \"\" Vector__XXX\n";

TEST(EntryFrame, MessageWithSignalCounterAndChecksumSignal)
{
    char dir[] = "/tmp/txlistXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string dbc = std::string(dir) + "/car.dbc";
    std::ofstream(dbc) << kDbc;
    const std::string path = std::string(dir) + "/a.list";
    std::ofstream(path) << "dbc car.dbc\nCAN1 msg:Engine 10ms Speed=1834 counter=@Alive checksum=xor:0-6:@Check\n";
    List l;
    std::string error;
    ASSERT_TRUE(load_list(path, &l, &error)) << error;
    ASSERT_TRUE(l.db);
    EXPECT_EQ(l.dbc_path, "car.dbc");
    const Entry &e = l.entries[0];
    for (uint64_t k : {0u, 1u, 15u, 16u}) {
        const CAN_FRAME_INFO f = frame_of(e, k, l.db.get());
        EXPECT_EQ(f.id, 291u);
        EXPECT_EQ(f.data[0] | f.data[1] << 8, 1834);
        EXPECT_EQ(f.data[2] & 0x0F, k % 16) << "cycle " << k;
        unsigned char x = 0;
        for (int i = 0; i < 7; ++i)
            x ^= f.data[i];
        EXPECT_EQ(f.data[7], x) << "cycle " << k;
    }
    EXPECT_EQ(list_text(l), "# velk transmit list: CHANNEL FRAME CYCLE [options]\ndbc car.dbc\n"
                            "CAN1 msg:Engine 10ms Speed=1834 counter=@Alive checksum=xor:0-6:@Check\n");
    // A counter signal wraps within its range: Decade holds 4 bits but is [0|9].
    Entry d = e;
    d.counter.signal = "Decade";
    EXPECT_EQ(frame_of(d, 9, l.db.get()).data[2] >> 4, 9);
    EXPECT_EQ(frame_of(d, 10, l.db.get()).data[2] >> 4, 0);
    // A value outside the signal's range is refused with the line.
    std::ofstream(path) << "dbc car.dbc\n\nCAN1 msg:Engine 10ms Speed=9000\n";
    EXPECT_FALSE(load_list(path, &l, &error));
    EXPECT_EQ(error.rfind(path + ":3: ", 0), 0u) << error;
    std::remove(dbc.c_str());
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
