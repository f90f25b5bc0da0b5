// BLF, Vector's binary logging format. Little-endian throughout: a 144-byte
// "LOGG" file header, then "LOBJ" objects. Nearly all of them are
// LOG_CONTAINERs whose data, stored or zlib-compressed, is itself a run of
// objects; an object may begin in one container and end in the next, so the
// reader treats the containers' data as one stream. An object is followed by
// (its size % 4) bytes of padding.
//
// The reader streams: one input buffer, one buffer of container data and the
// inflate state, whatever sizes the file claims.
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <vector>

#include "formats.h"

namespace velk::trace::detail {

namespace {

// Object types.
constexpr uint32_t kCanMessage = 1;
constexpr uint32_t kCanError = 2;
constexpr uint32_t kLogContainer = 10;
constexpr uint32_t kCanErrorExt = 73;
constexpr uint32_t kCanMessage2 = 86;
constexpr uint32_t kCanFdMessage = 100;
constexpr uint32_t kCanFdMessage64 = 101;
constexpr uint32_t kCanFdError64 = 104;

constexpr uint32_t kObjectSignature = 0x4A424F4C;  // "LOBJ"
constexpr size_t kFileHeader = 144;
constexpr size_t kFileHeaderUsed = 72;  // what follows is reserved
constexpr size_t kBaseHeader = 16;      // signature, header size, version, object size, type
constexpr size_t kHeaderV1 = 32;        // + flags, client, object version, time stamp
constexpr size_t kHeaderV2 = 40;        // + flags, status, object version, time stamp, original
constexpr size_t kContainerHeader = 32;  // base header + method, uncompressed size
constexpr uint16_t kStored = 0;
constexpr uint16_t kZlib = 2;
constexpr uint32_t kTenMicros = 1;  // object flags: time stamp unit
constexpr uint32_t kNanos = 2;
constexpr uint32_t kExtendedId = 0x80000000;
// Object flags and bits of CAN_FD_MESSAGE_64.
constexpr uint8_t kRtr = 0x80;
constexpr uint8_t kFdEdl = 0x01, kFdBrs = 0x02, kFdEsi = 0x04;
constexpr uint32_t k64Rtr = 0x0010, k64Edl = 0x1000, k64Brs = 0x2000, k64Esi = 0x4000;

// Fixed part of each frame object after its header; a shorter one is damaged.
struct FrameObject {
    uint32_t type;
    size_t fixed;  // bytes the reader needs
    size_t data;   // payload bytes that may follow
};
constexpr FrameObject kFrameObjects[] = {
    {kCanMessage, 16, 0},   {kCanMessage2, 16, 0}, {kCanFdMessage, 20, 64}, {kCanFdMessage64, 40, 64},
    {kCanError, 2, 0},      {kCanErrorExt, 2, 0},  {kCanFdError64, 1, 0},
};

// Names of the kinds a CAN trace holds besides frames, for the summary.
struct TypeName {
    uint32_t type;
    const char *name;
};
constexpr TypeName kTypeNames[] = {
    {3, "CAN_OVERLOAD"},        {4, "CAN_STATISTIC"},  {5, "APP_TRIGGER"},    {10, "LOG_CONTAINER"},
    {31, "CAN_DRIVER_ERROR"},   {44, "CAN_DRIVER_SYNC"}, {51, "REALTIMECLOCK"}, {65, "APP_TEXT"},
    {72, "SYS_VARIABLE"},       {74, "CAN_DRIVER_ERROR_EXT"}, {92, "EVENT_COMMENT"}, {96, "GLOBAL_MARKER"},
};

// zlib's deflate cannot make more than about 1032 bytes of one.
constexpr uint64_t kMaxInflateRatio = 1032;

constexpr size_t kInputBuffer = 1 << 16;
constexpr size_t kDataBuffer = 1 << 17;
constexpr size_t kMaxKindsCounted = 32;

// What Vector's tools put in one container before compressing it.
constexpr size_t kContainerData = 128 * 1024;

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t le64(const uint8_t *p)
{
    return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32;
}

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v)
{
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}

void put64(uint8_t *p, uint64_t v)
{
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

std::string at_byte(uint64_t offset)
{
    return "at byte " + std::to_string(offset) + ": ";
}

// The header's times are SYSTEMTIMEs (year, month, weekday, day, hour,
// minute, second, millisecond) in the local time of the machine that wrote
// them, as CANalyzer and python-can keep them. False (and zeros) for a time
// outside the years 1601 to 30827 they can hold.
bool put_systemtime(uint8_t *p, int64_t us)
{
    std::memset(p, 0, 16);
    const time_t sec = static_cast<time_t>(us / 1000000);
    struct tm tm;
    if (us < 0 || localtime_r(&sec, &tm) == nullptr || tm.tm_year + 1900 > 30827)
        return false;
    const int fields[8] = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_wday, tm.tm_mday,
                           tm.tm_hour,        tm.tm_min,     tm.tm_sec,  static_cast<int>(us / 1000 % 1000)};
    for (int i = 0; i < 8; ++i)
        put16(p + 2 * i, static_cast<uint16_t>(fields[i]));
    return true;
}

// Wall-clock microseconds of a SYSTEMTIME; 0 for one that names no time
// (a file whose writer did not know it), as python-can takes it.
int64_t systemtime_us(const uint8_t *p)
{
    const int year = le16(p), month = le16(p + 2), day = le16(p + 6), hour = le16(p + 8), minute = le16(p + 10),
              second = le16(p + 12), ms = le16(p + 14);
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 59 || ms > 999)
        return 0;
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1))
        return 0;
    return int64_t{t} * 1000000 + ms * 1000;
}

