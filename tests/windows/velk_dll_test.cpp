// Windows host program for lib_velk2_64.dll / lib_velk2_32.dll, run under
// Wine. It loads the DLL the way a third-party program does (LoadLibrary and
// GetProcAddress, no import library), checks the export table against the
// published list and the data objects' load values, and then drives
// emulated adapters (velk_sim on pseudo-terminals mapped to COM ports).
//
// usage: velk_dll_test DLL [--port INDEX --log FILE] [--stream-port INDEX --stream-count N]
//   --port         port index of a velk_sim --loopback --verbose adapter
//   --log          that adapter's standard output (what the host wrote, in hex)
//   --stream-port  port index of a velk_sim --stream N adapter
// Without ports only the export and load-value checks run.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "lib_velk_2.h"
#include "serial.h"  // the exported RS232_* layer
#include "../wire_oracle.h"

namespace {

int g_failures = 0;

void fail(const char *test, const char *fmt, ...)
{
    std::va_list ap;
    va_start(ap, fmt);
    std::printf("FAIL %s: ", test);
    std::vprintf(fmt, ap);
    std::printf("\n");
    std::fflush(stdout);
    va_end(ap);
    ++g_failures;
}

void pass(const char *test)
{
    std::printf("PASS %s\n", test);
    std::fflush(stdout);
}

// Runs one named check; a check reports its own failures and returns false.
template <typename F>
void check(const char *test, F body)
{
    const int before = g_failures;
    if (body(test) && g_failures == before)
        pass(test);
    else if (g_failures == before)
        fail(test, "failed");
}

#define EXPECT(cond, ...)                                          \
    do {                                                           \
        if (!(cond)) {                                             \
            fail(test, "%s (line %d)", #cond, __LINE__);           \
            std::printf("    ");                                   \
            std::printf(__VA_ARGS__);                              \
            std::printf("\n");                                     \
            return false;                                          \
        }                                                          \
    } while (0)

// ---- the published export list ----

#define VELK_FUNCTIONS(X)                                                                                       \
    X(VELKClearFilter) X(VELKCloseDevice) X(VELKExpCfg) X(VELKFlexibleVCOM) X(VELKGetBLDID) X(VELKGetBusError) \
    X(VELKGetCANStatus) X(VELKGetCFG_CANFD) X(VELKGetCfg) X(VELKGetRangeFilter) X(VELKGetVCOMConfig)           \
    X(VELKGet_TimingCFG_CANFD) X(VELKImpCfg) X(VELKInitCAN) X(VELKInitRangeFilter) X(VELKOpenDevice)          \
    X(VELKOpenDeviceSCT) X(VELKReceive) X(VELKReceiveNonblock) X(VELKReceiveNonblockCS) X(VELKReceive_CANFD)  \
    X(VELKResetCAN) X(VELKSend) X(VELKSend_CANFD) X(VELKSetBaudRate) X(VELKSetCFG_CANFD) X(VELKSetErrorType)  \
    X(VELKSetFilter) X(VELKSetMode) X(VELKSetRangeFilter) X(VELKSetRecvBlock) X(VELKSetVCOMConfig)            \
    X(VELKSet_TimingCFG_CANFD) X(VELKShowVer) X(VELKTesting) X(VELK_search_com) X(RS232_CloseComport)         \
    X(RS232_OpenComport) X(RS232_PollComport) X(RS232_SendBuf) X(RS232_SetRecvBlock) X(RS232_flushRX)         \
    X(showDebugMsg)

#define VELK_DATA(X)                                                                                          \
    X(show_ver_cmd) X(reset_cmd) X(bldid_cmd) X(expcfg_cmd) X(getcfg_cmd) X(get_sts_cmd) X(get_bus_cmd)       \
    X(clr_filt_0_cmd) X(clr_filt_1_cmd) X(getcfg_canfd_cmd) X(get_vcom_cmd) X(first) X(last) X(previous)     \
    X(g_FlexibleVCOM_flag) X(range_filter_mutex) X(temp_buf_fun0) X(temp_buf_fun1) X(enable_send_queue)      \
    X(size_send_queue) X(can_frame_queue) X(rear) X(front) X(send_delay)

// Typed pointers into the loaded DLL, named as the exports are.
struct Dll {
#define VELK_FN_FIELD(name) decltype(&::name) name = nullptr;
    VELK_FUNCTIONS(VELK_FN_FIELD)
#undef VELK_FN_FIELD
#define VELK_DATA_FIELD(name) decltype(&::name) name = nullptr;
    VELK_DATA(VELK_DATA_FIELD)
#undef VELK_DATA_FIELD
};

Dll d;
HMODULE g_module = nullptr;

std::vector<std::string> listed_names()
{
    std::vector<std::string> names;
#define VELK_NAME(name) names.push_back(#name);
    VELK_FUNCTIONS(VELK_NAME)
    VELK_DATA(VELK_NAME)
#undef VELK_NAME
    return names;
}

// Names in the DLL's export directory, read from the loaded image.
std::vector<std::string> exported_names(HMODULE module)
{
    std::vector<std::string> names;
    const auto *base = reinterpret_cast<const unsigned char *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0)
        return names;
    const auto *exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
    const auto *name_rvas = reinterpret_cast<const DWORD *>(base + exp->AddressOfNames);
    for (DWORD i = 0; i < exp->NumberOfNames; ++i)
        names.push_back(reinterpret_cast<const char *>(base + name_rvas[i]));
    return names;
}

bool resolve_all(const char *test)
{
    int missing = 0;
#define VELK_RESOLVE(name)                                                                              \
    d.name = reinterpret_cast<decltype(d.name)>(reinterpret_cast<void *>(GetProcAddress(g_module, #name))); \
    if (d.name == nullptr) {                                                                            \
        fail(test, "export %s is missing", #name);                                                      \
        ++missing;                                                                                      \
    }
    VELK_FUNCTIONS(VELK_RESOLVE)
    VELK_DATA(VELK_RESOLVE)
#undef VELK_RESOLVE
    return missing == 0;
}

bool export_table_is_the_list(const char *test)
{
    const std::vector<std::string> listed = listed_names();
    const std::set<std::string> want(listed.begin(), listed.end());
    const std::vector<std::string> have_list = exported_names(g_module);
    const std::set<std::string> have(have_list.begin(), have_list.end());
    EXPECT(!have.empty(), "no export directory");
    bool ok = true;
    for (const std::string &n : have) {
        if (want.count(n) == 0) {
            fail(test, "unlisted export %s", n.c_str());
            ok = false;
        }
    }
    for (const std::string &n : want) {
        if (have.count(n) == 0) {
            fail(test, "listed name %s not in the export table", n.c_str());
            ok = false;
        }
    }
    EXPECT(have_list.size() == want.size(), "%u names exported, %u listed", unsigned(have_list.size()),
           unsigned(want.size()));
    EXPECT(GetProcAddress(g_module, "VELKOpenSocketCAN") == nullptr, "VELKOpenSocketCAN is exported");
    return ok;
}

bool bytes_equal(const unsigned char *got, const unsigned char *want, size_t n)
{
    return std::memcmp(got, want, n) == 0;
}

bool data_objects_have_load_values(const char *test)
{
    EXPECT(bytes_equal(*d.show_ver_cmd, reinterpret_cast<const unsigned char *>("55\r\n"), 4), "show_ver_cmd");
    EXPECT(bytes_equal(*d.reset_cmd, reinterpret_cast<const unsigned char *>("44\r\n"), 4), "reset_cmd");
    EXPECT(bytes_equal(*d.bldid_cmd, reinterpret_cast<const unsigned char *>("66\r\n"), 4), "bldid_cmd");
    EXPECT(bytes_equal(*d.expcfg_cmd, reinterpret_cast<const unsigned char *>("77\r\n"), 4), "expcfg_cmd");
    EXPECT(bytes_equal(*d.getcfg_cmd, reinterpret_cast<const unsigned char *>("77\r\n"), 4), "getcfg_cmd");
    const unsigned char sts[4] = {0x60, 0x60, 0x0D, 0x0A};
    EXPECT(bytes_equal(*d.get_sts_cmd, sts, 4), "get_sts_cmd");
    EXPECT(bytes_equal(*d.get_bus_cmd, reinterpret_cast<const unsigned char *>("bb\r\n"), 4), "get_bus_cmd");
    const unsigned char clr0[13] = {'1', 0, 0, 0, 0, 0, 0, 0, 0, 0, '1', 0x0D, 0x0A};
    const unsigned char clr1[13] = {'2', 0, 0, 0, 0, 0, 0, 0, 0, 0, '2', 0x0D, 0x0A};
    EXPECT(bytes_equal(*d.clr_filt_0_cmd, clr0, 13), "clr_filt_0_cmd");
    EXPECT(bytes_equal(*d.clr_filt_1_cmd, clr1, 13), "clr_filt_1_cmd");
    EXPECT(bytes_equal(*d.getcfg_canfd_cmd, reinterpret_cast<const unsigned char *>("GG\r\n"), 4),
           "getcfg_canfd_cmd");
    EXPECT(bytes_equal(*d.get_vcom_cmd, reinterpret_cast<const unsigned char *>("MM\r\n"), 4), "get_vcom_cmd");
    EXPECT(*d.first == nullptr && *d.last == nullptr && *d.previous == nullptr, "open-port list not empty");
    EXPECT(!*d.g_FlexibleVCOM_flag, "g_FlexibleVCOM_flag");
    EXPECT(!*d.range_filter_mutex, "range_filter_mutex");
    EXPECT(*d.temp_buf_fun0 == 0 && *d.temp_buf_fun1 == 0, "temp_buf_fun0/1");
    EXPECT(!*d.enable_send_queue, "enable_send_queue");
    EXPECT(*d.size_send_queue == 0, "size_send_queue %d", *d.size_send_queue);
    EXPECT(*d.can_frame_queue == nullptr, "can_frame_queue");
    EXPECT(*d.rear == -1 && *d.front == -1, "rear %d front %d", *d.rear, *d.front);
    EXPECT((*d.send_delay)[0] == 40000 && (*d.send_delay)[1] == 40000, "send_delay %d %d", (*d.send_delay)[0],
           (*d.send_delay)[1]);
    return true;
}

bool failures_without_a_port(const char *test)
{
    EXPECT(d.VELKOpenDevice(-1) == 1, "index -1 opened");
    EXPECT(d.VELKOpenDevice(256) == 1, "index 256 opened");
    EXPECT(d.VELKOpenDeviceSCT(256) == 1, "index 256 opened (SCT)");
    EXPECT(d.VELKOpenDevice(254) == 1, "COM255 opened, but it does not exist");
    EXPECT(d.VELKOpenDeviceSCT(254) == 1, "COM255 opened (SCT), but it does not exist");
    EXPECT(*d.first == nullptr, "a failed open left a node");
    EXPECT(d.VELKCloseDevice(7) == 1, "closing a port that is not open");
    EXPECT(d.VELKSetRecvBlock(7, true) == -1, "VELKSetRecvBlock of a port that is not open");
    EXPECT(d.RS232_SetRecvBlock(nullptr, 1) == -1, "RS232_SetRecvBlock");
    EXPECT(d.RS232_OpenComport("\\\\.\\COM24", 4000000, "8N1", 0) == nullptr, "4000000 bit/s accepted");
    EXPECT(d.RS232_OpenComport("\\\\.\\COM24", 9600, "8N", 0) == nullptr, "two-character mode accepted");
    EXPECT(d.RS232_OpenComport("\\\\.\\COM24", 9600, "9N1", 0) == nullptr, "9 data bits accepted");
    EXPECT(d.RS232_OpenComport("\\\\.\\COM24", 9600, "8X1", 0) == nullptr, "parity X accepted");
    EXPECT(d.RS232_OpenComport("\\\\.\\COM24", 9600, "8N3", 0) == nullptr, "3 stop bits accepted");
    EXPECT(sizeof(COM_SEARCH_INFO) == sizeof(int) * 257, "COM_SEARCH_INFO holds 256 indices");
    return true;
}

// ---- what the adapter received: velk_sim --verbose lines "port 0 < E0 01 ..." ----

std::string g_log;

std::string read_log()
{
    std::string text;
    FILE *f = std::fopen(g_log.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

// Frames the adapter logged that start with `code`, as hex text.
std::vector<std::string> logged_frames(unsigned char code)
{
    char prefix[16];
    std::snprintf(prefix, sizeof(prefix), "< %02X", code);
    std::vector<std::string> out;
    const std::string text = read_log();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break;  // a line still being written
        std::string line = text.substr(pos, end - pos);
        size_t at = line.find(prefix);
        if (at != std::string::npos)
            out.push_back(line.substr(at + 2));
        pos = end + 1;
    }
    return out;
}

std::string hex(const std::vector<unsigned char> &bytes)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof(b), i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

// Waits until the adapter has logged `count` frames starting with `code`.
bool wait_logged(unsigned char code, size_t count, std::vector<std::string> *frames)
{
    const ULONGLONG deadline = GetTickCount64() + 10000;
    do {
        *frames = logged_frames(code);
        if (frames->size() >= count)
            return true;
        Sleep(5);
    } while (GetTickCount64() < deadline);
    return false;
}

// Waits for one record from VELKReceive_CANFD.
bool receive_one(int port, CAN_FRAME_INFO *frame)
{
    const ULONGLONG deadline = GetTickCount64() + 10000;
    do {
        std::memset(frame, 0, sizeof(*frame));
        if (d.VELKReceive_CANFD(port, frame) == 1)
            return true;
        Sleep(1);
    } while (GetTickCount64() < deadline);
    return false;
}

bool time_text_ok(const char *t)
{
    if (std::strlen(t) != 12)
        return false;
    for (int i = 0; i < 12; ++i) {
        const bool colon = i == 2 || i == 5 || i == 8;
        if (colon ? t[i] != ':' : (t[i] < '0' || t[i] > '9'))
            return false;
    }
    return true;
}

int g_port = -1;
int g_stream_port = -1;
int g_stream_count = 0;

bool open_versions_status(const char *test)
{
    EXPECT(d.VELKOpenDevice(g_port) == 0, "VELKOpenDevice(%d) failed", g_port);
    EXPECT(*d.first != nullptr && (*d.first)->com_index == g_port, "open-port list has no node");
    EXPECT(d.VELKOpenDevice(g_port) == 1, "second open of the same index succeeded");
    VER_INFO ver;
    std::memset(&ver, 0, sizeof(ver));
    EXPECT(d.VELKShowVer(g_port, &ver) == 0, "VELKShowVer");
    EXPECT(std::strcmp(ver.fw, "03.02") == 0, "fw '%s'", ver.fw);
    EXPECT(std::strcmp(ver.api, "3.1.0") == 0, "api '%s'", ver.api);
    EXPECT(std::strcmp(ver.model, "5102") == 0, "model '%s'", ver.model);
    int s1 = -1, s2 = -1;
    EXPECT(d.VELKGetCANStatus(g_port, &s1, &s2) == 0, "VELKGetCANStatus");
    EXPECT(s1 == VELK_INACTIVE && s2 == VELK_INACTIVE, "status %d %d", s1, s2);
    EXPECT(d.VELKSetRecvBlock(g_port, true) == -1, "VELKSetRecvBlock of an open port");
    EXPECT(d.VELKCloseDevice(g_port) == 0, "VELKCloseDevice");
    EXPECT(*d.first == nullptr, "node left after close");
    EXPECT(d.VELKCloseDevice(g_port) == 1, "second close succeeded");
    // Reopened with the 1 ms read time-out for the rest of the run.
    EXPECT(d.VELKOpenDeviceSCT(g_port) == 0, "VELKOpenDeviceSCT(%d) failed", g_port);
    return true;
}

bool configuration_round_trip(const char *test)
{
    EXPECT(d.VELKSetBaudRate(g_port, 4, 6) == 0, "VELKSetBaudRate");
    EXPECT(d.VELKSetMode(g_port, VELK_NORMAL, VELK_LISTEN) == 0, "VELKSetMode");
    FILTER_INFO flt = {VELK_CAN_2, VELK_EID, 0x1234567, 0x1FFFFF00};
    EXPECT(d.VELKSetFilter(g_port, &flt) == 0, "VELKSetFilter");
    CFG_CANFD fd = {3, 1, 5, 0};
    EXPECT(d.VELKSetCFG_CANFD(g_port, &fd) == 0, "VELKSetCFG_CANFD");
    CANFD_CFG_INFO cfg;
    std::memset(&cfg, 0xAA, sizeof(cfg));
    EXPECT(d.VELKGetCFG_CANFD(g_port, &cfg) == 0, "VELKGetCFG_CANFD");
    EXPECT(cfg.baud[0] == 4 && cfg.baud[1] == 6, "baud %u %u", cfg.baud[0], cfg.baud[1]);
    EXPECT(cfg.mode[0] == VELK_NORMAL && cfg.mode[1] == VELK_LISTEN, "mode %u %u", cfg.mode[0], cfg.mode[1]);
    EXPECT(cfg.flt_type[1] == VELK_EID && cfg.flt_id[1] == 0x1234567, "filter type %u id %08X", cfg.flt_type[1],
           cfg.flt_id[1]);
    EXPECT(cfg.fdf_en[0] == 1 && cfg.fdf_en[1] == 0, "fdf_en %u %u", cfg.fdf_en[0], cfg.fdf_en[1]);
    EXPECT(cfg.datarate[0] == 3 && cfg.datarate[1] == 5, "datarate %u %u", cfg.datarate[0], cfg.datarate[1]);
    EXPECT(d.VELKSetMode(g_port, VELK_NORMAL, VELK_NORMAL) == 0, "VELKSetMode back to normal");
    return true;
}

bool activating_at_100k_sets_loop_counts(const char *test)
{
    EXPECT(d.VELKInitCAN(g_port, VELK_ACTIVE, VELK_ACTIVE) == 0, "VELKInitCAN");
    EXPECT((*d.send_delay)[0] == 700000, "send_delay[0] %d", (*d.send_delay)[0]);
    EXPECT((*d.send_delay)[1] == 250000, "send_delay[1] %d", (*d.send_delay)[1]);
    return true;
}

double counter_us()
{
    LARGE_INTEGER freq, count;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) * 1e6 / static_cast<double>(freq.QuadPart);
}

CAN_FRAME_INFO classic_frame()
{
    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof(f));
    f.CAN_port = VELK_CAN_1;
    f.id_type = VELK_SID;
    f.dlc = 8;
    f.id = 0x123;
    for (int i = 0; i < 8; ++i)
        f.data[i] = static_cast<unsigned char>(0xA0 + i);
    return f;
}

// Sends `n` classic frames on channel 1 back to back and takes their
// loop-back reports off the port; the burst's time in microseconds on the
// performance counter, or -1 when a send or a report failed.
double timed_burst(int n)
{
    CAN_FRAME_INFO f = classic_frame();
    const double t0 = counter_us();
    for (int i = 0; i < n; ++i) {
        if (d.VELKSend(g_port, &f) != 0)
            return -1;
    }
    const double took = counter_us() - t0;
    CAN_FRAME_INFO r;
    for (int i = 0; i < n; ++i) {
        if (!receive_one(g_port, &r))
            return -1;
    }
    return took;
}

// A burst pauses at least as long per frame as the Linux build does for the
// same code; lower bounds only, as a loaded machine only makes it slower.
bool pacing_is_timed(const char *test)
{
    const int saved = (*d.send_delay)[0];
    // 100 kbit/s from the check before: 1050 us a frame on Linux.
    EXPECT(saved == 700000, "send_delay[0] %d", saved);
    const double at_100k = timed_burst(40);
    EXPECT(at_100k >= 40 * 1050.0, "40 frames at 100 kbit/s in %.0f us", at_100k);

    // 50 kbit/s: 3200 us, the bus time of the longest classic frame.
    EXPECT(d.VELKSetBaudRate(g_port, 3, 6) == 0, "VELKSetBaudRate");
    EXPECT(d.VELKInitCAN(g_port, VELK_ACTIVE, VELK_ACTIVE) == 0, "VELKInitCAN");
    EXPECT((*d.send_delay)[0] == 1280000, "send_delay[0] %d at 50 kbit/s", (*d.send_delay)[0]);
    const double at_50k = timed_burst(15);
    EXPECT(at_50k >= 15 * 3200.0, "15 frames at 50 kbit/s in %.0f us", at_50k);

    // A count the host program writes itself: 400 to the microsecond.
    (*d.send_delay)[0] = 2000000;
    const double own = timed_burst(10);
    (*d.send_delay)[0] = saved;
    EXPECT(own >= 10 * 5000.0, "10 frames at a count of 2000000 in %.0f us", own);
    std::printf("    us a frame: %.0f at 100 kbit/s (Linux 1050), %.0f at 50 kbit/s (Linux 3200), %.0f at a count "
                "of 2000000 (5000)\n",
                at_100k / 40, at_50k / 15, own / 10);
    return true;
}

bool classic_frame_on_the_wire_and_back(const char *test)
{
    const size_t before = logged_frames(0xE0).size();
    CAN_FRAME_INFO f = classic_frame();
    EXPECT(d.VELKSend(g_port, &f) == 0, "VELKSend");
    std::vector<std::string> frames;
    EXPECT(wait_logged(0xE0, before + 1, &frames), "no 0xE0 frame arrived");
    const std::string want =
        hex(velk::test::with_trailer({0xE0, 0x81, 0x00, 0x00, 0x01, 0x23, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    EXPECT(frames[before] == want, "wire %s\n    want %s", frames[before].c_str(), want.c_str());

    // Looped back by the adapter as an 0xE2 report received on CAN2.
    CAN_FRAME_INFO r;
    EXPECT(receive_one(g_port, &r), "no report");
    EXPECT(r.msg_type == VELK_DATA_TYPE && r.CAN_port == VELK_CAN_2, "type %d port %d", r.msg_type, r.CAN_port);
    EXPECT(r.id_type == VELK_SID && r.id == 0x123 && r.dlc == 8 && r.fdf == 0, "id %X dlc %d", r.id, r.dlc);
    EXPECT(std::memcmp(r.data, f.data, 8) == 0, "payload differs");
    EXPECT(time_text_ok(r.recv_time), "recv_time '%s'", r.recv_time);
    return true;
}

bool fd_frame_on_the_wire_and_back(const char *test)
{
    const size_t before = logged_frames(0xF0).size();
    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof(f));
    f.CAN_port = VELK_CAN_2;
    f.id_type = VELK_EID;
    f.dlc = 15;
    f.fdf = 1;
    f.brs = 1;
    f.id = 0x1ABCDEF0;
    for (int i = 0; i < 64; ++i)
        f.data[i] = static_cast<unsigned char>(i * 3 + 1);
    EXPECT(d.VELKSend_CANFD(g_port, &f) == 0, "VELKSend_CANFD");
    std::vector<std::string> frames;
    EXPECT(wait_logged(0xF0, before + 1, &frames), "no 0xF0 frame arrived");
    // Flags: channel 2 (2) + extended (4) + DLC 15 << 4; FD flags BRS | FDF.
    std::vector<unsigned char> want = {0xF0, 0xF6, 0x05, 0x1A, 0xBC, 0xDE, 0xF0};
    want.insert(want.end(), f.data, f.data + 64);
    const std::string want_hex = hex(velk::test::with_trailer(want));
    EXPECT(frames[before] == want_hex, "wire %s\n    want %s", frames[before].c_str(), want_hex.c_str());

    CAN_FRAME_INFO r;
    EXPECT(receive_one(g_port, &r), "no report");
    EXPECT(r.msg_type == VELK_DATA_TYPE && r.CAN_port == VELK_CAN_1, "type %d port %d", r.msg_type, r.CAN_port);
    EXPECT(r.id_type == VELK_EID && r.id == 0x1ABCDEF0 && r.dlc == 15, "id %X dlc %d", r.id, r.dlc);
    EXPECT(r.fdf == 1 && r.brs == 1 && r.esi == 0, "fdf %d brs %d esi %d", r.fdf, r.brs, r.esi);
    EXPECT(std::memcmp(r.data, f.data, 64) == 0, "payload differs");
    EXPECT(time_text_ok(r.recv_time), "recv_time '%s'", r.recv_time);
    return true;
}

bool nonblock_cs_collects_looped_frames(const char *test)
{
    CAN_FRAME_INFO out[3];
    std::memset(out, 0, sizeof(out));
    // Nothing waiting: returns empty once the 50 ms limit has passed.
    EXPECT(d.VELKReceiveNonblockCS(g_port, 3, 50, out) == 0, "records from an idle adapter");

    const size_t before = logged_frames(0xE0).size();
    for (int i = 0; i < 3; ++i) {
        CAN_FRAME_INFO f = classic_frame();
        f.id = 0x200 + static_cast<unsigned>(i);
        EXPECT(d.VELKSend(g_port, &f) == 0, "VELKSend %d", i);
    }
    std::vector<std::string> frames;
    EXPECT(wait_logged(0xE0, before + 3, &frames), "frames did not arrive");
    int got = 0;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (got < 3 && GetTickCount64() < deadline)
        got += d.VELKReceiveNonblockCS(g_port, 3 - got, 100, out + got);
    EXPECT(got == 3, "%d records", got);
    for (int i = 0; i < 3; ++i)
        EXPECT(out[i].id == 0x200u + static_cast<unsigned>(i) && out[i].CAN_port == VELK_CAN_2, "record %d id %X", i,
               out[i].id);
    return true;
}

bool bus_status_report(const char *test)
{
    EXPECT(d.VELKGetBusError(g_port) == 0, "VELKGetBusError");
    CAN_FRAME_INFO r;
    EXPECT(receive_one(g_port, &r), "no 0x62 report");
    EXPECT(r.msg_type == VELK_GETBUS_TYPE, "type %d", r.msg_type);
    return true;
}

bool queue_through_exported_objects(const char *test)
{
    SEND_QUEUE_ITEM ring[4];
    std::memset(ring, 0, sizeof(ring));
    const size_t before = logged_frames(0xE0).size();
    *d.size_send_queue = 4;
    *d.can_frame_queue = ring;
    *d.enable_send_queue = true;
    bool ok = true;
    for (int i = 0; i < 4 && ok; ++i) {
        CAN_FRAME_INFO f = classic_frame();
        f.id = 0x300 + static_cast<unsigned>(i);
        ok = d.VELKSend(g_port, &f) == 0;
    }
    CAN_FRAME_INFO fifth = classic_frame();
    const int fifth_result = d.VELKSend(g_port, &fifth);
    const int rear_after = *d.rear;
    *d.enable_send_queue = false;
    *d.can_frame_queue = nullptr;
    *d.size_send_queue = 0;
    *d.rear = -1;
    EXPECT(ok, "a send into the empty ring failed");
    EXPECT(fifth_result == 1, "fifth send into a full ring returned %d", fifth_result);
    EXPECT(rear_after == 3 && *d.front == -1, "rear %d front %d", rear_after, *d.front);
    for (int i = 0; i < 4; ++i)
        EXPECT(ring[i].com_port == g_port && ring[i].can_frame_info.id == 0x300u + static_cast<unsigned>(i) &&
                   ring[i].can_frame_info.data[7] == 0xA7,
               "slot %d: port %d id %X", i, ring[i].com_port, ring[i].can_frame_info.id);

    // Queued frames were not written: the next frame on the wire is the one
    // sent after the queue was switched off.
    CAN_FRAME_INFO after = classic_frame();
    after.id = 0x3FF;
    EXPECT(d.VELKSend(g_port, &after) == 0, "VELKSend with the queue off");
    std::vector<std::string> frames;
    EXPECT(wait_logged(0xE0, before + 1, &frames), "frame did not arrive");
    EXPECT(frames.size() == before + 1 && frames[before].compare(0, 17, "E0 81 00 00 03 FF") == 0,
           "%u new frames, first %s", unsigned(frames.size() - before), frames[before].c_str());
    CAN_FRAME_INFO r;
    EXPECT(receive_one(g_port, &r) && r.id == 0x3FF, "loop-back of the frame");
    return true;
}

bool close_loopback_port(const char *test)
{
    EXPECT(d.VELKCloseDevice(g_port) == 0, "VELKCloseDevice");
    EXPECT(*d.first == nullptr, "node left after close");
    return true;
}

// Both emulated adapters answer; COM26 to COM256 do not exist.
bool search_finds_both_adapters(const char *test)
{
    const COM_SEARCH_INFO found = d.VELK_search_com();
    EXPECT(found.num == 2 && found.com[0] == g_port && found.com[1] == g_stream_port, "num %d, first %d %d",
           found.num, found.com[0], found.com[1]);
    EXPECT(*d.first == nullptr, "search left a port open");
    return true;
}

// ---- every report kind, from velk_sim --stream ----

bool stream_of_every_report_kind(const char *test)
{
    EXPECT(d.VELKOpenDeviceSCT(g_stream_port) == 0, "VELKOpenDeviceSCT(%d)", g_stream_port);
    EXPECT(d.VELKInitCAN(g_stream_port, VELK_ACTIVE, VELK_INACTIVE) == 0, "VELKInitCAN");
    std::vector<CAN_FRAME_INFO> got(static_cast<size_t>(g_stream_count));
    int n = 0;
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (n < g_stream_count && GetTickCount64() < deadline) {
        NON_BLOCK_INFO info = {static_cast<unsigned>(g_stream_count - n), 100, &got[static_cast<size_t>(n)]};
        n += d.VELKReceiveNonblock(g_stream_port, &info);
    }
    d.VELKCloseDevice(g_stream_port);
    EXPECT(n == g_stream_count, "%d of %d reports", n, g_stream_count);

    // Report i carries i: as the timestamp second of 0xE2/0xF1, the
    // identifier of 0xE1, the first two status bytes of bus reports.
    int e1 = 0, e2 = 0, f1 = 0, eeprom = 0, bus = 0, psr = 0, getbus = 0;
    for (int i = 0; i < n; ++i) {
        const CAN_FRAME_INFO &r = got[static_cast<size_t>(i)];
        const unsigned tag = static_cast<unsigned>(i);
        const unsigned status_tag = static_cast<unsigned>(r.data_err[0][0]) << 8 | r.data_err[0][1];
        switch (r.msg_type) {
        case VELK_DATA_TYPE:
            if (r.fdf) {
                ++f1;
                EXPECT(r.timestamp.second == tag, "0xF1 record %d carries %u", i, r.timestamp.second);
            } else if (r.timestamp.second == 0 && r.timestamp.micro_second == 0 && r.id == tag) {
                ++e1;
            } else {
                ++e2;
                EXPECT(r.timestamp.second == tag, "0xE2 record %d carries %u", i, r.timestamp.second);
            }
            EXPECT(time_text_ok(r.recv_time), "recv_time '%s'", r.recv_time);
            break;
        case VELK_EEERR_TYPE: ++eeprom; break;
        case VELK_BUSERR_TYPE:
            ++bus;
            EXPECT(status_tag == (tag & 0xFFFF), "0x99/02 record %d carries %u", i, status_tag);
            break;
        case VELK_BUSERR_PSR_TYPE:
            ++psr;
            EXPECT(status_tag == (tag & 0xFFFF), "0x99/04 record %d carries %u", i, status_tag);
            break;
        case VELK_GETBUS_TYPE:
            ++getbus;
            EXPECT(status_tag == (tag & 0xFFFF), "0x62/02 record %d carries %u", i, status_tag);
            break;
        default: EXPECT(false, "record %d has type %d", i, r.msg_type);
        }
    }
    std::printf("    reports: E1 %d, E2 %d, F1 %d, 99/01 %d, 99/02 %d, 99/04 %d, 62/02 %d\n", e1, e2, f1, eeprom, bus,
                psr, getbus);
    EXPECT(e1 > 0 && e2 > 0 && f1 > 0 && eeprom > 0 && bus > 0 && psr > 0 && getbus > 0,
           "a report kind is missing from the stream");
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: velk_dll_test DLL [--port INDEX --log FILE] [--stream-port INDEX --stream-count N]\n");
        return 2;
    }
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0)
            g_port = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--log") == 0)
            g_log = argv[i + 1];
        else if (std::strcmp(argv[i], "--stream-port") == 0)
            g_stream_port = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--stream-count") == 0)
            g_stream_count = std::atoi(argv[i + 1]);
    }

    std::printf("loading %s (%d-bit host)\n", argv[1], static_cast<int>(sizeof(void *) * 8));
    g_module = LoadLibraryA(argv[1]);
    if (g_module == nullptr) {
        std::printf("FAIL load: LoadLibrary error %lu\n", GetLastError());
        return 1;
    }
    check("every listed export resolves", resolve_all);
    if (g_failures != 0)
        return 1;
    check("export table holds exactly the listed names", export_table_is_the_list);
    check("data objects hold their load values", data_objects_have_load_values);
    check("bad port indices and serial parameters fail", failures_without_a_port);

    if (g_port >= 0 && g_stream_port == g_port + 1)
        check("port search finds both adapters from COM24 on", search_finds_both_adapters);
    if (g_port >= 0 && !g_log.empty()) {
        check("open, versions, status and close", open_versions_status);
        if (*d.first != nullptr) {
            check("configuration round-trip", configuration_round_trip);
            check("channel 1 at 100 kbit/s sets send_delay 700000", activating_at_100k_sets_loop_counts);
            check("bursts pause at least as long as the Linux build", pacing_is_timed);
            check("classic frame is byte-exact on the wire and received back", classic_frame_on_the_wire_and_back);
            check("CAN FD frame is byte-exact on the wire and received back", fd_frame_on_the_wire_and_back);
            check("VELKReceiveNonblockCS collects records", nonblock_cs_collects_looped_frames);
            check("bus status report answers VELKGetBusError", bus_status_report);
            check("exported queue objects queue instead of sending", queue_through_exported_objects);
            check("close", close_loopback_port);
        }
    }
    if (g_stream_port >= 0 && g_stream_count > 0)
        check("every report kind is decoded in order", stream_of_every_report_kind);

    std::printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "OK", g_failures);
    return g_failures ? 1 : 0;
}
