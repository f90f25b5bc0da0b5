// The trace view of the running utility, with no adapter: generated traces
// of every format open in a window of their own, show their first rows
// while the index is still being built, go to a frame or a time, decode
// the selected frame, and a damaged file shows every frame before the
// damage and says where the trace ends.
#include "bus_load.h"
#include "databases.h"
#include "gui2_harness.h"
#include "tools_support.h"
#include "trace.h"
#include "trace_filter.h"
#include "trace_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

using namespace gui2;
namespace tv = gui::trace_view;
using velk::trace::Frame;

namespace {

constexpr const char *kDbc = R"(VERSION ""
BU_: Engine
BO_ 291 EngineData: 8 Engine
 SG_ EngineSpeed : 0|16@1+ (0.125,0) [0|8031.875] "rpm" Vector__XXX
 SG_ Gear : 16|3@1+ (1,0) [0|4] "" Vector__XXX
VAL_ 291 Gear 0 "Park" 1 "Reverse" 2 "Neutral" 3 "Drive" ;
)";

constexpr size_t kFrames = 300000;
constexpr int64_t kStartUs = 1700000000000000;
constexpr int64_t kStepUs = 100;

// Every tenth frame is EngineData; the others a mix of identifiers,
// extended ones, CAN FD, both channels and directions.
Frame frame_of(size_t i)
{
    Frame f;
    const int64_t us = kStartUs + static_cast<int64_t>(i) * kStepUs;
    f.sec = us / 1000000;
    f.usec = static_cast<uint32_t>(us % 1000000);
    f.channel = static_cast<int>(i % 2);
    f.tx = i % 3 == 0;
    if (i % 1000 == 7) {
        f.error = true;
        return f;
    }
    if (i % 10 == 0) {
        f.id = 0x123;
        f.dlc = f.len = 8;
        const unsigned raw = static_cast<unsigned>(i / 10 * 37 % 64000);
        f.data[0] = static_cast<uint8_t>(raw);
        f.data[1] = static_cast<uint8_t>(raw >> 8);
        f.data[2] = static_cast<uint8_t>(i / 10 % 4);
    } else {
        f.extended = i % 7 == 0;
        f.id = f.extended ? 0x18FF0000u + static_cast<uint32_t>(i % 50) : 0x200u + static_cast<uint32_t>(i % 50);
        f.fd = i % 5 == 0;
        f.dlc = static_cast<uint8_t>(f.fd ? 9 : i % 9);
        f.len = static_cast<uint8_t>(velk::trace::dlc_to_len(f.dlc));
        for (int b = 0; b < f.len; ++b)
            f.data[b] = static_cast<uint8_t>(i + b);
    }
    return f;
}

// The identifier as the list shows it; error frames have none.
std::string id_text(const Frame &f)
{
    if (f.error)
        return "";
    char b[16];
    std::snprintf(b, sizeof b, f.extended ? "%08X" : "%03X", f.id);
    return b;
}

void write_trace(const std::string &path, size_t n)
{
    velk::trace::Format format;
    ASSERT_TRUE(velk::trace::format_of(path, &format)) << path;
    velk::trace::Writer w;
    velk::trace::WriteOptions o;
    o.start_us = kStartUs;
    ASSERT_TRUE(w.open(path, format, o)) << w.error();
    for (size_t i = 0; i < n; ++i)
        ASSERT_TRUE(w.write(frame_of(i)));
    ASSERT_TRUE(w.close()) << w.error();
}

void go_to(GtkWidget *view, const char *text)
{
    set_entry(named_widget(view, "tv_goto_entry"), text);
    gtk_button_clicked(GTK_BUTTON(named_widget(view, "tv_goto_btn")));
}

// The local time of day with its microseconds, by strftime.
std::string time_of_day(int64_t us)
{
    const time_t sec = static_cast<time_t>(us / 1000000);
    char hms[16];
    std::strftime(hms, sizeof hms, "%H:%M:%S", std::localtime(&sec));
    const std::string micros = std::to_string(1000000 + us % 1000000);
    return std::string(hms) + "." + micros.substr(1);
}

class TraceView : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        start_utility();
        std::string error;
        db_path_ = dir_->path("engine.dbc");
        ASSERT_TRUE(velk::test::write_file(db_path_, kDbc));
        ASSERT_TRUE(gui::databases::add(db_path_, &error)) << error;
    }
    static void TearDownTestSuite()
    {
        const auto &all = gui::databases::all();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].path == db_path_) {
                gui::databases::remove(i);
                break;
            }
        delete dir_;
        dir_ = nullptr;
    }
    static velk::test::ScratchDir *dir_;
    static std::string db_path_;
};
velk::test::ScratchDir *TraceView::dir_ = new velk::test::ScratchDir;
std::string TraceView::db_path_;

}  // namespace

