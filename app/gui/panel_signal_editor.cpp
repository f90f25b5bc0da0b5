// Data by signal: the data editor's "By signal…" dialog picks a message of
// the CAN databases and takes its signals' values (numbers or value texts);
// its OK encodes them into the editor, and the editor's OK puts the
// identifier, frame options, length and bytes into the send panel (its
// Cancel leaves the panel as it was). What the encoder refuses is said in
// the status log and changes nothing.
#include "databases.h"
#include "guipart.h"
#include "signal_text.h"
#include "widgets.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

gint (*sg_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace {

enum { SG_COL_SIGNAL = 0, SG_COL_VALUE, SG_COL_UNIT, SG_COL_RANGE, SG_COL_TEXTS, SG_COL_NUM };

GtkWidget *dialog = nullptr;
GtkWidget *message_box = nullptr;
GtkWidget *tree = nullptr;
GtkListStore *sg_store = nullptr;
// The messages the box offers, in its order.
std::vector<const velk::dbc::Message *> offered;
// What By signal… encoded into the open editor, for its OK.
struct Staged {
    const velk::dbc::Message *message;
    velk::dbc::Frame frame;
};
std::optional<Staged> staged;

const velk::dbc::Message *chosen()
{
    const int i = gtk_combo_box_get_active(GTK_COMBO_BOX(message_box));
    return i >= 0 && static_cast<size_t>(i) < offered.size() ? offered[static_cast<size_t>(i)] : nullptr;
}

std::string texts_of(const velk::dbc::Signal &s)
{
    std::string out;
    for (const velk::dbc::ValueDescription &v : s.values) {
        if (!out.empty())
            out += ", ";
        out += std::to_string(v.value) + " " + v.text;
    }
    return out;
}

// The message's signals with their start values.
void fill_signals(GtkComboBox *, gpointer)
{
    gtk_list_store_clear(sg_store);
    const velk::dbc::Message *m = chosen();
    if (m == nullptr)
        return;
    for (const velk::dbc::Signal &s : m->signals) {
        velk::dbc::Value v;
        v.signal = &s;
        v.raw = s.has_start_value ? static_cast<uint64_t>(s.start_value) : 0;
        v.value = static_cast<double>(v.raw) * s.factor + s.offset;
        std::string value = velk::dbc::number_text(v);
        GtkTreeIter iter;
        gtk_list_store_insert_with_values(sg_store, &iter, -1, SG_COL_SIGNAL, s.name.c_str(), SG_COL_VALUE,
                                          value.c_str(), SG_COL_UNIT, s.unit.c_str(), SG_COL_RANGE,
                                          gui::range_text(s).c_str(), SG_COL_TEXTS, texts_of(s).c_str(), -1);
    }
}

void value_edited(GtkCellRendererText *, gchar *path, gchar *text, gpointer)
{
    GtkTreeIter iter;
    if (gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(sg_store), &iter, path))
        gtk_list_store_set(sg_store, &iter, SG_COL_VALUE, text, -1);
}

bool select_length(int len)
{
    GtkComboBox *box = GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_LEN]);
    GtkTreeModel *model = gtk_combo_box_get_model(box);
    GtkTreeIter iter;
    const std::string want = std::to_string(len);
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok; ok = gtk_tree_model_iter_next(model, &iter)) {
        gchar *text = nullptr;
        gtk_tree_model_get(model, &iter, 0, &text, -1);
        const bool same = text != nullptr && want == text;
        g_free(text);
        if (same) {
            gtk_combo_box_set_active_iter(box, &iter);
            return true;
        }
    }
    return false;
}

