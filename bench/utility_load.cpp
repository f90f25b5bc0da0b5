// The utility under load: the real start-up, panels and main loop of
// velk_utility in this process, connected through a pseudo-terminal to a
// velk_sim child process, driven through its buttons as a user would.
//
//   bench_utility load RATE SECONDS   velk_sim streams RATE reports/s for
//                                     SECONDS: ring high-water, rows listed
//                                     per second, longest main-loop stall
//   bench_utility idle SECONDS        connected and started, no traffic:
//                                     processor use of the whole utility
//   bench_utility memory FRAMES       resident size at start, after FRAMES
//                                     received frames listed, after Clear
//   bench_utility soak SECONDS        velk_sim in loopback; the send panel
//                                     sends on CAN1 and CAN2 in turn; frames
//                                     sent, listed, lost and resident size
//   bench_utility stalls ROUNDS       the longest main-loop stall while each
//                                     device operation runs (probe, connect,
//                                     export, import, start, reset, stop,
//                                     stop of a 3 s non-blocking batch,
//                                     disconnect), worst of ROUNDS rounds
//   bench_utility plot RATE SECONDS   as load with the Plot tab shown and 4
//                                     signals plotted: redraws per second,
//                                     arrival-to-drawn lag, resident size
//   bench_utility trace RATE SECONDS  as load, twice: the frame list alone,
//                                     then recording a candump log with the
//                                     monitor shown: frames lost (listed and
//                                     recorded), longest stall, processor
//                                     use, monitor updates per second
//   bench_utility full RATE SECONDS [TAB] [any]
//                                     everything at once: frame list,
//                                     monitor of a 100-message database
//                                     expanded, 4 signals plotted and a
//                                     recording, once with each of the
//                                     list, monitor and plot tabs shown:
//                                     frames lost, processor use, longest
//                                     stall, plot redraws and lag, drawings
//                                     of the window and their cost. The bus
//                                     carries 100 standard messages (those
//                                     of the database) and 100 extended
//                                     ones; with "any" every identifier may
//                                     come instead. TAB (list, monitor or
//                                     plot) runs that phase only; first, a
//                                     bare GTK window with nothing but a
//                                     1 ms timeout gives the floor that the
//                                     drain timer alone costs
//
// Needs an X display (scripts/bench and scripts/soak run it under xvfb-run).
// Bench modes print ROW lines; soak prints a report and exits 1 when a frame
// was lost or memory grew.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "databases.h"
#include "bench_util.h"
#include "gui_widgets.h"
#include "guipart.h"
#include "widgets.h"
#include "panel_plot.h"
#include "trace.h"

using namespace velk::bench;

namespace {

// ---- the emulator child ----

struct Emulator {
    pid_t pid = -1;
    std::string path;

    bool start(const std::vector<std::string> &args)
    {
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv;
            static std::string prog = VELK_SIM_PATH;
            argv.push_back(prog.data());
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(prog.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is the slave path of the port.
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            path += c;
        close(out[0]);
        return !path.empty() && path[0] == '/';
    }

    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    ~Emulator() { stop(); }
};

// ---- the utility ----

double rss_mb()
{
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr)
        return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
        resident = 0;
    std::fclose(f);
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

int ring_fill()
{
    int front = front_r.load();
    int rear = rear_r.load();
    return (rear - front + UPBS_QUEUE_SIZE) % UPBS_QUEUE_SIZE;
}

// Watches the main loop through its poll function: the time from one
// return from poll to the next call of it is how long the loop was busy,
// and the longest such time is its longest stall. Measured so, the watch
// adds no wake-ups of its own to the loop it watches. The ring's fill is
// sampled from a thread every 100 us, where asked for, so the peak just
// before a drain is seen too.
struct Observer {
    double last = 0;
    double max_gap = 0;
    std::atomic<int> high_water{0};
    std::atomic<bool> armed{false};
    // The sampler's own processor time, which is the bench's and not the
    // utility's: taken out of the utility's figures.
    std::atomic<double> sampler_cpu{0};
    std::thread sampler;
    GPollFunc default_poll = nullptr;

