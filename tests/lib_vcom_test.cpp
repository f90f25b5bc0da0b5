// Virtual COM settings, pairing, port search and the descriptor hand-off.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "test_support.h"

namespace velk::test {
namespace {

using sim::Fault;

const std::array<uint8_t, 8> kIdA = {1, 2, 3, 4, 5, 6, 7, 8};
const std::array<uint8_t, 8> kIdB = {9, 9, 9, 9, 9, 9, 9, 9};

class Vcom : public ::testing::Test {
protected:
    void SetUp() override { unmap_all_ports(); }
    void TearDown() override { close_all_ports(); }
};

size_t count(const std::vector<Bytes> &frames, uint8_t code)
{
    size_t n = 0;
    for (const Bytes &f : frames)
        n += !f.empty() && f[0] == code;
    return n;
}

TEST_F(Vcom, QueryFillsTheRecordAndAlwaysStoresTheIndex)
{
    SimPort p(24);
    ASSERT_TRUE(p.ok());
    p.sim().set_vcom(0, 1, 2);
    p.sim().set_dev_id(kIdA);
    ASSERT_EQ(VELKOpenDevice(24), 0);
    VCOM_CFG_INFO v;
    std::memset(&v, 0xFF, sizeof(v));
    ASSERT_EQ(VELKGetVCOMConfig(24, &v), 0);
    EXPECT_EQ(v.vcom_mode, 0u);
    EXPECT_EQ(v.vcom_map, 1u);
    EXPECT_EQ(v.vcom_order, 2u);
    EXPECT_EQ(v.com_index, 24);
    EXPECT_EQ(0, std::memcmp(v.dev_id, kIdA.data(), 8));

    p.sim().set_fault('M', Fault{Fault::BadStatus});
    std::memset(&v, 0x11, sizeof(v));
    EXPECT_EQ(VELKGetVCOMConfig(24, &v), 1);
    EXPECT_EQ(v.com_index, 0x11111111) << "untouched on failure";

    p.sim().clear_host_frames();
    EXPECT_EQ(VELKSetVCOMConfig(24, 1), 0);
    EXPECT_EQ(p.sim().host_frames(), std::vector<Bytes>{frame({'N', 1})});
}

TEST_F(Vcom, SearchWithNoAdapterFindsNothing)
{
    COM_SEARCH_INFO r = VELK_search_com();
    EXPECT_EQ(r.num, 0);
    for (int c : r.com)
        EXPECT_EQ(c, 0);
}

TEST_F(Vcom, SearchStartsAt23AndListsAdaptersInOrder)
{
    SimPort low(5), a(24), b(30);
    ASSERT_TRUE(low.ok() && a.ok() && b.ok());
    COM_SEARCH_INFO r = VELK_search_com();
    ASSERT_EQ(r.num, 2);
    EXPECT_EQ(r.com[0], 24);
    EXPECT_EQ(r.com[1], 30);
    EXPECT_EQ(r.com[2], 0);
    EXPECT_TRUE(low.sim().host_frames().empty());
    EXPECT_EQ(first, nullptr) << "every port the search opened is closed again";
}

TEST_F(Vcom, SearchLeavesACallerHeldPortAlone)
{
    SimPort a(24), b(30);
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_EQ(VELKOpenDevice(30), 0);
    b.sim().clear_host_frames();
    COM_SEARCH_INFO r = VELK_search_com();
    ASSERT_EQ(r.num, 1);
    EXPECT_EQ(r.com[0], 24);
    EXPECT_TRUE(b.sim().host_frames().empty());
    int s1, s2;
    EXPECT_EQ(VELKGetCANStatus(30, &s1, &s2), 0) << "still open";
}

TEST_F(Vcom, PairingDoesNothingUnlessTheOwnModeIsZero)
{
    SimPort own(24), peer(25);
    ASSERT_TRUE(own.ok() && peer.ok());
    own.sim().set_vcom(1, 0, 1);
    ASSERT_EQ(VELKOpenDevice(24), 0);
    peer.sim().clear_host_frames();
    EXPECT_EQ(VELKFlexibleVCOM(24), 0);
    EXPECT_TRUE(peer.sim().host_frames().empty()) << "nothing opened";
}

TEST_F(Vcom, PairingSendsThePeerTheInverseMapWhenTheOrderRunsBackwards)
{
    SimPort own(24), peer(25);
    ASSERT_TRUE(own.ok() && peer.ok());
    own.sim().set_dev_id(kIdA);
    peer.sim().set_dev_id(kIdA);
    own.sim().set_vcom(0, 0, 1);
    peer.sim().set_vcom(0, 0, 0);
    ASSERT_EQ(VELKOpenDevice(24), 0);
    EXPECT_EQ(VELKFlexibleVCOM(24), 0);
    EXPECT_EQ(peer.sim().vcom_sets(), std::vector<uint8_t>{1});
    EXPECT_EQ(chk_is_legal_com(25), nullptr) << "the peer is closed again";

    peer.sim().set_vcom(0, 0, 2);  // orders agree now
    EXPECT_EQ(VELKFlexibleVCOM(24), 0);
    EXPECT_EQ(peer.sim().vcom_sets(), std::vector<uint8_t>{1});
}

TEST_F(Vcom, PairingSkipsPortsOfAnotherAdapter)
{
    SimPort own(24), other(25), peer(26);
    ASSERT_TRUE(own.ok() && other.ok() && peer.ok());
    own.sim().set_dev_id(kIdA);
    other.sim().set_dev_id(kIdB);
    peer.sim().set_dev_id(kIdA);
    own.sim().set_vcom(0, 1, 1);
    other.sim().set_vcom(0, 0, 0);
    peer.sim().set_vcom(0, 0, 0);
    ASSERT_EQ(VELKOpenDevice(24), 0);
    EXPECT_EQ(VELKFlexibleVCOM(24), 0);
    EXPECT_TRUE(other.sim().vcom_sets().empty());
    EXPECT_EQ(peer.sim().vcom_sets(), std::vector<uint8_t>{0});
    EXPECT_EQ(first->next, nullptr);
}

TEST_F(Vcom, PairingWithoutAPeerFails)
{
    SimPort own(24);
    ASSERT_TRUE(own.ok());
    ASSERT_EQ(VELKOpenDevice(24), 0);
    EXPECT_EQ(VELKFlexibleVCOM(24), 1);
    own.sim().set_fault('M', Fault{Fault::NoReply});
    EXPECT_EQ(VELKFlexibleVCOM(24), 1);
}

TEST_F(Vcom, OpeningAGeneration5AdapterPairsOnceWithoutNesting)
{
    sim::DualPort dual;
    ASSERT_TRUE(dual.start());
    std::string p0 = dual.port[0].slave_path(), p1 = dual.port[1].slave_path();
    comports[24] = p0.c_str();
    comports[25] = p1.c_str();
    dual.set_dev_id(kIdA);
    for (auto &p : dual.port)
        p.set_firmware(0x05, 0x01);
    dual.port[0].set_vcom(0, 0, 1);
    dual.port[1].set_vcom(0, 0, 0);
    ASSERT_EQ(VELKOpenDevice(24), 0);
    EXPECT_FALSE(g_FlexibleVCOM_flag);
    EXPECT_EQ(count(dual.port[0].host_frames(), 'M'), 1u);
    // The peer was opened once, queried once (its own open started no pairing)
    // and told the inverse map.
    EXPECT_EQ(count(dual.port[1].host_frames(), 'M'), 1u);
    EXPECT_EQ(count(dual.port[1].host_frames(), '5'), 1u);
    EXPECT_EQ(dual.port[1].vcom_sets(), std::vector<uint8_t>{1});
    EXPECT_EQ(chk_is_legal_com(25), nullptr);
    EXPECT_NE(chk_is_legal_com(24), nullptr);
}

TEST_F(Vcom, DescriptorHandOffOpensEvenWhenNothingAnswers)
{
    SimPort p(3);
    ASSERT_TRUE(p.ok());
    p.sim().set_answering(false);
    int fd = -1;
    ASSERT_EQ(VELKOpenSocketCAN(3, &fd), 0);
    EXPECT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    ASSERT_NE(chk_is_legal_com(3), nullptr);
    EXPECT_EQ(chk_is_legal_com(3)->fd, fd);
    EXPECT_EQ(VELKCloseDevice(3), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "closed by the library";
    EXPECT_EQ(VELKOpenSocketCAN(4, nullptr), 1) << "no device at index 4";
    EXPECT_EQ(VELKOpenSocketCAN(-1, nullptr), 1);
}

}  // namespace
}  // namespace velk::test
