// Helpers of the benchmarks: clocks, CPU time, and the row format that
// scripts/bench collects into one table.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace velk::bench {

inline double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Processor time of the whole process (user + system), seconds.
inline double cpu_s()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One table row: what was measured, the figure, what it is compared with and
// the ratio figure / baseline (empty when there is no baseline).
// Processor time of the calling thread only, seconds.
inline double thread_cpu_s()
{
    struct rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline void row(const std::string &what, double figure, const std::string &unit, const std::string &baseline_what,
                double baseline)
{
    char ratio[32] = "";
    if (baseline > 0)
        std::snprintf(ratio, sizeof(ratio), "%.3f", figure / baseline);
    std::printf("ROW|%s|%.6g %s|%s|%s\n", what.c_str(), figure, unit.c_str(), baseline_what.c_str(), ratio);
    std::fflush(stdout);
}

inline void note(const std::string &what, const std::string &text)
{
    std::printf("ROW|%s|%s||\n", what.c_str(), text.c_str());
    std::fflush(stdout);
}

}  // namespace velk::bench