TEST_F(TraceView, EveryFormatShowsItsFirstRowsAtOnceGoesToAFrameOrATimeAndDecodesTheSelection)
{
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers slow this tenfold: there the formats whose places hold
    // the most (a container, an MF4 group's block, a deflate window).
    const char *const names[] = {"t.blf", "t.mf4", "t.log.gz"};
#else
    const char *const names[] = {"t.blf", "t.log", "t.mf4", "t.pcapng", "t.trc", "t.asc", "t.csv", "t.log.gz"};
#endif
    for (const char *name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir_->path(name);
        write_trace(path, kFrames);
        GtkWidget *view = tv::open({path});
        ASSERT_NE(view, nullptr);

        // The first screen of rows, whatever the index has reached. How far
        // that is races with the index's thread: it is said, not checked.
        uint64_t indexed_then = 0;
        ASSERT_TRUE(pump_until([&] {
            indexed_then = tv::frames(view);
            return tv::cell(view, 0, tv::ID) == "123";
        }));
        EXPECT_EQ(tv::cell(view, 0, tv::MESSAGE), "EngineData");
        EXPECT_EQ(tv::cell(view, 0, tv::TIME), time_of_day(kStartUs));
        std::printf("%s: first rows shown with %llu of %zu frames indexed\n", name,
                    static_cast<unsigned long long>(indexed_then), kFrames);

        ASSERT_TRUE(pump_until([&] { return tv::status(view) == "300,000 frames"; }, 60000)) << tv::status(view);
        EXPECT_TRUE(tv::indexed(view));
        EXPECT_EQ(tv::frames(view), kFrames);

        // A frame number, seconds from the first frame, a time of day.
        go_to(view, "150000");
        EXPECT_EQ(tv::selected(view), 149999);
        EXPECT_LE(tv::first_shown(view), 149999);
        EXPECT_EQ(tv::cell(view, 149999, tv::NO), "150000");
        EXPECT_EQ(tv::cell(view, 149999, tv::ID), id_text(frame_of(149999)));
        go_to(view, "12.5");
        EXPECT_EQ(tv::selected(view), 125000);
        EXPECT_EQ(tv::cell(view, 125000, tv::RELATIVE), "12.500000");
        go_to(view, time_of_day(kStartUs + 200000 * kStepUs - 50).c_str());
        EXPECT_EQ(tv::selected(view), 200000);
        press_key(named_widget(view, "tv_list"), GDK_KEY_Down);
        EXPECT_EQ(tv::selected(view), 200001);
        go_to(view, "300001");
        EXPECT_EQ(tv::selected(view), 200001);
        EXPECT_NE(tv::status(view).find("there is no frame 300001"), std::string::npos) << tv::status(view);

        // The last frame, and the selection's signals from the database.
        go_to(view, "300000");
        EXPECT_EQ(tv::cell(view, kFrames - 1, tv::ID), id_text(frame_of(kFrames - 1)));
        go_to(view, "299991");
        const std::string details = tv::details(view);
        EXPECT_NE(details.find("EngineData"), std::string::npos) << details;
        EXPECT_NE(details.find("EngineSpeed = "), std::string::npos) << details;
        if (std::string(name) == "t.blf")
            screenshot_of(view, "trace_view");
        gtk_widget_destroy(view);
        std::remove(path.c_str());
    }
}

TEST_F(TraceView, ADamagedFileShowsEveryFrameBeforeTheDamageAndSaysWhereItEnds)
{
    const std::string path = dir_->path("damaged.blf");
    write_trace(path, 100000);
    std::string bytes = velk::test::read_file(path);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 200; ++i)
        bytes[i] = '\x55';
    ASSERT_TRUE(velk::test::write_file(path, bytes));
    std::string error;
    const auto straight = velk::test::read_trace(path, velk::trace::Format::Blf, &error);
    ASSERT_NE(error, "");
    ASSERT_GT(straight.size(), 1000u);

    GtkWidget *view = tv::open({path});
    ASSERT_NE(view, nullptr);
    // Frame numbers as the list shows them, from 1, in groups of three digits.
    std::string number = std::to_string(straight.size() + 1);
    for (int i = static_cast<int>(number.size()) - 3; i > 0; i -= 3)
        number.insert(static_cast<size_t>(i), ",");
    const std::string where = "the trace ends early, at frame " + number + ": ";
    ASSERT_TRUE(pump_until([&] { return tv::status(view).find("ends early") != std::string::npos; }, 60000))
        << tv::status(view);
    ASSERT_EQ(tv::frames(view), straight.size());
    const std::string status = tv::status(view);
    EXPECT_NE(status.find(where), std::string::npos) << status;
    EXPECT_NE(status.find(error), std::string::npos) << status << " / " << error;
    const size_t last = straight.size() - 1;
    EXPECT_EQ(tv::cell(view, last, tv::ID), id_text(straight[last])) << log_lines().back();
    EXPECT_EQ(tv::cell(view, last, tv::TIME), time_of_day(velk::test::us_of(straight[last])));
    EXPECT_EQ(tv::cell(view, straight.size(), tv::ID), "<no row>");
    screenshot_of(view, "trace_view_damaged");
    gtk_widget_destroy(view);
}

TEST_F(TraceView, AFileThatCannotBeOpenedSaysSoInTheLog)
{
    EXPECT_EQ(tv::open({dir_->path("missing.blf")}), nullptr);
    EXPECT_NE(log_lines().back().find("Open trace failed: "), std::string::npos) << log_lines().back();
    EXPECT_NE(log_lines().back().find("missing.blf"), std::string::npos) << log_lines().back();
}

namespace {

void set_filter(GtkWidget *view, const char *text)
{
    GtkWidget *entry = named_widget(view, "tv_filter_entry");
    set_entry(entry, text);
    g_signal_emit_by_name(entry, "activate");
}

// The rows of the filtered list are exactly the frames `want` numbers.
void expect_rows(GtkWidget *view, const std::vector<size_t> &want, bool may_be_empty = false)
{
    ASSERT_TRUE(may_be_empty || !want.empty()) << "a case that keeps nothing checks little";
    ASSERT_TRUE(pump_until([&] { return tv::filtered(view); }, 60000)) << tv::status(view);
    ASSERT_EQ(tv::rows(view), want.size()) << tv::status(view);
    for (size_t r = 0; r < want.size(); r += 1 + want.size() / 200)
        ASSERT_EQ(tv::cell(view, r, tv::NO), std::to_string(want[r] + 1)) << "row " << r;
    if (!want.empty()) {
        EXPECT_EQ(tv::cell(view, want.size() - 1, tv::NO), std::to_string(want.back() + 1));
    }
    EXPECT_EQ(tv::cell(view, want.size(), tv::NO), "<no row>");
}

}  // namespace

