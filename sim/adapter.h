// Emulated two-channel CAN adapter on a Linux pseudo-terminal.
//
// An Adapter opens a pty pair and plays the adapter's side of the serial
// protocol on the master: it parses what the host writes into command and
// data frames, records every frame, answers commands with their fixed reply
// lengths from its device state, and writes reports (injected, looped back
// or generated) to the host. A service thread does all the pty I/O; every
// public method is thread-safe.
//
// Typical test:
//   velk::sim::Adapter a;
//   a.start();                        // then point the host at a.slave_path()
//   a.set_fault('6', {Fault::NoReply});
//   ... host calls ...
//   a.wait_host_frames(3, 2000);      // wait on a condition, never sleep
//   EXPECT_EQ(a.host_frames()[0], (Bytes{'a', 1, 1, 0x63, 0x0D, 0x0A}));
//
// Replies are written as soon as a frame is complete, well inside the host's
// 150 ms wait. Everything the adapter sends shares one output FIFO; a reply
// goes out between whole reports of a stream.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velk::sim {

using Bytes = std::vector<uint8_t>;

// What goes wrong with the reply to one command code.
struct Fault {
    enum Kind {
        None,
        WrongEcho,  // byte 0 is not the command code
        BadStatus,  // byte 1 is 1
        NoReply,    // nothing is written
        Split,      // written in `pieces` pieces, `delay_ms` apart
        Late,       // written whole after `delay_ms`; set it above the host's 150 ms
        Short,      // only the first `bytes` bytes are written
        Patch,      // reply byte `index` is replaced by `value`
    } kind = None;
    int pieces = 2;
    int delay_ms = 20;
    int bytes = 1;
    int index = 2;
    uint8_t value = 0;
    int times = -1;  // replies affected; -1 = every one
};

// A timing record as the 'K' frame carries it: sel, param[4], param5,
// low byte of param6, param7[9].
using TimingRecord = std::array<uint8_t, 16>;

// The adapter's state. What the host sets is what the queries report.
struct State {
    uint8_t fw[2] = {0x03, 0x02};        // '5' reply bytes 2, 3; generation = low nibble of fw[0]
    uint8_t build_id[2] = {0x51, 0x02};  // '6' reply bytes 2, 3
    uint8_t active[2] = {0, 0};          // channel states ('a', 0x60)
    // Configuration ('7' and 'G' replies), index 0 = CAN1.
    uint8_t baud[2] = {7, 7};
    uint8_t mode[2] = {0, 0};
    uint8_t flt_type[2] = {0, 0};
    uint32_t flt_id[2] = {0, 0};
    uint32_t flt_mask[2] = {0, 0};  // as the filter frame carried it (0x3F top byte kept)
    uint8_t err_set = 0;
    uint8_t fdf_en[2] = {0, 0};
    uint8_t datarate[2] = {2, 2};
    TimingRecord timing[3] = {TimingRecord{0}, TimingRecord{1}, TimingRecord{2}};  // timing[s][0] is s
    // Virtual COM ('M' reply, 'N' sets vcom_map).
    uint8_t bus_status[12] = {};  // 0x62/02 report sent after 'b': 6 bytes per channel
    uint8_t vcom_mode = 0;
    uint8_t vcom_map = 0;
    uint8_t vcom_order = 0;
    uint8_t dev_id[8] = {};  // unique per Adapter unless set
};

// One report to the host, in decoded form. `encode` turns it into bytes.
struct Report {
    enum Kind : uint16_t {
        E1 = 0xE1,              // classic frame, 17 bytes
        E2 = 0xE2,              // classic frame with timestamp, 25 bytes
        F1 = 0xF1,              // CAN FD frame with timestamp, 18 + max(N, 8) bytes
        EepromError = 0x9901,   // 9 bytes
        BusError = 0x9902,      // 17 bytes
        BusErrorPsr = 0x9904,   // 17 bytes
        BusStatus = 0x6202,     // reply to 'b', 17 bytes
    } kind = E2;
    int channel = 0;  // 0 = CAN1, 1 = CAN2
    bool extended = false;
    bool rtr = false;
    int dlc = 8;               // DLC code
    uint8_t fd_flags = 0x04;   // F1 only: bit 0 BRS, bit 1 ESI, bit 2 FDF
    uint32_t id = 0;
    uint32_t second = 0;       // E2, F1 timestamp
    uint32_t micro_second = 0;
    std::array<uint8_t, 64> data = {};    // E1/E2 use 8 bytes, F1 max(N, 8)
    std::array<uint8_t, 12> status = {};  // status reports: 6 bytes per channel
};

Bytes encode(const Report &r);
int dlc_length(int dlc);           // CAN FD DLC code -> payload bytes
size_t report_length(const Report &r);

// Shorthands for the common reports.
Bytes report_e1(int channel, bool extended, bool rtr, int dlc, uint32_t id, const Bytes &data);
Bytes report_e2(int channel, bool extended, bool rtr, int dlc, uint32_t id, const Bytes &data,
                uint32_t second, uint32_t micro_second);
