// The text cell renderer that keeps its recent layouts.
#include "cell_text.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

// Layouts kept per renderer, in two generations: when the newer one is full
// the older is dropped, and a text drawn again moves to the newer one. A
// view shows a few dozen rows, so the texts it draws over and over stay,
// while texts seen once (a frame number, a time) pass through.
constexpr std::size_t kGeneration = 256;

struct Laid {
    PangoLayout *layout = nullptr;
    PangoRectangle ink = {};
    PangoRectangle logical = {};
};

using Generation = std::unordered_map<std::string, Laid>;

void drop(Generation *g)
{
    for (auto &kept : *g)
        g_object_unref(kept.second.layout);
    g->clear();
}

struct State {
    // The cell's text, behind one character that tells text (T) from
    // markup (M): the key of its layout.
    std::string key = "T";
    // What the column's data function sets: markup or text.
    bool markup_cells = false;
    Generation newer;
    Generation older;
    // What the kept layouts were made for: a change of the widget's font
    // or of the renderer's drops them.
    GtkWidget *widget = nullptr;
    guint serial = 0;
    bool font_changed = true;
    PangoFontDescription *font = nullptr;

    void forget()
    {
        drop(&newer);
        drop(&older);
        if (font != nullptr)
            pango_font_description_free(font);
        font = nullptr;
    }
};

enum { PROP_0, PROP_TEXT, PROP_MARKUP };

}  // namespace

extern "C" {

struct VelkCellText {
    GtkCellRendererText parent;
    State *state;
};

struct VelkCellTextClass {
    GtkCellRendererTextClass parent_class;
};

GType velk_cell_text_get_type(void);

}  // extern "C"

G_DEFINE_TYPE(VelkCellText, velk_cell_text, GTK_TYPE_CELL_RENDERER_TEXT)

