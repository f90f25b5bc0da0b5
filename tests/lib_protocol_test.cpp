// Command frame helpers, length table and the open-port list.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "internal.h"
#include "wire_oracle.h"

namespace {

TEST(CommandFrame, ChecksumAndEndBytesFollowTheCommand)
{
    unsigned char f[6] = {'a', 1, 1};
    chk_sum_end_byte(f, 6);
    const unsigned char want[6] = {0x61, 0x01, 0x01, 0x63, 0x0D, 0x0A};
    EXPECT_EQ(0, std::memcmp(f, want, 6));
}

TEST(CommandFrame, ChecksumWrapsModulo256)
{
    unsigned char f[7] = {0xF0, 0x20, 0x15, 0x01};
    chk_sum_end_byte(f, 7);
    EXPECT_EQ(f[4], 0x26);
}

TEST(CommandFrame, ConstantFramesAreComplete)
{
    EXPECT_EQ(0, std::memcmp(get_sts_cmd, "\x60\x60\r\n", 4));
    EXPECT_EQ(0, std::memcmp(getcfg_canfd_cmd, "GG\r\n", 4));
    unsigned char clear0[13] = {'1'};
    chk_sum_end_byte(clear0, 13);
    EXPECT_EQ(0, std::memcmp(clr_filt_0_cmd, clear0, 13));
    unsigned char clear1[13] = {'2'};
    chk_sum_end_byte(clear1, 13);
    EXPECT_EQ(0, std::memcmp(clr_filt_1_cmd, clear1, 13));
}

TEST(CommandFrame, BigEndianRoundTrip)
{
    unsigned char b[4];
    for (uint32_t v : {0u, 0x123u, 0x1FFFFFFFu, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        uint_2_uchar(v, b);
        EXPECT_EQ(b[0], v >> 24);
        EXPECT_EQ(b[3], v & 0xFF);
        EXPECT_EQ(uchar_2_uint(b), v);
    }
    EXPECT_EQ(pow_with_int(16, 0), 1);
    EXPECT_EQ(pow_with_int(16, -3), 1);
    EXPECT_EQ(pow_with_int(16, 3), 4096);
}

TEST(FrameLength, DlcCodesMapToCanFdPayloadLengths)
{
    for (int code = 0; code < 16; ++code)
        EXPECT_EQ(DecodeDLC_CANFD(code), velk::test::dlc_length(code)) << code;
    EXPECT_EQ(DecodeDLC_CANFD(200), 64);
    EXPECT_EQ(DecodeDLC_CANFD(-1), 0);
}

// The open-port list, driven directly.
class PortList : public ::testing::Test {
protected:
    void TearDown() override
    {
        while (first != nullptr)
            delete_com_node(first->com_index);
        EXPECT_EQ(last, nullptr);
        previous = nullptr;
    }
    static void add(int index, uint8_t open = 1)
    {
        COM_NODE n;
        std::memset(&n, 0, sizeof(n));
        n.is_open = open;
        n.com_index = index;
        n.fd = 100 + index;
        create_com_list(first == nullptr, &n);
    }
    static std::vector<int> indices()
    {
        std::vector<int> v;
        for (COM_NODE *n = first; n != nullptr; n = n->next)
            v.push_back(n->com_index);
        return v;
    }
};

TEST_F(PortList, RemovingAnyNodeKeepsHeadTailAndAppendPointValid)
{
    for (int victim : {1, 2, 3}) {
        add(1);
        add(2);
        add(3);
        delete_com_node(victim);
        add(4);  // appends behind whatever is last now
        std::vector<int> want = {1, 2, 3};
        want.erase(want.begin() + (victim - 1));
        want.push_back(4);
        EXPECT_EQ(indices(), want) << "removed " << victim;
        EXPECT_EQ(last->com_index, 4);
        EXPECT_EQ(previous, last);
        while (first != nullptr)
            delete_com_node(first->com_index);
        EXPECT_EQ(last, nullptr);
        EXPECT_EQ(previous, nullptr);
    }
}

TEST_F(PortList, RemovingTheOnlyNodeEmptiesTheList)
{
    add(7);
    delete_com_node(7);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(last, nullptr);
    EXPECT_EQ(previous, nullptr);
    add(8);
    EXPECT_EQ(indices(), std::vector<int>{8});
}

TEST_F(PortList, LookupFindsOnlyOpenNodes)
{
    add(5, 0);
    EXPECT_EQ(chk_is_legal_com(5), nullptr);
    add(5, 1);
    ASSERT_NE(chk_is_legal_com(5), nullptr);
    EXPECT_EQ(chk_is_legal_com(5)->is_open, 1);
    velk::purge_dead_nodes(5);
    EXPECT_EQ(indices(), std::vector<int>{5});
    EXPECT_EQ(chk_is_legal_com(6), nullptr);
    delete_com_node(6);  // no such node: nothing happens
    EXPECT_EQ(indices(), std::vector<int>{5});
}

}  // namespace