// An object's time stamp in microseconds, rounded (python-can's writer
// leaves float error in its nanoseconds); held within what a Frame keeps.
int64_t stamp_us(uint32_t flags, uint64_t stamp)
{
    constexpr uint64_t kMax = uint64_t{1} << 61;
    const bool ten_micros = (flags & kTenMicros) != 0 && (flags & kNanos) == 0;
    const uint64_t us = ten_micros ? (stamp > kMax / 10 ? kMax : stamp * 10) : stamp / 1000 + (stamp % 1000 >= 500);
    return static_cast<int64_t>(std::min(us, kMax));
}

// A data frame's payload: `stored` bytes of `data` are in the object, the
// rest of the frame's length reads as zeros.
void set_payload(Frame *f, const uint8_t *data, size_t stored)
{
    f->len = static_cast<uint8_t>(f->remote ? 0 : f->fd ? dlc_to_len(f->dlc) : std::min<int>(f->dlc, 8));
    std::memcpy(f->data.data(), data, std::min<size_t>(stored, f->len));
}

void set_id(Frame *f, uint32_t id)
{
    f->extended = (id & kExtendedId) != 0;
    f->id = id & 0x1FFFFFFF;
}

// The frame of an object of a kind in kFrameObjects from its body `b`,
// `stored` payload bytes after its fixed part; returns its channel.
int decode_frame(uint32_t type, const uint8_t *b, size_t stored, Frame *f)
{
    switch (type) {
    case kCanMessage:
    case kCanMessage2:
        f->tx = (b[2] & 0x0F) != 0;  // Tx and TxRq
        f->remote = (b[2] & kRtr) != 0;
        f->dlc = b[3] & 0x0F;
        set_id(f, le32(b + 4));
        set_payload(f, b + 8, 8);
        return le16(b);
    case kCanFdMessage:
        f->tx = (b[2] & 0x0F) != 0;
        f->fd = (b[13] & kFdEdl) != 0;
        f->remote = !f->fd && (b[2] & kRtr) != 0;
        f->brs = f->fd && (b[13] & kFdBrs) != 0;
        f->esi = f->fd && (b[13] & kFdEsi) != 0;
        f->dlc = b[3] & 0x0F;
        set_id(f, le32(b + 4));
        set_payload(f, b + 20, std::min<size_t>(stored, b[14]));
        return le16(b);
    case kCanFdMessage64: {
        const uint32_t flags = le32(b + 12);
        f->fd = (flags & k64Edl) != 0;
        f->remote = !f->fd && (flags & k64Rtr) != 0;
        f->brs = f->fd && (flags & k64Brs) != 0;
        f->esi = f->fd && (flags & k64Esi) != 0;
        f->tx = b[34] != 0;
        f->dlc = b[1] & 0x0F;
        set_id(f, le32(b + 4));
        set_payload(f, b + 40, std::min<size_t>(stored, b[2]));
        return b[0];
    }
    case kCanError:
    case kCanErrorExt: f->error = true; return le16(b);
    case kCanFdError64: f->error = true; return b[0];
    default: return 0;
    }
}

// ---- reading ----

class BlfDecoder : public Decoder {
public:
    explicit BlfDecoder(FILE *file) : file_(file), in_(kInputBuffer), buf_(kDataBuffer)
    {
        struct stat st;
        if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
            const off_t here = ftello(file);
            if (here >= 0 && st.st_size >= here) {
                size_known_ = true;
                file_size_ = static_cast<uint64_t>(st.st_size);
                file_pos_ = static_cast<uint64_t>(here);
            }
        }
    }

    ~BlfDecoder() override
    {
        if (zs_ready_)
            inflateEnd(&zs_);
    }

    int next(Frame *f, std::string *name, std::string *why) override;
    std::string summary() const override;
    bool mark(ResumePoint *p) const override;
    bool resume(FILE *file, const ResumePoint &p) override;

