// The Plot tab of the running utility against the emulated adapter: a
// known periodic signal sent by the adapter is plotted point for point,
// read back from the exported CSV, and drawn in the signal's colour.
#include "gui2_harness.h"
#include "panel_plot.h"
#include "test_support.h"
#include "tools_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace gui2;
using velk::sim::Bytes;

namespace {

// Saw: a sawtooth 0..19 in byte 0, scaled to -10..-0.5 V; Level: a
// signed 16-bit value in bytes 1-2.
constexpr const char *kDbc = R"(VERSION ""
BU_: ECU
BO_ 256 Wave: 8 ECU
 SG_ Saw : 0|8@1+ (0.5,-10) [-10|117.5] "V" Vector__XXX
 SG_ Level : 8|16@1- (1,0) [-32768|32767] "" Vector__XXX
BO_ 2148532224 Other: 8 ECU
 SG_ Count : 0|8@1+ (1,0) [0|255] "" Vector__XXX
 SG_ Level : 8|8@1+ (1,0) [0|255] "" Vector__XXX
)";

constexpr int kPeriod = 20;

double saw(int i)
{
    return (i % kPeriod) * 0.5 - 10;
}

// A widget of the Plot tab by its id in plot.glade.
GtkWidget *plot_widget(const char *id)
{
    return named_widget(tr_info.notebook, id);
}

std::string csv_answer;
gint answer_plot_dialog(GtkDialog *dialog)
{
    return gui_widgets::answer_file_chooser(dialog, csv_answer);
}

struct CsvRow {
    std::string signal, unit;
    double time = 0, value = 0, min = 0, max = 0;
    int samples = 0;
};

std::vector<CsvRow> read_csv(const std::string &path, std::string *header)
{
    std::vector<CsvRow> rows;
    std::ifstream in(path);
    std::getline(in, *header);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        CsvRow r;
        std::string field;
        std::getline(s, r.signal, ',');
        std::getline(s, r.unit, ',');
        std::getline(s, field, ',');
        r.time = std::stod(field);
        std::getline(s, field, ',');
        r.value = std::stod(field);
        std::getline(s, field, ',');
        r.min = std::stod(field);
        std::getline(s, field, ',');
        r.max = std::stod(field);
        std::getline(s, field, ',');
        r.samples = std::stoi(field);
        rows.push_back(r);
    }
    return rows;
}

class Plot : public OnEmulatedAdapter {
protected:
    static void SetUpTestSuite()
    {
        open_adapter();
        plot_dialog_run = answer_plot_dialog;
        const velk::dbc::LoadResult r = velk::dbc::load_string(kDbc, "wave.dbc", &db_);
        ASSERT_TRUE(r.ok) << r.error;
        plot_set_databases({&db_});
    }

    static void TearDownTestSuite()
    {
        close_adapter();
        plot_set_databases({});
    }

    void SetUp() override
    {
        connect_and_start();
        if (HasFatalFailure())
            return;
        plot_clear();
        dir_ = std::make_unique<velk::test::ScratchDir>();
    }

    // n reports of Wave 10 ms apart from adapter second 1000, the sawtooth
    // in byte 0 and -i in bytes 1-2, with one undescribed frame between.
    static void send_wave(int n)
    {
        Bytes batch;
        for (int i = 0; i < n; ++i) {
            const int16_t level = static_cast<int16_t>(-i);
            const Bytes data = {static_cast<uint8_t>(i % kPeriod), static_cast<uint8_t>(level & 0xFF),
                                static_cast<uint8_t>((level >> 8) & 0xFF), 0, 0, 0, 0, 0};
            const Bytes b = velk::sim::report_e2(0, false, false, 8, 0x100, data, 1000 + i / 100,
                                                 static_cast<uint32_t>(i % 100) * 10000);
            batch.insert(batch.end(), b.begin(), b.end());
            const Bytes other = velk::sim::report_e2(1, false, false, 8, 0x101, data, 1000 + i / 100, 5);
            batch.insert(batch.end(), other.begin(), other.end());
        }
        port_->sim().inject(batch);
    }