Bytes report_f1(int channel, bool extended, int dlc, uint8_t fd_flags, uint32_t id, const Bytes &data,
                uint32_t second, uint32_t micro_second);
Bytes report_status(Report::Kind kind, const std::array<uint8_t, 12> &status);

// The command model: applies a command frame from the host to the state and
// returns the adapter's answer, trailer included: the reply of a command,
// the 0x62 0x02 report for 'b'; nothing for data frames, unknown codes and
// frames of the wrong length. Faults are not applied here.
Bytes reply_to(State &state, const Bytes &frame);

// The traffic generator's sequence: `count` mixed reports (E2 and F1 of
// assorted DLCs, some E1 and status reports), fully determined by `seed`.
// Report i carries i in its tag: the timestamp `second` of E2/F1, the
// identifier of E1 (i & 0x7FF standard, or i extended), status bytes 0-1
// (big-endian i) of status reports.
std::vector<Report> stream_sequence(size_t count, unsigned seed);

// The same sequence one report at a time, in order. With `ids` > 0 the
// frames use only `ids` identifiers of each kind, as a bus of that many
// messages does: standard 0..ids-1 and extended kStreamExtendedBase plus
// 0..ids-1 (0xE1 reports too, so their identifier no longer carries i).
constexpr uint32_t kStreamExtendedBase = 0x18000000;
class StreamGenerator {
public:
    explicit StreamGenerator(unsigned seed = 1, uint32_t ids = 0);
    Report report(size_t index);

private:
    uint32_t next();
    uint32_t below(uint32_t n) { return next() % n; }
    uint32_t state_;
    uint32_t ids_;
};

class Adapter {
public:
    Adapter();
    ~Adapter();  // stops the thread, closes the pty, removes the link
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    bool start();                           // open the pty and start serving
    const std::string &slave_path() const;  // e.g. /dev/pts/7; empty before start
    bool link(const std::string &path);     // symlink path -> slave, removed on stop
    void stop();                            // as the destructor; idempotent
    void unplug();                          // hang the host up now, as a hot-unplug

    // Device state.
    State state();
    void set_state(const State &s);
    void set_firmware(uint8_t b0, uint8_t b1);
    void set_build_id(uint8_t b0, uint8_t b1);
    void set_channel_state(int ch, bool active);
    void set_vcom(uint8_t mode, uint8_t map, uint8_t order);
    void set_dev_id(const std::array<uint8_t, 8> &id);

    // Faults, per command code (for 'b' the fault applies to its report).
    void set_fault(uint8_t cmd, Fault f);
    void clear_faults();
    void set_answering(bool on);  // false: record everything, answer nothing

    // What the host wrote, frame by frame (commands and data frames), in order.
    std::vector<Bytes> host_frames();
    std::vector<Bytes> host_frames(uint8_t code);  // only those starting with code
    std::vector<bool> host_checksums_ok();         // one per frame of host_frames()
    bool wait_host_frames(size_t n, int timeout_ms);
    void clear_host_frames();                      // also clears host_bytes()
    Bytes host_bytes();                            // every byte, garbage included
    size_t garbage_bytes();                        // bytes skipped while resyncing
    std::vector<uint8_t> vcom_sets();              // values of the 'N' commands received
    // Keeps only the latest `frames` host frames, with their checksum
    // verdicts and 'N' values, and the bytes of as many longest frames;
    // 0 (the default) keeps everything. For a program that runs for days;
    // wait_host_frames then cannot wait for more than `frames`.
    void set_record_limit(size_t frames);
    // The frames recorded after the first `*seen` of all the adapter ever
    // recorded (those the limit has let go are skipped); sets *seen to that
    // count now.
    std::vector<Bytes> host_frames_since(size_t *seen);

    // Reports to the host. Output is one FIFO: replies, injected reports and
    // the stream leave in the order they were queued.
    void inject(const Bytes &bytes, int pieces = 1, int delay_ms = 0);
    void inject(const Report &r, int pieces = 1, int delay_ms = 0);
    bool wait_output_drained(int timeout_ms);  // everything queued has been written to the pty

    // Host frame on one channel comes back as a report received on the other
    // (E0 -> E2, F0 -> F1) while both channels are started.
    void set_loopback(bool on);

    // A CAN bus shared with other adapters (bus.h). Every data frame the
    // host sends on a started channel goes to `tap` (called from the service
    // thread with none of this adapter's state locked); nullptr unhooks.
    using BusTap = std::function<void(int channel, const Bytes &frame)>;
    void set_bus_tap(BusTap tap);
    // A frame another adapter put on the bus, reported to this adapter's host
    // as received on `channel` (E0 -> E2, F0 -> F1, this adapter's timestamp)
    // while that channel is started.
    void receive_from_bus(int channel, const Bytes &frame);