private:
    enum class Source { None, Stored, Zlib, Plain };
    // Where the data stream's bytes from `inner` on come from: the file
    // byte by byte (`stored`, from file offset `file`), or a compressed
    // container at `file`.
    struct Span {
        uint64_t inner;
        uint64_t file;
        bool stored;
        uint64_t object;  // the file offset of the object or container that gives these bytes
        bool container;
    };

    int fail(std::string *why, const std::string &text);
    int read_header(std::string *why);
    int at_end(std::string *why);
    int cut_short(std::string *why);
    // The file, through the input buffer.
    size_t read_file(uint8_t *dst, size_t n);
    bool fill_input();
    void skip_file(uint64_t n);
    // The data stream: the containers' data one after the other (and any
    // object outside a container as it stands).
    size_t produce(uint8_t *dst, size_t room);
    size_t inflate_some(uint8_t *dst, size_t room);
    bool open_object();
    bool need(size_t n);
    bool skip(uint64_t n);
    int whole_object(uint64_t at, uint32_t type, uint32_t size, std::string *why);
    uint64_t position() const { return buf_base_ + rd_; }
    std::string where(uint64_t inner) const;
    void count_skipped(uint32_t type);

    FILE *file_;
    bool header_read_ = false;
    std::string failed_;
    int64_t start_us_ = 0;
    uint64_t header_file_size_ = 0;
    bool size_known_ = false;
    uint64_t file_size_ = 0;

    std::vector<uint8_t> in_;
    size_t in_pos_ = 0, in_end_ = 0;
    uint64_t file_pos_ = 0;  // file offset of in_[in_pos_]
    bool file_end_ = false;

    Source src_ = Source::None;
    uint64_t obj_at_ = 0;    // file offset of the object being read
    uint64_t src_left_ = 0;  // its bytes not read yet
    uint32_t file_pad_ = 0;  // padding after it
    uint32_t declared_ = 0;  // a container's uncompressed size, as its header says
    uint64_t produced_ = 0;  // of the current container
    uint8_t plain_[kBaseHeader];
    size_t plain_left_ = 0;
    z_stream zs_ = {};
    bool zs_ready_ = false;
    bool zs_done_ = false;
    std::string pending_;  // damage met while filling; said once what came before is read
    bool stream_end_ = false;
    uint64_t stream_total_ = 0;
    std::deque<Span> spans_;

    std::vector<uint8_t> buf_;
    size_t rd_ = 0, wr_ = 0;
    uint64_t buf_base_ = 0;  // stream offset of buf_[0]
    uint32_t skip_pad_ = 0;  // after the object last read
    uint32_t header_objects_ = 0;
    // A header as a writer leaves it while still writing (no size yet, or
    // the size at its last flush, less than the file's): a file ending
    // inside an object is where its writer stopped, not damage.
    bool unfinished_ = false;
    bool cut_ = false;     // pending_ says the file ends inside an object
    std::string cut_at_;   // said in the summary when the file is unfinished
    bool ended_ = false;   // there, without an error
    uint64_t objects_ = 0;  // in the stream, of any kind
    uint64_t containers_ = 0;

    std::string channel_names_[16];
    std::map<uint32_t, uint64_t> skipped_;
    uint64_t skipped_other_ = 0;
};

int BlfDecoder::fail(std::string *why, const std::string &text)
{
    failed_ = text;
    *why = text;
    return -1;
}

bool BlfDecoder::fill_input()
{
    if (file_end_)
        return false;
    if (in_pos_ < in_end_)
        return true;
    in_pos_ = 0;
    in_end_ = std::fread(in_.data(), 1, in_.size(), file_);
    if (in_end_ == 0) {
        file_end_ = true;
        if (std::ferror(file_) && pending_.empty())
            pending_ = at_byte(file_pos_) + "read error: " + std::strerror(errno);
        return false;
    }
    return true;
}

size_t BlfDecoder::read_file(uint8_t *dst, size_t n)
{
    size_t got = 0;
    while (got < n && fill_input()) {
        const size_t k = std::min(n - got, in_end_ - in_pos_);
        if (dst != nullptr)
            std::memcpy(dst + got, in_.data() + in_pos_, k);
        in_pos_ += k;
        file_pos_ += k;
        got += k;
    }
    return got;
}

void BlfDecoder::skip_file(uint64_t n)
{
    while (n > 0 && fill_input()) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, in_end_ - in_pos_));
        in_pos_ += k;
        file_pos_ += k;
        n -= k;
    }
}

int BlfDecoder::read_header(std::string *why)
{
    uint8_t h[kFileHeaderUsed];
    const size_t n = read_file(h, sizeof h);
    if (n >= 4 && std::memcmp(h, "LOGG", 4) != 0)
        return fail(why, at_byte(0) + "not a BLF file (it does not begin with LOGG)");
    if (n < sizeof h)
        return fail(why, at_byte(n) + "the file ends inside its header");
    const uint32_t size = le32(h + 4);
    if (size < kFileHeaderUsed || size > 1 << 16)
        return fail(why, at_byte(4) + "a file header of " + std::to_string(size) + " bytes, not a BLF header's");
    if (read_file(nullptr, size - kFileHeaderUsed) < size - kFileHeaderUsed)
        return fail(why, at_byte(file_pos_) + "the file ends inside its header");
    header_file_size_ = le64(h + 16);
    header_objects_ = le32(h + 32);
    unfinished_ = header_file_size_ == 0 || (size_known_ && header_file_size_ < file_size_);
    start_us_ = systemtime_us(h + 40);
    header_read_ = true;
    return 1;
}

