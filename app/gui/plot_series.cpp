// Bounded per-signal storage of the plot and its thinning per pixel column.
#include "plot_series.h"

#include <algorithm>

namespace plot {

Series::Series(size_t capacity) : capacity_(std::max<size_t>(capacity, 4) & ~size_t{1})
{
    points_.reserve(capacity_);
}

void Series::clear()
{
    points_.clear();
    samples_ = 0;
    single_ = 0;
}

void Series::add(int64_t t_us, double value)
{
    if (points_.size() == capacity_)
        compact();
    if (!points_.empty() && t_us < points_.back().t_us)
        t_us = points_.back().t_us;
    Point p;
    p.t_us = t_us;
    p.first = p.last = p.min = p.max = value;
    points_.push_back(p);
    ++samples_;
    ++single_;
}

// The older half is merged pair by pair into the oldest quarter: each merge
// halves the resolution of the oldest data and frees a quarter of the store,
// so adding stays O(1) on average and the oldest samples are never lost
// from the drawing or the counts.
void Series::compact()
{
    const size_t half = points_.size() / 2;
    size_t w = 0;
    for (size_t r = 0; r + 1 < half; r += 2, ++w) {
        const Point &a = points_[r];
        const Point &b = points_[r + 1];
        if (a.count == 1)
            --single_;
        if (b.count == 1)
            --single_;
        Point m;
        m.t_us = a.t_us;
        m.first = a.first;
        m.last = b.last;
        m.min = std::min(a.min, b.min);
        m.max = std::max(a.max, b.max);
        m.count = a.count + b.count;
        points_[w] = m;
    }
    const size_t from = w * 2;
    points_.erase(points_.begin() + static_cast<long>(w), points_.begin() + static_cast<long>(from));
}

namespace {

struct ByTime {
    bool operator()(const Point &p, int64_t t) const { return p.t_us < t; }
};

}  // namespace

bool Series::range(int64_t t0, int64_t t1, double *lo, double *hi) const
{
    auto it = std::lower_bound(points_.begin(), points_.end(), t0, ByTime{});
    bool any = false;
    for (; it != points_.end() && it->t_us <= t1; ++it) {
        if (!any) {
            *lo = it->min;
            *hi = it->max;
            any = true;
        } else {
            *lo = std::min(*lo, it->min);
            *hi = std::max(*hi, it->max);
        }
    }
    return any;
}

size_t Series::columns(int64_t t0, int64_t t1, int width, std::vector<Column> *out) const
{
    out->assign(static_cast<size_t>(std::max(width, 0)), Column{});
    if (width <= 0 || t1 <= t0)
        return 0;
    const double span = static_cast<double>(t1 - t0);
    size_t looked = 0;
    for (auto it = std::lower_bound(points_.begin(), points_.end(), t0, ByTime{});
         it != points_.end() && it->t_us < t1; ++it, ++looked) {
        int c = static_cast<int>(static_cast<double>(it->t_us - t0) * width / span);
        c = std::clamp(c, 0, width - 1);
        Column &col = (*out)[static_cast<size_t>(c)];
        if (!col.has) {
            col.has = true;
            col.first = it->first;
            col.min = it->min;
            col.max = it->max;
        } else {
            col.min = std::min(col.min, it->min);
            col.max = std::max(col.max, it->max);
        }
        col.last = it->last;
    }
    return looked;
}

}  // namespace plot