namespace {

State &state_of(gpointer cell)
{
    return *reinterpret_cast<VelkCellText *>(cell)->state;
}

void set_text(State &st, const char *text, bool markup)
{
    st.key.assign(1, markup ? 'M' : 'T');
    if (text != nullptr)
        st.key.append(text);
}

// The layout of the cell's text in `widget`, from those kept or laid out
// now.
const Laid &laid_out(GtkCellRenderer *cell, GtkWidget *widget)
{
    State &st = state_of(cell);
    PangoContext *context = gtk_widget_get_pango_context(widget);
    const guint serial = pango_context_get_serial(context);
    if (widget != st.widget || serial != st.serial || st.font_changed) {
        st.forget();
        st.widget = widget;
        st.serial = serial;
        st.font_changed = false;
        // The renderer's font fields over the widget's font, as the stock
        // renderer applies them; a markup's own weight still wins.
        PangoFontDescription *own = nullptr;
        g_object_get(cell, "font-desc", &own, nullptr);
        st.font = pango_font_description_copy(pango_context_get_font_description(context));
        if (own != nullptr) {
            pango_font_description_merge(st.font, own, TRUE);
            pango_font_description_free(own);
        }
    }
    auto found = st.newer.find(st.key);
    if (found != st.newer.end())
        return found->second;
    if (st.newer.size() >= kGeneration) {
        drop(&st.older);
        st.older.swap(st.newer);
    }
    auto before = st.older.find(st.key);
    if (before != st.older.end()) {
        Laid moved = before->second;
        st.older.erase(before);
        return st.newer.emplace(st.key, moved).first->second;
    }
    Laid fresh;
    fresh.layout = gtk_widget_create_pango_layout(widget, nullptr);
    pango_layout_set_font_description(fresh.layout, st.font);
    const char *text = st.key.c_str() + 1;
    if (st.key[0] == 'M')
        pango_layout_set_markup(fresh.layout, text, -1);
    else
        pango_layout_set_text(fresh.layout, text, -1);
    pango_layout_get_pixel_extents(fresh.layout, &fresh.ink, &fresh.logical);
    return st.newer.emplace(st.key, fresh).first->second;
}

void velk_cell_text_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec)
{
    switch (id) {
    case PROP_TEXT: set_text(state_of(object), g_value_get_string(value), false); break;
    case PROP_MARKUP: set_text(state_of(object), g_value_get_string(value), true); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
}

void velk_cell_text_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec)
{
    const State &st = state_of(object);
    switch (id) {
    case PROP_TEXT:
        // Of a markup cell, its plain text: what the view's accessible (a
        // screen reader) reads.
        if (st.key[0] == 'M') {
            gchar *plain = nullptr;
            if (pango_parse_markup(st.key.c_str() + 1, -1, 0, nullptr, &plain, nullptr, nullptr))
                g_value_take_string(value, plain);
            else
                g_value_set_string(value, nullptr);
        } else {
            g_value_set_string(value, st.key.c_str() + 1);
        }
        break;
    case PROP_MARKUP: g_value_set_string(value, st.key[0] == 'M' ? st.key.c_str() + 1 : nullptr); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
}

// A change of a font field drops the kept layouts. The view sets other
// properties (whether the row has an expander) on every cell it draws, and
// those leave them.
void property_changed(GObject *object, GParamSpec *pspec, gpointer)
{
    static const char *const kFontFields[] = {"font",    "font-desc", "family",  "size",     "size-points",
                                              "weight",  "style",     "variant", "stretch",  "scale",
                                              "language", "attributes"};
    const char *name = g_param_spec_get_name(pspec);
    for (const char *field : kFontFields)
        if (std::strcmp(name, field) == 0)
            state_of(object).font_changed = true;
}

void velk_cell_text_finalize(GObject *object)
{
    State *st = reinterpret_cast<VelkCellText *>(object)->state;
    st->forget();
    delete st;
    G_OBJECT_CLASS(velk_cell_text_parent_class)->finalize(object);
}

// Where the text starts in `area`, as the stock renderer places it.
void text_origin(GtkCellRenderer *cell, const GdkRectangle *area, const PangoRectangle &logical, int *x, int *y)
{
    int xpad = 0;
    int ypad = 0;
    gfloat xalign = 0;
    gfloat yalign = 0;
    gtk_cell_renderer_get_padding(cell, &xpad, &ypad);
    gtk_cell_renderer_get_alignment(cell, &xalign, &yalign);
    const int dx = std::max(0, static_cast<int>(xalign * static_cast<float>(area->width - logical.width - 2 * xpad)));
    const int dy =
        std::max(0, static_cast<int>(yalign * static_cast<float>(area->height - logical.height - 2 * ypad)));
    *x = area->x + dx + xpad - logical.x;
    *y = area->y + dy + ypad;
}

// Whether `ink`, placed at (x, y), lies wholly inside `area`.
bool inside(const PangoRectangle &ink, int x, int y, const GdkRectangle *area)
{
    return x + ink.x >= area->x && y + ink.y >= area->y && x + ink.x + ink.width <= area->x + area->width &&
           y + ink.y + ink.height <= area->y + area->height;
}

void velk_cell_text_render(GtkCellRenderer *cell, cairo_t *cr, GtkWidget *widget, const GdkRectangle *,
                           const GdkRectangle *cell_area, GtkCellRendererState)
{
    // Many cells of the monitor are empty (a signal's row has no identifier
    // or count): they draw nothing, as the stock renderer's empty layout.
    if (state_of(cell).key.size() == 1)
        return;
    const Laid &laid = laid_out(cell, widget);
    int x = 0;
    int y = 0;
    text_origin(cell, cell_area, laid.logical, &x, &y);
    GtkStyleContext *style = gtk_widget_get_style_context(widget);
    // The text is clipped to its cell only where its ink would leave it:
    // most texts fit, and a clip of every cell is then work for nothing.
    if (inside(laid.ink, x, y, cell_area)) {
        gtk_render_layout(style, cr, x, y, laid.layout);
        return;
    }
    cairo_save(cr);
    gdk_cairo_rectangle(cr, cell_area);
    cairo_clip(cr);
    gtk_render_layout(style, cr, x, y, laid.layout);
    cairo_restore(cr);
}

void velk_cell_text_preferred_width(GtkCellRenderer *cell, GtkWidget *widget, gint *minimum, gint *natural)
{
    const Laid &laid = laid_out(cell, widget);
    int xpad = 0;
    gtk_cell_renderer_get_padding(cell, &xpad, nullptr);
    const int width = 2 * xpad + laid.logical.x + laid.logical.width;
    if (minimum != nullptr)
        *minimum = width;
    if (natural != nullptr)
        *natural = width;
}

void velk_cell_text_preferred_height(GtkCellRenderer *cell, GtkWidget *widget, gint *minimum, gint *natural)
{
    const Laid &laid = laid_out(cell, widget);
    int ypad = 0;
    gtk_cell_renderer_get_padding(cell, nullptr, &ypad);
    const int height = 2 * ypad + laid.logical.height;
    if (minimum != nullptr)
        *minimum = height;
    if (natural != nullptr)
        *natural = height;
}

void velk_cell_text_height_for_width(GtkCellRenderer *cell, GtkWidget *widget, gint, gint *minimum, gint *natural)
{
    velk_cell_text_preferred_height(cell, widget, minimum, natural);
}

void velk_cell_text_aligned_area(GtkCellRenderer *cell, GtkWidget *widget, GtkCellRendererState,
                                 const GdkRectangle *cell_area, GdkRectangle *aligned)
{
    const Laid &laid = laid_out(cell, widget);
    int x = 0;
    int y = 0;
    text_origin(cell, cell_area, laid.logical, &x, &y);
    aligned->x = x + laid.logical.x;
    aligned->y = y;
    aligned->width = std::min(laid.logical.width, cell_area->x + cell_area->width - aligned->x);
    aligned->height = std::min(laid.logical.height, cell_area->y + cell_area->height - aligned->y);
}

// The string of the model column the column's data function was given.
// An empty cell is hidden: the view then skips the renderer altogether
// (its clip and style state for a cell that draws nothing), and most cells
// of a signal's row in the monitor are empty.
void cell_from_model(GtkTreeViewColumn *, GtkCellRenderer *cell, GtkTreeModel *model, GtkTreeIter *iter,
                     gpointer column)
{
    gchar *text = nullptr;
    gtk_tree_model_get(model, iter, GPOINTER_TO_INT(column), &text, -1);
    State &st = state_of(cell);
    set_text(st, text, st.markup_cells);
    g_free(text);
    gtk_cell_renderer_set_visible(cell, st.key.size() > 1);
}

}  // namespace