// The file's next object: a container opens its data to the stream; any
// other object goes into the stream as it stands, padding and all.
bool BlfDecoder::open_object()
{
    skip_file(file_pad_);
    file_pad_ = 0;
    // Writers that pad to a multiple of four rather than by size % 4 leave
    // zeros the other rule does not expect.
    for (int i = 0; i < 3 && fill_input() && in_[in_pos_] == 0; ++i)
        skip_file(1);
    obj_at_ = file_pos_;
    uint8_t h[kBaseHeader];
    const size_t n = read_file(h, sizeof h);
    if (n == 0) {
        stream_end_ = pending_.empty();
        return false;
    }
    if (n < sizeof h) {
        pending_ = at_byte(obj_at_) + "the file ends inside an object header";
        cut_ = true;
        return false;
    }
    if (std::memcmp(h, "LOBJ", 4) != 0) {
        pending_ = at_byte(obj_at_) + "no BLF object here (LOBJ expected)";
        return false;
    }
    const uint32_t size = le32(h + 8), type = le32(h + 12);
    if (size_known_ && size > file_size_ - obj_at_) {
        pending_ = at_byte(obj_at_) + "an object of " + std::to_string(size) + " bytes runs past the end of the file (" +
                   std::to_string(file_size_ - obj_at_) + " bytes left)";
        cut_ = true;
        return false;
    }
    if (type != kLogContainer) {
        std::memcpy(plain_, h, sizeof h);
        plain_left_ = sizeof h;
        src_ = Source::Plain;
        src_left_ = size >= kBaseHeader ? size - kBaseHeader + size % 4 : 0;
        spans_.push_back({stream_total_, obj_at_, true, obj_at_, false});
        return true;
    }
    if (size < kContainerHeader) {
        pending_ = at_byte(obj_at_) + "a container of " + std::to_string(size) + " bytes, less than its header";
        return false;
    }
    uint8_t c[kContainerHeader - kBaseHeader];
    if (read_file(c, sizeof c) < sizeof c) {
        pending_ = at_byte(obj_at_) + "the file ends inside a container header";
        cut_ = true;
        return false;
    }
    ++containers_;
    const uint16_t method = le16(c);
    declared_ = le32(c + 8);
    src_left_ = size - kContainerHeader;
    file_pad_ = size % 4;
    produced_ = 0;
    if (method == kZlib) {
        if (declared_ > src_left_ * kMaxInflateRatio + 64) {
            pending_ = at_byte(obj_at_) + "a container says its " + std::to_string(src_left_) +
                       " compressed bytes hold " + std::to_string(declared_) + ", more than zlib can make of them";
            return false;
        }
        if (!zs_ready_) {
            if (inflateInit(&zs_) != Z_OK) {
                pending_ = at_byte(obj_at_) + "zlib cannot start";
                return false;
            }
            zs_ready_ = true;
        } else {
            inflateReset(&zs_);
        }
        zs_done_ = false;
        src_ = Source::Zlib;
    } else if (method == kStored) {
        src_ = Source::Stored;
    } else {
        pending_ = at_byte(obj_at_) + "a container compressed by method " + std::to_string(method) +
                   ", which is neither stored (0) nor zlib (2)";
        return false;
    }
    const Span span = {stream_total_, src_ == Source::Stored ? obj_at_ + kContainerHeader : obj_at_,
                       src_ == Source::Stored, obj_at_, true};
    if (!spans_.empty() && spans_.back().inner == span.inner)
        spans_.back() = span;  // the one before gave no bytes
    else
        spans_.push_back(span);
    return true;
}

