// Channel configuration against the emulated adapter: exact frames, the
// read-back rules and the configuration file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "test_support.h"

namespace velk::test {
namespace {

using sim::Fault;

class Config : public OpenAdapter {
protected:
    std::string temp_file(const char *name)
    {
        std::string p = ::testing::TempDir() + "velk_" + std::to_string(getpid()) + "_" + name;
        std::remove(p.c_str());
        return p;
    }
};

TEST_F(Config, LowBitRatesAreRefusedOnEarlyGenerations)
{
    sim().set_firmware(0x02, 0x01);
    EXPECT_EQ(VELKSetBaudRate(kPort, 2, 7), 1);
    EXPECT_TRUE(sim().host_frames('0').empty());
    EXPECT_EQ(VELKSetBaudRate(kPort, 4, 7), 0);

    sim().set_firmware(0x03, 0x01);
    sim().clear_host_frames();
    EXPECT_EQ(VELKSetBaudRate(kPort, 2, 7), 0);
    EXPECT_EQ(sim().host_frames('0'), std::vector<Bytes>{(Bytes{0x30, 0x02, 0x07, 0x39, 0x0D, 0x0A})});
    EXPECT_EQ(sim().state().baud[0], 2);

    // A failed version query counts as generation 0.
    sim().set_fault('5', Fault{Fault::NoReply});
    EXPECT_EQ(VELKSetBaudRate(kPort, 3, 9), 1);
}

TEST_F(Config, ModeErrorTypeAndResetFrames)
{
    EXPECT_EQ(VELKSetMode(kPort, 1, 0), 0);
    EXPECT_EQ(VELKSetErrorType(kPort, 255), 0);
    EXPECT_EQ(VELKResetCAN(kPort), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{frame({'3', 1, 0}), frame({'8', 0xFF}), Bytes{'4', '4', 0x0D, 0x0A}}));
    sim().set_fault('8', Fault{Fault::BadStatus});
    EXPECT_EQ(VELKSetErrorType(kPort, 2), 1);
}

TEST_F(Config, FilterFrameCarriesIdentifierAndMaskBigEndian)
{
    FILTER_INFO f = {VELK_CAN_2, VELK_EID, 0x12345678, 0x1FFFFFFF};
    ASSERT_EQ(VELKSetFilter(kPort, &f), 0);
    FILTER_INFO g = {VELK_CAN_1, VELK_SID, 0x123, 0x7FF};
    ASSERT_EQ(VELKSetFilter(kPort, &g), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{
                            frame({'2', 2, 0x12, 0x34, 0x56, 0x78, 0x3F, 0xFF, 0xFF, 0xFF}),
                            frame({'1', 1, 0x00, 0x00, 0x01, 0x23, 0x00, 0x00, 0x07, 0xFF}),
                        }));
    FILTER_INFO bad = {2, 1, 0, 0};
    sim().clear_host_frames();
    EXPECT_EQ(VELKSetFilter(kPort, &bad), 1);
    EXPECT_EQ(VELKSetFilter(kPort, nullptr), 1);
    EXPECT_EQ(VELKClearFilter(kPort, 2), 1);
    EXPECT_EQ(VELKClearFilter(kPort, -1), 1);
    EXPECT_TRUE(frames().empty());
    EXPECT_EQ(VELKClearFilter(kPort, 0), 0);
    EXPECT_EQ(VELKClearFilter(kPort, 1), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{frame({'1', 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                                            frame({'2', 0, 0, 0, 0, 0, 0, 0, 0, 0})}));
}

TEST_F(Config, ReadBackReducesOnlyExtendedMasks)
{
    sim::State s = sim().state();
    s.baud[0] = 9;
    s.baud[1] = 10;
    s.mode[1] = 1;
    s.flt_type[0] = 2;
    s.flt_id[0] = 0x0000ABCD;
    s.flt_mask[0] = 0x3FFFFFFF;
    s.flt_type[1] = 1;
    s.flt_id[1] = 0x123;
    s.flt_mask[1] = 0xFFFFFFFF;
    s.err_set = 255;
    s.fdf_en[0] = 1;
    s.datarate[0] = 5;
    s.datarate[1] = 4;
    sim().set_state(s);

    CFG_INFO c;
    std::memset(&c, 0xEE, sizeof(c));
    ASSERT_EQ(VELKGetCfg(kPort, &c), 0);
    EXPECT_EQ(c.baud[0], 9);
    EXPECT_EQ(c.baud[1], 10);
    EXPECT_EQ(c.mode[1], 1);
    EXPECT_EQ(c.flt_id[0], 0xABCDu);
    EXPECT_EQ(c.flt_mask[0], 0x1FFFFFFFu);
    EXPECT_EQ(c.flt_mask[1], 0xFFFFFFFFu);
    EXPECT_EQ(c.err_set, 255);

    CANFD_CFG_INFO d;
    ASSERT_EQ(VELKGetCFG_CANFD(kPort, &d), 0);
    EXPECT_EQ(d.flt_mask[0], 0x1FFFFFFFu);
    EXPECT_EQ(d.fdf_en[0], 1);
    EXPECT_EQ(d.fdf_en[1], 0);
    EXPECT_EQ(d.datarate[0], 5);
    EXPECT_EQ(d.datarate[1], 4);

    sim().set_fault('G', Fault{Fault::WrongEcho});
    EXPECT_EQ(VELKGetCFG_CANFD(kPort, &d), 1);
    EXPECT_EQ(d.datarate[0], 0) << "a failed query leaves a cleared record";
    EXPECT_EQ(d.baud[0], 0);
}

TEST_F(Config, CanFdRatesGoOutRatesFirstThenEnables)
{
    CFG_CANFD c = {5, 1, 2, 0};
    ASSERT_EQ(VELKSetCFG_CANFD(kPort, &c), 0);
    EXPECT_EQ(frames(), std::vector<Bytes>{frame({'J', 5, 2, 1, 0})});
    sim::State s = sim().state();
    EXPECT_EQ(s.datarate[0], 5);
    EXPECT_EQ(s.fdf_en[0], 1);
    EXPECT_EQ(s.datarate[1], 2);
    EXPECT_EQ(s.fdf_en[1], 0);
}

TEST_F(Config, TimingRecordsRoundTripAndCheckTheEchoedSet)
{
    TIMING_CFG_CANFD t;
    std::memset(&t, 0, sizeof(t));
    t.sel = 1;
    for (int i = 0; i < 4; ++i)
        t.param[i] = static_cast<unsigned char>(0x10 + i);
    t.reserved = 0x77;
    t.param5 = 0x20;
    t.param6 = 0x1234;
    for (int i = 0; i < 9; ++i)
        t.param7[i] = static_cast<unsigned char>(0x30 + i);
    ASSERT_EQ(VELKSet_TimingCFG_CANFD(kPort, &t), 0);
    EXPECT_EQ(frames(), std::vector<Bytes>{frame({'K', 1, 0x10, 0x11, 0x12, 0x13, 0x20, 0x34, 0x30, 0x31, 0x32,
                                                  0x33, 0x34, 0x35, 0x36, 0x37, 0x38})});

    TIMING_CFG_CANFD r;
    std::memset(&r, 0xAA, sizeof(r));
    ASSERT_EQ(VELKGet_TimingCFG_CANFD(kPort, &r, 1), 0);
    EXPECT_EQ(r.sel, 1);
    EXPECT_EQ(r.reserved, 0);
    EXPECT_EQ(r.param5, 0x20);
    EXPECT_EQ(r.param6, 0x34);
    EXPECT_EQ(0, std::memcmp(r.param, t.param, 4));
    EXPECT_EQ(0, std::memcmp(r.param7, t.param7, 9));

    std::memset(&r, 0xAA, sizeof(r));
    sim().clear_host_frames();
    EXPECT_EQ(VELKGet_TimingCFG_CANFD(kPort, &r, 3), 1);
    EXPECT_TRUE(frames().empty());
    EXPECT_EQ(r.sel, 0xAA) << "an out-of-range set leaves the record as it was";

    sim().set_fault('L', Fault{Fault::Patch, 2, 20, 1, 2, 2});
    EXPECT_EQ(VELKGet_TimingCFG_CANFD(kPort, &r, 1), 1);
    EXPECT_EQ(r.sel, 0);
    EXPECT_EQ(r.param5, 0) << "a reply for another set leaves the record cleared";
}

TEST_F(Config, ExportWritesTheLinearFileAndImportSendsItBack)
{
    sim::State s = sim().state();
    s.baud[0] = 7;
    s.baud[1] = 9;
    s.mode[0] = 1;
    s.flt_type[0] = 2;
    s.flt_id[0] = 0x01ABCDEF;
    s.flt_mask[0] = 0x3FFFFFFF;  // bit 28 set: goes back out with a 0x3F top byte
    s.flt_type[1] = 1;
    s.flt_id[1] = 0x123;
    s.flt_mask[1] = 0x7FF;
    s.err_set = 255;
    sim().set_state(s);
    std::string path = temp_file("export.cfg");
    ASSERT_EQ(VELKExpCfg(kPort, path.c_str()), 0);

    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 92u);
    const unsigned d[23] = {7, 1, 2, 0x01, 0xAB, 0xCD, 0xEF, 0x3F, 0xFF, 0xFF, 0xFF, 9,
                            0, 1, 0,    0,    0x01, 0x23, 0,    0,    0x07, 0xFF, 255};
    for (int i = 0; i < 23; ++i) {
        uint32_t w = bytes[i * 4] | bytes[i * 4 + 1] << 8 | bytes[i * 4 + 2] << 16 | uint32_t(bytes[i * 4 + 3]) << 24;
        EXPECT_EQ(w, uint32_t(i + 1) * (d[i] + 1)) << "word " << i;
    }

