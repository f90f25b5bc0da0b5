// Connect and probe: the time to open one adapter with VELKOpenDevice (five
// 150 ms exchanges at least), to connect to it as the utility does with
// procConnect (nine), and of the start-up probe of all 68 port indices.
#include <string>

#include "adapter.h"
#include "apipart.h"
#include "bench_util.h"
#include "lib_velk_2.h"

using namespace velk;
using namespace velk::bench;

// The utility's settings panel is not here; the snapshot goes nowhere.
void guiStatusUpdate(UPUI_INFO) {}

namespace {

constexpr int kPort = 24;

double probe_all()
{
    double t0 = now_s();
    for (int i = 0; i < 68; ++i) {
        if (VELKOpenDevice(i) == 0)
            VELKCloseDevice(i);
    }
    return now_s() - t0;
}

}  // namespace

int main()
{
    static std::string names[68];
    for (int i = 0; i < 68; ++i) {
        names[i] = "/nonexistent/velk-bench-" + std::to_string(i);
        comports[i] = names[i].c_str();
    }
    double none = probe_all();
    row("start-up probe, no adapter", none * 1e3, "ms", "", 0);

    sim::Adapter a;
    if (!a.start())
        return 1;
    static std::string path = a.slave_path();
    comports[kPort] = path.c_str();
    double t0 = now_s();
    const int opened = VELKOpenDevice(kPort);
    double open_s = now_s() - t0;
    if (opened == 0)
        VELKCloseDevice(kPort);
    row("connect to one adapter (VELKOpenDevice)", open_s * 1e3, "ms", "five 150 ms exchanges", 750);

    // The open, a stop, both version queries and the configuration read-back.
    CAN_CNNT_INFO info = {};
    t0 = now_s();
    const int connected = procConnect(kPort, &info);
    double connect_s = now_s() - t0;
    if (connected == 0) {
        info.is_discnnt = true;
        procConnect(kPort, &info);
    }
    row("connect to one adapter (procConnect)", connect_s * 1e3, "ms", "nine 150 ms exchanges", 1350);

    double one = probe_all();
    row("start-up probe, one adapter", one * 1e3, "ms", "open + close of one adapter", 900);
    return opened == 0 && connected == 0 ? 0 : 1;
}
