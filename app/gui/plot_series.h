// The stored points of one plotted signal: a fixed number of points, of
// which the oldest are merged pairwise when the store is full, so the whole
// history stays shown (coarser the older it is) in bounded memory and every
// sample is still counted. Plain C++; the drawing asks for one minimum and
// maximum per pixel column of the time range it shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plot {

// One stored point: a single sample (count 1), or several merged ones,
// from the time of the first of them.
struct Point {
    int64_t t_us = 0;
    double first = 0, last = 0, min = 0, max = 0;
    uint32_t count = 1;
};

// A pixel column of a drawn range.
struct Column {
    bool has = false;
    double first = 0, last = 0, min = 0, max = 0;
};

class Series {
public:
    // At least 4 points; an odd number is rounded down.
    explicit Series(size_t capacity);

    // A sample at time t_us. A time before the newest one (a clock that
    // went back) is taken as the newest time, so the points stay in order.
    void add(int64_t t_us, double value);
    void clear();

    size_t size() const { return points_.size(); }
    size_t capacity() const { return capacity_; }
    bool empty() const { return points_.empty(); }
    const Point &operator[](size_t i) const { return points_[i]; }
    // Samples added since the last clear, merged or not.
    uint64_t samples() const { return samples_; }
    // Samples that now share a point with others.
    uint64_t merged_samples() const { return samples_ - single_; }
    int64_t first_time() const { return points_.empty() ? 0 : points_.front().t_us; }
    int64_t last_time() const { return points_.empty() ? 0 : points_.back().t_us; }
    double last_value() const { return points_.empty() ? 0 : points_.back().last; }

    // Lowest and highest value of the points in [t0, t1]; false when none.
    bool range(int64_t t0, int64_t t1, double *lo, double *hi) const;
    // The points of [t0, t1) in `width` columns of equal time; out gets
    // `width` entries. Returns the number of points looked at.
    size_t columns(int64_t t0, int64_t t1, int width, std::vector<Column> *out) const;

private:
    void compact();

    size_t capacity_;
    std::vector<Point> points_;
    uint64_t samples_ = 0;
    uint64_t single_ = 0;  // samples still alone in their point
};

}  // namespace plot
