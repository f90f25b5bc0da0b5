// Cairo drawing of the plot: background, grid and time axis, one line per
// signal from its per-column minimum and maximum (a vertical stroke where a
// column holds many points), the y axes and the legend.
#include "plot_draw.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plot {

namespace {

constexpr double kAxisWidth = 58;  // one y axis column
constexpr size_t kMaxAxes = 4;     // per-signal axes beyond these are not labelled
constexpr double kTop = 10, kRight = 12, kBottom = 30;
constexpr int kTicks = 5;

// A step of 1, 2 or 5 times a power of ten that gives about `n` ticks.
double nice_step(double span, int n)
{
    if (span <= 0)
        return 1;
    const double raw = span / n;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / p;
    return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * p;
}

void number_text(double v, double step, char *out, size_t size)
{
    const int decimals = step >= 1 ? 0 : std::min(6, static_cast<int>(std::ceil(-std::log10(step))));
    std::snprintf(out, size, "%.*f", decimals, std::fabs(v) < step * 1e-6 ? 0.0 : v);
}

void text_at(cairo_t *cr, double x, double y, const char *text, double align_x, double align_y)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, text, &e);
    cairo_move_to(cr, x - e.width * align_x - e.x_bearing, y - e.height * align_y - e.y_bearing);
    cairo_show_text(cr, text);
}

// The value range a trace is drawn over, with a little room above and below;
// a flat signal gets a range of its own around its value.
void padded(double *lo, double *hi)
{
    if (*hi - *lo < 1e-12) {
        const double m = std::max(std::fabs(*lo) * 0.1, 1.0);
        *lo -= m;
        *hi += m;
        return;
    }
    const double pad = (*hi - *lo) * 0.05;
    *lo -= pad;
    *hi += pad;
}

void draw_time_axis(cairo_t *cr, const Area &a, const View &v)
{
    const double span_s = static_cast<double>(v.t1 - v.t0) / 1e6;
    const double step = nice_step(span_s, 8);
    const double start_s = static_cast<double>(v.t0 - v.origin) / 1e6;
    cairo_set_font_size(cr, 10);
    for (double s = std::ceil(start_s / step) * step; s <= start_s + span_s + step * 1e-9; s += step) {
        const double x = a.x + (s - start_s) / span_s * a.w;
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, std::round(x) + 0.5, a.y);
        cairo_line_to(cr, std::round(x) + 0.5, a.y + a.h);
        cairo_stroke(cr);
        char text[32];
        number_text(s, step, text, sizeof text);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, x, a.y + a.h + 4, text, 0.5, 0);
    }
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    text_at(cr, a.x + a.w, a.y + a.h + 17, "time (s)", 1, 0);
}

// Labels of one y axis in column `col` left of the plot area; the shared
// axis also draws the horizontal grid.
void draw_y_axis(cairo_t *cr, const Area &a, size_t col, double lo, double hi, const double rgb[3], bool grid)
{
    const double step = nice_step(hi - lo, kTicks);
    const double right = a.x - 4 - static_cast<double>(col) * kAxisWidth;
    cairo_set_font_size(cr, 10);
    for (double v = std::ceil(lo / step) * step; v <= hi; v += step) {
        const double y = a.y + a.h - (v - lo) / (hi - lo) * a.h;
        if (grid) {
            cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
            cairo_move_to(cr, a.x, std::round(y) + 0.5);
            cairo_line_to(cr, a.x + a.w, std::round(y) + 0.5);
            cairo_stroke(cr);
        }
        char text[32];
        number_text(v, step, text, sizeof text);
        cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
        text_at(cr, right, y, text, 1, 0.5);
    }
}

