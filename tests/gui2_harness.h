// In-process harness of the utility's panels: runs the real start-up from
// the layout directory under the test's X display and drives the GTK main
// loop until a condition holds.
#pragma once

#include "guipart.h"

#include <functional>
#include <string>

namespace gui2 {

// Start-up once per process: layout files, widget records, port probe.
void start_utility();

// Iterates the main loop (the 1 ms tick included) until cond holds or
// timeout_ms passes; returns cond().
bool pump_until(const std::function<bool()> &cond, int timeout_ms = 10000);
// Handles whatever is pending without waiting.
void pump_pending();

// The frame table.
int rows();
std::string cell(int row, int column);  // "" for an unset cell
bool cell_is_set(int row, int column);

// Status log lines, in order.
std::vector<std::string> log_lines();

std::string label(GtkWidget *w);
std::string entry(GtkWidget *w);
void set_entry(GtkWidget *w, const char *text);
void set_check(GtkWidget *w, bool on);
bool checked(GtkWidget *w);
bool sensitive(GtkWidget *w);
std::string active_text(GtkWidget *combo);
int item_count(GtkWidget *combo);
// Selects the item with this text; false when the combo has none.
bool select_text(GtkWidget *combo, const char *text);

// A key press as GTK delivers it to the entry: its key-press-event
// handlers, then the entry's own key handling. True when the utility's
// key filter swallowed it.
bool press_key(GtkWidget *w, guint keyval);
// The widget that has the keyboard focus inside the widget's window.
GtkWidget *focus_of(GtkWidget *w);

// Answers the data editor: fn runs while the dialog is up and returns the
// response.
void answer_editor(std::function<int()> fn);

// Puts one entry into a ring as a worker would.
void push_sent(const CAN_FRAME_INFO &f, const char *time = "12:00:00:000");
void push_received(const CAN_FRAME_INFO &f, const char *time = "12:00:00:000");

CAN_FRAME_INFO classic(int port, unsigned id, int dlc);

// Saves the main window as a PNG when VELK_SCREENSHOT_DIR is set.
void screenshot(const char *name);

}  // namespace gui2