// The given switch values select the signal (or it depends on none).
bool switch_selects(const velk::dbc::Message &m, const velk::dbc::Signal &s,
                    const std::vector<velk::dbc::Assignment> &given)
{
    if (s.multiplexer < 0)
        return true;
    const velk::dbc::Signal &sw = m.signals[static_cast<size_t>(s.multiplexer)];
    for (const velk::dbc::Assignment &a : given)
        if (a.signal == sw.name && a.text.empty()) {
            const double raw = (a.value - sw.offset) / sw.factor;
            for (const velk::dbc::MuxRange &r : s.mux_values)
                if (raw >= static_cast<double>(r.lo) && raw <= static_cast<double>(r.hi))
                    return true;
        }
    return false;
}

// The message's frame of the given values (numbers or value texts); false,
// said in the log, when the encoder refuses them.
bool encode_message(const velk::dbc::Message *m, const std::vector<std::pair<std::string, std::string>> &values,
                    velk::dbc::Frame *f)
{
    std::vector<velk::dbc::Assignment> given;
    for (const auto &v : values) {
        const char *text = v.second.c_str();
        char *end = nullptr;
        const double number = std::strtod(text, &end);
        if (end != text && *end == '\0')
            given.emplace_back(v.first, number);
        else
            given.emplace_back(v.first, std::string_view(v.second));
    }
    // Of a multiplexed message, the signals the given switches select.
    std::vector<velk::dbc::Assignment> placed;
    for (const velk::dbc::Assignment &a : given) {
        const velk::dbc::Signal *s = nullptr;
        for (const velk::dbc::Signal &candidate : m->signals)
            if (candidate.name == a.signal || candidate.short_name == a.signal)
                s = &candidate;
        if (s == nullptr || switch_selects(*m, *s, given))
            placed.push_back(a);
    }
    std::string why;
    if (!velk::dbc::encode(*m, placed, f, &why)) {
        insert_log(("Not encoded: " + why).c_str());
        return false;
    }
    return true;
}

void btn_signal_cb(GtkWidget *, gpointer)
{
    gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(message_box));
    offered.clear();
    for (const gui::databases::Loaded &l : gui::databases::all())
        for (const velk::dbc::Message &m : l.db->messages()) {
            char text[160];
            std::snprintf(text, sizeof text, m.extended ? "%s (%08X)" : "%s (%03X)", m.name.c_str(), m.id);
            gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(message_box), text);
            offered.push_back(&m);
        }
    if (offered.empty()) {
        insert_log("No CAN database loaded: Databases… loads one");
        return;
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(message_box), 0);
    const gint response = sg_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_hide(dialog);
    const velk::dbc::Message *m = chosen();
    if (response != GTK_RESPONSE_OK || m == nullptr)
        return;
    std::vector<std::pair<std::string, std::string>> values;
    GtkTreeModel *model = GTK_TREE_MODEL(sg_store);
    GtkTreeIter iter;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok; ok = gtk_tree_model_iter_next(model, &iter)) {
        gchar *name = nullptr;
        gchar *value = nullptr;
        gtk_tree_model_get(model, &iter, SG_COL_SIGNAL, &name, SG_COL_VALUE, &value, -1);
        values.emplace_back(name != nullptr ? name : "", value != nullptr ? value : "");
        g_free(name);
        g_free(value);
    }
    velk::dbc::Frame f;
    if (!encode_message(m, values, &f))
        return;
    if (f.fd && !gui::is_checked(ss_info.chk[SS_CHK_FDF]) && !gtk_widget_get_sensitive(ss_info.chk[SS_CHK_FDF])) {
        insert_log((std::string("Not encoded: ") + m->name + " is a CAN FD message and the channel is not in CAN FD").c_str());
        return;
    }
    staged = Staged{m, f};
    for (int i = 0; i < ED_DATA_CNT; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", i < f.len ? f.data[i] : 0);
        gtk_entry_set_text(GTK_ENTRY(ed_info.ety_d[i]), byte);
        gtk_widget_set_visible(ed_info.ety_d[i], i < f.len);
    }
    insert_log(("Encoded " + m->name + " into the data editor: OK puts it into the send panel").c_str());
}

