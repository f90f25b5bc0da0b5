// Hexadecimal entry texts to numbers, as the send panel and the settings
// panel read them; the bits a frame holds the bus for, as the bus status
// counts its load.
#include "bus_load.h"
#include "text_convert.h"

#include <gtest/gtest.h>

#include <string>

TEST(HexDigits, UpperAndLowerCaseDigitsGiveTheSameByte)
{
    EXPECT_EQ(hex_2_dec('A', '5'), 0xA5);
    EXPECT_EQ(hex_2_dec('a', '5'), 0xA5);
    EXPECT_EQ(hex_2_dec('f', 'F'), 0xFF);
    EXPECT_EQ(hex_2_dec('0', '0'), 0x00);
    EXPECT_EQ(hex_2_dec('9', 'c'), 0x9C);
}

TEST(HexDigits, CharacterBelowZeroCountsAsZero)
{
    EXPECT_EQ(hex_2_dec(' ', '7'), 0x07);
    EXPECT_EQ(hex_2_dec('7', '-'), 0x70);
    EXPECT_EQ(hex_2_dec('\0', '\x01'), 0x00);
    EXPECT_EQ(hex_2_dec('/', '/'), 0x00);
}

TEST(HexDigits, NonHexCharacterAboveZeroStaysWithinEightBits)
{
    // '@' is 0x40: counted as a digit of value 16.
    EXPECT_EQ(hex_2_dec('0', '@'), 0x10);
    // 'Z' counts 35: 35 * 16 + 35 = 595, kept to 8 bits.
    EXPECT_EQ(hex_2_dec('Z', 'Z'), 595 & 0xFF);
    // Bytes of a pasted UTF-8 text never leave the byte range.
    EXPECT_EQ(hex_2_dec('\xE2', '\x9D'), ((0xE2 - 55) * 16 + (0x9D - 55)) & 0xFF);
}

TEST(ByteText, ShortTextIsRightAligned)
{
    EXPECT_EQ(str_2_uchar(""), 0x00);
    EXPECT_EQ(str_2_uchar("5"), 0x05);
    EXPECT_EQ(str_2_uchar("a5"), 0xA5);
    EXPECT_EQ(str_2_uchar("FF"), 0xFF);
}

TEST(ByteText, NullTextGivesZero)
{
    EXPECT_EQ(str_2_uchar(nullptr), 0x00);
    EXPECT_EQ(str_2_uint(nullptr), 0u);
}

TEST(ByteText, OverlongPastedTextUsesItsLastTwoCharacters)
{
    EXPECT_EQ(str_2_uchar("123"), 0x23);
    EXPECT_EQ(str_2_uchar("xxxxxxxxxxxxxxxxxxxxxxxx3c"), 0x3C);
}