    void arm(bool sample_ring = true)
    {
        last = now_s();
        max_gap = 0;
        high_water = 0;
        armed = true;
        if (!sample_ring)
            return;
        sampler = std::thread([this] {
            while (armed.load()) {
                int fill = ring_fill();
                if (fill > high_water.load())
                    high_water.store(fill);
                timespec ts;
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
                sampler_cpu.store(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
                // Every millisecond: the ring moves by at most 40 entries
                // meanwhile at full rate, and a faster sampler would take
                // processor time from the utility it measures.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    void disarm()
    {
        armed = false;
        if (sampler.joinable())
            sampler.join();
    }
    static gint poll(GPollFD *fds, guint n, gint timeout);
};

Observer observer;

gint Observer::poll(GPollFD *fds, guint n, gint timeout)
{
    Observer &o = observer;
    const double t = now_s();
    if (o.armed.load())
        o.max_gap = std::max(o.max_gap, t - o.last);
    const gint r = o.default_poll(fds, n, timeout);
    o.last = now_s();
    return r;
}


bool pump_until(const std::function<bool()> &cond, double timeout_s)
{
    double deadline = now_s() + timeout_s;
    while (!cond()) {
        if (now_s() > deadline)
            return false;
        g_main_context_iteration(nullptr, TRUE);
    }
    return true;
}

void pump_for(double seconds)
{
    pump_until([] { return false; }, seconds);
}

// Port index 0 names the emulator at port_path, every other index nothing.
void map_port(const std::string &port_path)
{
    static std::string names[VELK_PORT_COUNT];
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        names[i] = i == 0 ? port_path : "/nonexistent/velk-port-" + std::to_string(i);
        comports[i] = names[i].c_str();
    }
}

bool start_utility(const std::string &port_path)
{
    map_port(port_path);
    // No databases the user chose: the bench starts from a folder of its own.
    static char config[] = "/tmp/velk-bench-config-XXXXXX";
    if (mkdtemp(config) == nullptr || setenv("XDG_CONFIG_HOME", config, 1) != 0)
        return false;
    if (chdir(VELK_BENCH_UI_DIR) != 0)
        return false;
    static char arg0[] = "velk_utility";
    static char *argv[] = {arg0, nullptr};
    if (velk_utility_startup(1, argv) != 0)
        return false;
    observer.default_poll = g_main_context_get_poll_func(nullptr);
    g_main_context_set_poll_func(nullptr, Observer::poll);
    // The port search runs beside the main loop.
    pump_until([] { return !is_busy(); }, 10);
    pump_until([] { return g_main_context_pending(nullptr) == FALSE; }, 5);
    return true;
}

bool connect_and_start()
{
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    if (!pump_until([] { return is_connect; }, 5))
        return false;
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_start));
    return pump_until([] { return is_active; }, 5);
}

void disconnect()
{
    if (is_connect)
        gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    pump_until([] { return !is_connect; }, 5);
}

// Data reports (listed as rows) among the first `count` of the stream.
size_t data_reports(size_t count, unsigned seed)
{
    size_t n = 0;
    for (const velk::sim::Report &r : velk::sim::stream_sequence(count, seed))
        n += r.kind == velk::sim::Report::E1 || r.kind == velk::sim::Report::E2 || r.kind == velk::sim::Report::F1;
    return n;
}

// Streams `count` reports at `rate` and waits until every data report is
// listed or nothing new was listed for two seconds. Returns the rows listed.
struct StreamResult {
    size_t expected = 0;
    size_t listed = 0;
    double rows_per_s = 0;
    // The processor use of the utility and of its main thread once the
    // stream has run for kSettleS: the start of CAN ends, and the views
    // get their first rows, in the first fraction of a second.
    double steady_cpu_pct = 0;
    double steady_main_pct = 0;
};

constexpr double kSettleS = 1.0;

// Starts CAN on the connected utility and lists the emulator's stream until
// every data report is listed or nothing new was listed for two seconds.
// Timing begins with the first row: the start runs beside the main loop,
// which lists the first rows while it ends.
void list_stream(StreamResult *res, double *cpu_pct, bool sample_ring = true)
{
    int base = list_cnt_r;
    observer.arm(sample_ring);
    double main_first = 0;
    double main_last = 0;
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_start));
    const double clicked = now_s();
    double first = 0;
    double last_change = 0;
    double cpu_first = 0;
    double cpu_last = 0;
    // The processor times are read at most every 50 ms, at a row change, so
    // that reading them costs the main loop next to nothing.
    double cpu_first_at = 0;
    double cpu_last_at = 0;
    int seen = list_cnt_r;
    // The readings from kSettleS after the first row on: the first of them.
    double settled_at = 0;
    double cpu_settled = 0;
    double main_settled = 0;
    while (static_cast<size_t>(list_cnt_r - base) < res->expected &&
           (first == 0 ? now_s() - clicked < 10.0 : now_s() - last_change < 2.0)) {
        g_main_context_iteration(nullptr, TRUE);
        if (list_cnt_r != seen) {
            seen = list_cnt_r;
            last_change = now_s();
            const bool done = static_cast<size_t>(list_cnt_r - base) >= res->expected;
            if (first == 0 || done || last_change - cpu_last_at >= 0.05) {
                cpu_last = cpu_s() - observer.sampler_cpu.load();
                main_last = thread_cpu_s();
                cpu_last_at = last_change;
            }
            if (first == 0) {
                first = last_change;
                cpu_first = cpu_last;
                main_first = main_last;
                cpu_first_at = cpu_last_at;
            }
            if (settled_at == 0 && cpu_last_at - first >= kSettleS) {
                settled_at = cpu_last_at;
                cpu_settled = cpu_last;
                main_settled = main_last;
            }
        }
    }
    observer.disarm();
    res->listed = static_cast<size_t>(list_cnt_r - base);
    // Processor seconds used between two readings, in % of the time between.
    auto pct = [](double used_from, double used_to, double from, double to) {
        return (used_to - used_from) / (to - from) * 100;
    };
    if (last_change > first) {
        res->rows_per_s = static_cast<double>(res->listed) / (last_change - first);
        // A stream too short to settle: its whole figures stand for both.
        if (cpu_last_at > cpu_first_at) {
            res->steady_cpu_pct = pct(cpu_first, cpu_last, cpu_first_at, cpu_last_at);
            res->steady_main_pct = pct(main_first, main_last, cpu_first_at, cpu_last_at);
            if (cpu_pct != nullptr)
                *cpu_pct = res->steady_cpu_pct;
        }
        if (settled_at > 0 && cpu_last_at - settled_at >= kSettleS) {
            res->steady_cpu_pct = pct(cpu_settled, cpu_last, settled_at, cpu_last_at);
            res->steady_main_pct = pct(main_settled, main_last, settled_at, cpu_last_at);
        }
    }
}

std::vector<std::string> stream_args(size_t count, int rate, unsigned seed)
{
    return {"--stream", std::to_string(count), "--rate", std::to_string(rate), "--seed", std::to_string(seed)};
}

StreamResult stream_and_list(Emulator &sim, size_t count, int rate, unsigned seed)
{
    StreamResult res;
    res.expected = data_reports(count, seed);
    if (!sim.start(stream_args(count, rate, seed)) || !start_utility(sim.path))
        return res;
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    if (!pump_until([] { return is_connect; }, 5))
        return res;
    list_stream(&res, nullptr);
    return res;
}

int run_load(int rate, int seconds)
{
    Emulator sim;
    size_t count = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
    StreamResult r = stream_and_list(sim, count, rate, 21);
    std::string tag = std::to_string(rate) + " reports/s for " + std::to_string(seconds) + " s";
    row("utility under load, frames lost, " + tag, static_cast<double>(r.expected - r.listed), "frames",
        "must be 0 of " + std::to_string(r.expected), 0);
    row("utility under load, receive ring high-water, " + tag, observer.high_water.load(), "entries",
        "ring size " + std::to_string(UPBS_QUEUE_SIZE), UPBS_QUEUE_SIZE);
    double data_rate = rate * static_cast<double>(r.expected) / static_cast<double>(count);
    row("utility under load, rows listed per second, " + tag, r.rows_per_s, "rows/s", "data reports/s sent",
        data_rate);
    row("utility under load, longest main-loop stall, " + tag, observer.max_gap * 1e3, "ms", "goal 100 ms", 100);
    disconnect();
    return 0;
}

int run_idle(int seconds)
{
    Emulator sim;
    if (!sim.start({}) || !start_utility(sim.path) || !connect_and_start())
        return 1;
    pump_for(1);  // start-up work settles
    double c0 = cpu_s(), t0 = now_s();
    pump_for(seconds);
    double pct = (cpu_s() - c0) / (now_s() - t0) * 100;
    row("idle CPU of the whole utility, connected, CAN started, no traffic, " + std::to_string(seconds) + " s", pct,
        "% of one core", "goal 5 %", 5);
    disconnect();
    return 0;
}

int run_memory(size_t frames)
{
    Emulator sim;
    // Enough reports that `frames` of them are data reports.
    size_t count = frames + frames / 8;
    while (data_reports(count, 22) < frames)
        count += frames / 16;
    // The stream starts once CAN is started; the size at start is taken
    // when the window is up, before the connect.
    std::vector<std::string> args = {"--stream", std::to_string(count), "--rate", "40000", "--seed", "22"};
    if (!sim.start(args) || !start_utility(sim.path))
        return 1;
    double at_start = rss_mb();
    if (!connect_and_start())
        return 1;
    // A quarter of the way in, the receive ring (a fixed array touched
    // page by page as it first fills) is fully resident; from there on the
    // size must stay flat.
    double last_change = now_s();
    int seen = list_cnt_r;
    double at_quarter = 0;
    int quarter = 0;
    while (static_cast<size_t>(list_cnt_r) < frames && now_s() - last_change < 3.0) {
        g_main_context_iteration(nullptr, TRUE);
        if (list_cnt_r != seen) {
            seen = list_cnt_r;
            last_change = now_s();
        }
        if (quarter == 0 && static_cast<size_t>(list_cnt_r) >= frames / 4) {
            quarter = list_cnt_r;
            at_quarter = rss_mb();
        }
    }
    int listed = list_cnt_r;
    double after_list = rss_mb();
    disconnect();
    gtk_button_clicked(GTK_BUTTON(bs_info.btn_clr));
    pump_for(0.5);
    double after_clear = rss_mb();
    row("utility resident size at start", at_start, "MB", "", 0);
    row("utility resident size after " + std::to_string(quarter) + " frames listed", at_quarter, "MB", "at start",
        at_start);
    row("utility resident size after " + std::to_string(listed) + " frames listed", after_list, "MB",
        "after " + std::to_string(quarter), at_quarter);
    row("utility resident size after Clear", after_clear, "MB", "at start", at_start);
    return 0;
}

void set_entry(GtkWidget *w, int value)
{
    gtk_entry_set_text(GTK_ENTRY(w), std::to_string(value).c_str());
}

// Loopback soak: bursts of frames from the send panel, CAN1 and CAN2 in
// turn, each coming back as a received frame on the other channel.
int run_soak(int seconds)
{
    Emulator sim;
    if (!sim.start({"--loopback"}) || !start_utility(sim.path) || !connect_and_start())
        return 1;
    constexpr int kBurst = 500;
    constexpr int kItvl = 200;  // us: about 3,300 frames/s with the pacing
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], kBurst);
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_ITVL], kItvl);
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_TIME], 1);
    // The panel refuses an empty identifier.
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]), "100");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ss_info.chk[SS_CHK_IID]), TRUE);
    pump_for(0.5);
    // Both rings are fixed arrays whose pages become resident as they first
    // fill; once each has wrapped, the size must stay flat.
    double rss_start = rss_mb();
    double rss_warm = 0;
    double rss_max = rss_start;
    double t0 = now_s();
    double next_report = t0 + 60;
    long sent_total = 0, recv_total = 0, bursts = 0;
    auto sent = [&] { return sent_total + list_cnt_s; };
    auto received = [&] { return recv_total + list_cnt_r; };
    bool stuck = false;
    observer.arm();
    while (now_s() - t0 < seconds) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), static_cast<int>(bursts % 2));
        long want = sent() + kBurst;
        gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
        ++bursts;
        // The burst is done when every frame is listed as sent and came back.
        if (!pump_until([&] { return sent() >= want && received() >= want; }, 10)) {
            stuck = true;
            break;
        }
        // Clear now and then, as a user watching for hours would; the
        // counters restart, so carry them here.
        if (bursts % 20 == 0) {
            sent_total += list_cnt_s;
            recv_total += list_cnt_r;
            gtk_button_clicked(GTK_BUTTON(bs_info.btn_clr));
        }
        double rss = rss_mb();
        rss_max = std::max(rss_max, rss);
        if (rss_warm == 0 && sent() > UPBS_QUEUE_SIZE + kBurst)
            rss_warm = rss;
        if (now_s() > next_report) {
            std::printf("soak: %.0f s, %ld sent, %ld listed, rss %.1f MB\n", now_s() - t0, sent(), received(), rss);
            std::fflush(stdout);
            next_report += 60;
        }
    }
    observer.disarm();
    // Whatever is still on its way back.
    pump_until([&] { return received() >= sent(); }, 2);
    long sent_all = sent(), received_all = received();
    double rss_end = rss_mb();
    disconnect();
    long lost = sent_all - received_all;
    // Without a full wrap of the rings, allow for the pages they may still
    // take in.
    double ring_mb = 2.0 * sizeof upbs_recv / (1024.0 * 1024.0);
    bool flat = rss_warm > 0 ? rss_end <= rss_warm + 2 : rss_end <= rss_start + ring_mb + 4;
    std::printf("soak: %.0f s, %ld bursts of %d frames, CAN1 and CAN2 in turn%s\n", now_s() - t0, bursts, kBurst,
                stuck ? ", STOPPED: a burst did not complete within 10 s" : "");
    std::printf("soak: frames sent %ld, received and listed %ld, lost %ld\n", sent_all, received_all, lost);
    if (rss_warm > 0)
        std::printf("soak: resident size start %.1f MB, after the rings wrapped %.1f MB, end %.1f MB, peak %.1f MB "
                    "(%s)\n",
                    rss_start, rss_warm, rss_end, rss_max, flat ? "flat" : "GREW");
    else
        std::printf("soak: resident size start %.1f MB, end %.1f MB, peak %.1f MB (%s)\n", rss_start, rss_end,
                    rss_max, flat ? "flat" : "GREW");
    std::printf("soak: longest main-loop stall %.1f ms\n", observer.max_gap * 1e3);
    return lost == 0 && flat && !stuck ? 0 : 1;
}

