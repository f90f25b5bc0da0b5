// The poll loop's own scheduler of cyclic sends.
#include "cyclic.h"

#include <algorithm>

namespace velk::netd {

TimerCyclicJobs::Job *TimerCyclicJobs::find(uint64_t owner, int channel, uint32_t id, bool extended)
{
    for (Job &j : jobs_)
        if (j.owner == owner && j.channel == channel && j.frame.id == id && j.frame.extended == extended)
            return &j;
    return nullptr;
}

void TimerCyclicJobs::add(uint64_t owner, int channel, const NetFrame &f, int64_t interval_us)
{
    remove(owner, channel, f.id, f.extended);
    if (interval_us <= 0) {
        send_(channel, f, owner);
        return;
    }
    jobs_.push_back(Job{owner, channel, f, std::max(interval_us, kMinIntervalUs), now_()});
}

bool TimerCyclicJobs::update(uint64_t owner, int channel, const NetFrame &f)
{
    Job *j = find(owner, channel, f.id, f.extended);
    if (j == nullptr)
        return false;
    j->frame = f;
    return true;
}

bool TimerCyclicJobs::remove(uint64_t owner, int channel, uint32_t id, bool extended)
{
    const size_t before = jobs_.size();
    std::erase_if(jobs_, [&](const Job &j) {
        return j.owner == owner && j.channel == channel && j.frame.id == id && j.frame.extended == extended;
    });
    return jobs_.size() != before;
}

void TimerCyclicJobs::remove_owner(uint64_t owner)
{
    std::erase_if(jobs_, [&](const Job &j) { return j.owner == owner; });
}

void TimerCyclicJobs::remove_channel(int channel)
{
    std::erase_if(jobs_, [&](const Job &j) { return j.channel == channel; });
}

int64_t TimerCyclicJobs::next_due_us() const
{
    int64_t next = -1;
    for (const Job &j : jobs_)
        if (next < 0 || j.due_us < next)
            next = j.due_us;
    return next;
}

void TimerCyclicJobs::run_due(int64_t now_us)
{
    for (Job &j : jobs_) {
        if (j.due_us > now_us)
            continue;
        send_(j.channel, j.frame, j.owner);
        // A loop that was held up sends once and keeps the spacing from now,
        // rather than a burst of the sends it missed.
        j.due_us += j.interval_us;
        if (j.due_us <= now_us)
            j.due_us = now_us + j.interval_us;
    }
}

}  // namespace velk::netd
