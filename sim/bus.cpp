// Loopback between an adapter's own channels, the shared CAN bus between
// emulated adapters, and the adapter's side of that bus.
#include "bus.h"

#include <algorithm>

#include "sim_internal.h"

namespace velk::sim {

// ---- loopback ----

void Adapter::set_loopback(bool on)
{
    std::lock_guard<std::mutex> lk(mu_);
    loopback_ = on;
}

// CAN1 and CAN2 wired to one bus: what the host sends on one channel is
// received on the other, with the adapter's timestamp.
void Adapter::loop_back(const Bytes &f)
{
    end_stream_report();
    const int ch = (f[1] & 3) - 1;
    if (ch == 0 || ch == 1)
        queue(report_for(f, 1 - ch), 1, 0);
}

// The report of a host data frame as received on `channel` now: 0xE0 comes
// as 0xE2, 0xF0 as 0xF1, with the adapter's timestamp.
Bytes Adapter::report_for(const Bytes &f, int channel)
{
    const bool fd = f[0] == wire::kFdFrame.code;
    const wire::DataLayout &from = fd ? wire::kFdFrame : wire::kClassicFrame;
    const wire::DataLayout &to = fd ? wire::kFdReport : wire::kStampedReport;
    const uint8_t head[2] = {to.code, static_cast<uint8_t>((f[1] & ~3) | (channel + 1))};
    Bytes b(static_cast<size_t>(wire::report_length(head) - wire::kTrailerLen), 0);
    std::copy_n(head, 2, b.begin());
    if (fd)
        b[static_cast<size_t>(to.fd_flags_at)] = f[static_cast<size_t>(from.fd_flags_at)];
    const int64_t t = clock_us();
    put_le32(&b[static_cast<size_t>(to.stamp_at)], static_cast<uint32_t>(t / 1000000));
    put_le32(&b[static_cast<size_t>(to.stamp_at) + 4], static_cast<uint32_t>(t % 1000000));
    // Identifier and payload.
    std::copy(f.begin() + from.id_at, f.end() - wire::kTrailerLen, b.begin() + to.id_at);
    seal(b);
    return b;
}

void Adapter::set_clock(long ppm, int64_t jump_us, long every)
{
    std::lock_guard<std::mutex> lk(mu_);
    clock_set_ = true;
    clock_ppm_ = ppm;
    clock_jump_us_ = jump_us;
    clock_every_ = every;
    clock_stamps_ = 0;
    clock_jumped_us_ = 0;
}

// The adapter's clock now (mu_ held); never below 1 us, as a zero
// timestamp means none.
int64_t Adapter::clock_read() const
{
    const int64_t run = now_us() - start_us_;
    return std::max<int64_t>(run + run * clock_ppm_ / 1000000 + clock_jumped_us_, 1);
}

// The adapter's time of a timestamp given now (mu_ held): every `every`
// timestamps the clock jumps.
int64_t Adapter::clock_us()
{
    const int64_t t = clock_read();
    if (clock_every_ > 0 && ++clock_stamps_ % clock_every_ == 0)
        clock_jumped_us_ += clock_jump_us_;
    return t;
}

int64_t Adapter::clock_now_us()
{
    std::lock_guard<std::mutex> lk(mu_);
    return clock_read();
}

// ---- the adapter's side of the bus ----

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