// ---- stalls during device operations ----

std::string g_cfg_path;

// Answers the settings panel's file choosers with g_cfg_path, as a user
// would once the chooser shows the file.
gint answer_chooser(GtkDialog *dialog)
{
    return gui_widgets::answer_file_chooser(dialog, g_cfg_path);
}

bool g_op_failed = false;

// The status log's last line, or "".
std::string last_log_line()
{
    GtkTreeModel *model = sl_info.store != nullptr ? GTK_TREE_MODEL(sl_info.store) : nullptr;
    int n = model != nullptr ? gtk_tree_model_iter_n_children(model, nullptr) : 0;
    GtkTreeIter iter;
    if (n == 0 || !gtk_tree_model_iter_nth_child(model, &iter, nullptr, n - 1))
        return "";
    gchar *text = nullptr;
    gtk_tree_model_get(model, &iter, 0, &text, -1);
    std::string line = text != nullptr ? text : "";
    g_free(text);
    return line;
}

// How long the last operation of stall_of took, clicked to completed.
double g_op_ms = 0;

// Clicks the button and returns the longest main-loop stall until the
// operation it started has ended and its completion ran; the log's last
// line must then read `expected` (NULL: anything).
double stall_of(GtkWidget *button, const char *expected = nullptr)
{
    observer.arm();
    const double t0 = now_s();
    gtk_button_clicked(GTK_BUTTON(button));
    pump_until([] { return !is_busy(); }, 20);
    g_op_ms = (now_s() - t0) * 1e3;
    pump_for(0.05);
    observer.disarm();
    if (expected != nullptr && last_log_line() != expected) {
        std::fprintf(stderr, "bench_utility stalls: \"%s\" where \"%s\" was expected\n", last_log_line().c_str(),
                     expected);
        g_op_failed = true;
    }
    return observer.max_gap * 1e3;
}