// The encoded frame's identifier, options and length into the send panel;
// the bytes are the caller's. False, said in the log, when the panel cannot
// take it.
bool options_to_panel(const velk::dbc::Message &m, const velk::dbc::Frame &f)
{
    gui::set_checked(ss_info.chk[SS_CHK_EID], f.extended);
    char id[16];
    std::snprintf(id, sizeof id, f.extended ? "%08X" : "%03X", f.id);
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]), id);
    gui::set_checked(ss_info.chk[SS_CHK_RTR], false);
    gui::set_checked(ss_info.chk[SS_CHK_FDF], f.fd);
    gui::set_checked(ss_info.chk[SS_CHK_BRS], f.fd && f.brs);
    if (f.fd && !gui::is_checked(ss_info.chk[SS_CHK_FDF])) {
        insert_log((std::string("Not encoded: ") + m.name + " is a CAN FD message and the channel is not in CAN FD").c_str());
        return false;
    }
    if (!select_length(f.len)) {
        insert_log(("Not encoded: the send panel has no length " + std::to_string(f.len)).c_str());
        return false;
    }
    return true;
}

}  // namespace

bool sg_encode_to_panel(const char *message, const std::vector<std::pair<std::string, std::string>> &values)
{
    const velk::dbc::Message *m = nullptr;
    for (const gui::databases::Loaded &l : gui::databases::all())
        if ((m = l.db->find(message)) != nullptr)
            break;
    if (m == nullptr) {
        insert_log((std::string("Not encoded: no message ") + message + " in the databases").c_str());
        return false;
    }
    velk::dbc::Frame f;
    if (!encode_message(m, values, &f) || !options_to_panel(*m, f))
        return false;
    std::memset(g_data, 0, sizeof g_data);
    std::memcpy(g_data, f.data, static_cast<size_t>(f.len));
    sync_can_data(SYNC_GDATA_TO_SS, f.len);
    const std::string line = "Encoded " + m->name + " into the send panel";
    insert_log(line.c_str());
    return true;
}

int sg_staged_length(void)
{
    return staged ? staged->frame.len : -1;
}

bool sg_finish_staged(bool accept)
{
    if (!staged)
        return false;
    const Staged s = *staged;
    staged.reset();
    if (!accept || !options_to_panel(*s.message, s.frame))
        return false;
    insert_log(("Encoded " + s.message->name + " into the send panel").c_str());
    return true;
}

void sg_init(GtkBuilder *ed_builder, GtkBuilder *db_builder)
{
    dialog = gui::widget(db_builder, "Signals_dialog");
    message_box = gui::widget(db_builder, "sg_message_cbbox");
    tree = gui::widget(db_builder, "sg_treeview");
    gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(windows->ed_dialog));
    g_signal_connect(dialog, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    sg_store = gtk_list_store_new(SG_COL_NUM, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                  G_TYPE_STRING);
    gtk_tree_view_set_model(GTK_TREE_VIEW(tree), GTK_TREE_MODEL(sg_store));
    g_object_unref(sg_store);
    const char *titles[SG_COL_NUM] = {"SIGNAL", "VALUE", "UNIT", "MIN/MAX", "VALUE TEXTS"};
    for (int i = 0; i < SG_COL_NUM; ++i) {
        GtkCellRenderer *renderer = gtk_cell_renderer_text_new();
        if (i == SG_COL_VALUE) {
            g_object_set(renderer, "editable", TRUE, nullptr);
            g_signal_connect(renderer, "edited", G_CALLBACK(value_edited), nullptr);
        }
        GtkTreeViewColumn *column = gtk_tree_view_column_new_with_attributes(titles[i], renderer, "text", i, nullptr);
        gtk_tree_view_column_set_resizable(column, TRUE);
        gtk_tree_view_append_column(GTK_TREE_VIEW(tree), column);
    }
    g_signal_connect(message_box, "changed", G_CALLBACK(fill_signals), nullptr);
    g_signal_connect(gui::widget(ed_builder, "ed_signal_btn"), "clicked", G_CALLBACK(btn_signal_cb), nullptr);
}
