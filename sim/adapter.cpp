// The emulated adapter's pty service: the pseudo-terminal, the service
// thread that reads the host's bytes and writes the adapter's output, the
// parser of host frames, and the device state's accessors.
#include "adapter.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sim_internal.h"

namespace velk::sim {

namespace {

// A partial frame that gets no more bytes for this long is taken as garbage,
// so a stray command code cannot swallow the next real command.
constexpr int64_t kStaleInputUs = 30000;

std::atomic<uint32_t> g_next_dev{1};

}  // namespace

int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

Adapter::Adapter()
{
    const uint32_t n = g_next_dev.fetch_add(1);
    const uint8_t id[8] = {'V', 'S', 'I', 'M', static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    std::copy_n(id, 8, state_.dev_id);
}

Adapter::~Adapter()
{
    stop();
}

bool Adapter::start()
{
    std::lock_guard<std::mutex> lk(mu_);
    if (running_ || master_ >= 0)
        return false;
    if (slave_ >= 0) {  // left by an unplug
        close(slave_);
        slave_ = -1;
    }
    char name[128] = {};
    int m = -1;
    int s = -1;
    if (openpty(&m, &s, name, nullptr, nullptr) != 0)
        return false;
    // Raw from the start, so nothing the host writes is echoed back to it
    // before it sets its own terminal mode.
    struct termios t;
    if (tcgetattr(s, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        close(m);
        close(s);
        return false;
    }
    master_ = m;
    slave_ = s;
    slave_path_ = name;
    start_us_ = now_us();
    stop_ = false;
    running_ = true;
    thread_ = std::thread(&Adapter::run, this);
    return true;
}

const std::string &Adapter::slave_path() const
{
    return slave_path_;
}

bool Adapter::link(const std::string &path)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (slave_path_.empty())
        return false;
    struct stat st;
    // Replace a stale link left by an earlier run, but never a real file.
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode) || unlink(path.c_str()) != 0)
            return false;
    }
    if (symlink(slave_path_.c_str(), path.c_str()) != 0)
        return false;
    link_path_ = path;
    return true;
}

void Adapter::close_fds(bool keep_slave)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
    }
    wake();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lk(mu_);
    running_ = false;
    for (int *fd : {&master_, &slave_, &wake_[0], &wake_[1]}) {
        if (fd == &slave_ && keep_slave)
            continue;
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    cv_.notify_all();
}

void Adapter::unplug()
{
    // Closing the master hangs the host's port up and removes the device
    // name, as pulling the cable does. The slave stays open until stop(), so
    // that the terminal's number is not handed to another program meanwhile:
    // a host that looks for its adapter again at the old name finds nothing,
    // never someone else's adapter.
    close_fds(true);
}

void Adapter::stop()
{
    close_fds(false);
    std::lock_guard<std::mutex> lk(mu_);
    if (!link_path_.empty()) {
        unlink(link_path_.c_str());
        link_path_.clear();
    }
}

void Adapter::wake()
{
    int fd;
    {
        std::lock_guard<std::mutex> lk(mu_);
        fd = wake_[1];
    }
    if (fd >= 0) {
        const char c = 1;
        ssize_t r = write(fd, &c, 1);
        (void)r;
    }
}

// ---- state ----

State Adapter::state()
{
    std::lock_guard<std::mutex> lk(mu_);
    return state_;
}

void Adapter::set_state(const State &s)
{
    std::lock_guard<std::mutex> lk(mu_);
    state_ = s;
}

void Adapter::set_firmware(uint8_t b0, uint8_t b1)
{
    std::lock_guard<std::mutex> lk(mu_);
    state_.fw[0] = b0;
    state_.fw[1] = b1;
}

void Adapter::set_build_id(uint8_t b0, uint8_t b1)
{
    std::lock_guard<std::mutex> lk(mu_);
    state_.build_id[0] = b0;
    state_.build_id[1] = b1;
}

