#include "worker_support.h"

#include <chrono>

// The program's upcall; the tests record every snapshot.
void guiStatusUpdate(UPUI_INFO info)
{
    velk::wtest::StatusLog &log = velk::wtest::status_log();
    std::lock_guard<std::mutex> lock(log.m);
    log.snapshots.push_back(info);
    log.threads.push_back(std::this_thread::get_id());
}

namespace velk::wtest {

StatusLog &status_log()
{
    static StatusLog log;
    return log;
}

size_t StatusLog::count()
{
    std::lock_guard<std::mutex> lock(m);
    return snapshots.size();
}

UPUI_INFO StatusLog::last()
{
    std::lock_guard<std::mutex> lock(m);
    return snapshots.back();
}

void StatusLog::clear()
{
    std::lock_guard<std::mutex> lock(m);
    snapshots.clear();
    threads.clear();
}

static TextSink *g_sink = nullptr;

TextSink::TextSink() : ctx_(g_main_context_new())
{
    g_sink = this;
    apipart_set_status_sink(ctx_, on_text);
}

TextSink::~TextSink()
{
    apipart_set_status_sink(nullptr, nullptr);
    pump();
    g_sink = nullptr;
    g_main_context_unref(ctx_);
}

void TextSink::on_text(int label, const char *text)
{
    if (g_sink != nullptr)
        g_sink->texts.push_back({label, text, std::this_thread::get_id()});
}

void TextSink::pump()
{
    while (g_main_context_iteration(ctx_, FALSE)) {
    }
}

bool TextSink::wait_texts(size_t n, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (texts.size() < n) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        // Blocks until a source is ready; the worker's delivery source wakes it.
        // A timeout source bounds the wait.
        GSource *t = g_timeout_source_new(10);
        g_source_set_callback(t, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(t, ctx_);
        g_main_context_iteration(ctx_, TRUE);
        g_source_destroy(t);
        g_source_unref(t);
    }
    return true;
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

static void collect(const UPBS_INFO *entry, bool is_recv, void *user)
{
    auto *d = static_cast<Drained *>(user);
    (is_recv ? d->received : d->sent).push_back(*entry);
    d->order.push_back(is_recv);
}

int drain_once(Drained *d)
{
    return upbs_drain(collect, d);
}

bool drain_until(Drained *d, size_t sent, size_t received, int timeout_ms)
{
    return wait_until(
        [&] {
            drain_once(d);
            return d->sent.size() >= sent && d->received.size() >= received;
        },
        timeout_ms);
}

std::vector<unsigned int> wire_ids(const std::vector<sim::Bytes> &frames)
{
    std::vector<unsigned int> ids;
    for (const sim::Bytes &f : frames) {
        size_t at = 0;
        if (f.size() >= 6 && f[0] == 0xE0)
            at = 2;
        else if (f.size() >= 7 && f[0] == 0xF0)
            at = 3;
        else
            continue;
        ids.push_back((unsigned(f[at]) << 24) | (unsigned(f[at + 1]) << 16) | (unsigned(f[at + 2]) << 8) |
                      unsigned(f[at + 3]));
    }
    return ids;
}

void unmap_all_ports()
{
    static std::string names[VELK_PORT_COUNT];
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        names[i] = "/nonexistent/velk-worker-port-" + std::to_string(i);
        comports[i] = names[i].c_str();
    }
}

MappedAdapter::MappedAdapter(int index)
{
    unmap_all_ports();
    if (!sim_.start())
        return;
    path_ = sim_.slave_path();
    comports[index] = path_.c_str();
    ok_ = true;
}

MappedAdapter::~MappedAdapter()
{
    sim_.stop();
}

bool wait_send_done(int timeout_ms)
{
    return wait_until([] { return !apipart_send_worker_alive(); }, timeout_ms);
}

void ManualClock::wait_until(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, uint64_t t_us)
{
    {
        std::lock_guard<std::mutex> g(m_);
        waiter_m_ = lk.mutex();
        waiter_cv_ = &cv;
        waiting_for_ = t_us;
        waited_at_ = now_.load();
    }
    // advance() takes the scheduler's lock before it notifies, so a time
    // moved after this check still wakes the wait.
    if (now_.load() < t_us)
        cv.wait(lk);
    std::lock_guard<std::mutex> g(m_);
    waiting_for_ = 0;
}

void ManualClock::advance(uint64_t us)
{
    now_ += us;
    std::mutex *m;
    std::condition_variable *cv;
    {
        std::lock_guard<std::mutex> g(m_);
        m = waiter_m_;
        cv = waiter_cv_;
    }
    if (m != nullptr) {
        std::lock_guard<std::mutex> g(*m);
        cv->notify_all();
    }
}

bool ManualClock::waiting() const
{
    std::lock_guard<std::mutex> g(m_);
    // A wait entered before the last advance may not
    // have seen it yet.
    const uint64_t now = now_.load();
    return waiting_for_ > now && waited_at_ == now;
}

bool ManualClock::run_for(uint64_t us, uint64_t step)
{
    for (uint64_t done = 0; done < us; done += step) {
        advance(step);
        if (!velk::wtest::wait_until([this] { return waiting(); }, 10000))
            return false;
    }
    return true;
}

txlist::SendFn SendLog::fn()
{
    return [this](const CAN_FRAME_INFO &f) {
        if (refuse.load())
            return 1;
        std::lock_guard<std::mutex> g(m_);
        sent_.push_back({clock_.now_us(), f});
        return 0;
    };
}

std::vector<SendLog::Sent> SendLog::sent()
{
    std::lock_guard<std::mutex> g(m_);
    return sent_;
}

size_t SendLog::count()
{
    std::lock_guard<std::mutex> g(m_);
    return sent_.size();
}

}  // namespace velk::wtest
