// Trace files: CAN frames written to and read from the candump log (.log),
// Vector ASC (.asc), CSV (.csv), Vector BLF (.blf), ASAM MDF 4 (.mf4),
// pcapng and pcap (.pcapng, .pcap) and PEAK trace (.trc) formats, the text
// ones also compressed (.gz, .zst), so that the tools people already use
// (can-utils, python-can, CANalyzer, Wireshark, PCAN tools, MDF loggers)
// read what velk records, and velk reads what they recorded.
//
//   velk::trace::Writer w;
//   if (!w.open("run.asc", velk::trace::Format::Asc, {}))   // or format_of(path)
//       fail(w.error());
//   w.write(frame);           // false on a write error (full disk, ...)
//   w.close();                // flushed and closed; false if anything was lost
//
//   velk::trace::Reader r;
//   r.open("run.log", velk::trace::Format::CandumpLog, {});
//   velk::trace::Frame f;
//   while ((n = r.next(&f)) > 0) ...;   // n < 0: r.error() names the line
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velk::trace {

enum class Format {
    CandumpLog,  // .log
    Asc,         // .asc, Vector ASC
    Csv,         // .csv
    Blf,         // .blf, Vector binary logging format
    Mf4,         // .mf4, ASAM MDF 4 in the bus-logging layout
    Pcapng,      // .pcapng, LINKTYPE_CAN_SOCKETCAN
    Pcap,        // .pcap, LINKTYPE_CAN_SOCKETCAN
    Trc,         // .trc, PEAK trace
};

namespace detail {
class Decoder;
class Encoder;
struct CompressedState;
struct InflatePoint;
struct DecoderPlace;
}  // namespace detail

// Where a frame's time came from.
enum class TimeSource : uint8_t {
    Unknown,  // read from a file that does not say
    Host,     // the host's receive time (a report without a timestamp)
    Adapter,  // the adapter's timestamp mapped to wall-clock time
};

struct Frame {
    int64_t sec = 0;    // wall-clock time, seconds since the epoch
    uint32_t usec = 0;  // 0..999999
    int channel = 0;    // 0 = CAN1, 1 = CAN2; -1 = a file channel that the map does not name
    bool tx = false;
    bool extended = false;
    bool remote = false;
    bool fd = false;
    bool brs = false;
    bool esi = false;
    bool error = false;  // an error frame: no identifier, no data
    uint8_t dlc = 0;     // DLC code 0..15; a classic code above 8 carries 8 bytes
    uint8_t len = 0;     // payload bytes (0 for remote and error frames)
    uint32_t id = 0;
    std::array<uint8_t, 64> data = {};  // bytes from len on are zero
    TimeSource source = TimeSource::Unknown;
    bool has_adapter_time = false;  // the adapter's own timestamp, as reported
    uint32_t adapter_sec = 0;
    uint32_t adapter_usec = 0;

    bool operator==(const Frame &) const = default;
};

// CAN FD payload length of a DLC code (codes up to 8 are their own length).
int dlc_to_len(int dlc);
// DLC code of a CAN FD payload length; -1 for a length no frame can have.
int len_to_dlc(int len);
// The value of a hexadecimal digit of either case; -1 for any other character.
int hex_digit(char c);

// Text traces compressed by a further suffix: run.log.gz, run.asc.zst.
enum class Compression { None, Gzip, Zstd };
Compression compression_of(const std::string &path);

// The format named by a file's extension (.log, .asc, .csv, .blf, .mf4,
// .pcapng, .pcap, .trc, any case), behind a .gz or .zst suffix for the text
// formats (.log, .asc, .csv, .trc).
bool format_of(const std::string &path, Format *format);
// The formats whose files hold bytes rather than lines of text.
bool is_binary(Format format);

// Frame text as cansend takes it and candump writes it: 123#DEADBEEF,
// 1ABCDEF0#00.11, 123#R, 123#R5, 123##1<data> (CAN FD, the nibble after ##
// has BRS in bit 0 and ESI in bit 1), 123#1122334455667788_C (classic DLC
// above 8). Three hex digits are an 11-bit identifier, eight a 29-bit one.
// Sets everything but time, channel and direction. On failure *why says
// what is wrong. With `padded_from`, a CAN FD payload of a length no frame
// has is padded with zeros to the next one (9 bytes -> 12) and
// *padded_from is the length given (-1 when nothing was padded).
bool parse_frame_text(std::string_view text, Frame *f, std::string *why, int *padded_from = nullptr);
// The same text for a frame; `len8_dlc` adds the _C suffix of classic DLC
// codes above 8 (readers older than that suffix take the frame as 8 bytes).
std::string frame_text(const Frame &f, bool len8_dlc);
// One candump log line without its newline: (1699999999.123456) can0 123#DEADBEEF
// A transmitted frame gets the direction suffix " T".
std::string log_line(const Frame &f, const std::string &name, bool len8_dlc);

struct WriteOptions {
    // .log: the interface name of CAN1 and CAN2.
    std::string names[2] = {"can0", "can1"};
    // .log: write classic DLC codes above 8 as the _C suffix.
    bool len8_dlc = false;
    // .asc: the measurement start, wall-clock microseconds; ASC times count
    // from it (to the millisecond). -1: the first frame's time.
    int64_t start_us = -1;
    // .asc: a comment line in the header saying where the times come from.
    std::string time_note;
    // .blf, .mf4: the zlib level of the compressed blocks, 0 (stored) to 9.
    // Text formats behind .gz or .zst: the level of the stream (-1: gzip 6,
    // zstd 3).
    int compression = 6;
    int text_compression = -1;
};

class Writer {
public:
    Writer();
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Creates (or truncates) the file; "-" writes to standard output.
    bool open(const std::string &path, Format format, const WriteOptions &options);
    bool write(const Frame &f);
    // Hands everything written so far to the system. False on a write error.
    bool flush();
    // Writes the format's ending, flushes and closes. False if any write
    // failed since the file was opened.
    bool close();
    // False, with error() saying so, when the path no longer names the open
    // file (it was removed or replaced): whatever follows would be lost with
    // it. True for standard output.
    bool still_at_path();
    bool is_open() const { return file_ != nullptr; }
    // Bytes handed to the file since it was opened (before compression).
    uint64_t bytes() const { return bytes_; }
    // The file's size as far as written (compressed, for .gz and .zst).
    uint64_t size_on_disk() const;
    // Frames written since the file was opened.
    uint64_t frames() const { return frames_; }
    bool compressed() const { return compressed_ != nullptr; }
    const std::string &error() const { return error_; }

private:
    bool fail(const char *what);
    bool begin_asc(const Frame &first);
    bool put(std::string_view text);
    bool drain();

    std::unique_ptr<detail::Encoder> encoder_;  // the formats with a writer of their own
    detail::CompressedState *compressed_ = nullptr;  // a .gz or .zst file's stream, while open
    FILE *file_ = nullptr;
    bool owns_file_ = false;
    bool failed_ = false;
    Format format_ = Format::CandumpLog;
    WriteOptions options_;
    std::string path_;
    std::string error_;
    int64_t asc_base_us_ = 0;
    bool asc_started_ = false;
    std::string buf_;
    std::string pending_;  // whole lines or blocks not yet handed to the file
    uint64_t bytes_ = 0;
    uint64_t frames_ = 0;
};

struct SplitOptions {
    uint64_t max_bytes = 0;  // a new piece before a piece grows past this size; 0: no limit
    int64_t max_us = 0;      // a new piece once a piece spans this much time (by the frames' times); 0: none
    int keep = 0;            // only the newest `keep` pieces are kept, older ones removed (a ring); 0: all
};

// "run.log" with piece 3: "run-0003.log"; the counter goes before the format's
// extension and any compression suffix ("run-0003.log.gz").
std::string piece_path(const std::string &path, int piece);

// A recording that may go on for days: one file, or (with a size or time
// limit) pieces named by piece_path, each a complete file of its format.
// Without splitting a write error ends the recording; with it, the piece
// ends with its reason (every frame written before stays in it), on_event
// says so once, and a new piece is tried every few seconds; frames that
// come meanwhile are counted as lost.
class SplitWriter {
public:
    SplitWriter();
    ~SplitWriter();
    SplitWriter(const SplitWriter &) = delete;
    SplitWriter &operator=(const SplitWriter &) = delete;

    bool open(const std::string &path, Format format, const WriteOptions &options, const SplitOptions &split);
    bool write(const Frame &f);
    bool flush();
    bool close();
    bool still_at_path();
    bool is_open() const { return writer_.is_open() || retry_at_us_ >= 0; }
    // The file being written now.
    const std::string &current_path() const { return current_; }
    int piece() const { return piece_; }
    uint64_t frames() const { return frames_; }
    // Bytes handed to all pieces so far (before compression).
    uint64_t bytes() const { return done_bytes_ + writer_.bytes(); }
    uint64_t lost() const { return lost_; }
    const std::string &error() const { return error_; }

    // Called with the path of each piece as it is begun.
    std::function<void(const std::string &path)> on_piece;
    // Called with what a user should know: a piece that failed, writing again.
    std::function<void(const std::string &text)> on_event;

private:
    bool splitting() const;
    bool next_piece(int64_t start_us);
    bool failed_piece(int64_t t);

    Writer writer_;
    std::string path_, current_, error_;
    Format format_ = Format::CandumpLog;
    WriteOptions options_;
    SplitOptions split_;
    int piece_ = 0;
    int64_t piece_start_us_ = -1;
    int64_t retry_at_us_ = -1;
    int64_t last_us_ = 0;
    uint64_t frames_ = 0, lost_ = 0;
    uint64_t done_bytes_ = 0;  // of the pieces closed
    uint64_t synced_bytes_ = 0;  // of this piece, at its last sync point
    bool said_retry_ = false;
};

// A recording written by a thread of its own, so that splitting, compressing
// and a slow disk never hold up the receive path: push() hands a frame over;
// the thread writes, flushes at least twice a second and counts the frames
// that reached the file. A write error ends the recording (failed() turns
// true) unless it is split, where a new piece is tried (see SplitWriter).
class Recorder {
public:
    Recorder();
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // `say` gets what a user should know (each new piece, a failed piece,
    // writing again), on the recording's thread.
    bool open(const std::string &path, Format format, const WriteOptions &options, const SplitOptions &split,
              std::function<void(const std::string &)> say = {});
    void push(const Frame &f);
    // Writes what is left, closes the file and ends the thread; false when
    // anything failed.
    bool finish();
    bool failed() const { return failed_.load(); }
    std::string error() const;
    // The piece being written now.
    std::string current_path() const;
    int pieces() const { return pieces_.load(); }
    uint64_t pushed() const { return pushed_; }
    // Frames handed to the file, and those of them flushed.
    uint64_t written() const { return written_.load(); }
    uint64_t confirmed() const { return confirmed_.load(); }
    // Frames a failed piece lost while splitting; read after finish().
    uint64_t lost() const;

private:
    void run();

    SplitWriter writer_;
    std::thread thread_;
    mutable std::mutex mutex_;  // queue_, stop_, error_, current_
    std::condition_variable wake_;
    std::vector<Frame> queue_;
    bool stop_ = false;
    std::string error_, current_;
    std::function<void(const std::string &)> say_;
    std::atomic<bool> failed_{false};
    std::atomic<int> pieces_{0};
    uint64_t pushed_ = 0;  // the pushing thread's own count
    std::atomic<uint64_t> written_{0}, confirmed_{0};
};

struct ReadOptions {
    // File channel name -> adapter channel (0 = CAN1, 1 = CAN2). Empty: the
    // format's default: can0/can1 for .log, .pcapng and .pcap; 1/2 for .asc,
    // .blf, .mf4 and .trc; CAN1/CAN2 for .csv.
    std::map<std::string, int> channels;
    // .log: when set, a line that does not start with '(' is handed to it
    // with its number and skipped, as canplayer does, instead of ending the file.
    std::function<void(int line, const std::string &text)> skip_line;
    // What is worth saying once but is no error: objects of kinds that hold
    // no frame skipped (counted, at the end), a byte order detected.
    std::function<void(const std::string &text)> notice;
};

// Where a reader stands between two frames, kept to come back to later:
// what its format needs to go on from there (a line's offset and the
// header state read before it, a block's offset, a container's offset and
// the bytes into its data; in compressed text, the restart point to inflate
// from; in MF4, each data group's block and place in its data, and the
// frame each has read ahead for merging them by time).
struct ResumePoint {
    uint64_t frames = 0;   // frames delivered before this place
    uint64_t offset = 0;   // in the file: a line, a block, a container
    uint64_t stream = 0;   // where that container's data begins in the data stream
    uint64_t inner = 0;    // the place itself in the data stream
    uint64_t count = 0;    // objects, containers, interfaces read before
    uint64_t count2 = 0;
    int64_t t0 = 0, t1 = 0;  // times the header or the events before set
    int line = 0;
    uint32_t flags = 0;
    bool replay = true;    // reached by reading `frames` frames from the start
    std::shared_ptr<const detail::InflatePoint> inflate;  // compressed text: where to inflate from
    std::shared_ptr<const detail::DecoderPlace> place;    // what a format keeps beyond these (MF4)
};

class Reader {
public:
    Reader();
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // "-" reads standard input (which cannot be rewound).
    bool open(const std::string &path, Format format, const ReadOptions &options);
    // 1: *f holds the next frame; 0: end of the file; -1: the file is not a
    // trace of its format from this line (or, in a binary file, this byte
    // offset) on; error() says where and why. Every frame before that place
    // has been delivered.
    int next(Frame *f);
    // Starts again from the first line.
    bool rewind();
    // The place before the next frame, for seek(); false on standard input.
    bool mark(ResumePoint *p) const;
    // Back to a place that mark() gave on a reader of the same file, opened
    // with the same options: the next frame is then the one that followed it.
    bool seek(const ResumePoint &p);
    // Frames delivered since the start of the file.
    uint64_t frames() const { return frames_; }
    void close();
    int line() const { return line_; }
    // Bytes of the file read so far (for progress), or 0 for standard input.
    uint64_t position() const;
    // The file's channel name of the last frame read (for a channel of -1).
    const std::string &channel_name() const { return channel_name_; }
    const std::string &error() const { return error_; }

private:
    int fail(const std::string &why);
    void restart();
    int map_channel(const std::string &name);
    int parsed(bool ok, Frame *f, const std::string &name, const std::string &why);
    int next_log(Frame *f, std::string_view text);
    int next_asc(Frame *f, std::string_view text);
    int next_csv(Frame *f, std::string_view text);

    std::unique_ptr<detail::Decoder> decoder_;  // the formats with a reader of their own
    detail::CompressedState *compressed_ = nullptr;  // a .gz or .zst file's stream, while open
    std::function<void(const std::string &)> notice_;
    ReadOptions options_;
    bool summary_said_ = false;
    bool channel_cached_ = false;  // channel_name_ maps to cached_channel_
    int cached_channel_ = -1;
    uint64_t frames_ = 0;
    bool started_ = false;  // the decoder has read the file's header (a frame delivered)
    FILE *file_ = nullptr;
    bool owns_file_ = false;
    char *line_buf_ = nullptr;  // getline()'s, kept from line to line
    size_t line_cap_ = 0;
    Format format_ = Format::CandumpLog;
    std::map<std::string, int> channels_;
    std::function<void(int, const std::string &)> skip_line_;
    std::string path_;
    std::string error_;
    std::string channel_name_;
    int line_ = 0;
    // ASC reading state.
    bool asc_in_body_ = false;
    int asc_base_ = 16;
    bool asc_relative_ = false;
    int64_t asc_start_us_ = 0;
    int64_t asc_last_us_ = 0;
};

namespace detail {
class Merge;
}

// A trace read once, on a thread of its own, into places to come back to:
// one every kEvery frames (the reader's place and the frame's time), and a
// count per identifier. What it holds grows by about a hundred bytes per
// kEvery frames (an MF4 file's places, which keep each data group's frame
// read ahead, some hundreds per data group) and a bounded table, never with
// the frames themselves.
// Several files are read as one trace merged by time (split pieces, two
// loggers). A damaged file ends the index at the damage, with error().
//
//   velk::trace::Index index;
//   index.start({"run.blf"}, {}, 10);     // indexing at nice 10
//   velk::trace::IndexedReader r;
//   r.open(index);
//   r.read(123456, &frame);               // once index.frames() > 123456
class Index {
public:
    static constexpr uint64_t kEvery = 1024;
    // Identifiers counted apart; those beyond go to one count of their own.
    static constexpr size_t kMaxIds = 65536;
    static constexpr uint32_t kErrorKey = 0xFFFFFFFF;  // error frames' count
    static constexpr uint32_t kOtherKey = 0xFFFFFFFE;  // identifiers beyond kMaxIds

    struct Point {
        uint64_t frame = 0;
        int64_t time_us = 0;  // of that frame
        std::vector<ResumePoint> at;  // one per file
    };

    Index();
    ~Index();
    Index(const Index &) = delete;
    Index &operator=(const Index &) = delete;

    // Begins reading; false, with error(), when a file cannot be opened.
    // `nice` lowers the thread's priority (0: as the caller's).
    bool start(const std::vector<std::string> &paths, const ReadOptions &options, int nice = 0);
    // Ends the reading early (the index stays as far as it got).
    void stop();
    bool done() const { return done_.load(); }
    // Waits until the reading is done, at most `timeout`; done().
    bool wait(std::chrono::milliseconds timeout) const;
    uint64_t frames() const { return frames_.load(); }
    uint64_t bytes_read() const { return bytes_read_.load(); }
    uint64_t bytes_total() const { return bytes_total_; }
    // Where and why the reading ended early, or "".
    std::string error() const;
    // Frames per identifier (extended ones with bit 31 set), kErrorKey and kOtherKey.
    std::map<uint32_t, uint64_t> counts() const;
    static uint32_t id_key(const Frame &f);
    // The last place at or before frame n; false before any.
    bool point_before(uint64_t frame, Point *p) const;
    // The last place whose frame is earlier than `us` (wall-clock
    // microseconds), or the first place.
    bool point_before_time(int64_t us, Point *p) const;
    // Bytes the index holds.
    size_t memory() const;
    const std::vector<std::string> &paths() const { return paths_; }
    const ReadOptions &options() const { return options_; }

private:
    void run(std::unique_ptr<detail::Merge> merge, int nice);

    std::vector<std::string> paths_;
    ReadOptions options_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> frames_{0}, bytes_read_{0};
    uint64_t bytes_total_ = 0;
    mutable std::mutex mutex_;  // points_, counts_, error_
    mutable std::condition_variable finished_;
    std::vector<Point> points_;
    std::unordered_map<uint32_t, uint64_t> counts_;
    std::string error_;
};

// Frames of an indexed trace by number: from the place before, read on;
// reading on from the frame before costs one frame.
class IndexedReader {
public:
    IndexedReader();
    ~IndexedReader();
    IndexedReader(const IndexedReader &) = delete;
    IndexedReader &operator=(const IndexedReader &) = delete;

    bool open(const Index &index);
    // 1: *f is frame n; 0: the trace has no frame n (yet); -1: error().
    int read(uint64_t n, Frame *f);
    // Frame n, waiting while the index grows towards it: 1; 0 when the
    // trace ends before frame n or `stop` is set; -1: error().
    int read_following(uint64_t n, Frame *f, const std::atomic<bool> &stop);
    // The number of the first frame at or after `us` among those indexed,
    // or -1 when there is none.
    int64_t find_time(int64_t us);
    const std::string &error() const { return error_; }

private:
    bool go_to(uint64_t n);

    const Index *index_ = nullptr;
    std::unique_ptr<detail::Merge> merge_;
    uint64_t next_ = 0;  // the number of the frame the merge gives next
    std::string error_;
};

}  // namespace velk::trace