struct ExportAnswer {
    std::string path;  // "": the chooser is cancelled
    bool filtered = false;
    const char *from = "", *to = "";
} export_answer;

gint answer_export_dialog(GtkDialog *dialog)
{
    set_check(extra_field(dialog, "tv_export_filtered"), export_answer.filtered);
    set_entry(extra_field(dialog, "tv_export_from"), export_answer.from);
    set_entry(extra_field(dialog, "tv_export_to"), export_answer.to);
    static bool shown = false;
    if (!shown)
        screenshot_of(GTK_WIDGET(dialog), "trace_view_export");
    shown = true;
    return gui_widgets::answer_file_chooser(dialog, export_answer.path);
}

// Exports as answered and waits for the end; the status it ends with.
std::string export_as(GtkWidget *view, const ExportAnswer &answer)
{
    export_answer = answer;
    tv::export_dialog_run = answer_export_dialog;
    gtk_button_clicked(GTK_BUTTON(named_widget(view, "tv_export_btn")));
    tv::export_dialog_run = gtk_dialog_run;
    EXPECT_TRUE(pump_until([&] { return !tv::exporting(view); }, 60000)) << tv::status(view);
    return tv::status(view);
}

std::string count_text(size_t n)
{
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3)
        s.insert(static_cast<size_t>(i), ",");
    return s;
}

// The exported file read back is the frames of the source numbered `want`.
void expect_exported(const std::string &path, const std::vector<Frame> &source, const std::vector<size_t> &want)
{
    velk::trace::Format format;
    ASSERT_TRUE(velk::trace::format_of(path, &format));
    std::string err;
    const auto got = velk::test::read_trace(path, format, &err);
    ASSERT_EQ(err, "");
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k)
        ASSERT_TRUE(got[k] == source[want[k]]) << "exported frame " << k << ": " << velk::trace::frame_text(got[k], true)
                                               << " vs frame " << want[k];
}

