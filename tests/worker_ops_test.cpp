// Device operations against the emulated adapter: the library calls each
// operation makes, in order, what it returns and when it pushes a snapshot.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "internal.h"
#include "wire_oracle.h"
#include "worker_support.h"

using namespace velk::wtest;
using velk::sim::Bytes;
using velk::sim::Fault;

namespace {

constexpr int kPort = 0;

std::vector<uint8_t> codes(const std::vector<Bytes> &frames)
{
    std::vector<uint8_t> c;
    for (const Bytes &f : frames)
        c.push_back(f.empty() ? 0 : f[0]);
    return c;
}

// The frames of the operation's own calls; the bit-rate command reads the
// versions first inside the library.
std::vector<Bytes> without_version_queries(const std::vector<Bytes> &frames)
{
    std::vector<Bytes> out;
    for (const Bytes &f : frames)
        if (f.empty() || (f[0] != '5' && f[0] != '6'))
            out.push_back(f);
    return out;
}

Fault bad_status()
{
    Fault f;
    f.kind = Fault::BadStatus;
    return f;
}

bool port_is_open()
{
    return chk_is_legal_com(kPort) != nullptr;
}

// A new empty file for a configuration; the test removes it.
std::string temp_cfg()
{
    char path[] = "/tmp/velk-worker-cfg-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0)
        close(fd);
    return fd >= 0 ? path : "";
}

}  // namespace

TEST(Connect, PortWithoutAdapterReturns1AndDoesNothingMore)
{
    unmap_all_ports();
    status_log().clear();
    upui_info.device_type = 0;
    CAN_CNNT_INFO info = {};
    EXPECT_EQ(procConnect(kPort, &info), 1);
    EXPECT_EQ(upui_info.device_type, TYPE_CANFD);
    EXPECT_EQ(status_log().count(), 0u);
    EXPECT_STREQ(info.fw, "");
    EXPECT_FALSE(port_is_open());
}

TEST(Connect, SilentAdapterGetsOnlyTheStatusQueriesOfTheOpen)
{
    MappedAdapter a(kPort);
    ASSERT_TRUE(a.ok());
    a.sim().set_answering(false);
    status_log().clear();
    CAN_CNNT_INFO info = {};
    EXPECT_EQ(procConnect(kPort, &info), 1);
    EXPECT_EQ(codes(a.sim().host_frames()), (std::vector<uint8_t>{0x60, 0x60}));
    EXPECT_EQ(status_log().count(), 0u);
    EXPECT_FALSE(port_is_open());
}

TEST(Connect, FailedVersionQueryClosesThePortAndReturns2WithoutSnapshot)
{
    MappedAdapter a(kPort);
    ASSERT_TRUE(a.ok());
    a.sim().set_fault('5', bad_status());
    status_log().clear();
    CAN_CNNT_INFO info = {};
    EXPECT_EQ(procConnect(kPort, &info), 2);
    EXPECT_EQ(status_log().count(), 0u);
    EXPECT_FALSE(port_is_open());
    EXPECT_TRUE(a.sim().host_frames('G').empty()) << "no configuration read after the failure";
    EXPECT_EQ(a.sim().host_frames().back(), velk::test::frame({'a', 0, 0})) << "the close stops the channels";

    // The caller can retry once the adapter answers.
    a.sim().clear_faults();
    EXPECT_EQ(procConnect(kPort, &info), 0);
    info.is_discnnt = true;
    procConnect(kPort, &info);
}

TEST(Disconnect, WithoutWorkersStopsTheChannelsClosesThePortAndReturns1)
{
    MappedAdapter a(kPort);
    ASSERT_TRUE(a.ok());
    CAN_CNNT_INFO info = {};
    ASSERT_EQ(procConnect(kPort, &info), 0);
    a.sim().clear_host_frames();
    info.is_discnnt = true;
    EXPECT_EQ(procConnect(kPort, &info), 1);
    EXPECT_FALSE(port_is_open());
    std::vector<Bytes> frames = a.sim().host_frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front(), velk::test::frame({'a', 0, 0}));
}

