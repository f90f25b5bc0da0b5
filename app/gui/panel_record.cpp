// Recording: every frame the frame list receives (sent and received, both
// channels, also while the views are paused or the list starts over) and
// every bus-error report, into a trace file of any format velk writes, in
// one file or in pieces by size or time (the newest kept, as a ring).
//
// The file is written on a thread of its own. A write may block for long
// where the disk is slow, remote or full (the kernel holds writers back when
// too much is waiting for the disk), and the main loop must not wait for
// it; the thread also turns records into text, the costly part at tens of
// thousands of frames a second. The GUI thread only copies each entry into
// a queue that the thread empties every 50 ms.
#include "adapter_time.h"
#include "guipart.h"
#include "trace_formats.h"
#include "widgets.h"

#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

gint (*tr_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace {

namespace trace = velk::trace;

constexpr auto kWriteEvery = std::chrono::milliseconds(50);
constexpr gint64 kFlushEveryUs = 500000;
constexpr gint64 kCheckPathEveryUs = 1000000;
// Entries waiting for the thread: about five seconds of frames at 40,000
// frames/s. A disk that falls further behind ends the recording.
constexpr size_t kMaxWaiting = 200000;

enum class Kind : uint8_t { Sent, Received, ErrorReport };

struct Item {
    UPBS_INFO entry;
    Kind kind;
    int64_t wall_us;  // when the GUI thread took it
};

std::string size_text(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// One recording: the writer thread and the queue the GUI thread fills.
class Recorder {
public:
    ~Recorder() { stop_and_join(); }

    bool running() const { return thread_.joinable(); }
    // The piece being written (the file, without splitting).
    std::string path() const
    {
        std::lock_guard<std::mutex> lock(mtx_);
        return path_;
    }
    long long frames() const { return frames_.load(std::memory_order_relaxed); }
    uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    // Set by the thread before it ends; read after the join.
    const std::string &error() const { return error_; }

    bool start(const std::string &path, trace::Format format, const trace::SplitOptions &split, std::string *why)
    {
        trace::WriteOptions options;
        options.start_us = g_get_real_time();
        options.time_note = "velk_utility: received frames carry the adapter's timestamps mapped to wall-clock "
                            "time by an offset taken at the first of them; sent frames and reports without a "
                            "timestamp carry the host's time of day (1 ms resolution)";
        writer_.on_piece = [this](const std::string &piece) {
            std::lock_guard<std::mutex> lock(mtx_);
            path_ = piece;
        };
        // A piece that failed and the next one tried, said in the log (once).
        writer_.on_event = [](const std::string &text) {
            g_idle_add_full(
                G_PRIORITY_DEFAULT,
                [](gpointer data) {
                    auto *line = static_cast<std::string *>(data);
                    insert_log(("Recording: " + *line).c_str());
                    delete line;
                    return G_SOURCE_REMOVE;
                },
                new std::string(text), nullptr);
        };
        if (!writer_.open(path, format, options, split)) {
            *why = writer_.error();
            return false;
        }
        error_.clear();
        frames_ = 0;
        bytes_ = 0;
        stop_ = false;
        ended_ = false;
        overflow_ = false;
        queue_.clear();
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void push(const UPBS_INFO &entry, Kind kind)
    {
        if (ended_.load(std::memory_order_acquire))
            return;
        std::lock_guard<std::mutex> lock(mtx_);
        if (queue_.size() >= kMaxWaiting) {
            overflow_ = true;
            cv_.notify_one();
            return;
        }
        queue_.push_back(Item{entry, kind, g_get_real_time()});
    }

    // Asks the thread to write what is queued, close the file and end.
    void request_stop()
    {
        std::lock_guard<std::mutex> lock(mtx_);
        stop_ = true;
        cv_.notify_one();
    }

    void stop_and_join()
    {
        if (!thread_.joinable())
            return;
        request_stop();
        thread_.join();
    }

    // The thread has ended; the GUI thread joins it and reads the result.
    bool ended() const { return ended_.load(std::memory_order_acquire); }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }

    // Called by the thread when it has ended (with the GUI thread's main
    // context): the GUI shows the outcome.
    GSourceFunc on_end = nullptr;

private:
    void run()
    {
        std::vector<Item> batch;
        trace::AdapterClock clock;
        gint64 last_flush = g_get_monotonic_time();
        gint64 last_check = last_flush;
        bool stopping = false;
        bool ok = true;
        while (ok && !stopping) {
            {
                std::unique_lock<std::mutex> lock(mtx_);
                cv_.wait_for(lock, kWriteEvery, [this] { return stop_ || overflow_; });
                batch.swap(queue_);
                queue_.clear();
                stopping = stop_;
                if (overflow_) {
                    error_ = "the file is not written as fast as frames come";
                    ok = false;
                }
            }
            for (const Item &item : batch) {
                if (!ok || !write(item, &clock)) {
                    ok = false;
                    break;
                }
            }
            batch.clear();
            const gint64 now = g_get_monotonic_time();
            if (ok && now - last_flush >= kFlushEveryUs) {
                last_flush = now;
                ok = writer_.flush();
            }
            if (ok && now - last_check >= kCheckPathEveryUs) {
                last_check = now;
                ok = writer_.still_at_path();
            }
            bytes_.store(writer_.bytes(), std::memory_order_relaxed);
        }
        if (!writer_.close() && error_.empty())
            error_ = writer_.error();
        if (!ok && error_.empty())
            error_ = writer_.error();
        bytes_.store(writer_.bytes(), std::memory_order_relaxed);
        ended_.store(true, std::memory_order_release);
        if (on_end != nullptr)
            g_idle_add_full(G_PRIORITY_DEFAULT, on_end, nullptr, nullptr);
    }

    bool write(const Item &item, trace::AdapterClock *clock)
    {
        trace::Frame f;
        if (item.kind == Kind::ErrorReport) {
            f.error = true;
            f.channel = item.entry.frame_info.CAN_port;
            f.source = trace::TimeSource::Host;
            f.sec = item.wall_us / 1000000;
            f.usec = static_cast<uint32_t>(item.wall_us % 1000000);
        } else {
            f = trace::frame_of(item.entry.frame_info);
            f.tx = item.kind == Kind::Sent;
            clock->stamp(item.entry.frame_info.timestamp, item.entry.now_time, &f, item.wall_us);
        }
        if (!writer_.write(f))
            return false;
        frames_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    trace::SplitWriter writer_;  // the thread's alone while it runs
    std::string path_;
    std::string error_;
    std::thread thread_;
    mutable std::mutex mtx_;  // guards queue_, stop_, overflow_ and path_
    std::condition_variable cv_;
    std::vector<Item> queue_;
    bool stop_ = false;
    bool overflow_ = false;
    std::atomic<bool> ended_{false};
    std::atomic<long long> frames_{0};
    std::atomic<uint64_t> bytes_{0};
};

Recorder recorder;
// The GUI's view of the recording: true from the start until the thread's
// end was shown.
bool recording = false;
bool stopping = false;

// Where the label is too short, progress keeps its figures in view and a
// failure its reason.
void set_label(const std::string &text, PangoEllipsizeMode cut = PANGO_ELLIPSIZE_MIDDLE)
{
    gtk_label_set_ellipsize(GTK_LABEL(tr_info.record_label), cut);
    gtk_label_set_text(GTK_LABEL(tr_info.record_label), text.c_str());
    gtk_widget_set_tooltip_text(tr_info.record_label, text.c_str());
}

// "1234 frames, 56.7 KB"
std::string figures()
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld frames, ", recorder.frames());
    return text + size_text(recorder.bytes());
}

std::string file_name()
{
    gchar *base = g_path_get_basename(recorder.path().c_str());
    std::string s = base;
    g_free(base);
    return s;
}

void show_progress_now()
{
    set_label(figures() + " in " + file_name(), PANGO_ELLIPSIZE_END);
}

void show_progress()
{
    if (recording && !recorder.ended())
        show_progress_now();
}

// The thread has ended: the file is complete, or a write failed.
gboolean recording_ended(gpointer)
{
    if (!recording)
        return G_SOURCE_REMOVE;
    recorder.join();
    recording = false;
    gtk_button_set_label(GTK_BUTTON(tr_info.btn_record), "Record…");
    gtk_widget_set_sensitive(tr_info.btn_record, TRUE);
    if (!recorder.error().empty()) {
        // Not the user's action: the log keeps what it shows and says why.
        const std::string line = "Recording stopped: " + recorder.error();
        set_label(line);
        insert_log(line.c_str());
    } else {
        set_label("Saved " + figures() + " in " + file_name(), PANGO_ELLIPSIZE_END);
        const std::string line = "Recording saved: " + recorder.path() + ", " + figures();
        if (stopping) {
            clear_log();
            insert_log(line.c_str());
        }
    }
    stopping = false;
    return G_SOURCE_REMOVE;
}

// The chooser's splitting fields: a piece's size and time, and how many
// pieces are kept (0: no limit). Named so that a test can find them.
GtkWidget *split_field(GtkGrid *grid, int row, const char *label, const char *unit, const char *name, double step)
{
    GtkWidget *l = gtk_label_new(label);
    gtk_widget_set_halign(l, GTK_ALIGN_END);
    GtkWidget *spin = gtk_spin_button_new_with_range(0, 1000000, step);
    gtk_widget_set_name(spin, name);
    gtk_spin_button_set_digits(GTK_SPIN_BUTTON(spin), step < 1 ? 1 : 0);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), 0);
    GtkWidget *u = gtk_label_new(unit);
    gtk_widget_set_halign(u, GTK_ALIGN_START);
    gtk_grid_attach(grid, l, 0, row, 1, 1);
    gtk_grid_attach(grid, spin, 1, row, 1, 1);
    gtk_grid_attach(grid, u, 2, row, 1, 1);
    return spin;
}

// The file chooser; false when cancelled.
bool choose_file(std::string *path, trace::Format *format, trace::SplitOptions *split)
{
    GtkWidget *dialog =
        gtk_file_chooser_dialog_new("Record frames", GTK_WINDOW(windows->main_window), GTK_FILE_CHOOSER_ACTION_SAVE,
                                    "Cancel", GTK_RESPONSE_CANCEL, "Record", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    gui::add_trace_formats(chooser);
    gui::start_in_last_folder(chooser);
    GtkWidget *grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
    GtkWidget *size = split_field(GTK_GRID(grid), 0, "Split into pieces of", "MB (0: one file)", "rec_split_size", 0.1);
    GtkWidget *time =
        split_field(GTK_GRID(grid), 1, "or a new piece every", "minutes (0: never)", "rec_split_time", 1);
    GtkWidget *keep = split_field(GTK_GRID(grid), 2, "keeping the newest", "pieces (0: all)", "rec_split_count", 1);
    gtk_widget_show_all(grid);
    gtk_file_chooser_set_extra_widget(chooser, grid);
    GDateTime *now = g_date_time_new_now_local();
    gchar *suggested = g_date_time_format(now, "velk-%Y-%m-%d_%H%M%S.log");
    gtk_file_chooser_set_current_name(chooser, suggested);
    g_free(suggested);
    g_date_time_unref(now);
    *path = gui::run_file_chooser(dialog, tr_dialog_run);
    const bool ok = !path->empty();
    if (ok)
        gui::trace_format_for(path, chooser, format);
    split->max_bytes = static_cast<uint64_t>(gtk_spin_button_get_value(GTK_SPIN_BUTTON(size)) * 1e6 + 0.5);
    split->max_us = int64_t{gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(time))} * 60 * 1000000;
    split->keep = split->max_bytes > 0 || split->max_us > 0 ? gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(keep)) : 0;
    gtk_widget_destroy(dialog);
    return ok;
}

