// The trace formats a save chooser offers (Record…, a trace view's
// Export…): one filter per format, and the format a chosen name means.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "trace.h"

namespace gui {

// A filter per format that velk writes, the candump log first.
void add_trace_formats(GtkFileChooser *chooser);
// The format the name's extension says; without one, the chooser's filter
// gives it and its extension is added to *path.
void trace_format_for(std::string *path, GtkFileChooser *chooser, velk::trace::Format *format);

}  // namespace gui
