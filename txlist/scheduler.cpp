// The transmit list's scheduler thread: earliest deadline first over the
// enabled entries, deadlines on each entry's fixed grid, the frame built
// under the lock and sent without it (the library's pacing pause blocks).
#include <algorithm>
#include <cstdio>

#include "txlist.h"

namespace velk::txlist {

std::string PacingReport::text(const int pause_us[2]) const
{
    std::string s;
    for (int c = 0; c < 2; ++c) {
        if (offered[c] <= bound[c])
            continue;
        char buf[160];
        std::snprintf(buf, sizeof(buf), "%sCAN%d: %.0f frames/s offered, %.0f allowed by its %d us pause",
                      s.empty() ? "" : "; ", c + 1, offered[c], bound[c], pause_us[c]);
        s += buf;
    }
    return s;
}

uint64_t Scheduler::late_tolerance_us(uint64_t cycle_us)
{
    return std::min<uint64_t>(2000, cycle_us / 2);
}

Scheduler::Scheduler(Clock &clock, SendFn send) : clock_(clock), send_(std::move(send)) {}

Scheduler::~Scheduler()
{
    stop();
}

void Scheduler::activate(Slot &s, uint64_t now)
{
    s.origin = now;
    s.k = 0;
    s.active = s.entry.enabled && (s.entry.count == 0 || s.st.sent + s.st.refused < s.entry.count);
    s.st.running = s.active;
}

Scheduler::Slot &Scheduler::new_slot(const Entry &e)
{
    slots_.push_back(Slot{});
    slots_.back().entry = e;
    slots_.back().uid = next_uid_++;
    return slots_.back();
}

void Scheduler::set_list(const List &list)
{
    std::lock_guard<std::mutex> g(m_);
    dbc_path_ = list.dbc_path;
    db_ = list.db;
    slots_.clear();
    const uint64_t now = run_ ? clock_.now_us() : 0;
    for (const Entry &e : list.entries) {
        Slot &s = new_slot(e);
        if (run_)
            activate(s, now);
    }
    cv_.notify_all();
}

void Scheduler::set_other_databases(std::vector<std::shared_ptr<const dbc::Database>> dbs)
{
    std::lock_guard<std::mutex> g(m_);
    other_dbs_ = std::move(dbs);
}

void Scheduler::update(size_t index, const Entry &e)
{
    std::lock_guard<std::mutex> g(m_);
    if (index >= slots_.size())
        return;
    Slot &s = slots_[index];
    const bool was_enabled = s.entry.enabled;
    if (s.active && e.cycle_us != s.entry.cycle_us) {
        // The next deadline stays; the new cycle's grid starts from it.
        s.origin = deadline(s);
        s.k = 0;
    }
    s.entry = e;
    if (run_ && e.enabled != was_enabled) {
        if (e.enabled)
            activate(s, clock_.now_us());
        else
            s.active = s.st.running = false;
    } else if (run_ && s.active && e.count != 0 && s.st.sent + s.st.refused >= e.count) {
        s.active = s.st.running = false;
    } else if (run_ && !s.active && e.enabled && (e.count == 0 || s.st.sent + s.st.refused < e.count)) {
        // A count raised (or removed) after the entry had ended: it goes on.
        s.st.running = s.active = true;
        s.origin = clock_.now_us();
        s.k = 0;
    }
    cv_.notify_all();
}

size_t Scheduler::add(const Entry &e)
{
    std::lock_guard<std::mutex> g(m_);
    Slot &s = new_slot(e);
    if (run_)
        activate(s, clock_.now_us());
    cv_.notify_all();
    return slots_.size() - 1;
}

void Scheduler::remove(size_t index)
{
    std::lock_guard<std::mutex> g(m_);
    if (index < slots_.size())
        slots_.erase(slots_.begin() + static_cast<long>(index));
    cv_.notify_all();
}

void Scheduler::set_enabled(size_t index, bool on)
{
    std::lock_guard<std::mutex> g(m_);
    if (index >= slots_.size())
        return;
    Slot &s = slots_[index];
    s.entry.enabled = on;
    if (on) {
        // Starting again also starts its count again.
        s.st.sent = s.st.refused = 0;
        if (run_)
            activate(s, clock_.now_us());
    } else {
        s.active = s.st.running = false;
    }
    cv_.notify_all();
}

void Scheduler::send_now(size_t index)
{
    std::lock_guard<std::mutex> g(m_);
    if (index < slots_.size())
        slots_[index].now = true;
    cv_.notify_all();
}

PacingReport Scheduler::pacing(const int pause_us[2]) const
{
    std::lock_guard<std::mutex> g(m_);
    PacingReport r;
    for (const Slot &s : slots_)
        if (s.entry.enabled && s.entry.cycle_us > 0 && (s.entry.channel == 0 || s.entry.channel == 1))
            r.offered[s.entry.channel] += 1e6 / static_cast<double>(s.entry.cycle_us);
    for (int c = 0; c < 2; ++c)
        r.bound[c] = pause_us[c] > 0 ? 1e6 / pause_us[c] : 1e9;
    return r;
}

void Scheduler::start()
{
    std::lock_guard<std::mutex> g(m_);
    if (run_)
        return;
    const uint64_t now = clock_.now_us();
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot &s = slots_[i];
        s.st = EntryStats{};
        s.recent_n = 0;
        s.cycles = 0;
        activate(s, now + (s.entry.cycle_us > 0 ? i * phase_step_ % s.entry.cycle_us : 0));
    }
    run_ = true;
    thread_ = std::thread(&Scheduler::run, this);
}

