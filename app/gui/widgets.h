// Small GTK helpers the panels share. GUI thread only.
#pragma once

#include <gtk/gtk.h>

namespace gui {

// The widget `id` of a builder's interface description.
GtkWidget *widget(GtkBuilder *builder, const char *id);
bool is_checked(GtkWidget *chk);
// Setting the state from code emits "clicked" when it changes, so handlers
// cascade as they do for a user click.
void set_checked(GtkWidget *chk, bool on);
// The entry's leading decimal digits as an int (0 for an empty entry).
int entry_decimal(GtkWidget *entry);
// A "button-press-event" handler that swallows the press, so rows of a view
// cannot be selected.
gboolean swallow_press(GtkWidget *, GdkEvent *, gpointer);

}  // namespace gui
