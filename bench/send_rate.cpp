// Send rate: bursts of frames with no interval at each nominal bit-rate code,
// against the pacing bound 1e6 / send_delay frames per second.
#include <sys/prctl.h>

#include <cstdlib>
#include <cstring>

#include "adapter.h"
#include "bench_util.h"
#include "lib_velk_2.h"
#include "wire.h"

using namespace velk;
using namespace velk::bench;

int main(int argc, char **argv)
{
    int frames = argc > 1 ? std::atoi(argv[1]) : 5000;
    // As the utility's send worker does: wake-ups close to the asked time.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    sim::Adapter a;
    if (!a.start())
        return 1;
    static std::string path = a.slave_path();
    comports[0] = path.c_str();
    if (VELKOpenDevice(0) != 0)
        return 1;
    // The codes with a tuned pause (code 10 is 400 kbit/s, between 6 and 7
    // in pause).
    for (int code = 4; code <= 10; ++code) {
        const char *rate = velk::wire::kNominalRates[code].name;
        sim::State s = a.state();
        s.baud[0] = s.baud[1] = static_cast<uint8_t>(code);
        a.set_state(s);
        VELKInitCAN(0, VELK_ACTIVE, VELK_ACTIVE);
        a.clear_host_frames();
        CAN_FRAME_INFO f;
        std::memset(&f, 0, sizeof(f));
        f.id_type = VELK_SID;
        f.dlc = 8;
        f.id = 0x123;
        double t0 = now_s();
        int ok = 0;
        for (int i = 0; i < frames; ++i)
            ok += VELKSend(0, &f) == 0;
        double dt = now_s() - t0;
        a.wait_host_frames(static_cast<size_t>(frames), 5000);
        row("send burst, code " + std::to_string(code) + " (" + rate + ")", ok / dt,
            "frames/s", "pacing bound 1e6/" + std::to_string(send_delay[0]), 1e6 / send_delay[0]);
    }
    VELKCloseDevice(0);
    return 0;
}
