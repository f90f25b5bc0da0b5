// The emulated adapter: pty, service thread, frame parser and replies.
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

namespace velk::sim {

namespace {

struct CommandSpec {
    uint8_t code;
    uint8_t frame_len;
    uint8_t reply_len;  // 0: the command has no reply ('b' answers with a report)
};

constexpr CommandSpec kCommands[] = {
    {'5', 4, 7},   {'6', 4, 7},   {0x60, 4, 7}, {'a', 6, 5},   {'4', 4, 5},  {'0', 6, 5},
    {'3', 6, 5},   {'8', 5, 5},   {'1', 13, 5}, {'2', 13, 5},  {'7', 4, 28}, {'G', 4, 32},
    {'J', 8, 5},   {'K', 20, 5},  {'L', 5, 21}, {'M', 4, 16},  {'N', 5, 5},  {'b', 4, 0},
};

constexpr uint8_t kClassicFrame = 0xE0;
constexpr size_t kClassicFrameLen = 17;
constexpr uint8_t kFdFrame = 0xF0;

// A partial frame that gets no more bytes for this long is taken as garbage,
// so a stray command code cannot swallow the next real command.
constexpr int64_t kStaleInputUs = 30000;
// The stream keeps at most this much queued ahead of the pty.
constexpr size_t kStreamBacklog = 16384;

const CommandSpec *find_command(uint8_t code)
{
    for (const CommandSpec &c : kCommands)
        if (c.code == code)
            return &c;
    return nullptr;
}

int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

uint8_t sum_of(const uint8_t *p, size_t n)
{
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s = static_cast<uint8_t>(s + p[i]);
    return s;
}

uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void put_le32(Bytes &b, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

void finish(Bytes &b)
{
    b.push_back(sum_of(b.data(), b.size()));
    b.push_back(0x0D);
    b.push_back(0x0A);
}

// Expected length of the frame starting at p (n bytes available):
// 0 = not a frame start, SIZE_MAX = cannot tell yet.
size_t frame_length(const uint8_t *p, size_t n)
{
    if (p[0] == kClassicFrame)
        return kClassicFrameLen;
    if (p[0] == kFdFrame) {
        if (n < 2)
            return SIZE_MAX;
        return static_cast<size_t>(std::max(dlc_length(p[1] >> 4), 8)) + 10;
    }
    const CommandSpec *c = find_command(p[0]);
    return c ? c->frame_len : 0;
}

std::atomic<uint32_t> g_next_dev{1};

// The 23 configuration bytes of the '7' and 'G' replies.
void put_config(const State &s, uint8_t *p)
{
    for (int ch = 0; ch < 2; ++ch) {
        uint8_t *q = p + 11 * ch;
        q[0] = s.baud[ch];
        q[1] = s.mode[ch];
        q[2] = s.flt_type[ch];
        put_be32(q + 3, s.flt_id[ch]);
        put_be32(q + 7, s.flt_mask[ch]);
    }
    p[22] = s.err_set;
}

void reset_config(State &s)
{
    const State d;
    std::copy_n(d.active, 2, s.active);
    std::copy_n(d.baud, 2, s.baud);
    std::copy_n(d.mode, 2, s.mode);
    std::copy_n(d.flt_type, 2, s.flt_type);
    std::copy_n(d.flt_id, 2, s.flt_id);
    std::copy_n(d.flt_mask, 2, s.flt_mask);
    s.err_set = d.err_set;
    std::copy_n(d.fdf_en, 2, s.fdf_en);
    std::copy_n(d.datarate, 2, s.datarate);
    for (uint8_t k = 0; k < 3; ++k) {
        s.timing[k] = {};
        s.timing[k][0] = k;
    }
}

}  // namespace

Adapter::Adapter()
{
    reset_config(state_);
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

void Adapter::close_fds()
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
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    cv_.notify_all();
}

void Adapter::unplug()
{
    close_fds();
}

void Adapter::stop()
{
    close_fds();
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

void Adapter::set_fault(uint8_t cmd, Fault f)
{
    std::lock_guard<std::mutex> lk(mu_);
    faults_[cmd] = f;
}

void Adapter::clear_faults()
{
    std::lock_guard<std::mutex> lk(mu_);
    faults_.clear();
}

void Adapter::set_answering(bool on)
{
    std::lock_guard<std::mutex> lk(mu_);
    answering_ = on;
}

void Adapter::set_loopback(bool on)
{
    std::lock_guard<std::mutex> lk(mu_);
    loopback_ = on;
}

// ---- record of host frames ----

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

// ---- stream ----

void Adapter::stream(size_t count, int rate_per_s, unsigned seed, size_t max_chunk, bool stamp_write_time)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        stream_seq_ = stream_sequence(count, seed);
        stream_next_ = 0;
        stream_rate_ = std::max(rate_per_s, 0);
        stream_start_us_ = now_us();
        stream_max_chunk_ = std::max<size_t>(max_chunk, 1);
        stream_stamp_ = stamp_write_time;
        stream_rng_ = seed * 747796405u + 2891336453u;
        if (stream_rng_ == 0)
            stream_rng_ = 1;
        stream_pending_.clear();
    }
    wake();
}

void Adapter::refill_stream(int64_t now)
{
    size_t queued = 0;
    for (const Chunk &c : out_)
        queued += c.bytes.size();
    while (stream_next_ < stream_seq_.size() && queued < kStreamBacklog) {
        if (stream_rate_ > 0 &&
            now < stream_start_us_ + static_cast<int64_t>(stream_next_) * 1000000 / stream_rate_)
            break;
        Report r = stream_seq_[stream_next_++];
        if (stream_stamp_ && (r.kind == Report::E2 || r.kind == Report::F1)) {
            const int64_t t = now_us();
            r.second = static_cast<uint32_t>(t / 1000000);
            r.micro_second = static_cast<uint32_t>(t % 1000000);
        }
        const Bytes b = encode(r);
        stream_pending_.insert(stream_pending_.end(), b.begin(), b.end());
        // Cut into write() chunks of random size; the rest goes out when the
        // stream ends or paces itself.
        for (;;) {
            stream_rng_ ^= stream_rng_ << 13;
            stream_rng_ ^= stream_rng_ >> 17;
            stream_rng_ ^= stream_rng_ << 5;
            const size_t len = 1 + stream_rng_ % stream_max_chunk_;
            const bool last = stream_next_ == stream_seq_.size() || stream_rate_ > 0;
            if (stream_pending_.size() < len && !(last && !stream_pending_.empty()))
                break;
            const size_t take = std::min(len, stream_pending_.size());
            Chunk c;
            c.bytes.assign(stream_pending_.begin(), stream_pending_.begin() + static_cast<long>(take));
            stream_pending_.erase(stream_pending_.begin(), stream_pending_.begin() + static_cast<long>(take));
            queued += take;
            out_.push_back(std::move(c));
            if (stream_pending_.empty())
                break;
        }
    }
}

bool Adapter::wait_stream_done(int timeout_ms)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
        return stream_next_ == stream_seq_.size() && stream_pending_.empty() && out_.empty();
    });
}

