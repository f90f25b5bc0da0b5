// The record of what the host wrote: every frame in order with its checksum
// verdict, every byte, the bytes skipped while resynchronising and the
// values of the virtual COM set commands.
#include "sim_internal.h"

namespace velk::sim {

void Adapter::record(const Bytes &f, bool sum_ok)
{
    frames_.push_back(f);
    frames_ok_.push_back(sum_ok);
    if (f[0] == 'N')
        vcom_sets_.push_back(f[1]);
    cv_.notify_all();
}

void Adapter::record_bytes(const uint8_t *p, size_t n)
{
    host_bytes_.insert(host_bytes_.end(), p, p + n);
}

std::vector<Bytes> Adapter::host_frames()
{
    std::lock_guard<std::mutex> lk(mu_);
    return frames_;
}

std::vector<Bytes> Adapter::host_frames(uint8_t code)
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<Bytes> out;
    for (const Bytes &f : frames_)
        if (f[0] == code)
            out.push_back(f);
    return out;
}

std::vector<bool> Adapter::host_checksums_ok()
{
    std::lock_guard<std::mutex> lk(mu_);
    return frames_ok_;
}

bool Adapter::wait_host_frames(size_t n, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return frames_.size() >= n; });
}

void Adapter::clear_host_frames()
{
    std::lock_guard<std::mutex> lk(mu_);
    frames_.clear();
    frames_ok_.clear();
    host_bytes_.clear();
    vcom_sets_.clear();
    garbage_ = 0;
}

Bytes Adapter::host_bytes()
{
    std::lock_guard<std::mutex> lk(mu_);
    return host_bytes_;
}

size_t Adapter::garbage_bytes()
{
    std::lock_guard<std::mutex> lk(mu_);
    return garbage_;
}

std::vector<uint8_t> Adapter::vcom_sets()
{
    std::lock_guard<std::mutex> lk(mu_);
    return vcom_sets_;
}

}  // namespace velk::sim
