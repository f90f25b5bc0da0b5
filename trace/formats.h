// Inside the trace module: the lines of each format and the small text
// helpers they share. Writer and Reader (trace.cpp) own the files; the
// text format files (candump_log.cpp, asc.cpp, csv.cpp) only turn frames
// into lines and lines into frames. The formats with state of their own
// (blf.cpp, mf4.cpp, pcapng.cpp, trc.cpp) are a Decoder and an Encoder
// each, over the file the Reader or Writer opened.
#pragma once

#include <array>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "trace.h"

namespace velk::trace::detail {

// ---- shared text helpers ----
std::string_view trim(std::string_view s);
std::vector<std::string_view> split_ws(std::string_view s);
// The first `max` words into `out`, without allocating; returns how many
// words the text has (more than `max` where it has more).
size_t split_ws(std::string_view s, std::string_view *out, size_t max);
// A hex digit's value, or -1: by table, as the text readers call it for
// every byte of every line.
inline int hex_value(char c)
{
    static constexpr auto kTable = [] {
        std::array<int8_t, 256> t{};
        for (int i = 0; i < 256; ++i)
            t[static_cast<size_t>(i)] = static_cast<int8_t>(i >= '0' && i <= '9'   ? i - '0'
                                                           : i >= 'a' && i <= 'f' ? i - 'a' + 10
                                                           : i >= 'A' && i <= 'F' ? i - 'A' + 10
                                                                                  : -1);
        return t;
    }();
    return kTable[static_cast<unsigned char>(c)];
}
bool starts_with_nocase(std::string_view s, std::string_view prefix);
bool equal_nocase(std::string_view a, std::string_view b);
// A number of the whole text in base 16 or 10, at most `max`.
bool parse_uint(std::string_view s, int base, uint64_t max, uint64_t *v);
// Seconds with a fraction of up to nine digits (microseconds kept): "12.345"
// gives 12345000. A leading '-' only where `negative` allows it.
bool parse_seconds(std::string_view s, bool negative, int64_t *us);
// "12.345000" with six decimals; "-0.000100" below zero.
std::string seconds_text(int64_t us);
int64_t frame_us(const Frame &f);
void set_frame_us(Frame *f, int64_t us);
// The parts one after the other (a message with numbers in it).
std::string join(std::initializer_list<std::string_view> parts);
// "DE AD BE EF" (separated) or "DEADBEEF".
void append_hex(std::string *out, const uint8_t *p, int n, bool spaced);

// ---- formats with a decoder and an encoder of their own ----

// A place that does not fit ResumePoint's fields, kept by the decoder that
// made it (shared, for the index's copies of a place).
struct DecoderPlace {
    virtual ~DecoderPlace() = default;
    // Bytes held, for the index's count of its memory.
    virtual size_t bytes() const = 0;
};

// Reads a file of its format from its first byte, streaming: what it holds
// in memory is bounded whatever the file's size.
class Decoder {
public:
    virtual ~Decoder() = default;
    // 1: *f holds the next frame and *name its channel as the file names it
    // (the Reader maps it); 0: the end of the file; -1: *why says what is
    // wrong and where ("at byte 1234: ..." or "line 12: ..."), after every
    // frame before that place was delivered.
    virtual int next(Frame *f, std::string *name, std::string *why) = 0;
    // Said once the end is reached (objects skipped and counted, ...), or "".
    virtual std::string summary() const { return {}; }
    // The place before the next frame (all but p->frames), and back to it
    // on a decoder of the same file that has read the file's header. False
    // where the format cannot: the reader then reads from the start.
    virtual bool mark(ResumePoint * /*p*/) const { return false; }
    virtual bool resume(FILE * /*file*/, const ResumePoint & /*p*/) { return false; }
};

// The bytes an encoder writes, with the count the Writer keeps.
// What an encoder writes gathers in `pending` (the Writer's), and the
// Writer hands it to the file in one write between encoder calls, so that
// a writer killed at any moment leaves whole blocks only: an encoder puts
// whole blocks in each call.
class Output {
public:
    Output(FILE *file, uint64_t *bytes, std::string *pending) : file_(file), bytes_(bytes), pending_(pending) {}
    bool put(const void *data, size_t n);
    bool put(std::string_view s) { return put(s.data(), s.size()); }
    // Overwrites n bytes at `offset` of what was written (header counts
    // filled in at the end) and goes back to the end, after what is pending.
    // False where the file cannot seek (standard output) or a write fails.
    bool patch(uint64_t offset, const void *data, size_t n);
    uint64_t written() const { return *bytes_; }
    bool flush();
    // Hands what is pending to the file in one write (the Writer's, too).
    bool drain();

private:

    FILE *file_;
    uint64_t *bytes_;
    std::string *pending_;
};

class Encoder {
public:
    virtual ~Encoder() = default;
    // Once, on open: the file's header.
    virtual bool begin(Output &out) = 0;
    virtual bool write(Output &out, const Frame &f) = 0;
    // What is buffered, handed to the file (Writer::flush): whole blocks only.
    virtual bool flush(Output &out) = 0;
    // The rest and the format's ending, counts and times filled in.
    virtual bool finish(Output &out) = 0;
};

// One per format; nullptr for a format read or written as lines.
std::unique_ptr<Decoder> make_decoder(Format format, FILE *file, const ReadOptions &options);
std::unique_ptr<Encoder> make_encoder(Format format, const WriteOptions &options);

// A decoder that says the format is not read yet.
std::unique_ptr<Decoder> unsupported_decoder(const char *format);

std::unique_ptr<Decoder> blf_decoder(FILE *file, const ReadOptions &options);
std::unique_ptr<Encoder> blf_encoder(const WriteOptions &options);
std::unique_ptr<Decoder> mf4_decoder(FILE *file, const ReadOptions &options);
std::unique_ptr<Encoder> mf4_encoder(const WriteOptions &options);
// pcap and pcapng share one file: the format given says which is written;
// either is read whatever the extension says.
std::unique_ptr<Decoder> pcap_decoder(FILE *file, const ReadOptions &options);
std::unique_ptr<Encoder> pcap_encoder(Format format, const WriteOptions &options);
std::unique_ptr<Decoder> trc_decoder(FILE *file, const ReadOptions &options);
std::unique_ptr<Encoder> trc_encoder(const WriteOptions &options);

// ---- text formats compressed by suffix (compressed.cpp) ----

struct CompressedState;
// A stream that compresses what is written into `file` (or inflates what is
// read from it); closing it finishes the stream and closes `file`. level -1:
// the codec's default. *state serves the calls below while it is open.
FILE *open_compressed(FILE *file, Compression c, bool writing, int level, CompressedState **state);
// After an fflush of the stream: a sync point, so that the file cut here
// reads back up to this place.
bool sync_compressed(CompressedState *state);
// The compressed file itself.
FILE *compressed_file(const CompressedState *state);
// Reading: the last restart point met (nullptr: the start), which keeps
// the ones before it; from the first call on, the stream keeps them.
std::shared_ptr<const InflatePoint> compressed_point(CompressedState *state);
// Reading: restart points that a seek (fseeko of the stream) may go back
// by, besides those the stream met itself.
void compressed_resume_from(CompressedState *state, std::shared_ptr<const InflatePoint> from);
// Reading: the stream ended without its end mark (a writer killed).
bool compressed_cut_short(const CompressedState *state);
// Reading: why the last read failed.
const std::string &compressed_damage(const CompressedState *state);

// ---- candump log ----
// Parses one line; *name is the interface name.
bool log_parse(std::string_view line, Frame *f, std::string *name, std::string *why);

// ---- Vector ASC ----
std::string asc_header(int64_t start_us, const std::string &note);
void asc_append_frame(std::string *out, const Frame &f, int64_t start_us);
extern const char kAscFooter[];
// A header date ("Tue Nov 14 10:13:19.123 pm 2023", local time) in wall-clock
// microseconds.
bool asc_date(std::string_view text, int64_t *us);
// One line of the measurement: 1 a frame (time in *rel_us, the file's channel
// number in *name); 0 a line without a frame (another event, a comment);
// -1 malformed, *why says why.
int asc_event(std::string_view line, int base, Frame *f, std::string *name, int64_t *rel_us, std::string *why);

// ---- CSV ----
extern const char kCsvHeader[];
void csv_append_row(std::string *out, const Frame &f);
bool csv_parse(std::string_view row, Frame *f, std::string *name, std::string *why);

}  // namespace velk::trace::detail
