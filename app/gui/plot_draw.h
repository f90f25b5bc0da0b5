// Drawing of the plot with cairo: the signals over a shared time axis, one
// colour each, y axes per signal or one shared, a legend with last values.
// Used for the window's drawing area and for the PNG export.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plot_series.h"

namespace plot {

struct Trace {
    const Series *series = nullptr;
    std::string label;  // "Message.Signal"
    std::string unit;
    double rgb[3] = {0, 0, 0};
};

struct View {
    int64_t t0 = 0, t1 = 1;  // shown time range, microseconds
    int64_t origin = 0;      // the time the axis counts seconds from
    bool shared_y = false;
    const char *state = "";  // "Live", "Paused", ...: shown in a corner
};

// The plot area inside a surface of width x height, in pixels.
struct Area {
    double x = 0, y = 0, w = 1, h = 1;
};
Area area_of(int width, int height, size_t traces, bool shared_y);

void draw(cairo_t *cr, int width, int height, const std::vector<Trace> &traces, const View &view);

}  // namespace plot
