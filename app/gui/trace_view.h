// The trace view: a window of its own over trace files of any size, beside
// the live views and usable with no adapter. The files are indexed in the
// background (a place every 1024 frames, never the frames); rows are read
// from the files when they are drawn. GUI thread only.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>
#include <vector>

#include "trace_isotp.h"
#include "trace_plot.h"

namespace gui::trace_view {

// The columns of the list, in the order shown.
enum Column { NO, CH, DIR, MOD, ID, MESSAGE, TYPE, LEN, DATA, TIME, RELATIVE, COLUMNS };

// The Open trace… button and drops on the main window; the files named on
// the command line (after GTK took its own options) open at once.
void init(GtkBuilder *builder, int argc, char **argv);
// Opens a window on the files, merged by time into one trace; nullptr when
// none can be opened (the reason in the status log).
GtkWidget *open(const std::vector<std::string> &paths);
// The files of a text/uri-list (a drop), as paths.
std::vector<std::string> paths_of_uris(const char *const *uris);
// Lets the main window take files dropped on it.
void accept_drops(GtkWidget *window);
// The Open trace… button: a file chooser (several files may be chosen).
void btn_open_trace_cb(GtkWidget *, gpointer);
// The chooser's run, a test's answer in place of gtk_dialog_run.
extern gint (*open_dialog_run)(GtkDialog *dialog);
// The Export… chooser's run, likewise; its fields below the chooser are
// named tv_export_filtered, tv_export_from and tv_export_to.
extern gint (*export_dialog_run)(GtkDialog *dialog);

// What a view shows, for tests: frames indexed so far, whether indexing
// ended, the status line, the first row shown, the selected row (-1:
// none), a cell's text as drawn, the decoded signals of the selection.
uint64_t frames(GtkWidget *view);
bool indexed(GtkWidget *view);
std::string status(GtkWidget *view);
int64_t first_shown(GtkWidget *view);
int64_t selected(GtkWidget *view);
// A row is a frame, or while a filter is set a match of the filter.
std::string cell(GtkWidget *view, uint64_t row, Column column);
uint64_t rows(GtkWidget *view);
// A filter is set and has read the whole trace.
bool filtered(GtkWidget *view);
std::string details(GtkWidget *view);
// The plot window the Plot button opened, or nullptr.
GtkWidget *plot(GtkWidget *view);
// The columns of the plot's signal `series` (in the legend's order), the
// time range [t0, t1) and width, once computed.
bool plot_columns(GtkWidget *view, std::vector<trace_plot::Column> *columns, int64_t *t0, int64_t *t1,
                  size_t series = 0);
// The plotted signals ("Message.Signal"), in the legend's order; what the
// legend's button of signal i does: take it off.
std::vector<std::string> plot_signals(GtkWidget *view);
void plot_remove(GtkWidget *view, size_t i);
// What Export CSV… does once a file is chosen: the plotted signals of the
// range in view (or of the whole trace) to `path`; its progress and end
// are the export's (exporting()).
bool plot_export_csv(GtkWidget *view, const std::string &path, bool whole);
// What a drag across the plot does: zoom into [t0, t1).
void plot_zoom(GtkWidget *view, int64_t t0, int64_t t1);
// What a click does: the cursor at `us`, and the list at the frame there.
void plot_click(GtkWidget *view, int64_t us);
// The cursor's time (it follows the list's selection), -1 before any.
int64_t plot_cursor(GtkWidget *view);
// An export is running (its end not said yet).
bool exporting(GtkWidget *view);
// The statistics window shows its range read (periods, times, changes, bus load).
bool statistics_read(GtkWidget *view);
// The bits on the bus of CAN1 (0) or CAN2 (1) in each time of the load strip.
std::vector<uint64_t> statistics_bits(GtkWidget *view, int channel);
// The ISO-TP window the ISO-TP button opened (or nullptr); its messages
// found in the whole trace; message i; what choosing row i does (the list
// goes to its first frame); the chosen message's data as shown below.
GtkWidget *isotp(GtkWidget *view);
bool isotp_read(GtkWidget *view);
bool isotp_row(GtkWidget *view, size_t i, trace_isotp::Row *r);
void isotp_select(GtkWidget *view, size_t i);
std::string isotp_details(GtkWidget *view);
// The statistics window the Statistics button opened, or nullptr.
GtkWidget *statistics(GtkWidget *view);

}  // namespace gui::trace_view
