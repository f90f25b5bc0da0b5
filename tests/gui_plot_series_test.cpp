// The plot's per-signal store: bounded, every sample counted, the newest
// ones exact, and the per-column thinning the drawing uses.
#include "plot_series.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using plot::Column;
using plot::Series;

namespace {

double wave(int i)
{
    return std::sin(i * 0.01) * 100 + (i % 7);
}

uint64_t counted(const Series &s)
{
    uint64_t n = 0;
    for (size_t i = 0; i < s.size(); ++i)
        n += s[i].count;
    return n;
}

}  // namespace

TEST(PlotSeries, BelowCapacityEverySampleIsKeptAsItCame)
{
    Series s(100);
    for (int i = 0; i < 60; ++i)
        s.add(i * 1000, wave(i));
    ASSERT_EQ(s.size(), 60u);
    EXPECT_EQ(s.samples(), 60u);
    EXPECT_EQ(s.merged_samples(), 0u);
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(s[static_cast<size_t>(i)].t_us, i * 1000);
        EXPECT_EQ(s[static_cast<size_t>(i)].last, wave(i));
        EXPECT_EQ(s[static_cast<size_t>(i)].count, 1u);
    }
}

TEST(PlotSeries, AFullStoreStaysBoundedAndLosesNoSampleFromTheCounts)
{
    Series s(1000);
    double lo = 1e300, hi = -1e300;
    const int n = 1000000;
    for (int i = 0; i < n; ++i) {
        s.add(int64_t{i} * 100, wave(i));
        lo = std::min(lo, wave(i));
        hi = std::max(hi, wave(i));
        ASSERT_LE(s.size(), s.capacity());
    }
    EXPECT_EQ(s.samples(), static_cast<uint64_t>(n));
    EXPECT_EQ(counted(s), static_cast<uint64_t>(n));
    // The whole history is still there, from the first sample's time.
    EXPECT_EQ(s.first_time(), 0);
    EXPECT_EQ(s.last_time(), int64_t{n - 1} * 100);
    EXPECT_EQ(s[0].first, wave(0));
    double slo = 0, shi = 0;
    ASSERT_TRUE(s.range(0, s.last_time(), &slo, &shi));
    EXPECT_EQ(slo, lo);
    EXPECT_EQ(shi, hi);
    for (size_t i = 1; i < s.size(); ++i)
        ASSERT_LE(s[i - 1].t_us, s[i].t_us);
}

TEST(PlotSeries, TheNewestHalfStaysAtFullResolution)
{
    Series s(64);
    const int n = 1000;
    for (int i = 0; i < n; ++i)
        s.add(i, wave(i));
    ASSERT_GE(s.size(), 32u);
    for (size_t k = 0; k < 32; ++k) {
        const plot::Point &p = s[s.size() - 1 - k];
        EXPECT_EQ(p.count, 1u);
        EXPECT_EQ(p.t_us, n - 1 - static_cast<int>(k));
        EXPECT_EQ(p.last, wave(n - 1 - static_cast<int>(k)));
    }
    uint64_t singles = 0;
    for (size_t i = 0; i < s.size(); ++i)
        singles += s[i].count == 1;
    EXPECT_EQ(s.merged_samples(), s.samples() - singles);
    EXPECT_EQ(counted(s), static_cast<uint64_t>(n));
}

TEST(PlotSeries, ColumnsHoldTheMinimumAndMaximumOfTheirTime)
{
    Series s(100000);
    std::vector<double> v;
    for (int i = 0; i < 50000; ++i) {
        v.push_back(wave(i));
        s.add(i * 10, v.back());
    }
    const int64_t t0 = 12345, t1 = 400000;
    const int width = 300;
    std::vector<Column> cols;
    s.columns(t0, t1, width, &cols);
    ASSERT_EQ(cols.size(), static_cast<size_t>(width));
    std::vector<Column> want(static_cast<size_t>(width));
    for (int i = 0; i < 50000; ++i) {
        const int64_t t = i * 10;
        if (t < t0 || t >= t1)
            continue;
        const int c = static_cast<int>(static_cast<double>(t - t0) * width / static_cast<double>(t1 - t0));
        Column &w = want[static_cast<size_t>(c)];
        if (!w.has) {
            w = {true, v[static_cast<size_t>(i)], v[static_cast<size_t>(i)], v[static_cast<size_t>(i)],
                 v[static_cast<size_t>(i)]};
        } else {
            w.min = std::min(w.min, v[static_cast<size_t>(i)]);
            w.max = std::max(w.max, v[static_cast<size_t>(i)]);
            w.last = v[static_cast<size_t>(i)];
        }
    }
    for (int c = 0; c < width; ++c) {
        SCOPED_TRACE(c);
        ASSERT_EQ(cols[static_cast<size_t>(c)].has, want[static_cast<size_t>(c)].has);
        EXPECT_EQ(cols[static_cast<size_t>(c)].min, want[static_cast<size_t>(c)].min);
        EXPECT_EQ(cols[static_cast<size_t>(c)].max, want[static_cast<size_t>(c)].max);
        EXPECT_EQ(cols[static_cast<size_t>(c)].first, want[static_cast<size_t>(c)].first);
        EXPECT_EQ(cols[static_cast<size_t>(c)].last, want[static_cast<size_t>(c)].last);
    }
}

TEST(PlotSeries, MergedPointsKeepTheExtremesInTheirColumns)
{
    // A spike among many samples survives the thinning of old points.
    Series s(256);
    for (int i = 0; i < 100000; ++i)
        s.add(i, i == 777 ? 5000.0 : 1.0);
    std::vector<Column> cols;
    s.columns(0, 100000, 100, &cols);
    EXPECT_EQ(cols[0].max, 5000.0);
    EXPECT_EQ(cols[0].min, 1.0);
    for (int c = 1; c < 100; ++c) {
        if (cols[static_cast<size_t>(c)].has) {
            EXPECT_EQ(cols[static_cast<size_t>(c)].max, 1.0) << c;
        }
    }
}

TEST(PlotSeries, ATimeThatGoesBackIsTakenAsTheNewest)
{
    Series s(16);
    s.add(5000, 1);
    s.add(4000, 2);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].t_us, 5000);
    EXPECT_EQ(s[1].last, 2);
}

TEST(PlotSeries, EmptyRangesGiveNothing)
{
    Series s(16);
    double lo = 0, hi = 0;
    EXPECT_FALSE(s.range(0, 100, &lo, &hi));
    s.add(500, 3);
    EXPECT_FALSE(s.range(0, 100, &lo, &hi));
    std::vector<Column> cols;
    EXPECT_EQ(s.columns(100, 100, 10, &cols), 0u);
    EXPECT_EQ(s.columns(0, 1000, 0, &cols), 0u);
    EXPECT_TRUE(cols.empty());
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.samples(), 0u);
}
