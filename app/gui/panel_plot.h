// The Plot tab: signals of the loaded databases drawn live over time.
// GUI thread only.
#pragma once

#include <gtk/gtk.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dbc.h"

// Builds the tab from plot.glade and adds it to "tr_notebook"; the plot
// follows the window's databases and takes the signals the monitor activates.
void plot_init(void);
// The loaded databases changed; plotted signals are found again by name
// (those no longer described keep their points and get no new ones). The
// databases must live until the next call.
void plot_set_databases(std::vector<const velk::dbc::Database *> databases);
// Adds a signal of a message of the databases to the plot; false, with a
// line in the status log, when the databases have no such signal. A signal
// already plotted is left as it is (true).
bool plot_add_signal(const char *message, const char *signal);
// Every frame the frame list takes: the plotted signals of its message are
// decoded and stored at time_us (the adapter's timestamp where the report
// has one, else the host's time).
void plot_feed(int channel, uint32_t id, bool ext, const uint8_t *data, int len, int64_t time_us);
// Removes every plotted signal; the lag figures start again.
void plot_clear(void);

// Writes the plotted points as CSV, or the view as PNG; false when the file
// could not be written (logged).
bool plot_export_csv(const char *path);
bool plot_export_png(const char *path, int width, int height);

// The file choosers of the export buttons go through this (tests answer
// them); gtk_dialog_run by default.
extern gint (*plot_dialog_run)(GtkDialog *dialog);

// Draws the tab now when it is shown (not waiting for the frame clock).
void plot_redraw_now(void);

// Figures of the plot for tests and the benchmark.
struct PlotStats {
    size_t signals = 0;
    unsigned long long points_fed = 0;  // samples stored since start
    unsigned long long redraws = 0;     // drawings of the tab's area
    unsigned long long due_ticks = 0;   // draw timer runs, while live and shown, with new points to draw
    unsigned long long batches = 0;     // times new points came to a drawn view: each wants one drawing
    // Longest wait, over the last redraws, from a sample's arrival to the
    // drawing that first showed it, in microseconds (p99 of the kept ones).
    long long lag_p99_us = 0;
    size_t lag_samples = 0;
    size_t stored_points = 0;  // over every signal
    long long draw_us = 0;     // time spent drawing, in all
};
PlotStats plot_stats(void);
// The signals plotted now, as "Message.Signal".
std::vector<std::string> plot_signals(void);
// The names the search list offers, "Message.Signal".
std::vector<std::string> plot_signal_choices(void);
// Live (true) or frozen by Pause, zoom or pan.
bool plot_is_live(void);