size_t BlfDecoder::inflate_some(uint8_t *dst, size_t room)
{
    for (;;) {
        if (zs_done_) {
            // Bytes after the end of the zlib stream are no data.
            skip_file(src_left_);
            src_left_ = 0;
            if (produced_ != declared_) {
                pending_ = at_byte(obj_at_) + "a container inflates to " + std::to_string(produced_) +
                           " bytes, not the " + std::to_string(declared_) + " its header says";
                return 0;
            }
            src_ = Source::None;
            return 0;
        }
        if (src_left_ > 0 && !fill_input()) {
            if (pending_.empty()) {
                pending_ = at_byte(file_pos_) + "the file ends inside the container at byte " + std::to_string(obj_at_);
                cut_ = true;
            }
            return 0;
        }
        // Output past the stated size goes to a scratch byte that says so.
        uint8_t scratch;
        const uint64_t left = declared_ - produced_;
        const bool over = left == 0;
        const size_t out_room = over ? 1 : static_cast<size_t>(std::min<uint64_t>(room, left));
        const size_t in_room = static_cast<size_t>(std::min<uint64_t>(src_left_, in_end_ - in_pos_));
        zs_.next_in = in_.data() + in_pos_;
        zs_.avail_in = static_cast<uInt>(in_room);
        zs_.next_out = over ? &scratch : dst;
        zs_.avail_out = static_cast<uInt>(out_room);
        const int r = inflate(&zs_, Z_NO_FLUSH);
        const size_t used = in_room - zs_.avail_in;
        const size_t made = out_room - zs_.avail_out;
        in_pos_ += used;
        file_pos_ += used;
        src_left_ -= used;
        if (r == Z_STREAM_END)
            zs_done_ = true;
        else if (r != Z_OK && !(r == Z_BUF_ERROR && src_left_ > 0)) {
            pending_ = at_byte(obj_at_) +
                       (r == Z_BUF_ERROR ? std::string("a container's zlib data ends before its stream does")
                                         : "a container's zlib data is corrupt (" +
                                               std::string(zs_.msg != nullptr ? zs_.msg : "inflate failed") + ")");
            // What zlib made before it found the damage stands, however
            // the output was cut into calls: a reader taken up half-way
            // then delivers what a straight read does.
            if (made > 0 && !over) {
                produced_ += made;
                return made;
            }
            return 0;
        }
        if (made > 0 && over) {
            pending_ = at_byte(obj_at_) + "a container inflates past the " + std::to_string(declared_) +
                       " bytes its header says";
            return 0;
        }
        produced_ += made;
        if (made > 0)
            return made;
        if (!zs_done_ && used == 0 && src_left_ == 0) {
            pending_ = at_byte(obj_at_) + "a container's zlib data ends before its stream does";
            return 0;
        }
    }
}

size_t BlfDecoder::produce(uint8_t *dst, size_t room)
{
    while (pending_.empty() && !stream_end_) {
        size_t n = 0;
        switch (src_) {
        case Source::None:
            if (!open_object())
                return 0;
            continue;
        case Source::Plain:
            if (plain_left_ > 0) {
                n = std::min(room, plain_left_);
                std::memcpy(dst, plain_ + sizeof plain_ - plain_left_, n);
                plain_left_ -= n;
                break;
            }
            [[fallthrough]];
        case Source::Stored:
            if (src_left_ == 0) {
                src_ = Source::None;
                continue;
            }
            n = read_file(dst, static_cast<size_t>(std::min<uint64_t>(room, src_left_)));
            src_left_ -= n;
            if (n == 0) {
                // The last object of a file may go without its padding.
                if (src_ == Source::Plain)
                    stream_end_ = pending_.empty();
                else if (pending_.empty()) {
                    pending_ = at_byte(file_pos_) + "the file ends inside the container at byte " +
                               std::to_string(obj_at_);
                    cut_ = true;
                }
                return 0;
            }
            break;
        case Source::Zlib:
            n = inflate_some(dst, room);
            if (n == 0)
                continue;
            break;
        }
        stream_total_ += n;
        return n;
    }
    return 0;
}

// At least n bytes of the stream in buf_ from rd_, unless the stream ends
// or is damaged before.
bool BlfDecoder::need(size_t n)
{
    if (wr_ - rd_ >= n)
        return true;
    if (rd_ + n > buf_.size()) {
        std::memmove(buf_.data(), buf_.data() + rd_, wr_ - rd_);
        buf_base_ += rd_;
        wr_ -= rd_;
        rd_ = 0;
    }
    while (wr_ - rd_ < n) {
        const size_t k = produce(buf_.data() + wr_, buf_.size() - wr_);
        if (k == 0)
            return false;
        wr_ += k;
    }
    return true;
}

bool BlfDecoder::skip(uint64_t n)
{
    const size_t here = static_cast<size_t>(std::min<uint64_t>(n, wr_ - rd_));
    rd_ += here;
    n -= here;
    if (n == 0)
        return true;
    buf_base_ += wr_;
    rd_ = wr_ = 0;
    while (n > 0) {
        const size_t k = produce(buf_.data(), static_cast<size_t>(std::min<uint64_t>(n, buf_.size())));
        if (k == 0)
            return false;
        n -= k;
        buf_base_ += k;
        // Only the span of the object skipped and the latest can still be named.
        if (spans_.size() > 2)
            spans_.erase(spans_.begin() + 1, spans_.end() - 1);
    }
    return true;
}

std::string BlfDecoder::where(uint64_t inner) const
{
    const Span *s = nullptr;
    for (const Span &span : spans_)
        if (span.inner <= inner)
            s = &span;
    if (s == nullptr)
        return at_byte(file_pos_);
    if (s->stored)
        return at_byte(s->file + (inner - s->inner));
    return "at byte " + std::to_string(s->file) + " (byte " + std::to_string(inner - s->inner) +
           " of the container's data): ";
}

void BlfDecoder::count_skipped(uint32_t type)
{
    const auto it = skipped_.find(type);
    if (it != skipped_.end())
        ++it->second;
    else if (skipped_.size() < kMaxKindsCounted)
        skipped_[type] = 1;
    else
        ++skipped_other_;
}