static void velk_cell_text_init(VelkCellText *self)
{
    self->state = new State();
    g_signal_connect(self, "notify", G_CALLBACK(property_changed), nullptr);
}

static void velk_cell_text_class_init(VelkCellTextClass *klass)
{
    GObjectClass *object = G_OBJECT_CLASS(klass);
    object->set_property = velk_cell_text_set_property;
    object->get_property = velk_cell_text_get_property;
    object->finalize = velk_cell_text_finalize;
    g_object_class_override_property(object, PROP_TEXT, "text");
    g_object_class_override_property(object, PROP_MARKUP, "markup");
    GtkCellRendererClass *cell = GTK_CELL_RENDERER_CLASS(klass);
    cell->render = velk_cell_text_render;
    cell->get_preferred_width = velk_cell_text_preferred_width;
    cell->get_preferred_height = velk_cell_text_preferred_height;
    cell->get_preferred_height_for_width = velk_cell_text_height_for_width;
    cell->get_aligned_area = velk_cell_text_aligned_area;
}

namespace gui {

GtkCellRenderer *cell_text_new(bool markup)
{
    GtkCellRenderer *cell = GTK_CELL_RENDERER(g_object_new(velk_cell_text_get_type(), nullptr));
    state_of(cell).markup_cells = markup;
    set_text(state_of(cell), nullptr, markup);
    return cell;
}

GtkTreeViewColumn *cell_text_column(const char *title, int model_column, bool markup, GtkCellRenderer **renderer)
{
    GtkCellRenderer *cell = cell_text_new(markup);
    GtkTreeViewColumn *column = gtk_tree_view_column_new();
    gtk_tree_view_column_set_title(column, title);
    gtk_tree_view_column_pack_start(column, cell, TRUE);
    gtk_tree_view_column_set_cell_data_func(column, cell, cell_from_model, GINT_TO_POINTER(model_column), nullptr);
    if (renderer != nullptr)
        *renderer = cell;
    return column;
}

std::size_t cell_text_kept(GtkCellRenderer *cell)
{
    const State &st = state_of(cell);
    return st.newer.size() + st.older.size();
}

}  // namespace gui