TEST_F(TraceView, FiltersMatchWhatVelkConvertKeepsAndWhatTheFramesSay)
{
    constexpr size_t kCount = 100000;
    const std::string path = dir_->path("filter.blf");
    write_trace(path, kCount);
    GtkWidget *view = tv::open({path});
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(pump_until([&] { return tv::indexed(view); }, 60000));

    // Channel and identifiers as velk_dump and velk_convert take them.
    for (const char *arg : {"CAN1,123:7FF", "CAN2,18FF0000:1FFFFF00,205:7FF"}) {
        SCOPED_TRACE(arg);
        const std::string out = dir_->path("kept.log");
        velk::test::Child tool;
        ASSERT_TRUE(velk::test::run(&tool, {VELK_CONVERT_PATH, "-F", arg, path, out}));
        ASSERT_EQ(tool.status(), 0) << tool.err();
        // velk_convert keeps a kept channel's error frames whatever the
        // identifier filters say; the view's identifiers hold for frames
        // that have one.
        std::vector<Frame> kept;
        for (const Frame &f : velk::test::read_trace(out, velk::trace::Format::CandumpLog))
            if (!f.error)
                kept.push_back(f);
        std::string text(arg);
        text.replace(text.find(','), 1, " and ");
        set_filter(view, text.c_str());
        ASSERT_TRUE(pump_until([&] { return tv::filtered(view); }, 60000)) << tv::status(view);
        ASSERT_EQ(tv::rows(view), kept.size());
        ASSERT_GT(kept.size(), 0u);
        for (size_t r = 0; r < kept.size(); r += 1 + kept.size() / 100) {
            ASSERT_EQ(tv::cell(view, r, tv::ID), id_text(kept[r])) << "row " << r;
            ASSERT_EQ(tv::cell(view, r, tv::TIME), time_of_day(velk::test::us_of(kept[r]))) << "row " << r;
        }
        std::remove(out.c_str());
    }

    // The other kinds, against the frames as generated.
    struct Case {
        const char *filter;
        std::function<bool(size_t)> keeps;
    };
    const auto speed = [](size_t i) { return static_cast<double>(i / 10 * 37 % 64000) * 0.125; };
    const Case cases[] = {
        {"EngineData.EngineSpeed > 3000", [&](size_t i) { return i % 10 == 0 && speed(i) > 3000; }},
        {"EngineSpeed <= 100 or fd", [&](size_t i) { return (i % 10 == 0 && speed(i) <= 100) || frame_of(i).fd; }},
        {"error or 18FF0007", [](size_t i) { return i % 1000 == 7 || (i % 7 == 0 && i % 50 == 7 && i % 10 != 0); }},
        {"tx EngineData", [](size_t i) { return i % 3 == 0 && i % 10 == 0; }},
        {"rx and CAN2 and 203,18FF0007", [](size_t i) {
             const Frame f = frame_of(i);
             return !f.tx && f.channel == 1 && ((!f.extended && f.id == 0x203) || (f.extended && f.id == 0x18FF0007));
         }},
        {"error", [](size_t i) { return i % 1000 == 7; }},
        {"Gear == \"Drive\"", [](size_t i) { return i % 10 == 0 && i / 10 % 4 == 3; }},
        {"EngineData.Gear != Neutral and tx", [](size_t i) { return i % 10 == 0 && i / 10 % 4 != 2 && i % 3 == 0; }},
    };
    // A big trace is scanned in two halves at once; here each filter runs
    // so too (split from the first frame on) and must find the same frames
    // in the same order.
    velk::trace::Index index;
    ASSERT_TRUE(index.start({path}, {}));
    ASSERT_TRUE(index.wait(std::chrono::milliseconds(60000)));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.filter);
        std::vector<size_t> want;
        for (size_t i = 0; i < kCount; ++i)
            if (c.keeps(i))
                want.push_back(i);
        set_filter(view, c.filter);
        expect_rows(view, want);

        std::string why;
        gui::trace_filter::Run halves(index, gui::trace_filter::parse(c.filter, &why), 1);
        ASSERT_TRUE(pump_until([&] { return halves.done(); }, 60000));
        EXPECT_EQ(halves.error(), "");
        EXPECT_EQ(halves.scanned(), kCount);
        ASSERT_EQ(halves.count(), want.size());
        for (size_t k = 0; k < want.size(); ++k) {
            uint64_t frame = 0;
            ASSERT_TRUE(halves.match(k, &frame));
            ASSERT_EQ(frame, want[k]) << "match " << k;
        }
    }
    set_filter(view, "EngineData.EngineSpeed > 3000");
    EXPECT_TRUE(pump_until([&] { return tv::status(view).find(" of 100,000 frames match") != std::string::npos; },
                           60000))
        << tv::status(view);
    screenshot_of(view, "trace_view_filter");

    // Export: the filtered frames, and a time range of every frame, read
    // back as the frames of the file; a cancelled export leaves no file.
    {
        const auto source = velk::test::read_trace(path, velk::trace::Format::Blf);
        std::vector<size_t> want;
        for (size_t i = 0; i < kCount; ++i)
            if (i % 10 == 0 && speed(i) > 3000)
                want.push_back(i);
        const std::string fast = dir_->path("fast.log");
        EXPECT_EQ(export_as(view, {fast, true, "", ""}),
                  "Exported " + count_text(want.size()) + " frames to " + fast);
        expect_exported(fast, source, want);
        EXPECT_EQ(log_lines().back(), "Trace: Exported " + count_text(want.size()) + " frames to " + fast);

        // Seconds from the first frame, both ends included, into MF4.
        const std::string range = dir_->path("range.mf4");
        EXPECT_EQ(export_as(view, {range, false, "1.0", "2.0"}), "Exported 10,001 frames to " + range);
        want.clear();
        for (size_t i = 10000; i <= 20000; ++i)
            want.push_back(i);
        expect_exported(range, source, want);
        // Frame numbers as the list shows them, the filter's frames among them.
        want.clear();
        for (size_t i = 20000; i < 40000; ++i)
            if (i % 10 == 0 && speed(i) > 3000)
                want.push_back(i);
        EXPECT_EQ(export_as(view, {range, true, "20001", "40000"}),
                  "Exported " + count_text(want.size()) + " frames to " + range);
        expect_exported(range, source, want);

        export_answer = {dir_->path("all.asc"), false, "", ""};
        tv::export_dialog_run = answer_export_dialog;
        gtk_button_clicked(GTK_BUTTON(named_widget(view, "tv_export_btn")));
        tv::export_dialog_run = gtk_dialog_run;
        EXPECT_TRUE(tv::exporting(view));
        gtk_button_clicked(GTK_BUTTON(named_widget(view, "tv_export_btn")));
        ASSERT_TRUE(pump_until([&] { return !tv::exporting(view); }, 60000));
        EXPECT_EQ(tv::status(view), "Export cancelled; all.asc removed");
        EXPECT_FALSE(std::filesystem::exists(dir_->path("all.asc")));

        EXPECT_EQ(export_as(view, {dir_->path("bad.log"), false, "5:", ""}).rfind("Export: From takes", 0), 0u)
            << tv::status(view);
        EXPECT_FALSE(std::filesystem::exists(dir_->path("bad.log")));
    }

    // What is wrong with a filter is said, and the one before stays.
    const uint64_t before = tv::rows(view);
    set_filter(view, "Nothing > 3");
    EXPECT_EQ(tv::status(view), "Filter: no signal Nothing in the loaded databases");
    set_filter(view, "EngineSpeed >");
    EXPECT_NE(tv::status(view).find("a comparison"), std::string::npos) << tv::status(view);
    EXPECT_EQ(tv::rows(view), before);
    // No filter: every frame again.
    set_filter(view, "");
    EXPECT_EQ(tv::rows(view), kCount);
    gtk_widget_destroy(view);
}