void start_recording()
{
    std::string path;
    trace::Format format;
    trace::SplitOptions split;
    if (!choose_file(&path, &format, &split))
        return;
    clear_log();
    std::string why;
    if (!recorder.start(path, format, split, &why)) {
        const std::string line = "Cannot record: " + why;
        set_label(line);
        insert_log(line.c_str());
        return;
    }
    recording = true;
    gtk_button_set_label(GTK_BUTTON(tr_info.btn_record), "Stop recording");
    show_progress_now();
    insert_log(("Recording to " + recorder.path()).c_str());
}

}  // namespace

void btn_record_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (!recording) {
        start_recording();
        return;
    }
    if (stopping)
        return;
    // The thread writes what is left and closes the file; its end is shown
    // when it comes.
    stopping = true;
    gtk_button_set_label(GTK_BUTTON(tr_info.btn_record), "Stopping…");
    gtk_widget_set_sensitive(tr_info.btn_record, FALSE);
    recorder.request_stop();
}

void rec_frame(const UPBS_INFO &upbs_info, bool is_recv)
{
    if (recording)
        recorder.push(upbs_info, is_recv ? Kind::Received : Kind::Sent);
}

void rec_error_report(int channel)
{
    if (!recording)
        return;
    UPBS_INFO entry;
    std::memset(&entry, 0, sizeof entry);
    entry.frame_info.CAN_port = channel;
    recorder.push(entry, Kind::ErrorReport);
}

bool rec_is_recording(void)
{
    return recording;
}

long long rec_frames(void)
{
    return recorder.frames();
}

void rec_stop_and_wait(void)
{
    if (!recording)
        return;
    recorder.stop_and_join();
    recording_ended(nullptr);
}

void rec_init(void)
{
    recorder.on_end = recording_ended;
    gtk_widget_set_focus_on_click(tr_info.btn_record, FALSE);
    g_signal_connect(tr_info.btn_record, "clicked", G_CALLBACK(btn_record_cb), nullptr);
    gui::on_label_tick(show_progress);
}