size_t Adapter::reports_streamed()
{
    std::lock_guard<std::mutex> lk(mu_);
    return stream_next_;
}

// ---- input ----

void Adapter::handle_input(const uint8_t *p, size_t n)
{
    host_bytes_.insert(host_bytes_.end(), p, p + n);
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
        if (p[len - 2] != 0x0D || p[len - 1] != 0x0A) {
            ++garbage_;
            ++pos;
            continue;
        }
        Bytes f(p, p + len);
        const bool ok = sum_of(p, len - 3) == p[len - 3];
        pos += len;
        handle_frame(f, ok);
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(pos));
}

void Adapter::handle_frame(const Bytes &f, bool sum_ok)
{
    frames_.push_back(f);
    frames_ok_.push_back(sum_ok);
    if (f[0] == 'N')
        vcom_sets_.push_back(f[1]);
    cv_.notify_all();
    if (!sum_ok || !answering_)
        return;
    const uint8_t code = f[0];
    if (code == kClassicFrame || code == kFdFrame) {
        const int ch = (f[1] & 3) - 1;
        if (bus_wired_ && (ch == 0 || ch == 1) && state_.active[ch])
            bus_out_.emplace_back(ch, f);
        if (loopback_ && state_.active[0] && state_.active[1])
            loop_back(f);
        return;
    }
    if (code == 'b') {
        Report r;
        r.kind = Report::BusStatus;
        std::copy_n(state_.bus_status, 12, r.status.begin());
        queue_reply(code, encode(r));
        return;
    }
    queue_reply(code, make_reply(code, f));
}

