#include "trace_formats.h"

#include <cstring>

namespace gui {

namespace {

namespace trace = velk::trace;

struct FormatChoice {
    const char *name;
    const char *pattern;
    trace::Format format;
};

constexpr FormatChoice kFormats[] = {
    {"candump log (*.log)", "*.log", trace::Format::CandumpLog},
    {"Vector ASC (*.asc)", "*.asc", trace::Format::Asc},
    {"CSV (*.csv)", "*.csv", trace::Format::Csv},
    {"Vector BLF (*.blf)", "*.blf", trace::Format::Blf},
    {"ASAM MDF 4 (*.mf4)", "*.mf4", trace::Format::Mf4},
    {"pcapng (*.pcapng)", "*.pcapng", trace::Format::Pcapng},
    {"pcap (*.pcap)", "*.pcap", trace::Format::Pcap},
    {"PEAK trace (*.trc)", "*.trc", trace::Format::Trc},
};

}  // namespace

void add_trace_formats(GtkFileChooser *chooser)
{
    for (const FormatChoice &c : kFormats) {
        GtkFileFilter *filter = gtk_file_filter_new();
        gtk_file_filter_set_name(filter, c.name);
        gtk_file_filter_add_pattern(filter, c.pattern);
        gtk_file_chooser_add_filter(chooser, filter);
    }
}

void trace_format_for(std::string *path, GtkFileChooser *chooser, trace::Format *format)
{
    if (trace::format_of(*path, format))
        return;
    GtkFileFilter *chosen = gtk_file_chooser_get_filter(chooser);
    const char *name = chosen != nullptr ? gtk_file_filter_get_name(chosen) : nullptr;
    const FormatChoice *choice = &kFormats[0];
    for (const FormatChoice &c : kFormats)
        if (name != nullptr && std::strcmp(name, c.name) == 0)
            choice = &c;
    *path += choice->pattern + 1;
    *format = choice->format;
}

}  // namespace gui