void draw_trace(cairo_t *cr, const Area &a, const Trace &t, const View &v, double lo, double hi,
                std::vector<Column> *cols)
{
    const int width = std::max(1, static_cast<int>(a.w));
    t.series->columns(v.t0, v.t1, width, cols);
    auto y_of = [&](double value) { return a.y + a.h - (value - lo) / (hi - lo) * a.h; };
    cairo_set_source_rgb(cr, t.rgb[0], t.rgb[1], t.rgb[2]);
    // A line of thousands of short segments: stroked without antialiasing
    // it costs a fraction of the smooth one, and at one point per pixel
    // column looks the same.
    cairo_save(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
    bool open = false;
    size_t shown = 0;
    for (int c = 0; c < width; ++c) {
        const Column &col = (*cols)[static_cast<size_t>(c)];
        if (!col.has)
            continue;
        ++shown;
        const double x = a.x + c + 0.5;
        if (!open) {
            cairo_move_to(cr, x, y_of(col.first));
            open = true;
        } else {
            cairo_line_to(cr, x, y_of(col.first));
        }
        if (col.max > col.min) {
            cairo_line_to(cr, x, y_of(col.min));
            cairo_line_to(cr, x, y_of(col.max));
        }
        cairo_line_to(cr, x, y_of(col.last));
    }
    cairo_stroke(cr);
    cairo_restore(cr);
    // Few points in view: each is marked, so single samples are seen.
    if (shown > 0 && shown * 8 < static_cast<size_t>(width)) {
        for (int c = 0; c < width; ++c) {
            const Column &col = (*cols)[static_cast<size_t>(c)];
            if (col.has) {
                cairo_arc(cr, a.x + c + 0.5, y_of(col.last), 2.5, 0, 2 * M_PI);
                cairo_fill(cr);
            }
        }
    }
}

void draw_legend(cairo_t *cr, const Area &a, const std::vector<Trace> &traces)
{
    cairo_set_font_size(cr, 11);
    std::vector<std::string> lines;
    double widest = 0;
    for (const Trace &t : traces) {
        char value[64] = "–";
        if (!t.series->empty())
            std::snprintf(value, sizeof value, "%.6g", t.series->last_value());
        std::string line = t.label + " = " + value + (t.unit.empty() ? "" : " " + t.unit);
        cairo_text_extents_t e;
        cairo_text_extents(cr, line.c_str(), &e);
        widest = std::max(widest, e.x_advance);
        lines.push_back(std::move(line));
    }
    const double row = 16;
    const double w = widest + 30;
    const double h = row * static_cast<double>(lines.size()) + 6;
    const double x = a.x + a.w - w - 6;
    const double y = a.y + 6;
    cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
    cairo_rectangle(cr, x, y, w, h);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    for (size_t i = 0; i < lines.size(); ++i) {
        const Trace &t = traces[i];
        const double ly = y + 3 + row * static_cast<double>(i) + row / 2;
        cairo_set_source_rgb(cr, t.rgb[0], t.rgb[1], t.rgb[2]);
        cairo_rectangle(cr, x + 6, ly - 4, 14, 8);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        text_at(cr, x + 24, ly, lines[i].c_str(), 0, 0.5);
    }
}

}  // namespace

Area area_of(int width, int height, size_t traces, bool shared_y)
{
    const size_t axes = shared_y ? 1 : std::clamp<size_t>(traces, 1, kMaxAxes);
    Area a;
    a.x = kAxisWidth * static_cast<double>(axes) + 4;
    a.y = kTop;
    a.w = std::max(1.0, width - a.x - kRight);
    a.h = std::max(1.0, height - kTop - kBottom);
    return a;
}

void draw(cairo_t *cr, int width, int height, const std::vector<Trace> &traces, const View &v)
{
    const Area a = area_of(width, height, traces.size(), v.shared_y);
    cairo_set_source_rgb(cr, 0.97, 0.97, 0.97);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, a.x, a.y, a.w, a.h);
    cairo_fill(cr);
    cairo_set_line_width(cr, 1);
    if (v.t1 > v.t0)
        draw_time_axis(cr, a, v);

    // Value ranges over the shown time: per trace, or one over all.
    std::vector<double> lo(traces.size(), 0), hi(traces.size(), 1);
    std::vector<bool> has(traces.size(), false);
    double all_lo = 0, all_hi = 1;
    bool any = false;
    for (size_t i = 0; i < traces.size(); ++i) {
        has[i] = traces[i].series->range(v.t0, v.t1, &lo[i], &hi[i]);
        if (!has[i])
            continue;
        all_lo = any ? std::min(all_lo, lo[i]) : lo[i];
        all_hi = any ? std::max(all_hi, hi[i]) : hi[i];
        any = true;
        padded(&lo[i], &hi[i]);
    }
    padded(&all_lo, &all_hi);
    static const double kGrey[3] = {0.2, 0.2, 0.2};
    if (v.shared_y)
        draw_y_axis(cr, a, 0, all_lo, all_hi, traces.size() == 1 ? traces[0].rgb : kGrey, true);
    else
        for (size_t i = 0; i < traces.size() && i < kMaxAxes; ++i)
            if (has[i])
                draw_y_axis(cr, a, i, lo[i], hi[i], traces[i].rgb, false);

    cairo_save(cr);
    cairo_rectangle(cr, a.x, a.y, a.w, a.h);
    cairo_clip(cr);
    std::vector<Column> cols;
    for (size_t i = 0; i < traces.size(); ++i)
        if (has[i])
            draw_trace(cr, a, traces[i], v, v.shared_y ? all_lo : lo[i], v.shared_y ? all_hi : hi[i], &cols);
    cairo_restore(cr);

    cairo_set_source_rgb(cr, 0.55, 0.55, 0.55);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, a.x + 0.5, a.y + 0.5, a.w - 1, a.h - 1);
    cairo_stroke(cr);
    if (!traces.empty())
        draw_legend(cr, a, traces);
    cairo_set_font_size(cr, 11);
    cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
    text_at(cr, a.x + 6, a.y + 6, traces.empty() ? "No signal plotted: add one above" : v.state, 0, 0);
}

}  // namespace plot