// The data stream has ended early for the reason in pending_: the end of
// an unfinished file (a logger killed while writing, every whole object
// read), or damage.
int BlfDecoder::cut_short(std::string *why)
{
    if (!cut_ || !unfinished_)
        return fail(why, pending_);
    cut_at_ = pending_;
    pending_.clear();
    ended_ = true;
    return 0;
}

int BlfDecoder::at_end(std::string *why)
{
    if (!pending_.empty())
        return cut_short(why);
    // A file cut where one container ends and the next would begin is only
    // seen from the size its header gives.
    if (header_file_size_ > kFileHeader && file_pos_ < header_file_size_)
        return fail(why, at_byte(file_pos_) + "the file ends here, but its header says it holds " +
                             std::to_string(header_file_size_) + " bytes");
    // Writers count the objects in containers; containers too, perhaps:
    // only a count above both together is a lie.
    if (header_objects_ > objects_ + containers_)
        return fail(why, at_byte(file_pos_) + "the file ends here, but its header counts " +
                             std::to_string(header_objects_) + " objects and it holds " + std::to_string(objects_));
    return 0;
}

// Passes the object that begins at `at`; 0 when it is whole, -1 when the
// file ends or is damaged before its end.
int BlfDecoder::whole_object(uint64_t at, uint32_t type, uint32_t size, std::string *why)
{
    if (skip(size))
        return 0;
    if (!pending_.empty())
        return cut_short(why);
    return fail(why, where(at) + "the file ends inside an object of type " + std::to_string(type) + " (" +
                         std::to_string(size) + " bytes)");
}

int BlfDecoder::next(Frame *f, std::string *name, std::string *why)
{
    if (!failed_.empty()) {
        *why = failed_;
        return -1;
    }
    if (ended_)
        return 0;
    if (!header_read_ && read_header(why) < 0)
        return -1;
    for (;;) {
        skip(skip_pad_);  // the last object of the file may go without its padding
        skip_pad_ = 0;
        for (int i = 0; i < 7 && need(1) && buf_[rd_] == 0; ++i)
            ++rd_;  // padding to a multiple of four, where size % 4 was expected

        const uint64_t at = position();
        while (spans_.size() > 1 && spans_[1].inner <= at)
            spans_.pop_front();
        if (!need(kBaseHeader)) {
            if (!pending_.empty())
                return cut_short(why);
            bool zeros = true;
            for (size_t i = rd_; i < wr_; ++i)
                zeros = zeros && buf_[i] == 0;
            if (zeros)
                return at_end(why);
            return fail(why, where(at) + "the file ends inside an object header");
        }
        const uint8_t *p = buf_.data() + rd_;
        if (le32(p) != kObjectSignature)
            return fail(why, where(at) + "no BLF object here (LOBJ expected)");
        const uint16_t header_size = le16(p + 4), version = le16(p + 6);
        const uint32_t size = le32(p + 8), type = le32(p + 12);
        if (header_size < kBaseHeader || size < header_size)
            return fail(why, where(at) + "an object of type " + std::to_string(type) + " says it is " +
                                 std::to_string(size) + " bytes with a header of " + std::to_string(header_size));
        ++objects_;
        skip_pad_ = size % 4;

        const FrameObject *kind = nullptr;
        for (const FrameObject &k : kFrameObjects)
            if (k.type == type)
                kind = &k;
        const size_t header_needed = version == 2 ? kHeaderV2 : kHeaderV1;
        if (kind == nullptr || (version != 1 && version != 2) || header_size < header_needed || header_size > 256) {
            count_skipped(type);
            if (whole_object(at, type, size, why) < 0)
                return -1;
            continue;
        }
        const uint32_t body_size = size - header_size;
        if (body_size < kind->fixed)
            return fail(why, where(at) + "an object of type " + std::to_string(type) + " of " + std::to_string(size) +
                                 " bytes, too short for its fields");
        const size_t wanted = header_size + std::min<size_t>(body_size, kind->fixed + kind->data);
        if (!need(wanted))
            return whole_object(at, type, size, why);
        p = buf_.data() + rd_;
        const uint32_t flags = le32(p + 16);
        set_frame_us(f, start_us_ + stamp_us(flags, le64(p + 24)));
        size_t stored = wanted - header_size - kind->fixed;  // payload bytes in the object
        if (type == kCanFdMessage64) {
            // The payload ends where an extension begins, if the object has
            // one (its offset counts from the object's start).
            const size_t ext = p[header_size + 35], data_at = header_size + kind->fixed;
            if (ext >= data_at && ext < data_at + stored)
                stored = ext - data_at;
        }
        const int channel = decode_frame(type, p + header_size, stored, f);
        // A frame counts once its whole object is there.
        if (whole_object(at, type, size, why) < 0)
            return -1;
        if (channel < static_cast<int>(std::size(channel_names_))) {
            std::string &text = channel_names_[channel];
            if (text.empty())
                text = std::to_string(channel);
            *name = text;
        } else {
            *name = std::to_string(channel);
        }
        return 1;
    }
}