int run_stalls(int rounds)
{
    Emulator sim;
    if (!sim.start({}) || !start_utility(sim.path))
        return 1;
    char dir[] = "/tmp/velk-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    g_cfg_path = std::string(dir) + "/bench.cfg";
    cs_dialog_run = answer_chooser;

    const char *names[] = {"probe (search again)", "connect", "start", "export", "import", "reset while running",
                           "stop", "stop, non-blocking batch of 3,000 ms", "disconnect"};
    constexpr int kRows = sizeof names / sizeof names[0];
    // The operation's own duration is the stall it caused when it ran on
    // the GUI thread: the baseline of each row.
    double worst[kRows] = {};
    double took[kRows] = {};
    for (int r = 0; r < rounds; ++r) {
        double got[kRows];
        double ms[kRows];
        got[0] = stall_of(cd_info.btn_refresh, "Found 1 VELK device !");
        ms[0] = g_op_ms;
        got[1] = stall_of(cd_info.btn_cnnt, "Get version successfully !");
        ms[1] = g_op_ms;
        // Export and import while stopped: while CAN runs, the library can
        // still lose their replies to the receive worker.
        got[3] = stall_of(cs_info.btn[CS_BTN_EXPORT], "Export CFG successfully !");
        ms[3] = g_op_ms;
        got[4] = stall_of(cs_info.btn[CS_BTN_IMPORT], "Import CFG successfully !");
        ms[4] = g_op_ms;
        got[2] = stall_of(cd_info.btn_start, "CAN2 operates in CAN2.0B");
        ms[2] = g_op_ms;
        got[5] = stall_of(cs_info.btn[CS_BTN_RESET], "Reset CAN successfully !");
        ms[5] = g_op_ms;
        stall_of(cd_info.btn_start);
        got[6] = stall_of(cd_info.btn_start);
        ms[6] = g_op_ms;
        gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_DATA_CNT]), "1000");
        gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_TIME]), "3000");
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rs_info.chk), TRUE);
        stall_of(cd_info.btn_start);
        pump_until([] { return MTX_queue_r.load() && !is_done_non_block.load(); }, 5);
        got[7] = stall_of(cd_info.btn_start);
        ms[7] = g_op_ms;
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rs_info.chk), FALSE);
        got[8] = stall_of(cd_info.btn_cnnt);
        ms[8] = g_op_ms;
        if (is_connect || g_op_failed)
            return 1;
        for (int i = 0; i < kRows; ++i) {
            worst[i] = std::max(worst[i], got[i]);
            took[i] = std::max(took[i], ms[i]);
        }
    }
    for (int i = 0; i < kRows; ++i) {
        char baseline[96];
        std::snprintf(baseline, sizeof baseline, "goal 100 ms; the operation took %.0f ms", took[i]);
        row(std::string("utility main-loop stall during ") + names[i] + ", worst of " + std::to_string(rounds),
            worst[i], "ms", baseline, took[i]);
    }
    unlink(g_cfg_path.c_str());
    rmdir(dir);
    return 0;
}

// ---- recording and the monitor under load ----

std::string g_record_path;

gint answer_record_chooser(GtkDialog *dialog)
{
    return gui_widgets::answer_file_chooser(dialog, g_record_path);
}

struct TracePhase {
    StreamResult stream;
    double cpu_pct = 0;
    double stall_ms = 0;
    double refreshes_per_s = 0;
};

// The utility on the emulator at `path`: started the first time (then
// *first is set), the port mapped to the new emulator after that.
bool utility_on(const std::string &path, bool *first = nullptr)
{
    static bool started = false;
    if (first != nullptr)
        *first = !started;
    if (started) {
        map_port(path);
        return true;
    }
    if (!start_utility(path))
        return false;
    started = true;
    return true;
}

// One stream listed by a freshly connected utility; with `trace`, recorded
// to g_record_path while the monitor shows.
bool trace_phase(size_t count, int rate, unsigned seed, bool trace, TracePhase *out)
{
    Emulator sim;
    out->stream.expected = data_reports(count, seed);
    if (!sim.start(stream_args(count, rate, seed)))
        return false;
    if (!utility_on(sim.path))
        return false;
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    if (!pump_until([] { return is_connect; }, 5))
        return false;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), trace ? 1 : 0);
    if (trace) {
        tr_dialog_run = answer_record_chooser;
        gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
        if (!rec_is_recording())
            return false;
    }
    const long refreshes = mn_refreshes();
    const double t0 = now_s();
    list_stream(&out->stream, &out->cpu_pct);
    out->refreshes_per_s = static_cast<double>(mn_refreshes() - refreshes) / (now_s() - t0);
    out->stall_ms = observer.max_gap * 1e3;
    disconnect();
    if (trace) {
        gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
        pump_until([] { return !rec_is_recording(); }, 10);
    }
    return true;
}

