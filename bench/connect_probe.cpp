// Connect and probe: the time to open one adapter (five 150 ms exchanges at
// least) and of the start-up probe of all 68 port indices.
#include <string>

#include "adapter.h"
#include "bench_util.h"
#include "lib_velk_2.h"

using namespace velk;
using namespace velk::bench;

namespace {

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
    comports[24] = path.c_str();
    double t0 = now_s();
    int r = VELKOpenDevice(24);
    double open_s = now_s() - t0;
    if (r == 0)
        VELKCloseDevice(24);
    row("connect to one adapter (VELKOpenDevice)", open_s * 1e3, "ms", "five 150 ms exchanges", 750);
    double one = probe_all();
    row("start-up probe, one adapter", one * 1e3, "ms", "open + close of one adapter", 900);
    return 0;
}
