// Small GTK helpers the panels share. GUI thread only.
#pragma once

#include <gtk/gtk.h>

#include <string>

namespace gui {

// The widget `id` of a builder's interface description.
GtkWidget *widget(GtkBuilder *builder, const char *id);
// The layout file of a tab the window can do without, loaded into a new
// builder; nullptr when it is missing or broken, the reason in the GLib log.
GtkBuilder *optional_layout(const char *file);
bool is_checked(GtkWidget *chk);
// Setting the state from code emits "clicked" when it changes, so handlers
// cascade as they do for a user click.
void set_checked(GtkWidget *chk, bool on);
// The entry's leading decimal digits as an int (0 for an empty entry).
int entry_decimal(GtkWidget *entry);
// A "button-press-event" handler that swallows the press, so rows of a view
// cannot be selected.
gboolean swallow_press(GtkWidget *, GdkEvent *, gpointer);
// Requests the widget's natural width now as its width, so that narrower
// content later (fewer or shorter combo items) leaves the layout as it is.
void hold_width(GtkWidget *w);
// Widens an entry of two characters so that any two upper-case hexadecimal
// digits ("AA", "DD") fit it whole with the cursor; the width in characters
// counts an average character, narrower than those.
void fit_hex_pairs(GtkWidget *entry);
// Points a file chooser at the folder of the file last chosen in this run,
// or, before one is chosen or when that folder is gone, at the user's
// documents folder ($XDG_DOCUMENTS_DIR) or home folder; never at the
// program's own folder, which an installed program cannot write.
void start_in_last_folder(GtkFileChooser *chooser);
// Remembers the folder of a chosen file for the next file chooser.
void remember_folder(const char *file);
// Runs a file chooser with `run` (gtk_dialog_run, or a test's answer) and
// remembers the chosen file's folder: the chosen path, "" when cancelled.
// The dialog stays for the caller to read and destroy.
std::string run_file_chooser(GtkWidget *dialog, gint (*run)(GtkDialog *));
// Calls `write` 4 times a second, together with every other label writer:
// a label whose text changes has the whole window laid out again, so the
// labels that follow the traffic (counters, status, recording, monitor
// summary) change at the same moments, one layout for all of them.
void on_label_tick(void (*write)());
// Makes a drawing area of a layout file a line of text whose changes redraw
// the line alone. A GtkLabel whose text changes has its ancestors allocated
// again, and a list view beside it redrawn whole: for a summary beside a
// busy view that is most of the view's drawing. The line is one text line
// high, as wide as its container makes it, and ends in "…" when the text is
// longer.
void make_steady_text(GtkWidget *area);
void set_steady_text(GtkWidget *area, const char *text);
const char *steady_text(GtkWidget *area);

}  // namespace gui