// Applies the command to the state and builds its reply.
Bytes Adapter::make_reply(uint8_t code, const Bytes &f)
{
    const CommandSpec *c = find_command(code);
    Bytes r(c->reply_len, 0);
    r[0] = code;
    State &s = state_;
    switch (code) {
    case '5':
        r[2] = s.fw[0];
        r[3] = s.fw[1];
        break;
    case '6':
        r[2] = s.build_id[0];
        r[3] = s.build_id[1];
        break;
    case 0x60:
        r[2] = s.active[0];
        r[3] = s.active[1];
        break;
    case 'a':
        s.active[0] = f[1];
        s.active[1] = f[2];
        break;
    case '4':
        reset_config(s);
        break;
    case '0':
        s.baud[0] = f[1];
        s.baud[1] = f[2];
        break;
    case '3':
        s.mode[0] = f[1];
        s.mode[1] = f[2];
        break;
    case '8':
        s.err_set = f[1];
        break;
    case '1':
    case '2': {
        const int ch = code - '1';
        s.flt_type[ch] = f[1];
        s.flt_id[ch] = get_be32(&f[2]);
        s.flt_mask[ch] = get_be32(&f[6]);
        break;
    }
    case '7':
        put_config(s, &r[2]);
        break;
    case 'G':
        put_config(s, &r[2]);
        r[25] = s.fdf_en[0];
        r[26] = s.datarate[0];
        r[27] = s.fdf_en[1];
        r[28] = s.datarate[1];
        break;
    case 'J':
        // Wire order: both data rates, then both enables.
        s.datarate[0] = f[1];
        s.datarate[1] = f[2];
        s.fdf_en[0] = f[3];
        s.fdf_en[1] = f[4];
        break;
    case 'K':
        if (f[1] <= 2)
            std::copy_n(f.begin() + 1, 16, s.timing[f[1]].begin());
        else
            r[1] = 1;
        break;
    case 'L':
        if (f[1] <= 2) {
            std::copy_n(s.timing[f[1]].begin(), 16, r.begin() + 2);
        } else {
            r[1] = 1;
            r[2] = f[1];
        }
        break;
    case 'M':
        r[2] = s.vcom_mode;
        r[3] = s.vcom_map;
        r[4] = s.vcom_order;
        std::copy_n(s.dev_id, 8, r.begin() + 5);
        break;
    case 'N':
        s.vcom_map = f[1];
        break;
    }
    const size_t n = r.size();
    r[n - 3] = sum_of(r.data(), n - 3);
    r[n - 2] = 0x0D;
    r[n - 1] = 0x0A;
    return r;
}

// The adapter sends a reply or a report of its own only between whole
// reports of its stream: the rest of the one being cut into writes goes first.
void Adapter::end_stream_report()
{
    if (stream_pending_.empty())
        return;
    Chunk c;
    c.bytes.swap(stream_pending_);
    out_.push_back(std::move(c));
}

void Adapter::queue_reply(uint8_t code, Bytes r)
{
    end_stream_report();
    auto it = faults_.find(code);
    if (it == faults_.end() || it->second.kind == Fault::None || it->second.times == 0) {
        queue(std::move(r), 1, 0);
        return;
    }
    Fault &f = it->second;
    if (f.times > 0)
        --f.times;
    switch (f.kind) {
    case Fault::None:
        break;
    case Fault::WrongEcho:
        r[0] ^= 0x01;
        break;
    case Fault::BadStatus:
        r[1] = 1;
        break;
    case Fault::NoReply:
        return;
    case Fault::Split:
        queue(std::move(r), f.pieces, f.delay_ms);
        return;
    case Fault::Late: {
        Chunk c;
        c.bytes = std::move(r);
        c.not_before_us = now_us() + int64_t{f.delay_ms} * 1000;
        out_.push_back(std::move(c));
        return;
    }
    case Fault::Short:
        r.resize(std::min(r.size(), static_cast<size_t>(std::max(f.bytes, 0))));
        break;
    case Fault::Patch:
        if (f.index >= 0 && static_cast<size_t>(f.index) < r.size())
            r[static_cast<size_t>(f.index)] = f.value;
        break;
    }
    queue(std::move(r), 1, 0);
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

// The report of a host data frame as received on `channel` now.
Bytes Adapter::report_for(const Bytes &f, int channel)
{
    const uint8_t flags = static_cast<uint8_t>((f[1] & ~3) | (channel + 1));
    const int64_t t = now_us() - start_us_;
    const uint32_t sec = static_cast<uint32_t>(t / 1000000);
    const uint32_t usec = static_cast<uint32_t>(t % 1000000);
    Bytes b;
    if (f[0] == kClassicFrame) {
        b = {0xE2, flags};
        put_le32(b, sec);
        put_le32(b, usec);
        b.insert(b.end(), f.begin() + 2, f.begin() + 14);  // identifier and eight data bytes
    } else {
        b = {0xF1, flags, f[2]};
        put_le32(b, sec);
        put_le32(b, usec);
        b.insert(b.end(), f.begin() + 3, f.end() - 3);  // identifier and payload
    }
    finish(b);
    return b;
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
    for (;;) {
        int timeout_ms = 100;
        bool want_out = false;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (stop_)
                return;
            const int64_t now = now_us();
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
            if (stream_rate_ > 0 && stream_next_ < stream_seq_.size())
                next = std::min(next, stream_start_us_ + static_cast<int64_t>(stream_next_) * 1000000 / stream_rate_);
            if (!in_.empty())
                next = std::min(next, last_input_us + kStaleInputUs);
            // A stream at full speed with bytes still to cut keeps going.
            if (stream_rate_ == 0 && (stream_next_ < stream_seq_.size() || !stream_pending_.empty()))
                next = std::min(next, now + 1000);
            if (next != INT64_MAX)
                timeout_ms = static_cast<int>(std::clamp<int64_t>((next - now + 999) / 1000, 0, 100));
        }
        // A pty master does not always signal POLLOUT when the host reads the
        // tty empty; retry writes every millisecond rather than stall.
        if (want_out)
            timeout_ms = std::min(timeout_ms, 1);
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