void Scheduler::set_phase_step(uint64_t us)
{
    std::lock_guard<std::mutex> g(m_);
    phase_step_ = us;
}

void Scheduler::stop()
{
    std::thread t;
    {
        std::lock_guard<std::mutex> g(m_);
        run_ = false;
        for (Slot &s : slots_)
            s.active = s.st.running = false;
        cv_.notify_all();
        t = std::move(thread_);
    }
    if (t.joinable())
        t.join();
}

bool Scheduler::running() const
{
    std::lock_guard<std::mutex> g(m_);
    return run_;
}

bool Scheduler::finished() const
{
    std::lock_guard<std::mutex> g(m_);
    for (const Slot &s : slots_)
        if (s.active || s.now)
            return false;
    return true;
}

std::vector<EntryStats> Scheduler::stats() const
{
    std::lock_guard<std::mutex> g(m_);
    std::vector<EntryStats> out;
    for (const Slot &s : slots_)
        out.push_back(s.st);
    return out;
}

size_t Scheduler::size() const
{
    std::lock_guard<std::mutex> g(m_);
    return slots_.size();
}

List Scheduler::list() const
{
    std::lock_guard<std::mutex> g(m_);
    List l;
    l.dbc_path = dbc_path_;
    l.db = db_;
    for (const Slot &s : slots_)
        l.entries.push_back(s.entry);
    return l;
}

void Scheduler::note_sent(Slot &s, uint64_t at)
{
    s.recent[s.recent_n % 16] = at;
    ++s.recent_n;
    const int n = std::min(s.recent_n, 16);
    if (n >= 2) {
        const uint64_t newest = s.recent[(s.recent_n - 1) % 16];
        const uint64_t oldest = s.recent[(s.recent_n - n) % 16];
        s.st.period_us = static_cast<double>(newest - oldest) / (n - 1);
    }
}

void Scheduler::run()
{
    prepare_sender_thread();
    std::unique_lock<std::mutex> lk(m_);
    while (run_) {
        // The earliest deadline; a pending send-now goes first.
        Slot *next = nullptr;
        bool now_pending = false;
        uint64_t due = 0;
        for (Slot &s : slots_) {
            if (s.now) {
                next = &s;
                now_pending = true;
                break;
            }
            if (s.active && (next == nullptr || deadline(s) < due)) {
                next = &s;
                due = deadline(s);
            }
        }
        if (next == nullptr) {
            clock_.wait_until(lk, cv_, kForever);
            continue;
        }
        const uint64_t now = clock_.now_us();
        if (!now_pending && now < due) {
            clock_.wait_until(lk, cv_, due);
            continue;
        }
        Slot *sp = next;
        const uint64_t uid = next->uid;
        bool late = false;
        if (now_pending) {
            sp->now = false;
        } else {
            const uint64_t cycle = sp->entry.cycle_us;
            if (now - due >= cycle) {
                // More than a cycle behind: the passed deadlines are skipped
                // (and counted), the grid is kept.
                const uint64_t missed = (now - due) / cycle;
                sp->st.skipped += missed;
                sp->k += missed;
            }
            late = now - deadline(*sp) > late_tolerance_us(cycle);
            ++sp->k;
        }
        CAN_FRAME_INFO frame;
        std::string why;
        const bool built = build_frame(sp->entry, database_for(sp->entry, db_.get(), other_dbs_), sp->cycles++, &frame,
                                       &why);
        lk.unlock();
        const int r = built ? send_(frame) : 1;
        lk.lock();
        // The list may have changed while the lock was free.
        auto it = std::find_if(slots_.begin(), slots_.end(), [uid](const Slot &x) { return x.uid == uid; });
        if (it == slots_.end())
            continue;
        Slot &s = *it;
        if (r == 0) {
            ++s.st.sent;
            if (late)
                ++s.st.late;
            note_sent(s, now);
        } else {
            ++s.st.refused;
        }
        if (!now_pending && s.entry.count != 0 && s.st.sent + s.st.refused >= s.entry.count)
            s.active = s.st.running = false;
    }
}

}  // namespace velk::txlist