    sim().set_state(sim::State{});
    sim().set_firmware(0x03, 0x00);
    sim().clear_host_frames();
    ASSERT_EQ(VELKImpCfg(kPort, path.c_str()), 0);
    EXPECT_EQ(sim().host_frames('0'), std::vector<Bytes>{frame({'0', 7, 9})});
    EXPECT_EQ(sim().host_frames('3'), std::vector<Bytes>{frame({'3', 1, 0})});
    EXPECT_EQ(sim().host_frames('8'), std::vector<Bytes>{frame({'8', 255})});
    EXPECT_EQ(sim().host_frames('1'), std::vector<Bytes>{frame({'1', 2, 0x01, 0xAB, 0xCD, 0xEF, 0x3F, 0xFF, 0xFF, 0xFF})});
    EXPECT_EQ(sim().host_frames('2'), std::vector<Bytes>{frame({'2', 1, 0, 0, 0x01, 0x23, 0, 0, 0x07, 0xFF})});
    std::remove(path.c_str());
}

TEST_F(Config, ImportRefusesFilesOfAnyOtherSize)
{
    std::string path = temp_file("short.cfg");
    for (size_t size : {size_t(0), size_t(91), size_t(93)}) {
        std::ofstream(path, std::ios::binary) << std::string(size, '\x01');
        sim().clear_host_frames();
        EXPECT_EQ(VELKImpCfg(kPort, path.c_str()), 1) << size;
        EXPECT_TRUE(frames().empty()) << size;
    }
    std::remove(path.c_str());
    EXPECT_EQ(VELKImpCfg(kPort, "/nonexistent/velk.cfg"), 1);
    EXPECT_EQ(VELKImpCfg(kPort, nullptr), 1);
}

TEST_F(Config, ImportReportsAFailingStepButAttemptsEveryOne)
{
    std::string path = temp_file("ok.cfg");
    ASSERT_EQ(VELKExpCfg(kPort, path.c_str()), 0);
    sim().set_fault('3', Fault{Fault::BadStatus});
    sim().clear_host_frames();
    EXPECT_EQ(VELKImpCfg(kPort, path.c_str()), 1);
    EXPECT_EQ(sim().host_frames('2').size(), 1u);
    std::remove(path.c_str());
}

TEST_F(Config, ExportCreatesNoFileWhenTheQueryOrTheWriteFails)
{
    std::string path = temp_file("none.cfg");
    sim().set_fault('7', Fault{Fault::BadStatus});
    EXPECT_EQ(VELKExpCfg(kPort, path.c_str()), 1);
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0);
    sim().clear_faults();
    EXPECT_EQ(VELKExpCfg(kPort, "/nonexistent-dir/velk.cfg"), 1);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(VELKExpCfg(kPort, "/dev/full"), 1);
    }
    EXPECT_EQ(VELKExpCfg(kPort, nullptr), 1);
}

}  // namespace
}  // namespace velk::test