int run_trace(int rate, int seconds)
{
    char dir[] = "/tmp/velk-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    g_record_path = std::string(dir) + "/bench.log";
    const size_t count = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
    TracePhase plain;
    TracePhase traced;
    if (!trace_phase(count, rate, 23, false, &plain) || !trace_phase(count, rate, 23, true, &traced))
        return 1;
    // The file as a reader finds it: every frame listed, and the error
    // frames of the stream's bus-error reports besides.
    long long recorded = 0;
    velk::trace::Reader reader;
    velk::trace::Frame f;
    if (reader.open(g_record_path, velk::trace::Format::CandumpLog, {}))
        while (reader.next(&f) > 0)
            recorded += f.error ? 0 : 1;
    unlink(g_record_path.c_str());
    rmdir(dir);

    const std::string tag = std::to_string(rate) + " reports/s for " + std::to_string(seconds) + " s";
    const std::string what = "utility recording a .log with the monitor shown, " + tag;
    const double lost = static_cast<double>(traced.stream.expected - traced.stream.listed) +
                        static_cast<double>(static_cast<long long>(traced.stream.listed) - recorded);
    row(what + ", frames lost (not listed or not recorded)", lost, "frames",
        "must be 0 of " + std::to_string(traced.stream.expected), 0);
    char base[96];
    std::snprintf(base, sizeof base, "the frame list alone %.1f ms; goal 100 ms", plain.stall_ms);
    row(what + ", longest main-loop stall", traced.stall_ms, "ms", base, plain.stall_ms);
    std::snprintf(base, sizeof base, "the frame list alone %.0f %%", plain.cpu_pct);
    row(what + ", processor use of the utility", traced.cpu_pct, "% of one core", base, plain.cpu_pct);
    row(what + ", monitor updates", traced.refreshes_per_s, "per s", "goal 10 per s", 10);
    return 0;
}

// The Plot tab shown with 4 signals plotted while the stream comes: the
// messages are the 4 standard identifiers the stream sends most often, one
// 16-bit signal each (signal k in bytes 2k and 2k+1).
struct PlotPhase {
    StreamResult stream;
    double cpu_pct = 0, stall_ms = 0, redraws_per_s = 0, batches_per_s = 0, lag_p99_ms = 0;
    size_t lag_samples = 0;
    double rss_start = 0, rss_quarter = 0, rss_end = 0;
    unsigned long long points = 0;
};

size_t plot_quarter_frames = 0;
double plot_rss_quarter = 0;

bool plot_phase(size_t count, int rate, unsigned seed, bool list_paused, size_t *expected_points, PlotPhase *out)
{
    // The stream's reports take ~100 bytes each: they are gone before the
    // utility's size is taken.
    std::string text;
    {
        std::vector<size_t> hits(2048, 0);
        const std::vector<velk::sim::Report> seq = velk::sim::stream_sequence(count, seed);
        for (const velk::sim::Report &r : seq)
            if ((r.kind == velk::sim::Report::E2 || r.kind == velk::sim::Report::F1) && !r.extended && !r.rtr)
                ++hits[r.id];
        std::vector<int> ids(2048);
        for (int i = 0; i < 2048; ++i)
            ids[static_cast<size_t>(i)] = i;
        std::partial_sort(ids.begin(), ids.begin() + 4, ids.end(),
                          [&](int x, int y) { return hits[static_cast<size_t>(x)] > hits[static_cast<size_t>(y)]; });
        text = "VERSION \"\"\nBU_: ECU\n";
        for (int k = 0; k < 4; ++k) {
            text += "BO_ " + std::to_string(ids[static_cast<size_t>(k)]) + " M" + std::to_string(k) + ": 8 ECU\n";
            text += " SG_ S : " + std::to_string(16 * k) + "|16@1+ (0.1,0) [0|6553.5] \"\" Vector__XXX\n";
        }
        *expected_points = 0;
        for (const velk::sim::Report &r : seq)
            if ((r.kind == velk::sim::Report::E2 || r.kind == velk::sim::Report::F1) && !r.extended && !r.rtr)
                for (int k = 0; k < 4; ++k)
                    if (static_cast<int>(r.id) == ids[static_cast<size_t>(k)] && velk::sim::dlc_length(r.dlc) >= 2 * k + 2)
                        ++*expected_points;
    }
    static velk::dbc::Database db;
    db = velk::dbc::Database();
    if (!velk::dbc::load_string(text, "bench.dbc", &db).ok)
        return false;

    Emulator sim;
    out->stream.expected = data_reports(count, seed);
    if (!sim.start(stream_args(count, rate, seed)))
        return false;
    if (!utility_on(sim.path))
        return false;
    plot_clear();
    plot_set_databases({&db});
    for (int k = 0; k < 4; ++k)
        if (!plot_add_signal(("M" + std::to_string(k)).c_str(), "S"))
            return false;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), -1);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(tr_info.btn_pause), list_paused);
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    if (!pump_until([] { return is_connect; }, 5))
        return false;
    pump_for(0.5);
    out->rss_start = rss_mb();
    const PlotStats before = plot_stats();
    // The size a quarter of the way in, when the receive ring is resident
    // whole: from there on it must stay flat.
    plot_quarter_frames = static_cast<size_t>(list_cnt_r) + out->stream.expected / 4;
    plot_rss_quarter = 0;
    g_timeout_add(50, [](gpointer) -> gboolean {
        if (static_cast<size_t>(list_cnt_r) < plot_quarter_frames)
            return G_SOURCE_CONTINUE;
        plot_rss_quarter = rss_mb();
        return G_SOURCE_REMOVE;
    }, nullptr);
    const double t0 = now_s();
    list_stream(&out->stream, &out->cpu_pct);
    const double elapsed = now_s() - t0;
    const PlotStats after = plot_stats();
    out->rss_end = rss_mb();
    out->rss_quarter = plot_rss_quarter;
    out->stall_ms = observer.max_gap * 1e3;
    out->redraws_per_s = static_cast<double>(after.redraws - before.redraws) / elapsed;
    out->batches_per_s = static_cast<double>(after.batches - before.batches) / elapsed;
    out->lag_p99_ms = static_cast<double>(after.lag_p99_us) / 1e3;
    out->lag_samples = after.lag_samples;
    out->points = after.points_fed - before.points_fed;
    disconnect();
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(tr_info.btn_pause), FALSE);
    return true;
}