// One connection shared by the cases below.
class Connected : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        adapter_ = new MappedAdapter(kPort);
        ASSERT_TRUE(adapter_->ok());
        adapter_->sim().set_firmware(0x03, 0x02);
        adapter_->sim().set_build_id(0x51, 0x02);
        velk::sim::State s = adapter_->sim().state();
        s.baud[0] = 4;
        s.baud[1] = 9;
        s.datarate[0] = 5;
        s.fdf_en[1] = 1;
        adapter_->sim().set_state(s);
        status_log().clear();
        connect_info_ = {};
        connect_result_ = procConnect(kPort, &connect_info_);
        connect_frames_ = adapter_->sim().host_frames();
        connect_snapshots_ = status_log().count();
        if (connect_snapshots_ > 0) {
            connect_snapshot_ = status_log().last();
            connect_thread_ok_ = status_log().threads.back() == std::this_thread::get_id();
        }
    }
    static void TearDownTestSuite()
    {
        CAN_CNNT_INFO info = {};
        info.is_discnnt = true;
        procConnect(kPort, &info);
        delete adapter_;
        adapter_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_EQ(connect_result_, 0);
        sim().clear_faults();
        sim().clear_host_frames();
        status_log().clear();
    }
    static velk::sim::Adapter &sim() { return adapter_->sim(); }

    static MappedAdapter *adapter_;
    static CAN_CNNT_INFO connect_info_;
    static int connect_result_;
    static std::vector<Bytes> connect_frames_;
    static size_t connect_snapshots_;
    static UPUI_INFO connect_snapshot_;
    static bool connect_thread_ok_;
};

MappedAdapter *Connected::adapter_ = nullptr;
CAN_CNNT_INFO Connected::connect_info_;
int Connected::connect_result_ = -1;
std::vector<Bytes> Connected::connect_frames_;
size_t Connected::connect_snapshots_ = 0;
UPUI_INFO Connected::connect_snapshot_;
bool Connected::connect_thread_ok_ = false;

TEST_F(Connected, ConnectFormatsTheVersionsAndPushesTheConfiguration)
{
    EXPECT_STREQ(connect_info_.fw, "FW: 03.02");
    EXPECT_STREQ(connect_info_.api, "Lib: 3.1.0");
    EXPECT_STREQ(connect_info_.mdl, "Model: 5102");
    ASSERT_EQ(connect_snapshots_, 1u);
    EXPECT_TRUE(connect_thread_ok_) << "the snapshot is pushed on the caller's thread";
    EXPECT_EQ(connect_snapshot_.device_type, TYPE_CANFD);
    EXPECT_EQ(connect_snapshot_.cfg_info_canfd.baud[0], 4);
    EXPECT_EQ(connect_snapshot_.cfg_info_canfd.baud[1], 9);
    EXPECT_EQ(connect_snapshot_.cfg_info_canfd.datarate[0], 5);
    EXPECT_EQ(connect_snapshot_.cfg_info_canfd.fdf_en[1], 1);
}

TEST_F(Connected, ConnectStopsTheChannelsReadsTheVersionsThenTheConfiguration)
{
    std::vector<uint8_t> c = codes(connect_frames_);
    ASSERT_GE(c.size(), 4u);
    std::vector<uint8_t> tail(c.end() - 4, c.end());
    EXPECT_EQ(tail, (std::vector<uint8_t>{'a', '5', '6', 'G'}));
    EXPECT_EQ(connect_frames_[c.size() - 4], velk::test::frame({'a', 0, 0}));
}

TEST_F(Connected, CanSetWithoutFiltersClearsBothAndIgnoresTheFdResult)
{
    sim().set_fault('J', bad_status());
    CAN_SET_INFO set[2] = {};
    set[0].mode = VELK_LISTEN;
    set[0].baud = 3;
    set[0].Dbaud = 0x104;  // only the low byte goes out
    set[0].fdf = true;
    set[1].mode = VELK_NORMAL;
    set[1].baud = 7;
    set[1].Dbaud = 8;
    EXPECT_EQ(procCanSet(kPort, set), 0);
    std::vector<Bytes> f = without_version_queries(sim().host_frames());
    ASSERT_EQ(f.size(), 6u);
    EXPECT_EQ(f[0], velk::test::frame({'J', 0x04, 0x08, 1, 0}));
    EXPECT_EQ(f[1], velk::test::frame({'3', 1, 0}));
    EXPECT_EQ(f[2], velk::test::frame({'0', 3, 7}));
    EXPECT_EQ(f[3], Bytes(clr_filt_0_cmd, clr_filt_0_cmd + sizeof clr_filt_0_cmd));
    EXPECT_EQ(f[4], Bytes(clr_filt_1_cmd, clr_filt_1_cmd + sizeof clr_filt_1_cmd));
    EXPECT_EQ(f[5][0], 'G');
    EXPECT_EQ(status_log().count(), 0u) << "applying settings pushes no snapshot";
    EXPECT_EQ(upui_info.cfg_info_canfd.baud[0], 3) << "the configuration is read back";
    EXPECT_EQ(upui_info.cfg_info_canfd.mode[0], 1);
}