    static velk::dbc::Database db_;
    std::unique_ptr<velk::test::ScratchDir> dir_;
};

velk::dbc::Database Plot::db_;

}  // namespace

TEST_F(Plot, TheSearchListOffersEverySignalOfTheDatabases)
{
    const std::vector<std::string> want = {"Other.Count", "Other.Level", "Wave.Level", "Wave.Saw"};
    EXPECT_EQ(plot_signal_choices(), want);
    GtkWidget *search = plot_widget("plot_search_entry");
    ASSERT_NE(search, nullptr);
    gtk_entry_set_text(GTK_ENTRY(search), "Wave.Saw");
    gtk_button_clicked(GTK_BUTTON(plot_widget("plot_add_btn")));
    EXPECT_EQ(plot_signals(), std::vector<std::string>{"Wave.Saw"});
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(search)), "");
}

// A signal named without its message is plotted when one message has it;
// a name that several messages have lists them, in view at the log's end.
TEST_F(Plot, ABareSignalNameIsPlottedWhenOneMessageHasIt)
{
    GtkWidget *search = plot_widget("plot_search_entry");
    GtkWidget *add = plot_widget("plot_add_btn");
    ASSERT_NE(search, nullptr);
    fill_log();
    gtk_entry_set_text(GTK_ENTRY(search), "Saw");
    gtk_button_clicked(GTK_BUTTON(add));
    EXPECT_EQ(plot_signals(), std::vector<std::string>{"Wave.Saw"});
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(search)), "");

    const struct {
        const char *typed;
        const char *said;
    } refused[] = {
        {"Level", "Plot: Level is in 2 messages, name one: Wave.Level, Other.Level"},
        {"Nothing", "Plot: no signal Nothing in the loaded databases !"},
        {"", "Plot: name a signal as Message.Signal !"},
        {"Wave.", "Plot: name a signal as Message.Signal !"},
    };
    for (const auto &r : refused) {
        fill_log();
        gtk_entry_set_text(GTK_ENTRY(search), r.typed);
        gtk_button_clicked(GTK_BUTTON(add));
        EXPECT_EQ(log_lines().back(), r.said);
        EXPECT_TRUE(log_shows_newest()) << r.typed;
        EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(search)), r.typed) << "kept to be corrected";
    }
    EXPECT_EQ(plot_signals(), std::vector<std::string>{"Wave.Saw"});
}

TEST_F(Plot, AnUnknownSignalIsRefusedWithOneLogLine)
{
    const size_t before = log_lines().size();
    EXPECT_FALSE(plot_add_signal("Wave", "Nothing"));
    const auto lines = log_lines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), "Plot: no signal Wave.Nothing in the loaded databases !");
    EXPECT_TRUE(plot_signals().empty());
}

TEST_F(Plot, APeriodicSignalIsPlottedPointForPointAndExportedAsCsv)
{
    ASSERT_TRUE(plot_add_signal("Wave", "Saw"));
    ASSERT_TRUE(plot_add_signal("Wave", "Level"));
    const int n = 300;
    const unsigned long long fed = plot_stats().points_fed;
    send_wave(n);
    ASSERT_TRUE(pump_until([&] { return plot_stats().points_fed - fed == 2u * n; }))
        << plot_stats().points_fed - fed;

    csv_answer = dir_->path("plot.csv");
    gtk_button_clicked(GTK_BUTTON(plot_widget("plot_csv_btn")));
    std::string header;
    const std::vector<CsvRow> rows = read_csv(csv_answer, &header);
    EXPECT_EQ(header, "signal,unit,time_s,value,min,max,samples");
    ASSERT_EQ(rows.size(), 2u * n);
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        const CsvRow &s = rows[static_cast<size_t>(i)];
        EXPECT_EQ(s.signal, "Wave.Saw");
        EXPECT_EQ(s.unit, "V");
        EXPECT_NEAR(s.time, 1000 + i * 0.01, 1e-7);
        EXPECT_EQ(s.value, saw(i));
        EXPECT_EQ(s.min, saw(i));
        EXPECT_EQ(s.max, saw(i));
        EXPECT_EQ(s.samples, 1);
        const CsvRow &l = rows[static_cast<size_t>(n + i)];
        EXPECT_EQ(l.signal, "Wave.Level");
        EXPECT_EQ(l.value, -i);
    }
    EXPECT_EQ(log_lines().back(), "Plot data saved to " + csv_answer);
}