// Twice: with the frame list paused (the plot's own cost), then with it
// listing every frame as well.
int run_plot(int rate, int seconds)
{
    const size_t count = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
    PlotPhase alone;
    PlotPhase listed;
    size_t expected = 0;
    if (!plot_phase(count, rate, 24, true, &expected, &alone) || !plot_phase(count, rate, 24, false, &expected, &listed))
        return 1;
    const std::string tag = std::to_string(rate) + " reports/s for " + std::to_string(seconds) + " s, 4 signals";

    // The cost of one drawing with the stores full: 4 signals of 20,000
    // points and more, 1 ms apart, the live view (10 s) showing 10,000 each.
    static velk::dbc::Database full;
    const char *text = "VERSION \"\"\nBU_: ECU\nBO_ 1 F: 8 ECU\n SG_ A : 0|16@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                       " SG_ B : 16|16@1+ (1,0) [0|0] \"\" Vector__XXX\n SG_ C : 32|16@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                       " SG_ D : 48|16@1+ (1,0) [0|0] \"\" Vector__XXX\n";
    if (!velk::dbc::load_string(text, "full.dbc", &full).ok)
        return 1;
    plot_clear();
    plot_set_databases({&full});
    for (const char *sig : {"A", "B", "C", "D"})
        plot_add_signal("F", sig);
    for (int i = 0; i < 50000; ++i) {
        uint8_t d[8];
        for (int k = 0; k < 4; ++k) {
            const int v = static_cast<int>(1000 * std::sin(i * 0.01 * (k + 1))) + 1000;
            d[2 * k] = static_cast<uint8_t>(v);
            d[2 * k + 1] = static_cast<uint8_t>(v >> 8);
        }
        plot_feed(0, 1, false, d, 8, int64_t{i} * 1000);
    }
    pump_for(0.3);
    const PlotStats d0 = plot_stats();
    const double c0 = thread_cpu_s();
    for (int i = 0; i < 100; ++i)
        plot_redraw_now();
    const PlotStats d1 = plot_stats();
    const double draw_ms = d1.redraws > d0.redraws
                               ? static_cast<double>(d1.draw_us - d0.draw_us) / 1e3 / static_cast<double>(d1.redraws - d0.redraws)
                               : 0;
    (void)c0;
    row("utility plot, one drawing of 4 full signals (" + std::to_string(d1.stored_points) + " points stored), " +
            std::to_string(d1.redraws - d0.redraws) + " drawings",
        draw_ms, "ms", "40 ms, the time of a drawing at 25 per s", 40);

    for (const auto &[name, p] : {std::pair<const char *, const PlotPhase &>{"frame list paused", alone},
                                  {"frame list listing", listed}}) {
        const std::string what = std::string("utility plot, ") + name + ", " + tag;
        row(what + ", frames lost", static_cast<double>(p.stream.expected - p.stream.listed), "frames",
            "must be 0 of " + std::to_string(p.stream.expected), 0);
        row(what + ", points plotted", static_cast<double>(p.points), "points", "plotted signals sent",
            static_cast<double>(expected));
        // Only new points are drawn: the stream's random identifiers bring
        // the 4 signals a few dozen samples a second, so the figure is
        // bounded by their arrivals, and compared with those.
        row(what + ", redraws (goal 25 per s where points come that often)", p.redraws_per_s, "per s",
            "batches of new points per s", p.batches_per_s);
        row(what + ", sample arrival to drawn, 99th percentile of " + std::to_string(p.lag_samples) + " drawings",
            p.lag_p99_ms, "ms", "goal 100 ms", 100);
        row(what + ", longest main-loop stall", p.stall_ms, "ms", "goal 100 ms", 100);
        row(what + ", processor use", p.cpu_pct, "% of one core", "", 0);
        row(what + ", resident size after " + std::to_string(p.stream.listed) + " frames", p.rss_end, "MB",
            "after a quarter", p.rss_quarter);
        row(what + ", resident size before the stream", p.rss_start, "MB", "", 0);
    }
    return 0;
}

// The whole window at once while the stream comes: the frame list, the
// monitor with a database of 100 messages (4 signals each) whose rows are
// all expanded, 4 of those signals plotted and every frame recorded. Each
// phase shows one tab (frame list, monitor, plot) while all of them take
// every frame; the adapter's clock runs in real time, so the plot's time
// axis is the bus's.
struct FullPhase {
    StreamResult stream;
    double cpu_pct = 0, main_cpu_pct = 0, stall_ms = 0;  // from kSettleS after the first frame on
    double whole_cpu_pct = 0;                             // from the first frame on
    double waiting_cpu_pct = 0;  // connected, recording, before the stream starts
    long long monitored = 0, recorded = 0;
    double batches_per_s = 0;
    double redraws_per_s = 0, lag_p99_ms = 0;
    double view_draws_per_s = 0;  // the frame list's or the monitor's, where shown
    double view_draw_ms = 0;      // the main thread's processor time of one
    double window_draws_per_s = 0, window_draw_ms = 0;  // every drawing of the window, and its processor time
    size_t lag_samples = 0;
    double rss_start = 0, rss_end = 0;
};

std::string full_dbc_text(size_t count, unsigned seed, uint32_t id_count)
{
    std::vector<size_t> hits(2048, 0);
    velk::sim::StreamGenerator gen(seed, id_count);
    for (size_t i = 0; i < count; ++i) {
        const velk::sim::Report r = gen.report(i);
        if ((r.kind == velk::sim::Report::E2 || r.kind == velk::sim::Report::F1) && !r.extended && !r.rtr)
            ++hits[r.id];
    }
    std::vector<int> ids(2048);
    for (int i = 0; i < 2048; ++i)
        ids[static_cast<size_t>(i)] = i;
    std::stable_sort(ids.begin(), ids.end(),
                     [&](int x, int y) { return hits[static_cast<size_t>(x)] > hits[static_cast<size_t>(y)]; });
    std::string text = "VERSION \"\"\nBU_: ECU\n";
    for (int k = 0; k < 100; ++k) {
        text += "BO_ " + std::to_string(ids[static_cast<size_t>(k)]) + " M" + std::to_string(k) + ": 8 ECU\n";
        for (int s = 0; s < 4; ++s)
            text += " SG_ S" + std::to_string(s) + " : " + std::to_string(16 * s) +
                    "|16@1+ (0.1,-100) [-100|6453.5] \"km/h\" Vector__XXX\n";
    }
    return text;
}