TEST(IdentifierText, ShortTextIsRightAligned)
{
    EXPECT_EQ(str_2_uint(""), 0u);
    EXPECT_EQ(str_2_uint("7FF"), 0x7FFu);
    EXPECT_EQ(str_2_uint("7ff"), 0x7FFu);
    EXPECT_EQ(str_2_uint("1"), 0x1u);
    EXPECT_EQ(str_2_uint("1FFFFFFF"), 0x1FFFFFFFu);
    EXPECT_EQ(str_2_uint("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(str_2_uint("12345678"), 0x12345678u);
}

TEST(IdentifierText, OverlongPastedTextUsesItsLastEightCharacters)
{
    EXPECT_EQ(str_2_uint("AB12345678"), 0x12345678u);
    std::string huge(100000, 'F');
    huge += "00000123";
    EXPECT_EQ(str_2_uint(huge.c_str()), 0x123u);
}

TEST(IdentifierText, PastedSpacesCountAsZeroDigits)
{
    EXPECT_EQ(str_2_uint(" 1 2"), 0x0102u);
}

TEST(DecimalText, LeadingDigitsGiveTheValue)
{
    EXPECT_EQ(str_2_int(""), 0);
    EXPECT_EQ(str_2_int(nullptr), 0);
    EXPECT_EQ(str_2_int("99999"), 99999);
    EXPECT_EQ(str_2_int("00123"), 123);
    EXPECT_EQ(str_2_int("12ab"), 12);
    EXPECT_EQ(str_2_int("-5"), 0);
    EXPECT_EQ(str_2_int(" 5"), 0);
}

TEST(DecimalText, PastedHugeNumberStopsAtIntMax)
{
    EXPECT_EQ(str_2_int("99999999999999999999999"), 2147483647);
}

// Bits counted by hand from ISO 11898-1 frame layouts, stuff bits at their
// worst case: one after every four bits of the stuffed fields.
struct BitsCase {
    const char *what;
    bool fd, brs, extended, remote;
    int len;
    int nominal, data;
};

constexpr BitsCase kBitsCases[] = {
    // SOF 1, id 11, RTR, IDE, r0, DLC 4, CRC 15 = 34 stuffed, 33/4 = 8 stuff
    // bits; CRC delimiter, ACK, ACK delimiter, EOF 7, intermission 3 = 13.
    {"classic 11-bit, 0 bytes", false, false, false, false, 0, 34 + 8 + 13, 0},
    {"classic 11-bit, 3 bytes", false, false, false, false, 3, 58 + 14 + 13, 0},
    {"classic 11-bit, 8 bytes", false, false, false, false, 8, 98 + 24 + 13, 0},
    // SRR, IDE, 18 more identifier bits, RTR, r1, r0: 54 stuffed bits.
    {"classic 29-bit, 8 bytes", false, false, true, false, 8, 118 + 29 + 13, 0},
    {"classic 29-bit remote, DLC 8", false, false, true, true, 8, 54 + 13 + 13, 0},
    // Arbitration SOF, id 11, RRS, IDE, FDF, res, BRS = 17 bits, 4 stuff
    // bits, ACK to intermission 12 = 33 nominal. Data phase: ESI, DLC 4,
    // data; 21 stuffed bits in all = 5 stuff bits, 1 of them in the data
    // phase; stuff count 4, CRC 17, 6 fixed stuff bits; CRC delimiter.
    {"FD 11-bit, 0 bytes, no BRS", true, false, false, false, 0, 33 + 5 + 1 + 27 + 1, 0},
    {"FD 11-bit, 0 bytes, BRS", true, true, false, false, 0, 33, 5 + 1 + 27 + 1},
    // 20 bytes: CRC 21 with 7 fixed stuff bits; (17 + 165 - 1) / 4 = 45
    // stuff bits, 41 of them in the data phase.
    {"FD 11-bit, 20 bytes, BRS", true, true, false, false, 20, 33, 165 + 41 + 32 + 1},
    {"FD 11-bit, 64 bytes, BRS", true, true, false, false, 64, 33, 517 + 129 + 32 + 1},
    // Arbitration 36 bits with 8 stuff bits; (36 + 101 - 1) / 4 = 34 stuff
    // bits, 26 in the data phase.
    {"FD 29-bit, 12 bytes, BRS", true, true, true, false, 12, 36 + 8 + 12, 101 + 26 + 27 + 1},
};

TEST(BusLoad, FrameBitsMatchTheHandCountedLayouts)
{
    for (const BitsCase &c : kBitsCases) {
        gui::FrameBits b = gui::frame_bits(c.fd, c.brs, c.extended, c.remote, c.len);
        EXPECT_EQ(b.nominal, c.nominal) << c.what;
        EXPECT_EQ(b.data, c.data) << c.what;
    }
}

TEST(BusLoad, RatesComeFromTheChannelCodes)
{
    EXPECT_EQ(gui::nominal_bit_rate(7), 500000);
    EXPECT_EQ(gui::nominal_bit_rate(9), 1000000);
    EXPECT_EQ(gui::nominal_bit_rate(10), 400000);
    EXPECT_EQ(gui::nominal_bit_rate(11), 0);  // custom settings: not known
    EXPECT_EQ(gui::nominal_bit_rate(-1), 0);
    EXPECT_EQ(gui::data_bit_rate(2), 2000000);
    EXPECT_EQ(gui::data_bit_rate(5), 5000000);
    EXPECT_EQ(gui::data_bit_rate(0), 0);
}

TEST(BusLoad, LoadIsTheShareOfTimeTheFramesHeldTheBus)
{
    gui::LoadMeter m;
    for (int i = 0; i < 100; ++i)
        m.add(gui::frame_bits(false, false, false, false, 8));  // 135 bits
    for (int i = 0; i < 50; ++i)
        m.add(gui::frame_bits(true, true, false, false, 64));  // 33 + 679 bits
    // Half a second at 500 kbit/s and 2 Mbit/s.
    gui::LoadMeter::Sample s = m.take(0.5, 500000, 2000000);
    EXPECT_DOUBLE_EQ(s.frames_per_s, 300.0);
    const double busy = (100 * 135 + 50 * 33) / 500000.0 + 50 * 679 / 2000000.0;
    EXPECT_NEAR(s.load_percent, busy / 0.5 * 100, 1e-9);
    // The next interval starts empty; an unknown nominal rate gives no load.
    s = m.take(1.0, 500000, 2000000);
    EXPECT_EQ(s.frames_per_s, 0.0);
    EXPECT_EQ(s.load_percent, 0.0);
    m.add(gui::frame_bits(false, false, false, false, 0));
    EXPECT_LT(m.take(1.0, 0, 0).load_percent, 0.0);
    // Without a data rate, BRS bits count at the nominal rate.
    m.add(gui::frame_bits(true, true, false, false, 0));
    EXPECT_NEAR(m.take(1.0, 1000000, 0).load_percent, (33 + 34) / 1e6 * 100, 1e-9);
}
