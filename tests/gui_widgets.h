// Reading and setting the utility's widgets from a test, and iterating the
// GTK main loop until a condition holds. Shared by both GUI harnesses.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

namespace gui_widgets {

// Iterates the main loop (the frame tick included) until cond holds or
// timeout_ms passes; returns cond().
bool pump_until(const std::function<bool()> &cond, int timeout_ms = 10000);
// Iterates the main loop until no device operation is under way (its
// completion included); false when one still runs after timeout_ms.
bool wait_idle(int timeout_ms = 10000);

// Status log lines, in order.
std::vector<std::string> log_lines();
// Iterates the main loop until the status log shows its last line whole;
// false when it does not within timeout_ms.
bool log_shows_newest(int timeout_ms = 3000);

// The widget under root (root itself included) with this id in its layout
// file; nullptr when none has it.
GtkWidget *named_widget(GtkWidget *root, const char *id);
std::string label(GtkWidget *w);
std::string entry(GtkWidget *w);
void set_entry(GtkWidget *w, const char *text);
bool checked(GtkWidget *w);
bool sensitive(GtkWidget *w);
std::string active_text(GtkWidget *combo);
int item_count(GtkWidget *combo);
// Makes the item with this text active; false when the combo has none.
bool select_text(GtkWidget *combo, const char *text);

// Answers a file chooser dialog as a user would: picks `path` (typed as the
// name in a save dialog) and says OK once the chooser holds it; an empty
// path cancels.
gint answer_file_chooser(GtkDialog *dialog, const std::string &path);

// A key press as GTK delivers it to the entry: its key-press-event
// handlers, then the entry's own key handling (with modifiers such as
// GDK_CONTROL_MASK or GDK_SHIFT_MASK held). True when the utility's key
// filter swallowed it.
bool press_key(GtkWidget *w, guint keyval, guint state = 0);
// The widget that has the keyboard focus inside the widget's window.
GtkWidget *focus_of(GtkWidget *w);
// Types text as a user would: each character is a key press delivered to
// whichever widget of w's window has the focus at that moment.
void type_text(GtkWidget *w, const char *text);

}  // namespace gui_widgets