TEST_F(TraceView, StatisticsCountEachIdentifierAsTheFramesSay)
{
    constexpr size_t kCount = 50000;
    const std::string path = dir_->path("stats.log");
    write_trace(path, kCount);
    std::map<std::string, uint64_t> want;
    for (size_t i = 0; i < kCount; ++i)
        ++want[id_text(frame_of(i))];
    GtkWidget *view = tv::open({path});
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(pump_until([&] { return tv::indexed(view); }, 60000));
    gtk_button_clicked(GTK_BUTTON(named_widget(view, "tv_stats_btn")));
    GtkWidget *stats = tv::statistics(view);
    ASSERT_NE(stats, nullptr);
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(named_widget(stats, "tv_stats_tree")));
    std::map<std::string, uint64_t> got;
    std::string engine_name;
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok; ok = gtk_tree_model_iter_next(model, &it)) {
        gchar *id = nullptr, *name = nullptr;
        guint64 count = 0;
        gtk_tree_model_get(model, &it, 0, &id, 2, &name, 3, &count, -1);
        got[id] = count;
        if (std::string(id) == "123")
            engine_name = name;
        g_free(id);
        g_free(name);
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(engine_name, "EngineData");
    EXPECT_EQ(std::string(gtk_window_get_title(GTK_WINDOW(stats))),
              "Statistics: 50,000 frames, " + std::to_string(want.size()) + " identifiers");

    // Read through: each identifier's periods, first and last time and data
    // changes, against the same figures computed here from the frames.
    ASSERT_TRUE(pump_until([&] { return tv::statistics_read(view); }, 60000));
    struct Figures {
        uint64_t count = 0, changes = 0;
        int64_t first = 0, last = 0, lo = INT64_MAX, hi = 0;
        Frame before;
    };
    std::map<std::string, Figures> figures;
    uint64_t bits[2] = {};
    for (size_t i = 0; i < kCount; ++i) {
        const Frame f = frame_of(i);
        const int64_t t = static_cast<int64_t>(i) * kStepUs;
        Figures &x = figures[f.error ? "" : id_text(f)];
        if (x.count > 0) {
            x.lo = std::min(x.lo, t - x.last);
            x.hi = std::max(x.hi, t - x.last);
            x.changes += f.len != x.before.len || !std::equal(f.data.begin(), f.data.begin() + f.len, x.before.data.begin());
        } else {
            x.first = t;
        }
        x.last = t;
        x.before = f;
        ++x.count;
        if (!f.error) {
            const auto b = gui::frame_bits(f.fd, f.brs, f.extended, f.remote, f.len);
            bits[f.channel] += static_cast<uint64_t>(b.nominal + b.data);
        }
    }
    const auto ms = [](int64_t us) {
        char b[32];
        std::snprintf(b, sizeof b, "%.3f ms", static_cast<double>(us) / 1000.0);
        return std::string(b);
    };
    const auto seconds = [](int64_t us) {
        char b[32];
        std::snprintf(b, sizeof b, "%lld.%06lld", static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000));
        return std::string(b);
    };
    size_t rows = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok; ok = gtk_tree_model_iter_next(model, &it)) {
        gchar *cells[11] = {};
        guint64 count = 0, changes = 0;
        gtk_tree_model_get(model, &it, 0, &cells[0], 3, &count, 5, &cells[5], 6, &cells[6], 7, &cells[7], 8, &cells[8],
                           9, &cells[9], 10, &changes, -1);
        const Figures &x = figures[cells[0]];
        SCOPED_TRACE(cells[0]);
        EXPECT_EQ(count, x.count);
        EXPECT_EQ(changes, x.changes);
        EXPECT_EQ(cells[5], x.count > 1 ? ms((x.last - x.first) / static_cast<int64_t>(x.count - 1)) : "");
        EXPECT_EQ(cells[6], x.count > 1 ? ms(x.lo) : "");
        EXPECT_EQ(cells[7], x.count > 1 ? ms(x.hi) : "");
        EXPECT_EQ(cells[8], seconds(x.first));
        EXPECT_EQ(cells[9], seconds(x.last));
        for (gchar *c : cells)
            g_free(c);
        ++rows;
    }
    EXPECT_EQ(rows, figures.size());
    EXPECT_EQ(figures["123"].changes, 4999u);  // every EngineData frame differs from the one before
    // The bus load strip: every frame's bits counted once, on its channel.
    for (int ch = 0; ch < 2; ++ch) {
        const auto load = tv::statistics_bits(view, ch);
        EXPECT_GT(load.size(), 50u);
        EXPECT_EQ(std::accumulate(load.begin(), load.end(), uint64_t{0}), bits[ch]) << "CAN" << ch + 1;
        // A frame every 100 µs on alternate channels: no time of the strip is empty.
        EXPECT_EQ(std::count(load.begin(), load.end(), 0u), 0) << "CAN" << ch + 1;
    }
    screenshot_of(stats, "trace_view_statistics");
    // The statistics close with their trace.
    g_object_add_weak_pointer(G_OBJECT(stats), reinterpret_cast<gpointer *>(&stats));
    gtk_widget_destroy(view);
    EXPECT_EQ(stats, nullptr);
}

namespace {

std::string chosen_trace;
gint answer_open_dialog(GtkDialog *dialog)
{
    return gui_widgets::answer_file_chooser(dialog, chosen_trace);
}

// The trace window titled `title`, or nullptr.
GtkWidget *toplevel_titled(const std::string &title)
{
    GList *all = gtk_window_list_toplevels();
    GtkWidget *found = nullptr;
    for (GList *w = all; w != nullptr; w = w->next) {
        const char *t = gtk_window_get_title(GTK_WINDOW(w->data));
        if (t != nullptr && title == t)
            found = GTK_WIDGET(w->data);
    }
    g_list_free(all);
    return found;
}

}  // namespace

