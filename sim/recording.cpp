// The record of what the host wrote: every frame in order with its checksum
// verdict, every byte, the bytes skipped while resynchronising and the
// values of the virtual COM set commands. Unbounded for the tests; bounded
// by set_record_limit for a long-running program.
#include "sim_internal.h"

namespace velk::sim {

namespace {

template <typename T>
void keep_latest(std::deque<T> &d, size_t limit)
{
    while (limit > 0 && d.size() > limit)
        d.pop_front();
}

}  // namespace

void Adapter::record(const Bytes &f, bool sum_ok)
{
    frames_.push_back(f);
    frames_ok_.push_back(sum_ok);
    ++frames_total_;
    if (f[0] == 'N')
        vcom_sets_.push_back(f[1]);
    keep_latest(frames_, record_limit_);
    keep_latest(frames_ok_, record_limit_);
    keep_latest(vcom_sets_, record_limit_);
    cv_.notify_all();
}

void Adapter::record_bytes(const uint8_t *p, size_t n)
{
    host_bytes_.insert(host_bytes_.end(), p, p + n);
    keep_latest(host_bytes_, record_limit_ * wire::kMaxFdFrameLen);
}

void Adapter::set_record_limit(size_t frames)
{
    std::lock_guard<std::mutex> lk(mu_);
    record_limit_ = frames;
    keep_latest(frames_, record_limit_);
    keep_latest(frames_ok_, record_limit_);
    keep_latest(vcom_sets_, record_limit_);
    keep_latest(host_bytes_, record_limit_ * wire::kMaxFdFrameLen);
}

std::vector<Bytes> Adapter::host_frames()
{
    std::lock_guard<std::mutex> lk(mu_);
    return {frames_.begin(), frames_.end()};
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

std::vector<Bytes> Adapter::host_frames_since(size_t *seen)
{
    std::lock_guard<std::mutex> lk(mu_);
    const size_t first = frames_total_ - frames_.size();
    const size_t from = std::max(*seen, first);
    *seen = frames_total_;
    if (from >= frames_total_)
        return {};
    return {frames_.begin() + static_cast<long>(from - first), frames_.end()};
}

std::vector<bool> Adapter::host_checksums_ok()
{
    std::lock_guard<std::mutex> lk(mu_);
    return {frames_ok_.begin(), frames_ok_.end()};
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
    return {host_bytes_.begin(), host_bytes_.end()};
}

size_t Adapter::garbage_bytes()
{
    std::lock_guard<std::mutex> lk(mu_);
    return garbage_;
}

std::vector<uint8_t> Adapter::vcom_sets()
{
    std::lock_guard<std::mutex> lk(mu_);
    return {vcom_sets_.begin(), vcom_sets_.end()};
}

}  // namespace velk::sim