// A place is the container (or object outside one) whose data holds the
// next object, and how far into the data stream it lies: going back there
// inflates at most that one container.
bool BlfDecoder::mark(ResumePoint *p) const
{
    if (!header_read_ || !failed_.empty() || !pending_.empty())
        return false;
    const uint64_t at = position();
    const Span *s = nullptr;
    uint64_t later_containers = 0;
    for (const Span &span : spans_) {
        if (span.inner <= at) {
            s = &span;
            later_containers = 0;
        }
        later_containers += span.container ? 1 : 0;
    }
    if (s == nullptr)
        return false;
    p->offset = s->object;
    p->stream = s->inner;
    p->inner = at;
    p->count = objects_;
    p->count2 = containers_ - later_containers;
    p->flags = skip_pad_;
    return true;
}

bool BlfDecoder::resume(FILE *file, const ResumePoint &p)
{
    if (!header_read_ || p.inner < p.stream || fseeko(file, static_cast<off_t>(p.offset), SEEK_SET) != 0)
        return false;
    file_ = file;
    in_pos_ = in_end_ = 0;
    file_pos_ = p.offset;
    file_end_ = false;
    src_ = Source::None;
    src_left_ = 0;
    file_pad_ = 0;
    plain_left_ = 0;
    zs_done_ = false;
    failed_.clear();
    pending_.clear();
    stream_end_ = false;
    stream_total_ = p.stream;
    spans_.clear();
    rd_ = wr_ = 0;
    buf_base_ = p.stream;
    skip_pad_ = 0;
    objects_ = p.count;
    containers_ = p.count2;
    if (!skip(p.inner - p.stream))
        return false;
    skip_pad_ = p.flags;
    return true;
}

std::string BlfDecoder::summary() const
{
    std::string cut;
    if (!cut_at_.empty())
        cut = "the file ends early, " + cut_at_ +
              " (its writer stopped before closing it; every whole object before was read)";
    uint64_t total = skipped_other_;
    for (const auto &[type, n] : skipped_)
        total += n;
    if (total == 0)
        return cut;
    std::string s = (cut.empty() ? "" : cut + "; ") + std::to_string(total) + (total == 1 ? " object" : " objects") + " without a CAN frame skipped:";
    const char *sep = " ";
    for (const auto &[type, n] : skipped_) {
        s += sep;
        sep = ", ";
        s += std::to_string(n) + " of type " + std::to_string(type);
        for (const TypeName &t : kTypeNames)
            if (t.type == type)
                s += join({" (", t.name, ")"});
    }
    if (skipped_other_ > 0)
        s += join({sep, std::to_string(skipped_other_), " of other types"});
    return s;
}

// ---- writing ----

class BlfEncoder : public Encoder {
public:
    explicit BlfEncoder(const WriteOptions &options)
        : level_(std::clamp(options.compression, 0, 9)), start_option_us_(options.start_us)
    {
    }

    ~BlfEncoder() override
    {
        if (zs_ready_)
            deflateEnd(&zs_);
    }

    bool begin(Output &out) override
    {
        // Counts and the end time go in at the end where the file can seek;
        // on a pipe the header holds the start time alone.
        const uint8_t none = 0;
        seekable_ = out.patch(0, &none, 0);
        data_.reserve(kContainerData + 256);
        // With the start given (a piece of a split recording) the header
        // goes out at once: a file is never without one for long.
        return start_option_us_ < 0 || start(out, start_option_us_);
    }

    bool write(Output &out, const Frame &f) override
    {
        const int64_t us = frame_us(f);
        if (!started_ && !start(out, us))
            return false;
        last_us_ = std::max(last_us_, us);
        // A frame before the start (out of order by more than its millisecond)
        // is written at the start: BLF times count up from it.
        const uint64_t ns = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(us - start_us_, 0)),
                                               UINT64_MAX / 1000) *
                            1000;
        const uint8_t channel = f.channel == 1 ? 2 : 1;
        uint32_t id = f.id;
        if (f.extended)
            id |= kExtendedId;
        uint8_t *b;
        if (f.error) {
            b = add_object(kCanErrorExt, 32, ns);
            put16(b, channel);
        } else if (f.fd) {
            b = add_object(kCanFdMessage64, 40 + f.len, ns);
            b[0] = channel;
            b[1] = f.dlc;
            b[2] = f.len;
            put32(b + 4, id);
            put32(b + 12, k64Edl | (f.brs ? k64Brs : 0) | (f.esi ? k64Esi : 0));
            b[34] = f.tx ? 1 : 0;
            std::memcpy(b + 40, f.data.data(), f.len);
        } else {
            b = add_object(kCanMessage2, 24, ns);
            put16(b, channel);
            b[2] = static_cast<uint8_t>((f.tx ? 1 : 0) | (f.remote ? kRtr : 0));
            b[3] = f.dlc;
            put32(b + 4, id);
            if (!f.remote)
                std::memcpy(b + 8, f.data.data(), std::min<size_t>(f.len, 8));
        }
        ++objects_;
        return data_.size() < kContainerData || put_container(out);
    }

    bool flush(Output &out) override { return put_container(out); }

    bool finish(Output &out) override
    {
        if (!put_container(out))
            return false;
        if (!started_ && !put_header(out))
            return false;
        if (!seekable_)
            return true;
        uint8_t h[kFileHeaderUsed];
        header(h, out.written());
        return out.patch(0, h, sizeof h);
    }