TEST_F(TraceView, TheOpenTraceButtonOpensTheChosenFileAndDroppedUrisAreFiles)
{
    const std::string path = dir_->path("chosen.pcapng");
    write_trace(path, 2000);
    chosen_trace = path;
    tv::open_dialog_run = answer_open_dialog;
    gtk_button_clicked(GTK_BUTTON(named_widget(windows->main_window, "tr_open_trace_btn")));
    GtkWidget *view = toplevel_titled("chosen.pcapng - Trace");
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(pump_until([&] { return tv::indexed(view); }));
    EXPECT_EQ(tv::frames(view), 2000u);
    EXPECT_EQ(log_lines().back(), "Trace opened: chosen.pcapng");
    gtk_widget_destroy(view);

    // Cancelled: nothing opens.
    chosen_trace.clear();
    gtk_button_clicked(GTK_BUTTON(named_widget(windows->main_window, "tr_open_trace_btn")));
    EXPECT_EQ(toplevel_titled("chosen.pcapng - Trace"), nullptr);
    tv::open_dialog_run = gtk_dialog_run;

    const char *uris[] = {"file:///tmp/a%20trace.blf", "file:///tmp/b.log.gz", "http://example.com/c.log", nullptr};
    EXPECT_EQ(tv::paths_of_uris(uris), (std::vector<std::string>{"/tmp/a trace.blf", "/tmp/b.log.gz"}));
}

namespace {

// The engine speed and the gear of frame i (every tenth frame carries
// them), as generated.
double speed_of(size_t i)
{
    return static_cast<double>(i / 10 * 37 % 64000) * 0.125;
}
double gear_of(size_t i)
{
    return static_cast<double>(i / 10 % 4);
}

// The lowest and highest value of each column, computed here from the
// frames as generated.
void expect_columns(const std::vector<gui::trace_plot::Column> &got, int64_t t0, int64_t t1, size_t count,
                    double (*value_of)(size_t))
{
    const auto width = static_cast<int64_t>(got.size());
    std::vector<gui::trace_plot::Column> want(got.size());
    for (size_t i = 0; i < count; i += 10) {
        const int64_t us = kStartUs + static_cast<int64_t>(i) * kStepUs;
        if (us < t0 || us >= t1)
            continue;
        const double value = value_of(i);
        auto &c = want[static_cast<size_t>((us - t0) * width / (t1 - t0))];
        c.min = c.has ? std::min(c.min, value) : value;
        c.max = c.has ? std::max(c.max, value) : value;
        c.has = true;
    }
    size_t with = 0;
    for (size_t k = 0; k < want.size(); ++k) {
        ASSERT_EQ(got[k].has, want[k].has) << "column " << k;
        EXPECT_EQ(got[k].min, want[k].min) << "column " << k;
        EXPECT_EQ(got[k].max, want[k].max) << "column " << k;
        with += want[k].has ? 1 : 0;
    }
    EXPECT_GT(with, want.size() / 2);
}

void expect_speed_columns(const std::vector<gui::trace_plot::Column> &got, int64_t t0, int64_t t1, size_t count)
{
    expect_columns(got, t0, t1, count, speed_of);
}

// A CSV export of the engine speed and the gear over [t0, t1): one row per
// EngineData frame, its time in seconds and both values, read back here.
void expect_csv(const std::string &path, int64_t t0, int64_t t1, size_t count)
{
    const std::string text = velk::test::read_file(path);
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "the last line ends with a newline";
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "time,EngineData.EngineSpeed,EngineData.Gear");
    size_t row = 1;
    for (size_t i = 0; i < count; i += 10) {
        const int64_t us = kStartUs + static_cast<int64_t>(i) * kStepUs;
        if (us < t0 || us >= t1)
            continue;
        ASSERT_LT(row, lines.size()) << "frame " << i;
        const std::string &l = lines[row++];
        const size_t a = l.find(','), b = l.find(',', a + 1);
        ASSERT_NE(b, std::string::npos) << l;
        char when[32];
        std::snprintf(when, sizeof when, "%lld.%06lld", static_cast<long long>(us / 1000000),
                      static_cast<long long>(us % 1000000));
        EXPECT_EQ(l.substr(0, a), when) << l;
        EXPECT_EQ(std::strtod(l.substr(a + 1, b - a - 1).c_str(), nullptr), speed_of(i)) << l;
        EXPECT_EQ(std::strtod(l.substr(b + 1).c_str(), nullptr), gear_of(i)) << l;
    }
    EXPECT_EQ(row, lines.size());
}

}  // namespace