TEST_F(Plot, TheViewIsDrawnInTheSignalsColourAndSavedAsPng)
{
    ASSERT_TRUE(plot_add_signal("Wave", "Saw"));
    ASSERT_TRUE(plot_add_signal("Wave", "Level"));
    const unsigned long long fed = plot_stats().points_fed;
    send_wave(300);
    ASSERT_TRUE(pump_until([&] { return plot_stats().points_fed - fed == 600u; }));
    const std::string png = dir_->path("plot.png");
    ASSERT_TRUE(plot_export_png(png.c_str(), 640, 360));
    GError *error = nullptr;
    GdkPixbuf *pix = gdk_pixbuf_new_from_file(png.c_str(), &error);
    ASSERT_NE(pix, nullptr) << (error != nullptr ? error->message : "");
    EXPECT_EQ(gdk_pixbuf_get_width(pix), 640);
    EXPECT_EQ(gdk_pixbuf_get_height(pix), 360);
    // The first colour of the palette, (31, 120, 181), draws the line.
    const int stride = gdk_pixbuf_get_rowstride(pix);
    const int channels = gdk_pixbuf_get_n_channels(pix);
    const guchar *px = gdk_pixbuf_get_pixels(pix);
    int coloured = 0;
    for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 640; ++x) {
            const guchar *p = px + y * stride + x * channels;
            coloured += std::abs(p[0] - 31) < 12 && std::abs(p[1] - 120) < 12 && std::abs(p[2] - 181) < 12;
        }
    g_object_unref(pix);
    EXPECT_GT(coloured, 300);

    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), -1);
    ASSERT_TRUE(pump_until([] { return plot_stats().redraws > 0; }));
    screenshot("utility-plot");
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 0);
}

TEST_F(Plot, PauseFreezesTheViewAndLiveFollowsAgain)
{
    ASSERT_TRUE(plot_add_signal("Wave", "Saw"));
    EXPECT_TRUE(plot_is_live());
    set_check(plot_widget("plot_pause_btn"), true);
    EXPECT_FALSE(plot_is_live());
    // Points still come while the view is frozen.
    const unsigned long long fed = plot_stats().points_fed;
    send_wave(50);
    ASSERT_TRUE(pump_until([&] { return plot_stats().points_fed - fed == 50u; }));
    EXPECT_FALSE(plot_is_live());
    gtk_button_clicked(GTK_BUTTON(plot_widget("plot_live_btn")));
    EXPECT_TRUE(plot_is_live());
    EXPECT_FALSE(gui_widgets::checked(plot_widget("plot_pause_btn")));
}

TEST_F(Plot, TheWheelZoomsOutOfLiveAndLiveReturns)
{
    ASSERT_TRUE(plot_add_signal("Wave", "Saw"));
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), -1);
    GtkWidget *area = plot_widget("plot_area");
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(area) && gtk_widget_get_allocated_width(area) > 100; }));
    GdkEvent *e = gdk_event_new(GDK_SCROLL);
    e->scroll.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(area)));
    e->scroll.direction = GDK_SCROLL_UP;
    e->scroll.x = gtk_widget_get_allocated_width(area) / 2.0;
    e->scroll.y = 50;
    gtk_widget_event(area, e);
    gdk_event_free(e);
    EXPECT_FALSE(plot_is_live());
    gtk_button_clicked(GTK_BUTTON(plot_widget("plot_live_btn")));
    EXPECT_TRUE(plot_is_live());
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 0);
}