    // What a stream's 0xE2 and 0xF1 reports carry as their timestamp.
    enum class StreamStamps {
        Index,      // report i carries i as its second (tests check each report by it),
                    // or the adapter's clock once set_clock was called
        Clock,      // the adapter's clock, the one of its loopback and bus reports
        WriteTime,  // the monotonic time (CLOCK_MONOTONIC, as steady_clock) at which
                    // each is queued for writing, just before the write (latency benchmarks)
    };
    // Write stream_sequence(count, seed) to the host, rate_per_s reports a
    // second (0 = as fast as the tty takes them), in write() chunks of
    // 1..max_chunk bytes (random sizes from the seed).
    void stream(size_t count, int rate_per_s, unsigned seed, size_t max_chunk = 64,
                StreamStamps stamps = StreamStamps::Index);
    // The adapter's clock (its timestamps count from start()) runs `ppm`
    // parts per million fast (negative: slow) and jumps by `jump_us`
    // (negative: back) after every `every` timestamps it gives. Once set,
    // a stream of index stamps carries this clock's time too.
    void set_clock(long ppm, int64_t jump_us, long every);
    // The adapter's clock now, in microseconds, for reports a test writes
    // itself (inject) to carry this adapter's time.
    int64_t clock_now_us();
    // The next stream's frames use `ids` identifiers of each kind (see
    // StreamGenerator); 0 = any.
    void set_stream_ids(uint32_t ids);
    bool wait_stream_done(int timeout_ms);
    size_t reports_streamed();

    size_t bytes_written_to_host();
    // Writes the host's full buffer refused, and a wait for the count to
    // reach `n`.
    size_t blocked_writes();
    bool wait_blocked_writes(size_t n, int timeout_ms);

private:
    struct Chunk {
        Bytes bytes;
        int64_t not_before_us = 0;  // monotonic
    };
    void run();
    void wake();
    void handle_input(const uint8_t *p, size_t n);
    void parse();
    void handle_frame(const Bytes &f, bool sum_ok);
    void record(const Bytes &f, bool sum_ok);
    void record_bytes(const uint8_t *p, size_t n);
    void end_stream_report();
    void queue_reply(uint8_t code, Bytes reply);
    void queue(Bytes b, int pieces, int delay_ms);
    void loop_back(const Bytes &f);
    Bytes report_for(const Bytes &f, int channel);
    void forward_to_bus();
    void refill_stream(int64_t now);
    bool flush_output(int64_t now, int64_t *next_us);
    void close_fds(bool keep_slave);

    std::mutex mu_;  // guards everything below except the fds owned by the thread
    std::condition_variable cv_;
    State state_;
    std::map<uint8_t, Fault> faults_;
    bool answering_ = true;
    bool loopback_ = false;
    bool bus_wired_ = false;
    std::vector<std::pair<int, Bytes>> bus_out_;  // host frames for the bus tap
    std::mutex tap_mu_;  // guards tap_; held while it runs, so unhooking waits for it
    BusTap tap_;
    Bytes in_;  // unparsed host bytes
    std::deque<Bytes> frames_;
    std::deque<bool> frames_ok_;
    std::deque<uint8_t> host_bytes_;
    size_t record_limit_ = 0;
    size_t frames_total_ = 0;
    size_t garbage_ = 0;
    std::deque<uint8_t> vcom_sets_;
    std::deque<Chunk> out_;
    size_t out_offset_ = 0;  // bytes of out_.front() already written
    size_t written_ = 0;
    size_t blocked_writes_ = 0;
    // stream
    StreamGenerator stream_gen_;
    size_t stream_count_ = 0;
    size_t stream_next_ = 0;
    int stream_rate_ = 0;
    int64_t stream_start_us_ = 0;
    size_t stream_max_chunk_ = 64;
    uint32_t stream_rng_ = 1;
    uint32_t stream_ids_ = 0;
    StreamStamps stream_stamps_ = StreamStamps::Index;
    Bytes stream_pending_;

    bool running_ = false;
    bool stop_ = false;
    int master_ = -1;
    int slave_ = -1;  // kept open so the master sees no EIO while no host has it open
    int wake_[2] = {-1, -1};
    std::string slave_path_;
    std::string link_path_;
    std::thread thread_;
    int64_t start_us_ = 0;
    // the adapter's clock
    int64_t clock_us();
    int64_t clock_read() const;
    bool clock_set_ = false;
    long clock_ppm_ = 0;
    int64_t clock_jump_us_ = 0;
    long clock_every_ = 0;
    long clock_stamps_ = 0;
    int64_t clock_jumped_us_ = 0;
};

// One adapter seen as two ports: two ptys with the same dev_id, each with
// its own vcom_mode, vcom_map and vcom_order and its own record of frames.
struct DualPort {
    Adapter port[2];
    bool start();
    void set_dev_id(const std::array<uint8_t, 8> &id);
};

}  // namespace velk::sim