TEST_F(TraceView, AWholeTracePlotHoldsEachColumnsLowestAndHighestValueAndItsCursorMovesTheList)
{
    constexpr size_t kCount = 30000;
    const std::string path = dir_->path("plot.mf4");
    write_trace(path, kCount);
    GtkWidget *view = tv::open({path});
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(pump_until([&] { return tv::indexed(view); }, 60000));
    gtk_button_clicked(GTK_BUTTON(named_widget(view, "tv_plot_btn")));
    GtkWidget *plot = tv::plot(view);
    ASSERT_NE(plot, nullptr);
    GtkWidget *area = named_widget(plot, "tv_plot_area");
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_allocated_width(area) > 200; }));
    gtk_combo_box_set_active_id(GTK_COMBO_BOX(named_widget(plot, "tv_plot_signal")), "EngineData.EngineSpeed");
    std::vector<gui::trace_plot::Column> columns;
    int64_t t0 = 0, t1 = 0;
    ASSERT_TRUE(pump_until([&] { return tv::plot_columns(view, &columns, &t0, &t1); }, 60000));
    EXPECT_EQ(t0, kStartUs);
    EXPECT_EQ(t1, kStartUs + static_cast<int64_t>(kCount - 1) * kStepUs + 1);
    EXPECT_GT(columns.size(), 200u);
    expect_speed_columns(columns, t0, t1, kCount);

    // Zoomed: only that range, in as many columns.
    tv::plot_zoom(view, kStartUs + 1000000, kStartUs + 1500000);
    ASSERT_TRUE(pump_until([&] { return tv::plot_columns(view, &columns, &t0, &t1) && t0 == kStartUs + 1000000; },
                           60000));
    EXPECT_EQ(t1, kStartUs + 1500000);
    expect_speed_columns(columns, t0, t1, kCount);

    // The cursor moves the list to the first frame at or after it, and a
    // frame selected in the list moves the cursor there.
    tv::plot_click(view, kStartUs + 1234567);
    EXPECT_EQ(tv::selected(view), 12346);
    EXPECT_EQ(tv::cell(view, 12346, tv::NO), "12347");
    go_to(view, "20000");
    EXPECT_EQ(tv::plot_cursor(view), kStartUs + 19999 * kStepUs);

    // A second signal joins the range in view, read in the same pass; each
    // has its own columns.
    gtk_combo_box_set_active_id(GTK_COMBO_BOX(named_widget(plot, "tv_plot_signal")), "EngineData.Gear");
    EXPECT_EQ(tv::plot_signals(view), (std::vector<std::string>{"EngineData.EngineSpeed", "EngineData.Gear"}));
    std::vector<gui::trace_plot::Column> gears;
    ASSERT_TRUE(pump_until([&] { return tv::plot_columns(view, &gears, &t0, &t1, 1); }, 60000));
    EXPECT_EQ(t0, kStartUs + 1000000);
    ASSERT_TRUE(tv::plot_columns(view, &columns, &t0, &t1, 0));
    expect_speed_columns(columns, t0, t1, kCount);
    expect_columns(gears, t0, t1, kCount, gear_of);

    // Both to CSV: the range in view, then the whole trace.
    const std::string csv = dir_->path("signals.csv");
    ASSERT_TRUE(tv::plot_export_csv(view, csv, false));
    ASSERT_TRUE(pump_until([&] { return !tv::exporting(view); }, 60000));
    expect_csv(csv, t0, t1, kCount);
    EXPECT_NE(tv::status(view).find("Exported 500 rows of the plotted signals to"), std::string::npos)
        << tv::status(view);
    gtk_button_clicked(GTK_BUTTON(named_widget(plot, "tv_plot_whole")));
    ASSERT_TRUE(pump_until([&] { return tv::plot_columns(view, &gears, &t0, &t1, 1) && t0 == kStartUs; }, 60000));
    expect_columns(gears, t0, t1, kCount, gear_of);
    screenshot_of(plot, "trace_view_plot");
    ASSERT_TRUE(tv::plot_export_csv(view, csv, true));
    ASSERT_TRUE(pump_until([&] { return !tv::exporting(view); }, 60000));
    expect_csv(csv, kStartUs, INT64_MAX, kCount);

    // The legend's button takes a signal off.
    tv::plot_remove(view, 0);
    EXPECT_EQ(tv::plot_signals(view), std::vector<std::string>{"EngineData.Gear"});
    ASSERT_TRUE(pump_until([&] { return tv::plot_columns(view, &gears, &t0, &t1, 0); }, 60000));
    expect_columns(gears, t0, t1, kCount, gear_of);
    EXPECT_FALSE(tv::plot_columns(view, &gears, &t0, &t1, 1));

    // The plot closes with its trace.
    g_object_add_weak_pointer(G_OBJECT(plot), reinterpret_cast<gpointer *>(&plot));
    gtk_widget_destroy(view);
    EXPECT_EQ(plot, nullptr);
}

