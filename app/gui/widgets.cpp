#include "widgets.h"

#include "data_files.h"
#include "text_convert.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace gui {

namespace {

// The folder of the last chosen file; GUI thread only.
std::string last_folder;

bool is_folder(const char *path)
{
    return path != nullptr && path[0] != '\0' && g_file_test(path, G_FILE_TEST_IS_DIR);
}

}  // namespace

GtkWidget *widget(GtkBuilder *builder, const char *id)
{
    return GTK_WIDGET(gtk_builder_get_object(builder, id));
}

GtkBuilder *optional_layout(const char *file)
{
    std::string looked;
    const std::string path = find_data_file(file, looked);
    GtkBuilder *b = gtk_builder_new();
    GError *error = nullptr;
    if (path.empty()) {
        g_warning("Layout file %s not found; looked for %s", file, looked.c_str());
    } else if (gtk_builder_add_from_file(b, path.c_str(), &error) == 0) {
        g_warning("%s", error->message);
        g_error_free(error);
    } else {
        return b;
    }
    g_object_unref(b);
    return nullptr;
}

bool is_checked(GtkWidget *chk)
{
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(chk)) != FALSE;
}

void set_checked(GtkWidget *chk, bool on)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(chk), on ? TRUE : FALSE);
}

int entry_decimal(GtkWidget *entry)
{
    return str_2_int(gtk_entry_get_text(GTK_ENTRY(entry)));
}

gboolean swallow_press(GtkWidget *, GdkEvent *, gpointer)
{
    return TRUE;
}

void hold_width(GtkWidget *w)
{
    gint natural = 0;
    gtk_widget_get_preferred_width(w, nullptr, &natural);
    gtk_widget_set_size_request(w, natural, -1);
}

void fit_hex_pairs(GtkWidget *entry)
{
    // Room for the cursor after the second digit.
    constexpr int kCursor = 2;
    // A cell of two digits needs less padding than the theme gives a line
    // of text; the row of eight cells stays as wide as it was.
    static GtkCssProvider *narrow = nullptr;
    if (narrow == nullptr) {
        narrow = gtk_css_provider_new();
        gtk_css_provider_load_from_data(narrow, "entry { padding-left: 4px; padding-right: 4px; }", -1, nullptr);
    }
    gtk_style_context_add_provider(gtk_widget_get_style_context(entry), GTK_STYLE_PROVIDER(narrow),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    PangoLayout *layout = gtk_widget_create_pango_layout(entry, nullptr);
    int widest = 0;
    for (const char *d = "0123456789ABCDEF"; *d != '\0'; ++d) {
        const char pair[3] = {*d, *d, '\0'};
        pango_layout_set_text(layout, pair, -1);
        int w = 0;
        pango_layout_get_pixel_size(layout, &w, nullptr);
        widest = std::max(widest, w);
    }
    g_object_unref(layout);

    // The entry gives its text the width of its characters, each as wide
    // as the font's average character or digit, whichever is wider.
    PangoContext *context = gtk_widget_get_pango_context(entry);
    PangoFontMetrics *metrics =
        pango_context_get_metrics(context, pango_context_get_font_description(context), pango_context_get_language(context));
    const int average = std::max(pango_font_metrics_get_approximate_char_width(metrics),
                                 pango_font_metrics_get_approximate_digit_width(metrics));
    pango_font_metrics_unref(metrics);
    const int text_width = PANGO_PIXELS_CEIL(average) * std::max(gtk_entry_get_width_chars(GTK_ENTRY(entry)), 0);
    const int extra = widest + kCursor - text_width;
    if (extra <= 0)
        return;
    gint natural = 0;
    gtk_widget_get_preferred_width(entry, nullptr, &natural);
    gtk_widget_set_size_request(entry, natural + extra, -1);
}

void start_in_last_folder(GtkFileChooser *chooser)
{
    const char *folder = last_folder.c_str();
    if (!is_folder(folder))
        folder = std::getenv("XDG_DOCUMENTS_DIR");
    if (!is_folder(folder))
        folder = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
    if (!is_folder(folder))
        folder = g_get_home_dir();
    gtk_file_chooser_set_current_folder(chooser, folder);
}

void remember_folder(const char *file)
{
    if (file == nullptr)
        return;
    gchar *folder = g_path_get_dirname(file);
    last_folder = folder;
    g_free(folder);
}

std::string run_file_chooser(GtkWidget *dialog, gint (*run)(GtkDialog *))
{
    std::string path;
    if (run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK) {
        gchar *name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
        if (name != nullptr) {
            remember_folder(name);
            path = name;
        }
        g_free(name);
    }
    return path;
}

namespace {

constexpr guint kLabelTickMs = 250;
std::vector<void (*)()> label_writers;

gboolean write_labels(gpointer)
{
    for (void (*write)() : label_writers)
        write();
    return G_SOURCE_CONTINUE;
}

constexpr const char *kSteadyText = "velk-steady-text";

gboolean draw_steady_text(GtkWidget *area, cairo_t *cr, gpointer)
{
    PangoLayout *layout = gtk_widget_create_pango_layout(area, steady_text(area));
    pango_layout_set_width(layout, gtk_widget_get_allocated_width(area) * PANGO_SCALE);
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    int height = 0;
    pango_layout_get_pixel_size(layout, nullptr, &height);
    GtkStyleContext *style = gtk_widget_get_style_context(area);
    gtk_render_layout(style, cr, 0, std::max(0, (gtk_widget_get_allocated_height(area) - height) / 2), layout);
    g_object_unref(layout);
    return FALSE;
}

}  // namespace

void make_steady_text(GtkWidget *area)
{
    // The height of a line of the widget's font, whatever the text.
    PangoLayout *layout = gtk_widget_create_pango_layout(area, "Xg");
    int height = 0;
    pango_layout_get_pixel_size(layout, nullptr, &height);
    g_object_unref(layout);
    gtk_widget_set_size_request(area, -1, height);
    gtk_style_context_add_class(gtk_widget_get_style_context(area), "label");
    g_signal_connect(area, "draw", G_CALLBACK(draw_steady_text), nullptr);
}

void set_steady_text(GtkWidget *area, const char *text)
{
    if (g_strcmp0(text, steady_text(area)) == 0)
        return;
    g_object_set_data_full(G_OBJECT(area), kSteadyText, g_strdup(text), g_free);
    gtk_widget_queue_draw(area);
}

const char *steady_text(GtkWidget *area)
{
    const char *text = static_cast<const char *>(g_object_get_data(G_OBJECT(area), kSteadyText));
    return text != nullptr ? text : "";
}

void on_label_tick(void (*write)())
{
    if (label_writers.empty())
        g_timeout_add(kLabelTickMs, write_labels, nullptr);
    label_writers.push_back(write);
}

}  // namespace gui