TEST_F(Connected, CanSetMakesEveryCallAndSumsTheFailures)
{
    sim().set_fault('3', bad_status());
    sim().set_fault('2', bad_status());
    CAN_SET_INFO set[2] = {};
    set[0].baud = 7;
    set[0].is_filt = true;
    set[0].filt_info = {VELK_CAN_1, VELK_SID, 0x123, 0x7FF};
    set[1].baud = 7;
    set[1].is_filt = true;
    set[1].filt_info = {VELK_CAN_2, VELK_EID, 0x1234567, 0x1FFFFFFF};
    EXPECT_EQ(procCanSet(kPort, set), 2);
    EXPECT_EQ(codes(without_version_queries(sim().host_frames())), (std::vector<uint8_t>{'J', '3', '0', '1', '2', 'G'}));
    EXPECT_EQ(sim().state().flt_type[0], VELK_SID);
    EXPECT_EQ(sim().state().flt_id[0], 0x123u);
}

TEST_F(Connected, ResetReadsTheConfigurationBackAndPushesIt)
{
    EXPECT_EQ(procReset(kPort), 0);
    EXPECT_EQ(codes(sim().host_frames()), (std::vector<uint8_t>{'4', 'G'}));
    ASSERT_EQ(status_log().count(), 1u);
    EXPECT_EQ(status_log().last().device_type, TYPE_CANFD);
}

TEST_F(Connected, FailedResetReturnsTheErrorAndPushesNothing)
{
    sim().set_fault('4', bad_status());
    EXPECT_NE(procReset(kPort), 0);
    EXPECT_EQ(codes(sim().host_frames()), (std::vector<uint8_t>{'4'}));
    EXPECT_EQ(status_log().count(), 0u);
}

TEST_F(Connected, ErrorTypePassesTheLibraryResultThrough)
{
    EXPECT_EQ(procError(kPort, VELK_EN_ALL), 0);
    EXPECT_EQ(sim().host_frames().back(), velk::test::frame({'8', 0xFF}));
    sim().set_fault('8', bad_status());
    EXPECT_EQ(procError(kPort, VELK_BUS_ERR), 1);
}

TEST_F(Connected, ExportNeverPushesAndImportPushesOnlyOnSuccess)
{
    std::string file = temp_cfg();
    ASSERT_FALSE(file.empty());
    char *path = file.data();
    EXPECT_EQ(procCfg(kPort, path, false), 0);
    struct stat st;
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_size, 92);
    EXPECT_EQ(status_log().count(), 0u);

    EXPECT_EQ(procCfg(kPort, path, true), 0);
    EXPECT_EQ(status_log().count(), 1u);
    EXPECT_EQ(sim().host_frames().back()[0], 'G');

    char missing[] = "/nonexistent/velk.cfg";
    sim().clear_host_frames();
    EXPECT_NE(procCfg(kPort, missing, true), 0);
    EXPECT_EQ(status_log().count(), 1u);
    EXPECT_TRUE(sim().host_frames().empty());
    std::remove(path);
}

TEST_F(Connected, StartSwitchesBothChannelsOnAndStopOff)
{
    EXPECT_EQ(procInitial(kPort, true), 0);
    EXPECT_EQ(sim().host_frames().back(), velk::test::frame({'a', 1, 1}));
    EXPECT_EQ(sim().state().active[0], 1);
    EXPECT_EQ(sim().state().active[1], 1);
    EXPECT_EQ(procInitial(kPort, false), 0);
    EXPECT_EQ(sim().host_frames().back(), velk::test::frame({'a', 0, 0}));
    EXPECT_EQ(sim().state().active[0], 0);
}

// A configuration read-back that fails (its reply lost) never overwrites the
// snapshot: the GUI goes on showing, and the send panel offering, what the
// device reported last. Nothing is pushed.
TEST_F(Connected, FailedReadBackLeavesTheSnapshotAndPushesNothing)
{
    std::string file = temp_cfg();
    ASSERT_FALSE(file.empty());
    char *path = file.data();
    ASSERT_EQ(procCfg(kPort, path, false), 0);
    ASSERT_EQ(procReset(kPort), 0);  // a snapshot of known, non-zero values
    UPUI_INFO before;
    std::memcpy(&before, &upui_info, sizeof before);
    ASSERT_NE(before.cfg_info_canfd.baud[0], 0);
    status_log().clear();

    Fault lost;
    lost.kind = Fault::NoReply;
    sim().set_fault('G', lost);
    CAN_SET_INFO set[2] = {};
    set[0].baud = set[1].baud = 4;
    const std::pair<const char *, std::function<int()>> cases[] = {
        {"reset", [] { return procReset(kPort); }},
        {"import", [&] { return procCfg(kPort, path, true); }},
        {"settings", [&] { return procCanSet(kPort, set); }},
    };
    for (const auto &[what, op] : cases) {
        EXPECT_EQ(op(), 0) << what;
        EXPECT_EQ(std::memcmp(&before, &upui_info, sizeof before), 0) << what;
    }
    EXPECT_EQ(status_log().count(), 0u);
    std::remove(path);
}
