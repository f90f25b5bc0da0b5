// The shared CAN bus between emulated adapters, and the adapter's side of it.
#include "bus.h"

#include <algorithm>

namespace velk::sim {

// ---- the adapter's side ----

void Adapter::set_bus_tap(BusTap tap)
{
    std::lock_guard<std::mutex> t(tap_mu_);
    tap_ = std::move(tap);
    std::lock_guard<std::mutex> lk(mu_);
    bus_wired_ = static_cast<bool>(tap_);
    bus_out_.clear();
}

void Adapter::receive_from_bus(int channel, const Bytes &frame)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        if ((channel != 0 && channel != 1) || !running_ || !state_.active[channel])
            return;
        queue(report_for(frame, channel), 1, 0);
    }
    wake();
}

// Hands the host's frames to the bus outside the state lock: the other end
// takes its own lock to queue the report.
void Adapter::forward_to_bus()
{
    std::vector<std::pair<int, Bytes>> out;
    {
        std::lock_guard<std::mutex> lk(mu_);
        out.swap(bus_out_);
    }
    if (out.empty())
        return;
    std::lock_guard<std::mutex> t(tap_mu_);
    if (tap_)
        for (const auto &[channel, frame] : out)
            tap_(channel, frame);
}

// ---- the bus ----

Bus::~Bus()
{
    clear();
}

void Bus::wire(Adapter &a, int ch_a, Adapter &b, int ch_b)
{
    std::vector<Adapter *> hook;
    {
        std::lock_guard<std::mutex> lk(mu_);
        wires_.push_back({{&a, ch_a}, {&b, ch_b}});
        for (Adapter *x : {&a, &b}) {
            if (std::find(hooked_.begin(), hooked_.end(), x) == hooked_.end()) {
                hooked_.push_back(x);
                hook.push_back(x);
            }
        }
    }
    // Outside mu_: a tap that is running holds its adapter's tap lock and
    // then takes mu_ in route().
    for (Adapter *x : hook)
        x->set_bus_tap([this, x](int channel, const Bytes &frame) { route(x, channel, frame); });
}

void Bus::clear()
{
    std::vector<Adapter *> hooked;
    {
        std::lock_guard<std::mutex> lk(mu_);
        hooked.swap(hooked_);
    }
    for (Adapter *x : hooked)
        x->set_bus_tap(nullptr);
    std::lock_guard<std::mutex> lk(mu_);
    wires_.clear();
}

void Bus::route(Adapter *from, int channel, const Bytes &frame)
{
    std::lock_guard<std::mutex> lk(mu_);
    for (const auto &[a, b] : wires_) {
        if (a.adapter == from && a.channel == channel)
            b.adapter->receive_from_bus(b.channel, frame);
        if (b.adapter == from && b.channel == channel)
            a.adapter->receive_from_bus(a.channel, frame);
    }
}

}  // namespace velk::sim
