// The protocol's parser and lines, against the forms socketcand's document
// and python-can's client use.
#include <gtest/gtest.h>

#include "protocol.h"

namespace velk::netd {
namespace {

Command parsed(const std::string &text)
{
    Command c;
    std::string why;
    EXPECT_EQ(parse_command(text, &c, &why), ParseResult::Ok) << text << ": " << why;
    return c;
}

std::string refusal(const std::string &text)
{
    Command c;
    std::string why;
    EXPECT_EQ(parse_command(text, &c, &why), ParseResult::Error) << text;
    return why;
}

TEST(NetProtocol, SendTakesPythonCansUnpaddedLowercaseBytes)
{
    // python-can 4.1 writes "< send {id:X} {len:X} {byte:x}... >".
    const Command c = parsed(" send 123 4 1 a ff 0 ");
    EXPECT_EQ(c.verb, Verb::Send);
    EXPECT_EQ(c.frame.id, 0x123u);
    EXPECT_FALSE(c.frame.extended);
    ASSERT_EQ(c.frame.len, 4);
    EXPECT_EQ(c.frame.data[0], 0x01);
    EXPECT_EQ(c.frame.data[1], 0x0A);
    EXPECT_EQ(c.frame.data[2], 0xFF);
    EXPECT_EQ(c.frame.data[3], 0x00);
}

TEST(NetProtocol, EightDigitsOrAValueAbove7FFMakeAnExtendedIdentifier)
{
    EXPECT_TRUE(parsed("send 1AAAAAAA 2 1 F1").frame.extended);
    EXPECT_TRUE(parsed("send 00000123 0").frame.extended);
    EXPECT_TRUE(parsed("send 800 0").frame.extended);  // python-can writes no leading zeros
    EXPECT_FALSE(parsed("send 7FF 0").frame.extended);
    EXPECT_EQ(refusal("send 20000000 0"), "bad can_id");
    EXPECT_EQ(refusal("send 123456789 0"), "bad can_id");
    EXPECT_EQ(refusal("send 12G 0"), "bad can_id");
}

TEST(NetProtocol, LengthAndDataMustAgree)
{
    EXPECT_EQ(refusal("send 123 9 1 2 3 4 5 6 7 8 9"), "bad length");
    EXPECT_EQ(refusal("send 123 2 1"), "data does not match the length");
    EXPECT_EQ(refusal("send 123 1 1 2"), "data does not match the length");
    EXPECT_EQ(refusal("send 123 1 100"), "bad data byte");
    EXPECT_EQ(refusal("send 123"), "missing arguments");
}

TEST(NetProtocol, SendFdCarriesFlagsAndTheCanFdLengths)
{
    std::string cmd = "sendfd 1F 3 12";
    for (int i = 0; i < 12; ++i)
        cmd += " " + std::to_string(i);
    const Command c = parsed(cmd);
    EXPECT_TRUE(c.frame.fd);
    EXPECT_TRUE(c.frame.brs);
    EXPECT_TRUE(c.frame.esi);
    EXPECT_EQ(c.frame.len, 12);
    EXPECT_EQ(c.frame.data[11], 0x11);  // "11" is hex
    EXPECT_EQ(refusal("sendfd 1F 0 10 0 0 0 0 0 0 0 0 0 0"), "bad length");
    EXPECT_EQ(refusal("sendfd 1F 4 0"), "bad flags");
}

TEST(NetProtocol, BroadcastManagerCommandsAsTheDocumentWritesThem)
{
    Command c = parsed("add 1 0 123 8 11 22 33 44 55 66 77 88");
    EXPECT_EQ(c.verb, Verb::Add);
    EXPECT_EQ(c.interval_us, 1000000);
    EXPECT_EQ(c.frame.len, 8);
    c = parsed("add 0 20000 123 4 42 42 42 42");
    EXPECT_EQ(c.interval_us, 20000);
    EXPECT_EQ(parsed("update 123 3 11 22 33").verb, Verb::Update);
    c = parsed("delete 123");
    EXPECT_EQ(c.verb, Verb::Delete);
    EXPECT_EQ(c.id, 0x123u);
    c = parsed("filter 1 500000 123 8 FF 00 F8 00 00 00 00 00");
    EXPECT_EQ(c.verb, Verb::Filter);
    EXPECT_EQ(c.interval_us, 1500000);
    EXPECT_EQ(c.frame.data[2], 0xF8);
    c = parsed("subscribe 0 0 123");
    EXPECT_EQ(c.verb, Verb::Subscribe);
    EXPECT_EQ(c.id, 0x123u);
    EXPECT_EQ(parsed("unsubscribe 123").verb, Verb::Unsubscribe);
    EXPECT_EQ(parsed("statistics 1000").stats_ms, 1000);
    EXPECT_EQ(parsed("open can0").bus, "can0");
    EXPECT_EQ(refusal("open 12345678901234567"), "bad bus name");
    EXPECT_EQ(refusal("rawmode now"), "unexpected arguments");
    EXPECT_EQ(refusal("frobnicate"), "unknown command");
    EXPECT_EQ(refusal("   "), "empty command");
}

TEST(NetProtocol, CommandsAreFoundInAStreamAndBoundedInLength)
{
    const std::string in = "junk< hi >< open can0 ><echo><rawm";
    size_t pos = 0;
    std::string_view t;
    ASSERT_EQ(next_command(in, &pos, &t), ParseResult::Ok);
    EXPECT_EQ(t, " hi ");
    ASSERT_EQ(next_command(in, &pos, &t), ParseResult::Ok);
    EXPECT_EQ(t, " open can0 ");
    ASSERT_EQ(next_command(in, &pos, &t), ParseResult::Ok);
    EXPECT_EQ(t, "echo");
    EXPECT_EQ(next_command(in, &pos, &t), ParseResult::Incomplete);
    EXPECT_EQ(in.substr(pos), "<rawm");

    const std::string nested = "< send 1 < echo >";
    pos = 0;
    EXPECT_EQ(next_command(nested, &pos, &t), ParseResult::Error);
    ASSERT_EQ(next_command(nested, &pos, &t), ParseResult::Ok);
    EXPECT_EQ(t, " echo ");

    const std::string huge = "<" + std::string(kMaxCommand + 10, 'x');
    pos = 0;
    EXPECT_EQ(next_command(huge, &pos, &t), ParseResult::Error);
    // What follows without a '<' is skipped.
    EXPECT_EQ(next_command(huge, &pos, &t), ParseResult::Incomplete);
    EXPECT_EQ(pos, huge.size());
}

TEST(NetProtocol, FrameLinesAsSocketcandWritesThem)
{
    NetFrame f;
    f.id = 0x123;
    f.len = 4;
    f.data = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(frame_line(f, 23, 424242), "< frame 123 23.424242 11223344 >");
    f.len = 0;
    EXPECT_EQ(frame_line(f, 1, 5), "< frame 123 1.000005  >");
    f.id = 0x1AAAAAAA;
    f.extended = true;
    f.len = 2;
    EXPECT_EQ(frame_line(f, 1, 0), "< frame 1AAAAAAA 1.000000 1122 >");
    f.id = 0xAB;
    f.extended = false;
    f.fd = true;
    f.brs = true;
    f.len = 12;
    EXPECT_EQ(frame_line(f, 2, 0), "< fdframe 0AB 01 2.000000 112233440000000000000000 >");
    EXPECT_EQ(stat_line(1, 2, 3, 4, 5), "< stat 1 2 3 4 5 >");
}

}  // namespace
}  // namespace velk::netd