void Adapter::set_channel_state(int ch, bool active)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (ch == 0 || ch == 1)
        state_.active[ch] = active ? 1 : 0;
}

void Adapter::set_vcom(uint8_t mode, uint8_t map, uint8_t order)
{
    std::lock_guard<std::mutex> lk(mu_);
    state_.vcom_mode = mode;
    state_.vcom_map = map;
    state_.vcom_order = order;
}

void Adapter::set_dev_id(const std::array<uint8_t, 8> &id)
{
    std::lock_guard<std::mutex> lk(mu_);
    std::copy(id.begin(), id.end(), state_.dev_id);
}

void Adapter::set_answering(bool on)
{
    std::lock_guard<std::mutex> lk(mu_);
    answering_ = on;
}

// ---- output ----

void Adapter::queue(Bytes b, int pieces, int delay_ms)
{
    if (b.empty())
        return;
    const size_t n = std::clamp<size_t>(static_cast<size_t>(std::max(pieces, 1)), 1, b.size());
    const int64_t t0 = now_us();
    size_t at = 0;
    for (size_t k = 0; k < n; ++k) {
        const size_t len = (b.size() - at) / (n - k);
        Chunk c;
        c.bytes.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
        c.not_before_us = t0 + static_cast<int64_t>(k) * delay_ms * 1000;
        at += len;
        out_.push_back(std::move(c));
    }
}

void Adapter::inject(const Bytes &bytes, int pieces, int delay_ms)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        queue(bytes, pieces, delay_ms);
    }
    wake();
}

void Adapter::inject(const Report &r, int pieces, int delay_ms)
{
    inject(encode(r), pieces, delay_ms);
}

bool Adapter::wait_output_drained(int timeout_ms)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                        [&] { return out_.empty() || !running_; }) && out_.empty();
}

size_t Adapter::bytes_written_to_host()
{
    std::lock_guard<std::mutex> lk(mu_);
    return written_;
}

size_t Adapter::blocked_writes()
{
    std::lock_guard<std::mutex> lk(mu_);
    return blocked_writes_;
}

bool Adapter::wait_blocked_writes(size_t n, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return blocked_writes_ >= n; });
}

// Writes what is due; false when the pty is full (wait for POLLOUT).
// *next_us is set to the time the next chunk becomes due, if any.
bool Adapter::flush_output(int64_t now, int64_t *next_us)
{
    while (!out_.empty()) {
        Chunk &c = out_.front();
        if (c.not_before_us > now) {
            *next_us = std::min(*next_us, c.not_before_us);
            return true;
        }
        const ssize_t r = write(master_, c.bytes.data() + out_offset_, c.bytes.size() - out_offset_);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            ++blocked_writes_;
            cv_.notify_all();
            return false;  // EAGAIN: the host has not read enough yet
        }
        written_ += static_cast<size_t>(r);
        out_offset_ += static_cast<size_t>(r);
        if (out_offset_ == c.bytes.size()) {
            out_.pop_front();
            out_offset_ = 0;
        }
    }
    cv_.notify_all();
    return true;
}

// ---- input ----

void Adapter::handle_input(const uint8_t *p, size_t n)
{
    record_bytes(p, n);
    in_.insert(in_.end(), p, p + n);
    parse();
}

void Adapter::parse()
{
    size_t pos = 0;
    while (pos < in_.size()) {
        const uint8_t *p = in_.data() + pos;
        const size_t avail = in_.size() - pos;
        const size_t len = frame_length(p, avail);
        if (len == 0) {
            ++garbage_;
            ++pos;
            continue;
        }
        if (len == SIZE_MAX || avail < len)
            break;
        // Every frame ends in CR LF; anything else is not a frame start.
        if (p[len - 2] != wire::kCR || p[len - 1] != wire::kLF) {
            ++garbage_;
            ++pos;
            continue;
        }
        Bytes f(p, p + len);
        const bool ok = wire::sum(p, len - 3) == p[len - 3];
        pos += len;
        handle_frame(f, ok);
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(pos));
}

