// The broadcast manager's cyclic sends on the transmit list's scheduler.
#include "cyclic.h"

#include <algorithm>

#include "net_frame.h"

namespace velk::netd {
namespace {

txlist::Entry entry_of(int channel, const NetFrame &f, uint64_t cycle_us)
{
    txlist::Entry e;
    e.channel = channel;
    e.cycle_us = cycle_us;
    e.count = 0;  // until deleted
    e.frame = trace_frame_of(channel, f);
    return e;
}

}  // namespace

int ScheduledCyclicJobs::Client::find(const Key &k) const
{
    for (size_t i = 0; i < jobs.size(); ++i)
        if (jobs[i].key == k)
            return static_cast<int>(i);
    return -1;
}

int ScheduledCyclicJobs::send_from(Client &c, const CAN_FRAME_INFO &r)
{
    std::lock_guard<std::mutex> g(c.m);
    // The entries have no counter or checksum: the frame built is the job's
    // frame. The job's own copy is sent, so that a frame built just before
    // an update goes out with the new bytes, and one of a job deleted
    // meanwhile not at all.
    const int i = c.find(Key{r.CAN_port, r.id, r.id_type == VELK_EID});
    if (i < 0)
        return 0;
    return send_(r.CAN_port, c.jobs[static_cast<size_t>(i)].frame, c.owner) ? 0 : 1;
}

void ScheduledCyclicJobs::recount()
{
    size_t n = 0;
    for (const auto &[owner, c] : clients_)
        n += c->jobs.size();  // `jobs` only changes on this, the loop's, thread
    count_ = n;
}

void ScheduledCyclicJobs::add(uint64_t owner, int channel, const NetFrame &f, int64_t interval_us)
{
    remove(owner, channel, f.id, f.extended);
    if (interval_us <= 0) {
        send_(channel, f, owner);
        return;
    }
    auto it = clients_.find(owner);
    if (it == clients_.end()) {
        auto c = std::make_unique<Client>();
        c->owner = owner;
        Client *cp = c.get();
        auto send = [this, cp](const CAN_FRAME_INFO &r) { return send_from(*cp, r); };
        c->sched = std::make_unique<txlist::Scheduler>(clock_, send);
        c->sched->start();
        it = clients_.emplace(owner, std::move(c)).first;
    }
    Client &c = *it->second;
    // The scheduler's shortest cycle; the adapter takes about one frame per
    // 100 us per channel anyway.
    const uint64_t cycle = std::max<uint64_t>(static_cast<uint64_t>(interval_us), txlist::kMinCycleUs);
    {
        std::lock_guard<std::mutex> g(c.m);
        c.jobs.push_back(Job{Key{channel, f.id, f.extended}, cycle, f});
    }
    // Running: the entry's first deadline is now.
    c.sched->add(entry_of(channel, f, cycle));
    recount();
}

bool ScheduledCyclicJobs::update(uint64_t owner, int channel, const NetFrame &f)
{
    auto it = clients_.find(owner);
    if (it == clients_.end())
        return false;
    Client &c = *it->second;
    const int i = c.find(Key{channel, f.id, f.extended});
    if (i < 0)
        return false;
    Job &j = c.jobs[static_cast<size_t>(i)];
    {
        std::lock_guard<std::mutex> g(c.m);
        j.frame = f;
    }
    // Same cycle: the entry keeps its deadlines and sends the new bytes from
    // its next one.
    c.sched->update(static_cast<size_t>(i), entry_of(channel, f, j.cycle_us));
    return true;
}

void ScheduledCyclicJobs::remove_at(std::map<uint64_t, std::unique_ptr<Client>>::iterator it, int i)
{
    Client &c = *it->second;
    {
        std::lock_guard<std::mutex> g(c.m);
        c.jobs.erase(c.jobs.begin() + i);
    }
    if (c.jobs.empty())
        clients_.erase(it);  // stops its scheduler and waits for its thread
    else
        c.sched->remove(static_cast<size_t>(i));
}

bool ScheduledCyclicJobs::remove(uint64_t owner, int channel, uint32_t id, bool extended)
{
    auto it = clients_.find(owner);
    if (it == clients_.end())
        return false;
    const int i = it->second->find(Key{channel, id, extended});
    if (i < 0)
        return false;
    remove_at(it, i);
    recount();
    return true;
}

void ScheduledCyclicJobs::remove_owner(uint64_t owner)
{
    clients_.erase(owner);
    recount();
}

void ScheduledCyclicJobs::remove_channel(int channel)
{
    for (auto it = clients_.begin(); it != clients_.end();) {
        auto next = std::next(it);
        Client &c = *it->second;
        for (int i = static_cast<int>(c.jobs.size()) - 1; i >= 0; --i)
            if (c.jobs[static_cast<size_t>(i)].key.channel == channel) {
                const bool last = c.jobs.size() == 1;
                remove_at(it, i);
                if (last)
                    break;  // c has gone with its last job
            }
        it = next;
    }
    recount();
}

}  // namespace velk::netd
