// A text cell renderer for the views that follow the traffic (frame list,
// monitor). GUI thread only.
//
// It is a GtkCellRendererText that keeps the laid-out texts it drew lately:
// a view redrawn ten times a second draws mostly the same texts again (the
// channel, the identifier, the message name, a data byte pattern), and the
// stock renderer builds, shapes and measures a new layout for every cell of
// every redraw. A cell gets its text from the model through a data function
// rather than through a property, which spares a property notification per
// cell. Text and markup, padding, alignment, the font properties and the
// row's state colours work as with the stock renderer.
#pragma once

#include <gtk/gtk.h>

#include <cstddef>

namespace gui {

// A renderer whose "text" (or, with `markup`, "markup") is set by a column's
// data function; setting either property works as well.
GtkCellRenderer *cell_text_new(bool markup);
// A new column titled `title` whose cells show the string of `model_column`
// through a new such renderer, returned in `renderer` when asked for.
GtkTreeViewColumn *cell_text_column(const char *title, int model_column, bool markup,
                                    GtkCellRenderer **renderer = nullptr);
// The laid-out texts the renderer keeps now; bounded, whatever the texts.
std::size_t cell_text_kept(GtkCellRenderer *cell);

}  // namespace gui