private:
    void header(uint8_t *h, uint64_t file_size) const
    {
        std::memset(h, 0, kFileHeaderUsed);
        std::memcpy(h, "LOGG", 4);
        put32(h + 4, kFileHeader);
        // Application 0 (none of Vector's); the BLF version python-can writes,
        // which CANalyzer opens.
        const uint8_t version[8] = {0, 0, 0, 0, 2, 6, 8, 1};
        std::memcpy(h + 8, version, sizeof version);
        put64(h + 16, file_size);
        put64(h + 24, uncompressed_);
        put32(h + 32, static_cast<uint32_t>(std::min<uint64_t>(objects_, UINT32_MAX)));
        if (started_) {
            put_systemtime(h + 40, start_us_);
            put_systemtime(h + 56, last_us_);
        }
    }

    bool start(Output &out, int64_t us)
    {
        // Whole milliseconds: the header's start time has no finer unit.
        // Where it has no SYSTEMTIME, times count from the epoch, as
        // readers then take them.
        start_us_ = us - ((us % 1000) + 1000) % 1000;
        uint8_t none[16];
        if (!put_systemtime(none, start_us_))
            start_us_ = 0;
        last_us_ = us;
        started_ = true;
        return put_header(out);
    }

    bool put_header(Output &out)
    {
        uint8_t h[kFileHeader] = {};
        header(h, 0);
        return out.put(h, sizeof h);
    }

    // A version 1 header with a time stamp in nanoseconds; returns the body.
    uint8_t *add_object(uint32_t type, size_t body, uint64_t ns)
    {
        const size_t size = kHeaderV1 + body;
        const size_t at = data_.size();
        data_.resize(at + size + size % 4);
        uint8_t *p = data_.data() + at;
        std::memcpy(p, "LOBJ", 4);
        put16(p + 4, kHeaderV1);
        put16(p + 6, 1);
        put32(p + 8, static_cast<uint32_t>(size));
        put32(p + 12, type);
        put32(p + 16, kNanos);
        put64(p + 24, ns);
        return p + kHeaderV1;
    }

    bool put_container(Output &out)
    {
        if (data_.empty())
            return true;
        const uint8_t *payload = data_.data();
        size_t n = data_.size();
        if (level_ > 0) {
            if (!zs_ready_) {
                if (deflateInit(&zs_, level_) != Z_OK)
                    return false;
                zs_ready_ = true;
            } else {
                deflateReset(&zs_);
            }
            packed_.resize(deflateBound(&zs_, static_cast<uLong>(n)));
            zs_.next_in = data_.data();
            zs_.avail_in = static_cast<uInt>(n);
            zs_.next_out = packed_.data();
            zs_.avail_out = static_cast<uInt>(packed_.size());
            if (deflate(&zs_, Z_FINISH) != Z_STREAM_END)
                return false;
            payload = packed_.data();
            n = packed_.size() - zs_.avail_out;
        }
        const uint32_t size = static_cast<uint32_t>(kContainerHeader + n);
        uint8_t h[kContainerHeader] = {};
        std::memcpy(h, "LOBJ", 4);
        put16(h + 4, kBaseHeader);
        put16(h + 6, 1);
        put32(h + 8, size);
        put32(h + 12, kLogContainer);
        put16(h + 16, level_ > 0 ? kZlib : kStored);
        put32(h + 24, static_cast<uint32_t>(data_.size()));
        const uint8_t pad[3] = {};
        uncompressed_ += kContainerHeader + data_.size();
        data_.clear();
        return out.put(h, sizeof h) && out.put(payload, n) && out.put(pad, size % 4);
    }

    int level_;
    bool seekable_ = false;
    bool started_ = false;
    int64_t start_option_us_;
    int64_t start_us_ = 0;
    int64_t last_us_ = 0;
    uint64_t objects_ = 0;
    uint64_t uncompressed_ = kFileHeader;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> packed_;
    z_stream zs_ = {};
    bool zs_ready_ = false;
};

}  // namespace

std::unique_ptr<Decoder> blf_decoder(FILE *file, const ReadOptions &)
{
    return std::make_unique<BlfDecoder>(file);
}

std::unique_ptr<Encoder> blf_encoder(const WriteOptions &options)
{
    return std::make_unique<BlfEncoder>(options);
}

}  // namespace velk::trace::detail
