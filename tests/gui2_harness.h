// In-process harness of the utility's panels: runs the real start-up from
// the layout directory under the test's X display and drives the GTK main
// loop until a condition holds.
#pragma once

#include "gui_widgets.h"
#include "guipart.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace gui2 {

// Start-up once per process: layout files, widget records, port probe
// (waited for).
void start_utility();

using gui_widgets::active_text;
using gui_widgets::checked;
using gui_widgets::entry;
using gui_widgets::focus_of;
using gui_widgets::item_count;
using gui_widgets::label;
using gui_widgets::log_lines;
using gui_widgets::log_shows_newest;
using gui_widgets::named_widget;
using gui_widgets::press_key;
using gui_widgets::pump_until;
using gui_widgets::select_text;
using gui_widgets::sensitive;
using gui_widgets::set_entry;
using gui_widgets::type_text;
using gui_widgets::wait_idle;

// Handles what is pending without waiting; bounded, because the frame tick
// keeps the context busy while frames flow.
void pump_pending();

// The frame table.
int rows();
std::string cell(int row, int column);  // "" for an unset cell
// A text cell of any list: "<no row>" beyond its rows.
std::string model_cell(GtkTreeModel *model, int row, int column);
bool cell_is_set(int row, int column);

// The monitor's row of a channel ("1", "2"), path ("Send", "Recv") and
// identifier as shown; -1 when it has none. Its cells in the order shown.
int monitor_row(const char *ch, const char *path, const char *id);
std::string monitor_cell(int row, int column);
// A cell of a monitor row's child (a signal); "<no row>" where none.
std::string monitor_child_cell(int row, int child, int column);
int monitor_children(int row);
// The first and last row a tree view shows whole or in part now, as laid
// out; false when it shows none.
bool visible_range(GtkWidget *tree, int *first, int *last);
int visible_rows(GtkWidget *tree);
// Entries waiting in the receive ring.
int received_waiting();

// The next file chooser of the Record button is answered with this path
// (empty: Cancel).
// The path the next Record… chooser gets, with its splitting fields: a
// piece's size in MB, a new piece every so many minutes, the pieces kept.
// The field named `name` among the widgets a file chooser shows below itself.
GtkWidget *extra_field(GtkDialog *dialog, const char *name);
void answer_record_dialog(const std::string &path, double split_mb = 0, double split_minutes = 0, double keep = 0);

void set_check(GtkWidget *w, bool on);

// Fills the status log with more lines than it shows (two starts of CAN's
// five), laid out, so that a line written next is below its view.
void fill_log();


// The text a screen reader reads from a cell of a tree view, through the
// view's accessible table: the row as shown (expanded rows counted) and the
// column's position among those shown. "<no cell>" when there is none.
std::string accessible_cell_text(GtkWidget *tree, GtkTreePath *path, GtkTreeViewColumn *column);

// Answers the data editor: fn runs while the dialog is up and returns the
// response.
void answer_editor(std::function<int()> fn);

// Puts one entry into a ring as a worker would.
void push_sent(const CAN_FRAME_INFO &f, const char *time = "12:00:00:000");
void push_received(const CAN_FRAME_INFO &f, const char *time = "12:00:00:000");

CAN_FRAME_INFO classic(int port, unsigned id, int dlc);

// Lets the main window paint what it holds now (a tab just switched to,
// rows just expanded): one whole frame laid out and painted. False when
// none was painted within 10 s.
bool paint_window();

// Saves the main window as a PNG when VELK_SCREENSHOT_DIR is set.
void screenshot(const char *name);
// Saves a toplevel window (a dialog) as the X server shows it, shown,
// raised and painted first, as a PNG when VELK_SCREENSHOT_DIR is set.
void screenshot_of(GtkWidget *window, const char *name);

// A suite of the utility on one emulated adapter: open_adapter() in the
// suite's set-up (the emulator on port 0, the utility started), and each
// test begins connected with CAN started; close_adapter() disconnects.
class OnEmulatedAdapter : public ::testing::Test {
protected:
    static void open_adapter();
    static void close_adapter();
    // Connected and CAN started, whatever the window showed.
    static void connect_and_start();
    static velk::sim::Adapter &sim() { return port_->sim(); }

    static velk::test::SimPort *port_;
};

}  // namespace gui2
