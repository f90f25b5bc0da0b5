// Helpers of the benchmarks that drive the emulated adapter.
#pragma once

#include <chrono>
#include <thread>

#include "adapter.h"
#include "bench_util.h"

namespace velk::bench {

// A data frame of the stream (E1, E2 or F1), not a status or error report.
inline bool is_data(const sim::Report &r)
{
    return r.kind == sim::Report::E1 || r.kind == sim::Report::E2 || r.kind == sim::Report::F1;
}

// Waits until the host has started both channels. A benchmark's waits may
// poll; its figures do not depend on them.
inline bool wait_started(sim::Adapter &a, double timeout_s)
{
    const double end = now_s() + timeout_s;
    while (now_s() < end) {
        const sim::State s = a.state();
        if (s.active[0] && s.active[1])
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace velk::bench
