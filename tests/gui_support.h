// In-process harness of the utility: emulated adapters mapped into the
// library's device table, the real start-up run from a folder holding the
// layout files, and helpers that drive the widgets and iterate the GTK main
// loop until a condition holds.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "gui_widgets.h"
#include "guipart.h"
#include "test_support.h"

namespace gui {

// Maps one emulated adapter at each index (every other index points at a
// path that does not exist, so the probe is fast), then runs the start-up
// and waits for its port search.
// Once per process; later calls return the adapters of the first.
void start(std::initializer_list<int> adapter_indices);
// The emulated adapter at the n-th index given to start().
velk::sim::Adapter &adapter(int n = 0);

using gui_widgets::active_text;
using gui_widgets::checked;
using gui_widgets::entry;
using gui_widgets::focus_of;
using gui_widgets::label;
using gui_widgets::log_lines;
using gui_widgets::log_shows_newest;
using gui_widgets::press_key;
using gui_widgets::pump_until;
using gui_widgets::sensitive;
using gui_widgets::type_text;
using gui_widgets::wait_idle;

// Handles whatever is pending without waiting.
void pump_pending();

int active(GtkWidget *combo);
// These three let the utility handle the change, and finish the device
// operation it starts, before they return.
void set_check(GtkWidget *w, bool on);
bool select_text(GtkWidget *combo, const char *text);
void click(GtkWidget *button);

// Connect or disconnect through the connect button; true when the state
// changed as asked.
bool connect();
bool disconnect();

// The next file chooser the settings panel opens is answered: with a path,
// OK and that file; with an empty path, Cancel.
void answer_file_dialog(const std::string &path);

}  // namespace gui