// Counts the draws of a widget and the main thread's processor time from
// the first handler of each draw to the last: what a draw costs, whatever
// is redrawn.
struct DrawClock {
    GtkWidget *widget;
    long draws = 0;
    double seconds = 0;
    double began = 0;
    gulong before = 0;
    gulong after = 0;

    explicit DrawClock(GtkWidget *w) : widget(w)
    {
        before = g_signal_connect(widget, "draw", G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer self) {
                                      static_cast<DrawClock *>(self)->began = thread_cpu_s();
                                      return FALSE;
                                  }),
                                  this);
        after = g_signal_connect_after(widget, "draw", G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer self) {
                                           DrawClock *clock = static_cast<DrawClock *>(self);
                                           ++clock->draws;
                                           clock->seconds += thread_cpu_s() - clock->began;
                                           return FALSE;
                                       }),
                                       this);
    }
    void stop()
    {
        if (before != 0)
            g_signal_handler_disconnect(widget, before);
        if (after != 0)
            g_signal_handler_disconnect(widget, after);
        before = after = 0;
    }
    DrawClock(const DrawClock &) = delete;
    DrawClock &operator=(const DrawClock &) = delete;
    ~DrawClock() { stop(); }
    double ms_each() const { return draws > 0 ? seconds * 1e3 / static_cast<double>(draws) : 0; }
};

long long monitor_frames()
{
    unsigned long long ids = 0, n = 0;
    const char *text = gui::steady_text(mn_info.label);
    if (std::sscanf(text, "%llu identifiers, %llu frames", &ids, &n) != 2)
        return -1;
    return static_cast<long long>(n);
}

// A user who expanded every described row: each row is expanded as it
// gets its first signal row.
void expand_new_parent(GtkTreeModel *, GtkTreePath *path, GtkTreeIter *, gpointer)
{
    gtk_tree_view_expand_row(GTK_TREE_VIEW(mn_info.tree), path, FALSE);
}

bool full_phase(size_t count, int rate, unsigned seed, uint32_t ids, const char *shown, const std::string &record_path,
                FullPhase *out)
{
    Emulator sim;
    out->stream.expected = data_reports(count, seed);
    std::vector<std::string> args = stream_args(count, rate, seed);
    args.push_back("--clock");
    args.push_back("0");
    if (ids > 0) {
        args.push_back("--ids");
        args.push_back(std::to_string(ids));
    }
    if (!sim.start(args))
        return false;
    bool first = false;
    if (!utility_on(sim.path, &first))
        return false;
    if (first) {
        char dir[] = "/tmp/velk-bench-dbc-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return false;
        const std::string path = std::string(dir) + "/full.dbc";
        FILE *f = std::fopen(path.c_str(), "w");
        if (f == nullptr)
            return false;
        const std::string text = full_dbc_text(count, seed, ids);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        std::string error;
        if (!gui::databases::add(path, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        unlink(path.c_str());
        rmdir(dir);
        g_signal_connect_after(gtk_tree_view_get_model(GTK_TREE_VIEW(mn_info.tree)), "row-has-child-toggled",
                               G_CALLBACK(expand_new_parent), nullptr);
    }
    plot_clear();
    for (int k = 0; k < 4; ++k)
        if (!plot_add_signal(("M" + std::to_string(k)).c_str(), ("S" + std::to_string(k)).c_str()))
            return false;
    gtk_button_clicked(GTK_BUTTON(mn_info.btn_clr));
    gtk_button_clicked(GTK_BUTTON(bs_info.btn_clr));
    int page = 0;
    if (std::strcmp(shown, "monitor") == 0)
        page = gtk_notebook_page_num(GTK_NOTEBOOK(tr_info.notebook), gtk_widget_get_parent(mn_info.swin));
    else if (std::strcmp(shown, "plot") == 0)
        page = -1;  // the last tab
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), page);
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    if (!pump_until([] { return is_connect; }, 5))
        return false;
    g_record_path = record_path;
    tr_dialog_run = answer_record_chooser;
    gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
    if (!rec_is_recording())
        return false;
    pump_for(0.3);
    // The same run's floor: everything on and connected, no frames yet.
    const double c0 = cpu_s(), w0 = now_s();
    pump_for(2);
    out->waiting_cpu_pct = (cpu_s() - c0) / (now_s() - w0) * 100;
    out->rss_start = rss_mb();
    const PlotStats before = plot_stats();
    // Each draw of the shown list view and of the whole window, whatever
    // asked for it.
    DrawClock view_clock(page == 0 ? bs_info.tree : mn_info.tree);
    DrawClock window_clock(windows->main_window);
    const double t0 = now_s();
    list_stream(&out->stream, &out->whole_cpu_pct, false);
    out->cpu_pct = out->stream.steady_cpu_pct;
    out->main_cpu_pct = out->stream.steady_main_pct;
    const double elapsed = now_s() - t0;
    view_clock.stop();
    window_clock.stop();
    out->view_draws_per_s = static_cast<double>(view_clock.draws) / elapsed;
    out->view_draw_ms = view_clock.ms_each();
    out->window_draws_per_s = static_cast<double>(window_clock.draws) / elapsed;
    out->window_draw_ms = window_clock.ms_each();
    const PlotStats after = plot_stats();
    out->rss_end = rss_mb();
    out->stall_ms = observer.max_gap * 1e3;
    out->redraws_per_s = static_cast<double>(after.redraws - before.redraws) / elapsed;
    out->batches_per_s = static_cast<double>(after.batches - before.batches) / elapsed;
    out->lag_p99_ms = static_cast<double>(after.lag_p99_us) / 1e3;
    out->lag_samples = after.lag_samples;
    disconnect();
    gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
    pump_until([] { return !rec_is_recording(); }, 10);
    mn_refresh();
    out->monitored = monitor_frames();
    velk::trace::Reader reader;
    velk::trace::Frame f;
    if (reader.open(record_path, velk::trace::Format::CandumpLog, {}))
        while (reader.next(&f) > 0)
            out->recorded += f.error ? 0 : 1;
    unlink(record_path.c_str());
    return true;
}

gboolean keep_ticking(gpointer)
{
    return G_SOURCE_CONTINUE;
}

