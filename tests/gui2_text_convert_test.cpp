// Hexadecimal entry texts to numbers, as the send panel and the settings
// panel read them.
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