void Adapter::handle_frame(const Bytes &f, bool sum_ok)
{
    record(f, sum_ok);
    if (!sum_ok || !answering_)
        return;
    const uint8_t code = f[0];
    if (code == wire::kClassicFrame.code || code == wire::kFdFrame.code) {
        const int ch = (f[1] & 3) - 1;
        if (bus_wired_ && (ch == 0 || ch == 1) && state_.active[ch])
            bus_out_.emplace_back(ch, f);
        if (loopback_ && state_.active[0] && state_.active[1])
            loop_back(f);
        return;
    }
    queue_reply(code, reply_to(state_, f));
}

// ---- service thread ----

void Adapter::run()
{
    // A real adapter answers on its own hardware whatever the host is doing;
    // on a loaded test machine a raised priority keeps the emulated one's
    // replies inside the host's 150 ms wait. Best effort: without the right
    // to raise it the thread runs at normal priority.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
    int64_t last_input_us = 0;
    // While the host's buffer stays full the retries back off to this.
    constexpr int kMaxRetryMs = 50;
    int retry_ms = 1;
    for (;;) {
        int timeout_ms = 100;
        bool want_out = false;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (stop_)
                return;
            const int64_t now = now_us();
            const size_t written_before = written_;
            // A partial frame that stopped growing is garbage: drop its first byte.
            while (!in_.empty() && now - last_input_us >= kStaleInputUs) {
                in_.erase(in_.begin());
                ++garbage_;
                parse();
            }
            refill_stream(now);
            int64_t next = INT64_MAX;
            want_out = !flush_output(now, &next);
            refill_stream(now);
            if (!want_out)
                want_out = !flush_output(now, &next);
            if (stream_rate_ > 0 && stream_next_ < stream_count_)
                next = std::min(next, stream_start_us_ + static_cast<int64_t>(stream_next_) * 1000000 / stream_rate_);
            if (!in_.empty())
                next = std::min(next, last_input_us + kStaleInputUs);
            // A stream at full speed whose writes all went out makes more at
            // once; one waiting for the host waits with its output below.
            if (stream_rate_ == 0 && !want_out && (stream_next_ < stream_count_ || !stream_pending_.empty()))
                next = now;
            if (next != INT64_MAX)
                timeout_ms = static_cast<int>(std::clamp<int64_t>((next - now + 999) / 1000, 0, 100));
            if (written_ != written_before)
                retry_ms = 1;
        }
        // A pty master does not always signal POLLOUT when the host reads the
        // tty empty: retry the write after a while, every millisecond while
        // the host takes bytes, backing off to kMaxRetryMs while it takes
        // none (nobody reading costs next to no CPU).
        if (want_out) {
            timeout_ms = std::min(timeout_ms, retry_ms);
            retry_ms = std::min(retry_ms * 2, kMaxRetryMs);
        }
        struct pollfd pfd[2] = {{master_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
                                {wake_[0], POLLIN, 0}};
        const int n = poll(pfd, 2, timeout_ms);
        if (n < 0 && errno != EINTR)
            return;
        if (pfd[1].revents & POLLIN) {
            char buf[64];
            while (read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        if (pfd[0].revents & POLLIN) {
            uint8_t buf[4096];
            for (;;) {
                const ssize_t r = read(master_, buf, sizeof buf);
                if (r <= 0)
                    break;
                last_input_us = now_us();
                std::lock_guard<std::mutex> lk(mu_);
                handle_input(buf, static_cast<size_t>(r));
            }
            forward_to_bus();
        }
    }
}

// ---- two ports of one adapter ----

bool DualPort::start()
{
    return port[0].start() && port[1].start();
}

void DualPort::set_dev_id(const std::array<uint8_t, 8> &id)
{
    port[0].set_dev_id(id);
    port[1].set_dev_id(id);
}

}  // namespace velk::sim
