// Device operations off the GUI thread. Every command exchange with the
// adapter waits 150 ms for its reply, so connect, start, reset and the rest
// run on an operation thread of their own, one at a time, while the window
// shows that it is busy. The result, and any configuration the operation
// pushed through guiStatusUpdate, reach the GUI thread through an idle
// source of the default main context; GTK is touched on the GUI thread only.
#include "guipart.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace {

std::thread::id g_gui_thread;

// GUI thread only.
bool g_busy = false;
std::thread g_thread;
std::function<void(int)> g_done;
// Counts operations, so the idle source of one that was already finished
// (by abandon_operation) never finishes a later one.
guint g_generation = 0;

std::atomic<int> g_result{0};

// A snapshot the operation pushed; shown before the operation's completion.
std::mutex g_snapshot_mtx;
bool g_has_snapshot = false;
UPUI_INFO g_snapshot;

void show_busy(const char *what)
{
    GdkWindow *win = gtk_widget_get_window(windows->main_window);
    if (win != nullptr) {
        GdkCursor *cursor = what != nullptr ? gdk_cursor_new_from_name(gdk_window_get_display(win), "wait") : nullptr;
        gdk_window_set_cursor(win, cursor);
        if (cursor != nullptr)
            g_object_unref(cursor);
    }
    // The spinner stays in the layout when idle, so nothing moves.
    if (what != nullptr)
        gtk_spinner_start(GTK_SPINNER(cd_info.spinner));
    else
        gtk_spinner_stop(GTK_SPINNER(cd_info.spinner));
    gtk_label_set_text(GTK_LABEL(cd_info.busy_label), what != nullptr ? what : "");
    wgt_show_hide(is_connect, is_active);
}

bool take_snapshot(UPUI_INFO *out)
{
    std::lock_guard<std::mutex> lock(g_snapshot_mtx);
    bool had = g_has_snapshot;
    if (had)
        *out = g_snapshot;
    g_has_snapshot = false;
    return had;
}

void finish_operation()
{
    if (g_thread.joinable())
        g_thread.join();
    g_busy = false;
    std::function<void(int)> done = std::move(g_done);
    g_done = nullptr;
    UPUI_INFO snapshot;
    if (take_snapshot(&snapshot))
        guiStatusUpdate(snapshot);
    // Idle before the completion runs: it may open a dialog, or start the
    // next step, which shows itself busy again.
    show_busy(nullptr);
    if (done)
        done(g_result.load());
}

gboolean on_finished(gpointer generation)
{
    if (g_busy && GPOINTER_TO_UINT(generation) == g_generation)
        finish_operation();
    return G_SOURCE_REMOVE;
}

}  // namespace

void op_init(void)
{
    g_gui_thread = std::this_thread::get_id();
}

bool on_gui_thread(void)
{
    return std::this_thread::get_id() == g_gui_thread;
}

bool is_busy(void)
{
    return g_busy;
}

bool run_operation(const char *what, std::function<int()> work, std::function<void(int)> done)
{
    if (g_busy)
        return false;
    g_busy = true;
    g_done = std::move(done);
    const guint generation = ++g_generation;
    show_busy(what);
    g_thread = std::thread([work = std::move(work), generation] {
        g_result.store(work());
        // At the frame tick's priority: a lower one would wait for as long as
        // traffic keeps the tick busy.
        g_idle_add_full(G_PRIORITY_DEFAULT, on_finished, GUINT_TO_POINTER(generation), nullptr);
    });
    return true;
}

void defer_status_update(UPUI_INFO info)
{
    std::lock_guard<std::mutex> lock(g_snapshot_mtx);
    g_snapshot = info;
    g_has_snapshot = true;
}

bool abandon_operation(void)
{
    if (!g_busy)
        return false;
    if (g_thread.joinable())
        g_thread.join();
    g_busy = false;
    g_done = nullptr;
    UPUI_INFO dropped;
    (void)take_snapshot(&dropped);
    return true;
}