gboolean end_main_loop(gpointer)
{
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

// Processor use (% of one core) of a child process that shows an empty GTK
// window and runs its main loop with only a 1 ms timeout for `seconds`: what
// the utility's 1 ms drain timer costs on this machine before any work.
// Forked before this process starts GTK; -1 when it could not run.
double bare_timer_floor_pct(int seconds)
{
    int out[2];
    if (pipe(out) != 0)
        return -1;
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        close(out[0]);
        double pct = -1;
        if (gtk_init_check(nullptr, nullptr)) {
            GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
            gtk_widget_show_all(window);
            while (gtk_events_pending())
                gtk_main_iteration();
            g_timeout_add(1, keep_ticking, nullptr);
            g_timeout_add(static_cast<guint>(seconds) * 1000, end_main_loop, nullptr);
            const double c0 = cpu_s(), t0 = now_s();
            gtk_main();
            pct = (cpu_s() - c0) / (now_s() - t0) * 100;
        }
        const ssize_t wrote = write(out[1], &pct, sizeof(pct));
        _exit(wrote == static_cast<ssize_t>(sizeof(pct)) ? 0 : 1);
    }
    close(out[1]);
    double pct = -1;
    if (read(out[0], &pct, sizeof(pct)) != static_cast<ssize_t>(sizeof(pct)))
        pct = -1;
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return pct;
}

int run_full(int rate, int seconds, const char *only, bool any_id)
{
    const double bare_floor = bare_timer_floor_pct(std::min(seconds, 5));
    // A bus of 100 standard messages, the database's, and 100 extended ones;
    // or every identifier (thousands of monitor rows).
    const uint32_t ids = any_id ? 0 : 100;
    char dir[] = "/tmp/velk-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const size_t count = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
    const std::string tag = std::to_string(rate) + " reports/s for " + std::to_string(seconds) + " s";
    // The goals at full rate and at a tenth of it.
    const double cpu_goal = rate >= 20000 ? 35 : 8;
    int failed = 0;
    for (const char *shown : {"frame list", "monitor", "plot"}) {
        if (only != nullptr && std::strstr(shown, only) == nullptr)
            continue;
        FullPhase p;
        if (!full_phase(count, rate, 25, ids, shown, std::string(dir) + "/full.log", &p)) {
            failed = 1;
            break;
        }
        const std::string what = std::string("utility, everything on (list, monitor of 100 messages expanded, "
                                             "4 signals plotted, recording), ") +
                                 (any_id ? "any identifier, " : "bus of 200 messages, ") + shown + " shown, " + tag;
        const long long listed = static_cast<long long>(p.stream.listed);
        const long long lost = static_cast<long long>(p.stream.expected) - listed;
        row(what + ", frames lost (not listed, not monitored, not recorded)",
            static_cast<double>(std::max(lost, 0LL) + std::llabs(p.monitored - listed) + std::llabs(p.recorded - listed)),
            "frames",
            "must be 0 of " + std::to_string(p.stream.expected) + " (listed " + std::to_string(listed) +
                ", monitored " + std::to_string(p.monitored) + ", recorded " + std::to_string(p.recorded) + ")",
            0);
        row(what + ", processor use of the utility, from the stream's second second on", p.cpu_pct, "% of one core",
            "goal " + std::to_string(static_cast<int>(cpu_goal)) + " %", cpu_goal);
        row(what + ", processor use over the whole stream, with the end of the start of CAN and the views' first rows",
            p.whole_cpu_pct, "% of one core", "from the second second on", p.cpu_pct);
        row(what + ", of which the main loop", p.main_cpu_pct, "% of one core", "the whole utility", p.cpu_pct);
        row(what + ", processor use connected before the stream (the same run's floor)", p.waiting_cpu_pct,
            "% of one core", "while streaming", p.cpu_pct);
        if (bare_floor > 0)
            row(what + ", a bare GTK window with only a 1 ms timeout, same run", bare_floor, "% of one core",
                "the utility connected before the stream", p.waiting_cpu_pct);
        row(what + ", longest main-loop stall", p.stall_ms, "ms", "goal 50 ms", 50);
        char drawing[96];
        std::snprintf(drawing, sizeof drawing, "%.2f ms each, %.2f %% of one core", p.window_draw_ms,
                      p.window_draws_per_s * p.window_draw_ms / 10);
        row(what + ", drawings of the window, and the processor time of one", p.window_draws_per_s, "per s", drawing, 0);
        if (std::strcmp(shown, "plot") != 0) {
            std::snprintf(drawing, sizeof drawing, "%.2f ms each", p.view_draw_ms);
            row(what + ", draws of the list view, and the processor time of one", p.view_draws_per_s, "per s",
                drawing, 0);
        } else {
            // Only new points are drawn: compared with the batches of new
            // points (goal 25 per s where points come that often).
            row(what + ", plot redraws", p.redraws_per_s, "per s", "batches of new points per s", p.batches_per_s);
            row(what + ", sample arrival to drawn, 99th percentile of " + std::to_string(p.lag_samples) + " drawings",
                p.lag_p99_ms, "ms", "goal 100 ms", 100);
        }
        row(what + ", resident size after the stream", p.rss_end, "MB", "before it", p.rss_start);
    }
    rmdir(dir);
    return failed;
}

int usage()
{
    std::fprintf(stderr, "usage: bench_utility load RATE SECONDS | idle SECONDS | memory FRAMES | soak SECONDS | "
                         "stalls ROUNDS | trace RATE SECONDS | plot RATE SECONDS | full RATE SECONDS [TAB] [any]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    std::string mode = argv[1];
    long a = std::strtol(argv[2], nullptr, 10);
    long b = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (a <= 0)
        return usage();
    // A dead emulator must not end the utility with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    if (mode == "load" && b > 0)
        return run_load(static_cast<int>(a), static_cast<int>(b));
    if (mode == "idle")
        return run_idle(static_cast<int>(a));
    if (mode == "memory")
        return run_memory(static_cast<size_t>(a));
    if (mode == "soak")
        return run_soak(static_cast<int>(a));
    if (mode == "stalls")
        return run_stalls(static_cast<int>(a));
    if (mode == "trace" && b > 0)
        return run_trace(static_cast<int>(a), static_cast<int>(b));
    if (mode == "plot" && b > 0)
        return run_plot(static_cast<int>(a), static_cast<int>(b));
    if (mode == "full" && b > 0)
    {
        const char *only = nullptr;
        bool any_id = false;
        for (int i = 4; i < argc; ++i) {
            if (std::strcmp(argv[i], "any") == 0)
                any_id = true;
            else
                only = argv[i];
        }
        return run_full(static_cast<int>(a), static_cast<int>(b), only, any_id);
    }
    return usage();
}