namespace {

// A diagnostic session among EngineData frames: requests on 7E0 in single
// frames, answers on 7E8 of 9 to 60 bytes in first and consecutive frames
// with a flow control on 7E0 between; every seventh answer of three
// consecutive frames or more loses its second (a wrong sequence number
// follows).
std::vector<Frame> isotp_frames(std::vector<size_t> *broken)
{
    std::vector<Frame> out;
    int64_t us = kStartUs;
    const auto push = [&](uint32_t id, std::vector<uint8_t> data) {
        Frame f;
        us += 700;
        f.sec = us / 1000000;
        f.usec = static_cast<uint32_t>(us % 1000000);
        f.id = id;
        data.resize(8, 0xCC);
        f.dlc = f.len = 8;
        std::copy(data.begin(), data.end(), f.data.begin());
        out.push_back(f);
    };
    for (int k = 0; k < 60; ++k) {
        push(0x123, {static_cast<uint8_t>(k), 0x10, 0x21, 0x30});
        push(0x7E0, {0x03, 0x22, 0xF1, static_cast<uint8_t>(k)});
        const size_t len = 9 + static_cast<size_t>(k * 7 % 52);
        std::vector<uint8_t> answer(len);
        for (size_t i = 0; i < len; ++i)
            answer[i] = static_cast<uint8_t>(k * 31 + i);
        push(0x7E8, {static_cast<uint8_t>(0x10 | len >> 8), static_cast<uint8_t>(len), answer[0], answer[1], answer[2],
                     answer[3], answer[4], answer[5]});
        push(0x7E0, {0x30, 0x00, 0x00});
        const bool lose = k % 7 == 3 && len > 20;  // three consecutive frames or more
        if (lose)
            broken->push_back(out.size() - 2);
        uint8_t sn = 1;
        for (size_t at = 6; at < len; at += 7, ++sn) {
            if (lose && sn == 2)
                continue;
            std::vector<uint8_t> cf{static_cast<uint8_t>(0x20 | (sn & 0x0F))};
            for (size_t i = at; i < std::min(len, at + 7); ++i)
                cf.push_back(answer[i]);
            push(0x7E8, cf);
            push(0x123, {static_cast<uint8_t>(sn), 0x11});
        }
    }
    return out;
}

struct Whole {
    uint64_t frame;  // from 0
    uint32_t id;
    std::string hex;
};

// The whole messages on 7E0 and 7E8 as tshark's ISO 15765 dissector
// reassembles them: a single frame's data, or the reassembled data on a
// message's last frame, taken back to its first frame.
std::vector<Whole> tshark_messages(const std::string &path)
{
    velk::test::Child c;
    EXPECT_TRUE(velk::test::run(&c, {"tshark", "-r", path, "-d", "can.subdissector,iso15765", "-T", "fields", "-E",
                                     "separator=,", "-e", "frame.number", "-e", "can.id", "-e",
                                     "iso15765.message_type", "-e", "iso15765.frame_length", "-e", "data.data"}));
    EXPECT_EQ(c.status(), 0) << c.err() << " (tshark missing? run scripts/setup)";
    std::vector<Whole> out;
    std::map<uint32_t, std::pair<uint64_t, size_t>> open;  // per identifier: first frame, length
    for (const std::string &line : velk::test::lines_of(c.out())) {
        std::vector<std::string> f;
        std::stringstream in(line);
        for (std::string w; std::getline(in, w, ',');)
            f.push_back(w);
        f.resize(5);
        const uint32_t id = static_cast<uint32_t>(std::stoul(f[1]));
        if (id != 0x7E0 && id != 0x7E8)
            continue;
        const uint64_t frame = std::stoull(f[0]) - 1;
        if (f[2] == "0x00") {
            out.push_back({frame, id, f[4]});
        } else if (f[2] == "0x01") {
            open[id] = {frame, std::stoul(f[3])};
        } else if (f[2] == "0x02" && open.count(id) && f[4].size() == open[id].second * 2) {
            out.push_back({open[id].first, id, f[4]});
            open.erase(id);
        }
    }
    std::sort(out.begin(), out.end(), [](const Whole &a, const Whole &b) { return a.frame < b.frame; });
    return out;
}

std::string hex_of(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

}  // namespace

TEST_F(TraceView, IsoTpMessagesAreThoseTsharkReassemblesWithTheBrokenOnesSaidAndGoToTheirFirstFrame)
{
    std::vector<size_t> broken;
    const std::vector<Frame> frames = isotp_frames(&broken);
    const std::string path = dir_->path("isotp.pcapng");
    {
        velk::trace::Writer w;
        ASSERT_TRUE(w.open(path, velk::trace::Format::Pcapng, {})) << w.error();
        for (const Frame &f : frames)
            ASSERT_TRUE(w.write(f));
        ASSERT_TRUE(w.close()) << w.error();
    }
    const std::vector<Whole> want = tshark_messages(path);
    ASSERT_EQ(want.size(), 60u + 60u - broken.size());

    GtkWidget *view = tv::open({path});
    ASSERT_NE(view, nullptr);
    gtk_button_clicked(GTK_BUTTON(named_widget(view, "tv_isotp_btn")));
    GtkWidget *window = tv::isotp(view);
    ASSERT_NE(window, nullptr);
    set_entry(named_widget(window, "tv_isotp_ids"), "7E0, 7E8");
    g_signal_emit_by_name(named_widget(window, "tv_isotp_ids"), "activate");
    ASSERT_TRUE(pump_until([&] { return tv::isotp_read(view); }, 60000));

    size_t whole = 0, bad = 0, long_one = SIZE_MAX;
    gui::trace_isotp::Row r;
    for (size_t i = 0; tv::isotp_row(view, i, &r); ++i) {
        SCOPED_TRACE("message " + std::to_string(i) + " at frame " + std::to_string(r.frame));
        if (r.error != velk::isotp::Error::None) {
            // The answer that lost a frame: from its first frame, said so.
            ASSERT_LT(bad, broken.size());
            EXPECT_EQ(r.frame, broken[bad++]);
            EXPECT_EQ(r.error, velk::isotp::Error::WrongSequence);
            continue;
        }
        ASSERT_LT(whole, want.size());
        const Whole &w = want[whole++];
        EXPECT_EQ(r.frame, w.frame);
        EXPECT_EQ(r.id, w.id);
        EXPECT_EQ(r.got * 2, w.hex.size());
        EXPECT_EQ(hex_of(r.head.data(), std::min<size_t>(r.got, gui::trace_isotp::kKept)),
                  w.hex.substr(0, gui::trace_isotp::kKept * 2));
        if (r.id == 0x7E8 && r.flow_id == 0x7E0 && r.got > 40 && long_one == SIZE_MAX)
            long_one = i;
    }
    EXPECT_EQ(whole, want.size());
    EXPECT_EQ(bad, broken.size());

    // Chosen, a long message's whole data is read again from the file, and
    // the frame list goes to its first frame.
    ASSERT_NE(long_one, SIZE_MAX);
    ASSERT_TRUE(tv::isotp_row(view, long_one, &r));
    tv::isotp_select(view, long_one);
    EXPECT_EQ(tv::selected(view), static_cast<int64_t>(r.frame));
    std::string shown;
    for (char ch : tv::isotp_details(view).substr(tv::isotp_details(view).find(':') + 1))
        if (ch != ' ' && ch != '\n')
            shown += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const auto it = std::find_if(want.begin(), want.end(), [&](const Whole &w) { return w.frame == r.frame; });
    ASSERT_NE(it, want.end());
    EXPECT_EQ(shown, it->hex);
    screenshot_of(window, "trace_view_isotp");

    g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer *>(&window));
    gtk_widget_destroy(view);
    EXPECT_EQ(window, nullptr);
}
