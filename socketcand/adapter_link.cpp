// The adapter's receive and transmit threads and its return after an unplug.
#include "adapter_link.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "adapter_time.h"
#include "net_frame.h"

namespace velk::netd {
namespace {

constexpr const char kProg[] = "velk_socketcand";
constexpr unsigned kBatch = 64;
// The receive call returns at least this often, to see a stop.
constexpr unsigned kWaitMs = 20;
constexpr uint32_t kNoTimestamp = 0xFFFFFFFF;

}  // namespace

AdapterLink::AdapterLink(const LinkOptions &o) : o_(o)
{
    event_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

AdapterLink::~AdapterLink()
{
    stop();
    if (event_fd_ >= 0)
        close(event_fd_);
}

std::string AdapterLink::device() const
{
    std::lock_guard<std::mutex> l(device_mutex_);
    return device_.empty() ? o_.port_name : device_;
}

void AdapterLink::set_device()
{
    std::lock_guard<std::mutex> l(device_mutex_);
    device_ = comports[port_];
}

int AdapterLink::channel_of(const std::string &name) const
{
    for (int c = 0; c < 2; ++c)
        if (o_.served[c] && o_.names[c] == name)
            return c;
    return -1;
}

int AdapterLink::start()
{
    if (event_fd_ < 0) {
        std::fprintf(stderr, "%s: eventfd: %s\n", kProg, std::strerror(errno));
        return tools::kFailed;
    }
    const int status = tools::connect(kProg, o_.port_name.c_str(), o_.setup, o_.served[0], o_.served[1], &port_);
    if (status != tools::kOk)
        return status;
    set_device();
    up_ = true;
    rx_thread_ = std::thread([this] { receive_loop(); });
    tx_thread_ = std::thread([this] { transmit_loop(); });
    return tools::kOk;
}

void AdapterLink::stop()
{
    stop_ = true;
    {
        std::lock_guard<std::mutex> l(tx_mutex_);
        tx_cv_.notify_all();
    }
    {
        std::lock_guard<std::mutex> l(wait_mutex_);
        wait_cv_.notify_all();
    }
    if (rx_thread_.joinable())
        rx_thread_.join();
    if (tx_thread_.joinable())
        tx_thread_.join();
    std::lock_guard<std::mutex> l(port_mutex_);
    if (up_.exchange(false))
        VELKCloseDevice(port_);
}

void AdapterLink::push_all(std::vector<LinkEvent> *events)
{
    if (events->empty())
        return;
    {
        std::lock_guard<std::mutex> l(events_mutex_);
        for (LinkEvent &e : *events) {
            // Gone and Back are never dropped: the loop must see them.
            if (events_.size() >= o_.event_queue && (e.kind == LinkEvent::Received || e.kind == LinkEvent::Sent)) {
                ++events_dropped_;
                continue;
            }
            events_.push_back(e);
        }
    }
    events->clear();
    const uint64_t one = 1;
    // The counter only has to be non-zero; a full counter is readable too.
    [[maybe_unused]] ssize_t n = write(event_fd_, &one, sizeof one);
}

void AdapterLink::push(LinkEvent e)
{
    std::vector<LinkEvent> v{e};
    push_all(&v);
}

void AdapterLink::take(std::vector<LinkEvent> *out)
{
    uint64_t count;
    [[maybe_unused]] ssize_t n = read(event_fd_, &count, sizeof count);
    std::lock_guard<std::mutex> l(events_mutex_);
    if (out->empty())
        out->swap(events_);
    else {
        out->insert(out->end(), events_.begin(), events_.end());
        events_.clear();
    }
}

bool AdapterLink::open_adapter_now()
{
    int p;
    std::string why;
    // Only a device that exists again is opened: the attempt costs the open's
    // status queries and its messages otherwise.
    if (!tools::port_for(o_.port_name.c_str(), &p, &why) || access(comports[p], F_OK) != 0)
        return false;
    std::lock_guard<std::mutex> l(port_mutex_);
    if (tools::connect(kProg, o_.port_name.c_str(), o_.setup, o_.served[0], o_.served[1], &port_) != tools::kOk)
        return false;
    set_device();
    up_ = true;
    return true;
}

void AdapterLink::receive_loop()
{
    CAN_FRAME_INFO batch[kBatch];
    trace::AdapterClock clock;
    std::vector<LinkEvent> out;
    out.reserve(kBatch);
    while (!stop_) {
        if (!up_) {
            if (open_adapter_now()) {
                std::fprintf(stderr, "%s: the adapter at %s is back\n", kProg, device().c_str());
                clock = trace::AdapterClock();
                LinkEvent e;
                e.kind = LinkEvent::Back;
                push(e);
                continue;
            }
            std::unique_lock<std::mutex> l(wait_mutex_);
            wait_cv_.wait_for(l, std::chrono::milliseconds(o_.reopen_ms), [this] { return stop_.load(); });
            continue;
        }
        std::memset(batch, 0, sizeof batch);
        for (CAN_FRAME_INFO &r : batch)
            r.timestamp.micro_second = kNoTimestamp;
        // Waits for the first record only, then takes what else has arrived
        // without waiting: a batch never holds a frame back for the next.
        NON_BLOCK_INFO nb;
        nb.cnt = 1;
        nb.interval = kWaitMs;
        nb.can_frame_info = batch;
        int n = VELKReceiveNonblock(port_, &nb);
        while (n > 0 && n < static_cast<int>(kBatch) && VELKReceive_CANFD(port_, &batch[n]) == 1)
            ++n;
        const int64_t wall = tools::wall_us();
        const int64_t mono = tools::mono_us();
        for (int i = 0; i < n; ++i) {
            const CAN_FRAME_INFO &r = batch[i];
            if (r.msg_type != VELK_DATA_TYPE || (r.CAN_port != 0 && r.CAN_port != 1) || !o_.served[r.CAN_port])
                continue;
            trace::Frame t = trace::frame_of(r);
            clock.stamp(r.timestamp, r.recv_time, &t, wall);
            LinkEvent e;
            e.channel = r.CAN_port;
            e.frame = net_frame_of(t);
            if (t.has_adapter_time) {
                e.sec = t.sec;
                e.usec = t.usec;
            } else {
                // The library's time of day has milliseconds only.
                e.sec = wall / 1000000;
                e.usec = static_cast<uint32_t>(wall % 1000000);
            }
            e.mono_us = mono;
            out.push_back(e);
        }
        push_all(&out);
        if (n == 0 && VELKCheckDevice(port_) != 0) {
            {
                std::lock_guard<std::mutex> l(port_mutex_);
                up_ = false;
                VELKCloseDevice(port_);
            }
            std::fprintf(stderr, "%s: the adapter at %s has gone\n", kProg, device().c_str());
            {
                std::lock_guard<std::mutex> l(tx_mutex_);
                tx_.clear();
            }
            LinkEvent e;
            e.kind = LinkEvent::Gone;
            push(e);
        }
    }
}

bool AdapterLink::send(int channel, const NetFrame &f, uint64_t origin)
{
    if (!up_ || channel < 0 || channel > 1 || !o_.served[channel])
        return false;
    std::lock_guard<std::mutex> l(tx_mutex_);
    if (tx_.size() >= o_.tx_queue) {
        ++tx_full_;
        return false;
    }
    tx_.push_back(TxItem{channel, f, origin});
    tx_cv_.notify_one();
    return true;
}

void AdapterLink::transmit_loop()
{
    while (!stop_) {
        TxItem item;
        {
            std::unique_lock<std::mutex> l(tx_mutex_);
            tx_cv_.wait(l, [this] { return stop_.load() || !tx_.empty(); });
            if (stop_)
                return;
            item = tx_.front();
            tx_.pop_front();
        }
        CAN_FRAME_INFO r = trace::record_of(trace_frame_of(item.channel, item.frame));
        bool sent = false;
        {
            std::lock_guard<std::mutex> l(port_mutex_);
            if (up_)
                sent = (item.frame.fd ? VELKSend_CANFD(port_, &r) : VELKSend(port_, &r)) == 0;
        }
        LinkEvent e;
        e.kind = sent ? LinkEvent::Sent : LinkEvent::Refused;
        e.channel = item.channel;
        e.frame = item.frame;
        const int64_t wall = tools::wall_us();
        e.sec = wall / 1000000;
        e.usec = static_cast<uint32_t>(wall % 1000000);
        e.mono_us = tools::mono_us();
        e.origin = item.origin;
        push(e);
    }
}

}  // namespace velk::netd
