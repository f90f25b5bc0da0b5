// MF4 files: ASAM MDF 4 in the bus-logging layout of CAN loggers. A file is
// blocks that link to each other by absolute offsets: the identification
// block, the header (HD) with the start time, data groups (DG) whose data
// blocks (DT, DZ compressed, DL lists of them) hold records of channel
// groups (CG). A CAN group's channels are the master Timestamp and the
// composed CAN_DataFrame / CAN_RemoteFrame / CAN_ErrorFrame channel whose
// members (ID, DLC, DataBytes...) sit at bit positions of the record.
//
// The reader walks the metadata once, then streams each data group's blocks
// (a DZ block inflated a piece at a time) and merges the groups by time.
// The writer keeps one data group per frame kind (classic and CAN FD data
// frames apart), each with a buffer of one
// block, and writes the metadata at the end, where its size is known.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <set>

#include "formats.h"

namespace velk::trace::detail {

namespace {

uint64_t get_le(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void put_le(std::string *out, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string at_byte(uint64_t offset, std::string_view what)
{
    return join({"at byte ", std::to_string(offset), ": ", what});
}

constexpr size_t kHeader = 24;                  // "##XX", reserved, length, link count
constexpr uint64_t kMaxMeta = 1 << 20;          // a metadata block longer than this is damage
constexpr uint64_t kMaxTransposed = 64 << 20;   // a transposed DZ block is undone whole
constexpr uint32_t kMaxRecord = 1 << 20;        // bytes of one record
constexpr size_t kMaxGroups = 4096;             // channel groups of the whole file
constexpr size_t kMaxDataGroups = 256;          // data groups with CAN frames, read side by side
constexpr size_t kMaxChannels = 4096;           // channels of one group, members included
constexpr size_t kMaxVlsd = 64;                 // channels of data bytes kept elsewhere, whole file

// ---- reading ----

class File {
public:
    int fd = -1;
    uint64_t size = 0;
    bool read(uint64_t at, void *dst, size_t n) const
    {
        uint8_t *p = static_cast<uint8_t *>(dst);
        while (n > 0) {
            const ssize_t r = pread(fd, p, n, static_cast<off_t>(at));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            p += r;
            at += static_cast<uint64_t>(r);
            n -= static_cast<size_t>(r);
        }
        return true;
    }
};

struct Block {
    uint64_t at = 0;
    char id[2] = {};
    uint64_t length = 0;
    std::vector<uint64_t> links;
    std::vector<uint8_t> data;  // the data section (metadata blocks only)

    uint64_t link(size_t i) const { return i < links.size() ? links[i] : 0; }
    uint64_t u(size_t off, int n) const { return off + n <= data.size() ? get_le(data.data() + off, n) : 0; }
    double real(size_t off) const
    {
        const uint64_t v = u(off, 8);
        double d;
        std::memcpy(&d, &v, 8);
        return d;
    }
    bool is(const char *two) const { return id[0] == two[0] && id[1] == two[1]; }
};

// Reads the block header at `at` (and its links; its data section when
// `with_data`). `running` lets a block's length run past the end of the
// file (the unfinalized data block a logger left).
bool load_block(const File &file, uint64_t at, bool with_data, Block *b, std::string *why, bool running = false)
{
    b->at = at;
    uint8_t h[kHeader];
    if (at < 64 || at > file.size || file.size - at < kHeader || !file.read(at, h, kHeader)) {
        *why = at_byte(at, "a link points past the end of the file (" + std::to_string(file.size) + " bytes)");
        return false;
    }
    if (h[0] != '#' || h[1] != '#') {
        *why = at_byte(at, "no block here (a link points into other data)");
        return false;
    }
    b->id[0] = static_cast<char>(h[2]);
    b->id[1] = static_cast<char>(h[3]);
    b->length = get_le(h + 8, 8);
    const uint64_t count = get_le(h + 16, 8);
    const std::string name = join({"##", std::string_view(b->id, 2), " block"});
    if (!running && b->length > file.size - at) {
        *why = at_byte(at, name + " of " + std::to_string(b->length) + " bytes runs past the end of the file (" +
                               std::to_string(file.size) + " bytes)");
        return false;
    }
    const uint64_t room = running && b->length < kHeader ? file.size - at : b->length;
    if (room < kHeader || count > (room - kHeader) / 8) {
        *why = at_byte(at, name + " has " + std::to_string(count) + " links, more than its " +
                               std::to_string(b->length) + " bytes hold");
        return false;
    }
    if (count > kMaxMeta / 8) {
        *why = at_byte(at, name + " has " + std::to_string(count) + " links, more than " +
                               std::to_string(kMaxMeta / 8) + " are read");
        return false;
    }
    b->links.resize(count);
    if (count > 0) {
        std::vector<uint8_t> raw(count * 8);
        if (!file.read(at + kHeader, raw.data(), raw.size())) {
            *why = at_byte(at, "cannot read " + name);
            return false;
        }
        for (uint64_t i = 0; i < count; ++i)
            b->links[i] = get_le(raw.data() + 8 * i, 8);
    }
    b->data.clear();
    if (with_data) {
        const uint64_t n = b->length - kHeader - count * 8;
        if (n > kMaxMeta) {
            *why = at_byte(at, name + " of " + std::to_string(b->length) + " bytes is too long for its kind");
            return false;
        }
        b->data.resize(n);
        if (n > 0 && !file.read(at + kHeader + count * 8, b->data.data(), n)) {
            *why = at_byte(at, "cannot read " + name);
            return false;
        }
    }
    return true;
}

// One more block of a list: false (and *why) when the list comes back to a
// block it passed, or holds more than `max` of them.
bool next_in_list(std::set<uint64_t> *seen, uint64_t at, const char *list, size_t max, std::string *why)
{
    if (!seen->insert(at).second) {
        *why = at_byte(at, join({"the ", list, " loops"}));
        return false;
    }
    if (seen->size() > max) {
        *why = at_byte(at, join({"the ", list, " holds more than ", std::to_string(max), " blocks"}));
        return false;
    }
    return true;
}

bool load_kind(const File &file, uint64_t at, const char *kind, Block *b, std::string *why)
{
    if (!load_block(file, at, true, b, why))
        return false;
    if (!b->is(kind)) {
        *why = at_byte(at, join({"expected a ##", kind, " block, found ##", std::string_view(b->id, 2)}));
        return false;
    }
    return true;
}

// The text of a TX or MD block ("" for no link).
bool load_text(const File &file, uint64_t at, std::string *text, std::string *why)
{
    text->clear();
    if (at == 0)
        return true;
    Block b;
    if (!load_block(file, at, true, &b, why))
        return false;
    if (!b.is("TX") && !b.is("MD")) {
        *why = at_byte(at, "expected a ##TX block");
        return false;
    }
    if (!b.data.empty()) {
        const auto *p = reinterpret_cast<const char *>(b.data.data());
        text->assign(p, strnlen(p, b.data.size()));
    }
    return true;
}

// Where a data block begins: the list that names it, its place there, and
// the bytes of the stream before it.
struct BlockPlace {
    uint64_t list = 0;   // the ##DL block; 0: the stream's only block
    uint64_t index = 0;  // in that list
    uint64_t at = 0;
    uint64_t start = 0;
};

// The bytes of a data block list (DT, SD, DZ, or DL/HL lists of them) as one
// stream, a piece at a time.
class Chain {
public:
    Chain(const File *file, uint64_t first, bool unfinalized) : file_(file), first_(first), unfinalized_(unfinalized)
    {
        std::memset(&z_, 0, sizeof z_);
    }
    ~Chain() { end_inflate(); }
    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;

    void reset()
    {
        end_inflate();
        kind_ = Kind::None;
        started_ = false;
        list_.clear();
        offsets_.clear();
        list_index_ = 0;
        next_list_ = 0;
        list_at_ = 0;
        seen_.clear();
        pending_.clear();
        delivered_ = 0;
        opened_.clear();
    }

    // The block holding stream byte `pos`, among those opened since
    // forget_before() was last given a place at or before it.
    bool place_of(uint64_t pos, BlockPlace *p) const
    {
        for (auto it = opened_.rbegin(); it != opened_.rend(); ++it)
            if (it->start <= pos) {
                *p = *it;
                return true;
            }
        return false;
    }
    // The stream's reader holds nothing before `pos` any more.
    void forget_before(uint64_t pos)
    {
        while (opened_.size() >= 2 && opened_[1].start <= pos)
            opened_.pop_front();
    }
    // Goes on from the start of a block that place_of() gave: a compressed
    // block is inflated again from its start.
    bool resume(const BlockPlace &p, std::string *why)
    {
        reset();
        started_ = true;
        if (p.list != 0) {
            next_list_ = p.list;
            if (!load_list(why))
                return false;
            if (p.index >= list_.size() || list_[p.index] != p.at) {
                *why = at_byte(p.list, "the data block list changed under the reader");
                return false;
            }
            list_index_ = p.index + 1;
        }
        delivered_ = p.start;
        return open_at(p.list, p.index, p.at, list_index_ == list_.size() && next_list_ == 0, why);
    }

    // Up to `want` bytes into dst; *got = 0 at the end. False: *why says.
    bool fill(uint8_t *dst, size_t want, size_t *got, std::string *why)
    {
        *got = 0;
        while (*got == 0) {
            if (kind_ == Kind::None && !open_next(why))
                return false;
            if (kind_ == Kind::None)
                return true;  // the end
            size_t n = 0;
            if (!piece(dst, want, &n, why))
                return false;
            delivered_ += n;
            if (n == 0) {
                if (!pending_.empty()) {
                    *why = pending_;
                    return false;
                }
                end_inflate();
                kind_ = Kind::None;
            }
            *got = n;
        }
        return true;
    }

    uint64_t block_at() const { return block_at_; }

private:
    enum class Kind { None, Raw, Inflate, Transposed };

    bool open_next(std::string *why)
    {
        for (;;) {
            uint64_t at = 0;
            if (!started_) {
                started_ = true;
                at = first_;
                if (at == 0)
                    return true;
                Block b;
                // Only the kind is needed here: open_block checks the length.
                if (!load_block(*file_, at, false, &b, why, true))
                    return false;
                if (b.is("HL")) {
                    if (!next_in_list(&seen_, at, "data block list", SIZE_MAX, why))
                        return false;
                    at = b.link(0);
                    if (!load_block(*file_, at, false, &b, why))
                        return false;
                }
                if (b.is("DL")) {
                    next_list_ = at;
                    if (!load_list(why))
                        return false;
                    continue;
                }
                return open_at(0, 0, at, true, why);
            }
            if (list_index_ < list_.size()) {
                at = list_[list_index_++];
                const bool last = list_index_ == list_.size() && next_list_ == 0;
                if (at == 0)
                    continue;
                return open_at(list_at_, list_index_ - 1, at, last, why);
            }
            if (next_list_ == 0)
                return true;
            if (!load_list(why))
                return false;
        }
    }

    bool load_list(std::string *why)
    {
        const uint64_t at = next_list_;
        if (!next_in_list(&seen_, at, "data block list", SIZE_MAX, why))
            return false;
        Block dl;
        if (!load_kind(*file_, at, "DL", &dl, why))
            return false;
        if (dl.links.empty()) {
            *why = at_byte(at, "a ##DL block without links");
            return false;
        }
        list_at_ = at;
        next_list_ = dl.links[0];
        list_.assign(dl.links.begin() + 1, dl.links.end());
        list_index_ = 0;
        // The blocks' offsets in the stream, unless the list says they are of equal length.
        offsets_.clear();
        if (dl.data.size() >= 8 + 8 * list_.size() && (dl.data[0] & 1) == 0)
            for (size_t i = 0; i < list_.size(); ++i)
                offsets_.push_back(get_le(dl.data.data() + 8 + 8 * i, 8));
        return true;
    }

    bool open_at(uint64_t list, uint64_t index, uint64_t at, bool last, std::string *why)
    {
        const BlockPlace p{list, index, at, delivered_};
        // A block that gave nothing before this one is no place to go back to.
        if (!opened_.empty() && opened_.back().start == delivered_)
            opened_.back() = p;
        else
            opened_.push_back(p);
        return open_block(at, last, why);
    }

    bool open_block(uint64_t at, bool last, std::string *why)
    {
        Block b;
        // A logger that has not finished its file leaves the last data
        // block's length unwritten (0) or stale: its data runs to the end.
        const bool running = unfinalized_ && last;
        if (!load_block(*file_, at, false, &b, why, true))
            return false;
        block_at_ = at;
        pending_.clear();
        const uint64_t data_at = at + kHeader + b.links.size() * 8;
        const bool short_length = b.length < data_at - at;
        const bool past_end = b.length > file_->size - at;
        // A length past the end is read up to the next block of the list
        // (or the file's end), then named.
        uint64_t limit = file_->size;
        if (list_index_ < list_.size() && list_[list_index_] > at)
            limit = std::min(limit, list_[list_index_]);
        if (b.is("DT") || b.is("SD") || b.is("RD")) {
            kind_ = Kind::Raw;
            pos_ = data_at;
            if (running && (short_length || past_end)) {
                end_ = file_->size;
                return true;
            }
            if (short_length) {
                *why = at_byte(at, "a data block of " + std::to_string(b.length) + " bytes, shorter than its header");
                return false;
            }
            // What the file holds is read, no further than the list's
            // offsets say the block's data runs; the error comes where it ends.
            if (past_end && list_index_ > 0 && list_index_ < offsets_.size() &&
                offsets_[list_index_] >= offsets_[list_index_ - 1])
                limit = std::min(limit, data_at + (offsets_[list_index_] - offsets_[list_index_ - 1]));
            end_ = past_end ? std::max(limit, pos_) : at + b.length;
            if (past_end)
                pending_ = past_end_text(b);
            return true;
        }
        if (!b.is("DZ")) {
            *why = at_byte(at, join({"expected a data block, found ##", std::string_view(b.id, 2)}));
            return false;
        }
        uint8_t h[24];
        if (data_at + 24 > file_->size) {
            *why = past_end_text(b);
            return false;
        }
        if (b.length < kHeader + 24 || !file_->read(data_at, h, 24)) {
            *why = at_byte(at, "a ##DZ block too short for its header");
            return false;
        }
        const int zip = h[2];
        const uint64_t columns = get_le(h + 4, 4);
        org_left_ = get_le(h + 8, 8);
        const uint64_t zlen = get_le(h + 16, 8);
        if (zlen > b.length - kHeader - 24) {
            *why = at_byte(at, "the ##DZ block's compressed length " + std::to_string(zlen) + " exceeds the block");
            return false;
        }
        // Deflate cannot grow data more than about a thousandfold: a block
        // that says more is damage, and nothing is allocated for it.
        if (org_left_ / 1032 > zlen + 64) {
            *why = at_byte(at, "the ##DZ block says " + std::to_string(org_left_) + " bytes inflate from " +
                                   std::to_string(zlen));
            return false;
        }
        pos_ = data_at + 24;
        end_ = pos_ + zlen;
        if (past_end) {
            end_ = std::max(std::min(end_, limit), pos_);
            pending_ = past_end_text(b);
        }
        if (inflateInit(&z_) != Z_OK) {
            *why = at_byte(at, "cannot start inflating");
            return false;
        }
        z_live_ = true;
        z_.avail_in = 0;
        if (zip == 0) {
            kind_ = Kind::Inflate;
            return true;
        }
        if (zip != 1) {
            *why = at_byte(at, "unknown ##DZ compression " + std::to_string(zip));
            return false;
        }
        // Transposed: the block's bytes are stored column by column, so the
        // whole block is needed before its first record.
        if (org_left_ > kMaxTransposed || columns == 0) {
            *why = at_byte(at, "a transposed ##DZ block of " + std::to_string(org_left_) + " bytes, more than " +
                                   std::to_string(kMaxTransposed) + " are read");
            return false;
        }
        std::vector<uint8_t> col(org_left_);
        size_t have = 0;
        while (have < col.size()) {
            size_t n = 0;
            if (!inflate_some(col.data() + have, col.size() - have, &n, why))
                return false;
            if (n == 0)
                break;
            have += n;
        }
        if (have != col.size()) {
            *why = at_byte(at, "the ##DZ block inflates to " + std::to_string(have) + " bytes, not " +
                                   std::to_string(col.size()));
            return false;
        }
        const uint64_t rows = col.size() / columns;
        rows_.resize(col.size());
        for (uint64_t c = 0; c < columns; ++c)
            for (uint64_t r = 0; r < rows; ++r)
                rows_[r * columns + c] = col[c * rows + r];
        std::copy(col.begin() + static_cast<ptrdiff_t>(rows * columns), col.end(),
                  rows_.begin() + static_cast<ptrdiff_t>(rows * columns));
        rows_pos_ = 0;
        end_inflate();
        kind_ = Kind::Transposed;
        return true;
    }

    bool piece(uint8_t *dst, size_t want, size_t *got, std::string *why)
    {
        switch (kind_) {
        case Kind::Raw: {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(want, end_ - pos_));
            if (n > 0 && !file_->read(pos_, dst, n)) {
                *why = at_byte(block_at_, "cannot read the data block");
                return false;
            }
            pos_ += n;
            *got = n;
            return true;
        }
        case Kind::Inflate: {
            if (!inflate_some(dst, static_cast<size_t>(std::min<uint64_t>(want, org_left_)), got, why))
                return false;
            org_left_ -= *got;
            if (*got == 0 && org_left_ > 0)
                pending_ = at_byte(block_at_, "the ##DZ block inflates to fewer bytes than it says");
            return true;
        }
        case Kind::Transposed: {
            const size_t n = std::min(want, rows_.size() - rows_pos_);
            if (n > 0)  // an empty block has no rows to copy from
                std::memcpy(dst, rows_.data() + rows_pos_, n);
            rows_pos_ += n;
            *got = n;
            if (n == 0)
                std::vector<uint8_t>().swap(rows_);
            return true;
        }
        case Kind::None: break;
        }
        return true;
    }

    bool inflate_some(uint8_t *dst, size_t want, size_t *got, std::string *why)
    {
        *got = 0;
        if (z_done_ || want == 0)
            return true;
        z_.next_out = dst;
        z_.avail_out = static_cast<uInt>(std::min<size_t>(want, 1u << 30));
        while (z_.avail_out > 0 && !z_done_) {
            if (z_.avail_in == 0) {
                if (zin_.empty())
                    zin_.resize(1 << 16);
                const size_t n = static_cast<size_t>(std::min<uint64_t>(zin_.size(), end_ - pos_));
                if (n == 0) {
                    *why = !pending_.empty() ? pending_ : at_byte(block_at_, "the ##DZ block's deflate data ends early");
                    return false;
                }
                if (!file_->read(pos_, zin_.data(), n)) {
                    *why = at_byte(block_at_, "cannot read the ##DZ block");
                    return false;
                }
                pos_ += n;
                z_.next_in = zin_.data();
                z_.avail_in = static_cast<uInt>(n);
            }
            const int r = inflate(&z_, Z_NO_FLUSH);
            if (r == Z_STREAM_END)
                z_done_ = true;
            else if (r != Z_OK && r != Z_BUF_ERROR) {
                *why = at_byte(block_at_, std::string("corrupt deflate data in the ##DZ block: ") +
                                              (z_.msg ? z_.msg : "error " + std::to_string(r)));
                *got = 0;
                return false;
            }
            // Output produced so far is handed on; the next call goes on.
            if (z_.avail_out < want)
                break;
        }
        *got = want - z_.avail_out;
        return true;
    }

    std::string past_end_text(const Block &b) const
    {
        return at_byte(b.at, join({"##", std::string_view(b.id, 2), " block of ", std::to_string(b.length),
                                   " bytes runs past the end of the file (", std::to_string(file_->size), " bytes)"}));
    }

    void end_inflate()
    {
        if (z_live_)
            inflateEnd(&z_);
        z_live_ = false;
        z_done_ = false;
        std::memset(&z_, 0, sizeof z_);
    }

    const File *file_;
    uint64_t first_;
    bool unfinalized_;
    bool started_ = false;
    Kind kind_ = Kind::None;
    std::vector<uint64_t> list_;
    std::vector<uint64_t> offsets_;  // of list_'s blocks in the stream; empty when not given
    size_t list_index_ = 0;
    uint64_t next_list_ = 0;
    uint64_t list_at_ = 0;  // of list_
    std::set<uint64_t> seen_;
    uint64_t delivered_ = 0;  // stream bytes handed out
    std::deque<BlockPlace> opened_;  // blocks whose bytes the stream's reader may still hold
    uint64_t block_at_ = 0;
    uint64_t pos_ = 0, end_ = 0;
    uint64_t org_left_ = 0;
    z_stream z_;
    bool z_live_ = false;
    bool z_done_ = false;
    std::vector<uint8_t> zin_;  // allocated on the first DZ block
    std::vector<uint8_t> rows_;
    size_t rows_pos_ = 0;
    std::string pending_;
};

// A Chain read through a buffer: records are taken whole from it.
class Stream {
public:
    Stream(const File *file, uint64_t first, bool unfinalized) : chain_(file, first, unfinalized) {}

    // 1: n bytes at ptr(); 0: the data ends first (left() bytes remain); -1: *why.
    int need(size_t n, std::string *why)
    {
        while (tail_ - head_ < n) {
            if (ended_)
                return 0;
            if (head_ > 0) {
                std::memmove(buf_.data(), buf_.data() + head_, tail_ - head_);
                tail_ -= head_;
                head_ = 0;
            }
            // Allocated when first read: streams that are never read cost nothing.
            if (buf_.size() < std::max<size_t>(n, 1 << 16))
                buf_.resize(std::max<size_t>(n, 1 << 16));
            chain_.forget_before(pos_);
            size_t got = 0;
            if (!chain_.fill(buf_.data() + tail_, buf_.size() - tail_, &got, why))
                return -1;
            if (got == 0)
                ended_ = true;
            tail_ += got;
        }
        return 1;
    }
    const uint8_t *ptr() const { return buf_.data() + head_; }
    size_t left() const { return tail_ - head_; }
    void consume(size_t n)
    {
        head_ += n;
        pos_ += n;
    }
    // 1 skipped, 0 the data ended first, -1 *why.
    int skip(uint64_t n, std::string *why)
    {
        while (n > 0) {
            if (left() == 0) {
                const int r = need(1, why);
                if (r <= 0)
                    return r;
            }
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, left()));
            consume(k);
            n -= k;
        }
        return 1;
    }
    uint64_t pos() const { return pos_; }
    uint64_t block_at() const { return chain_.block_at(); }
    void reset()
    {
        chain_.reset();
        head_ = tail_ = 0;
        pos_ = 0;
        ended_ = false;
    }
    Chain &chain() { return chain_; }

    // A place in the stream: the block it lies in and how far; a stream not
    // read yet has no block.
    struct Place {
        BlockPlace block;
        uint64_t pos = 0;
        bool fresh = true;
    };
    bool mark(Place *p) const
    {
        p->pos = pos_;
        p->fresh = false;
        if (chain_.place_of(pos_, &p->block))
            return true;
        p->fresh = true;
        return pos_ == 0;
    }
    bool resume(const Place &p, std::string *why)
    {
        reset();
        if (p.fresh)
            return true;
        if (p.pos < p.block.start || !chain_.resume(p.block, why))
            return false;
        pos_ = p.block.start;
        if (skip(p.pos - p.block.start, why) > 0)
            return true;
        if (why->empty())
            *why = at_byte(p.block.at, "the data block ends before the place it was left at");
        return false;
    }

private:
    Chain chain_;
    std::vector<uint8_t> buf_;
    size_t head_ = 0, tail_ = 0;
    uint64_t pos_ = 0;
    bool ended_ = false;
};

// Where a value sits in a record.
struct Field {
    bool present = false;
    uint32_t byte = 0;
    uint32_t bit = 0;    // 0..7
    uint32_t bits = 0;   // 1..64 (byte arrays: their whole length)
    uint8_t type = 0;    // cn_data_type
    uint8_t cn_type = 0;
    uint64_t data = 0;   // cn_data: SD blocks or a VLSD channel group
    bool fast = false;   // little-endian within 8 bytes that the record holds
    uint64_t mask = 0;

    bool fits(uint32_t size) const { return uint64_t{byte} + (bit + uint64_t{bits} + 7) / 8 <= size; }
};

enum class Kind { Other, Data, Remote, Error };

// The bytes of a variable-length value: SD blocks, or the records of a VLSD
// channel group in the same data group, read forward from an offset.
class Vlsd {
public:
    Vlsd(const File *file, uint64_t first, bool unfinalized) : s_(file, first, unfinalized) {}
    // Record-walking form: the record id size and every group's record size.
    int rec_id_size = -1;
    uint64_t vlsd_id = 0;
    std::vector<std::pair<uint64_t, uint32_t>> sizes;  // id -> bytes; UINT32_MAX: a VLSD group

    // Up to 64 bytes of the value at `offset` into out; *n its length kept.
    bool fetch(uint64_t offset, uint8_t *out, size_t *n, std::string *why)
    {
        if (offset < vpos_) {
            s_.reset();
            vpos_ = 0;
        }
        for (;;) {
            uint64_t id = vlsd_id;
            if (rec_id_size > 0) {
                if (s_.need(rec_id_size, why) <= 0)
                    return missing(offset, why);
                id = get_le(s_.ptr(), rec_id_size);
                s_.consume(rec_id_size);
            }
            uint32_t size = UINT32_MAX;
            if (rec_id_size > 0) {
                size = 0;
                bool known = false;
                for (const auto &[gid, sz] : sizes)
                    if (gid == id) {
                        size = sz;
                        known = true;
                    }
                if (!known)
                    return missing(offset, why);
            }
            if (size != UINT32_MAX) {
                if (s_.skip(size, why) <= 0)
                    return missing(offset, why);
                continue;
            }
            if (rec_id_size < 0 && offset > vpos_) {
                // SD blocks: jump straight to the value.
                if (s_.skip(offset - vpos_, why) <= 0)
                    return missing(offset, why);
                vpos_ = offset;
            }
            if (s_.need(4, why) <= 0)
                return missing(offset, why);
            const uint32_t len = static_cast<uint32_t>(get_le(s_.ptr(), 4));
            s_.consume(4);
            const bool mine = id == vlsd_id;
            const uint64_t here = vpos_;
            if (mine)
                vpos_ += 4 + uint64_t{len};
            if (mine && here == offset) {
                const size_t keep = std::min<size_t>(len, 64);
                if (s_.need(keep, why) <= 0)
                    return missing(offset, why);
                std::memcpy(out, s_.ptr(), keep);
                s_.consume(keep);
                *n = keep;
                if (len > keep && s_.skip(len - keep, why) <= 0)
                    return missing(offset, why);
                return true;
            }
            if (mine && here > offset)
                return missing(offset, why);
            if (s_.skip(len, why) <= 0)
                return missing(offset, why);
        }
    }

    struct Place {
        Stream::Place stream;
        uint64_t vpos = 0;
    };
    bool mark(Place *p) const
    {
        p->vpos = vpos_;
        return s_.mark(&p->stream);
    }
    bool resume(const Place &p, std::string *why)
    {
        vpos_ = p.vpos;
        return s_.resume(p.stream, why);
    }

private:
    bool missing(uint64_t offset, std::string *why)
    {
        if (why->empty())
            *why = at_byte(s_.block_at(), "no variable-length value at offset " + std::to_string(offset));
        return false;
    }
    Stream s_;
    uint64_t vpos_ = 0;
};

struct Group {
    uint64_t at = 0;  // of its CG block
    uint64_t id = 0;
    uint32_t size = 0;  // data bytes and invalidation bytes
    bool vlsd = false;
    Kind kind = Kind::Other;
    std::string fallback_name = "1";
    Field time;
    bool time_virtual = false;
    bool time_float = false;
    int64_t time_scale = 0;  // raw * time_scale nanoseconds, exactly (0: use p1, p2)
    double p1 = 0, p2 = 1;   // seconds = p1 + p2 * raw
    Field bus, id_field, ide, dlc, len, bytes, dir, edl, brs, esi;
    std::unique_ptr<Vlsd> vlsd_bytes;
    uint64_t index = 0;
};

// A CAN FD payload length that no frame has, padded to the next one.
int fd_len_up(int len)
{
    for (int dlc = 0; dlc < 16; ++dlc)
        if (dlc_to_len(dlc) >= len)
            return dlc_to_len(dlc);
    return 64;
}

uint64_t bits_of(const uint8_t *rec, const Field &f)
{
    if (f.fast) {
        uint64_t v;
        std::memcpy(&v, rec + f.byte, 8);
        return (v >> f.bit) & f.mask;
    }
    if (f.bits == 0)
        return 0;
    const uint32_t nbytes = (f.bit + f.bits + 7) / 8;
    uint64_t v = 0;
    if (f.type == 1 || f.type == 3 || f.type == 5) {  // big-endian
        for (uint32_t i = 0; i < nbytes && i < 8; ++i)
            v = (v << 8) | rec[f.byte + i];
        const uint32_t shift = nbytes * 8 - f.bit - f.bits;
        v >>= shift > 63 ? 0 : shift;
    } else {
        uint8_t tmp[9] = {};
        std::memcpy(tmp, rec + f.byte, std::min<uint32_t>(nbytes, 9));
        v = get_le(tmp, 8) >> f.bit;
        if (f.bit > 0 && nbytes > 8)
            v |= uint64_t{tmp[8]} << (64 - f.bit);
    }
    return f.bits >= 64 ? v : v & ((uint64_t{1} << f.bits) - 1);
}

bool flag(const uint8_t *rec, const Field &f)
{
    return f.present && bits_of(rec, f) != 0;
}

class Mf4Decoder : public Decoder {
public:
    Mf4Decoder(FILE *file, const ReadOptions &) : in_(file) {}
    ~Mf4Decoder() override
    {
        sources_.clear();
        if (temp_ != nullptr)
            std::fclose(temp_);
    }

    int next(Frame *f, std::string *name, std::string *why) override
    {
        if (failed_) {
            *why = error_;
            return -1;
        }
        if (!opened_) {
            opened_ = true;
            if (!open(why))
                return fail(*why, why);
            for (auto &s : sources_)
                advance(*s);
        }
        Source *best = nullptr;
        for (auto &s : sources_) {
            if (s->state < 0)
                return fail(s->why, why);
            if (s->state > 0 && (best == nullptr || frame_us(s->frame) < frame_us(best->frame)))
                best = s.get();
        }
        if (best == nullptr)
            return 0;
        *f = best->frame;
        *name = best->name;
        advance(*best);
        return 1;
    }

    std::string summary() const override
    {
        std::string s;
        if (other_groups_ > 0)
            s = std::to_string(other_groups_) + (other_groups_ == 1 ? " data group" : " data groups") +
                " without CAN frames skipped";
        if (other_records_ > 0)
            s += (s.empty() ? "" : "; ") + std::to_string(other_records_) +
                 (other_records_ == 1 ? " record" : " records") + " of groups without CAN frames skipped";
        if (!tail_note_.empty())
            s += (s.empty() ? "" : "; ") + tail_note_;
        return s;
    }

    // A place is each data group's: the frame it has read ahead for the
    // merge, the block after that frame's record and how far into its
    // data, and its groups' record counts and variable-length data places.
    // Going back inflates at most one block per data group.
    bool mark(ResumePoint *p) const override
    {
        if (!opened_ || failed_)
            return false;
        auto place = std::make_shared<Place>();
        place->other_records = other_records_;
        place->tail_note = tail_note_;
        for (const auto &s : sources_) {
            if (s->state < 0)
                return false;
            Place::Source &ps = place->sources.emplace_back();
            ps.state = s->state;
            ps.frame = s->frame;
            ps.name = s->name;
            ps.bus = s->bus;
            if (s->state > 0 && !s->stream.mark(&ps.stream))
                return false;
            for (const Group &g : s->groups) {
                Place::Group &pg = ps.groups.emplace_back();
                pg.index = g.index;
                if (g.vlsd_bytes && !g.vlsd_bytes->mark(&pg.vlsd))
                    return false;
            }
        }
        p->offset = sources_.empty() ? 0 : sources_[0]->stream.block_at();
        p->place = std::move(place);
        return true;
    }

    bool resume(FILE *, const ResumePoint &p) override
    {
        const auto *place = dynamic_cast<const Place *>(p.place.get());
        if (!opened_ || place == nullptr || place->sources.size() != sources_.size())
            return false;
        for (size_t i = 0; i < sources_.size(); ++i)
            if (place->sources[i].groups.size() != sources_[i]->groups.size())
                return false;
        for (size_t i = 0; i < sources_.size(); ++i) {
            Source &s = *sources_[i];
            const Place::Source &ps = place->sources[i];
            s.state = ps.state;
            s.frame = ps.frame;
            s.name = ps.name;
            s.bus = ps.bus;
            s.why.clear();
            std::string why;
            if (ps.state > 0 && !s.stream.resume(ps.stream, &why))
                return false;
            for (size_t k = 0; k < s.groups.size(); ++k) {
                Group &g = s.groups[k];
                g.index = ps.groups[k].index;
                if (g.vlsd_bytes && !g.vlsd_bytes->resume(ps.groups[k].vlsd, &why))
                    return false;
            }
        }
        failed_ = false;
        error_.clear();
        other_records_ = place->other_records;
        tail_note_ = place->tail_note;
        return true;
    }

private:
    struct Place : DecoderPlace {
        struct Group {
            uint64_t index = 0;
            Vlsd::Place vlsd;
        };
        struct Source {
            int state = 0;
            Frame frame;
            std::string name;
            uint64_t bus = 0;
            Stream::Place stream;
            std::vector<Group> groups;
        };
        std::vector<Source> sources;
        uint64_t other_records = 0;
        std::string tail_note;

        size_t bytes() const override
        {
            size_t n = sizeof *this + sources.capacity() * sizeof(Source) + tail_note.capacity();
            for (const Source &s : sources)
                n += s.groups.capacity() * sizeof(Group) + s.name.capacity();
            return n;
        }
    };

    struct Source {
        Source(const File *file, uint64_t first, bool unfinalized) : stream(file, first, unfinalized) {}
        Stream stream;
        int rec_id_size = 0;
        std::vector<Group> groups;
        int state = 0;  // 1 frame holds the next frame, 0 ended, -1 why
        Frame frame;
        std::string name;
        uint64_t bus = UINT64_MAX;  // whose number `name` is
        std::string why;
    };

    int fail(const std::string &text, std::string *why)
    {
        failed_ = true;
        error_ = text;
        *why = text;
        return -1;
    }

    bool open(std::string *why)
    {
        // Links are absolute offsets: a pipe is copied to a file first.
        int fd = fileno(in_);
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            temp_ = std::tmpfile();
            if (temp_ == nullptr) {
                *why = "cannot make a temporary file for the MF4 data";
                return false;
            }
            std::vector<char> b(1 << 16);
            size_t n;
            while ((n = std::fread(b.data(), 1, b.size(), in_)) > 0)
                if (std::fwrite(b.data(), 1, n, temp_) != n) {
                    *why = "cannot copy the MF4 data to a temporary file";
                    return false;
                }
            std::fflush(temp_);
            fd = fileno(temp_);
            if (fstat(fd, &st) != 0) {
                *why = "cannot read the temporary copy";
                return false;
            }
        }
        file_.fd = fd;
        file_.size = static_cast<uint64_t>(st.st_size);
        uint8_t id[64];
        if (file_.size < 64 || !file_.read(0, id, 64)) {
            *why = at_byte(0, "not an MF4 file (shorter than its identification block)");
            return false;
        }
        const bool unfinalized = std::memcmp(id, "UnFinMF ", 8) == 0;
        unfinalized_ = unfinalized;
        if (!unfinalized && std::memcmp(id, "MDF     ", 8) != 0) {
            *why = at_byte(0, "not an MF4 file (no \"MDF     \" identification)");
            return false;
        }
        const unsigned version = static_cast<unsigned>(get_le(id + 28, 2));
        if (version < 400 || version >= 500) {
            *why = at_byte(28, "MDF version " + std::to_string(version) + ", only version 4 is read");
            return false;
        }
        Block hd;
        if (!load_kind(file_, 64, "HD", &hd, why))
            return false;
        start_ns_ = static_cast<int64_t>(hd.u(0, 8));
        if ((hd.u(12, 1) & 1) != 0 && start_ns_ >= 0) {
            // A start in local time without its offset: this machine's zone
            // at that time says which instant it was.
            const time_t local = static_cast<time_t>(start_ns_ / 1000000000);
            struct tm tm;
            gmtime_r(&local, &tm);
            tm.tm_isdst = -1;
            const time_t utc = mktime(&tm);
            if (utc != static_cast<time_t>(-1))
                start_ns_ += (int64_t{utc} - int64_t{local}) * 1000000000;
        }
        std::set<uint64_t> seen, groups;
        for (uint64_t at = hd.link(0); at != 0;) {
            if (!next_in_list(&seen, at, "data group list", SIZE_MAX, why))
                return false;
            Block dg;
            if (!load_kind(file_, at, "DG", &dg, why))
                return false;
            auto src = std::make_unique<Source>(&file_, dg.link(2), unfinalized);
            src->rec_id_size = static_cast<int>(dg.u(0, 1));
            if (src->rec_id_size != 0 && src->rec_id_size != 1 && src->rec_id_size != 2 &&
                src->rec_id_size != 4 && src->rec_id_size != 8) {
                *why = at_byte(at, "record ids of " + std::to_string(src->rec_id_size) + " bytes");
                return false;
            }
            bool can = false;
            for (uint64_t cg_at = dg.link(1); cg_at != 0;) {
                if (!next_in_list(&groups, cg_at, "channel group list", kMaxGroups, why))
                    return false;
                Block cg;
                if (!load_kind(file_, cg_at, "CG", &cg, why))
                    return false;
                Group g;
                if (!load_group(cg, unfinalized, &g, why))
                    return false;
                can = can || g.kind != Kind::Other;
                src->groups.push_back(std::move(g));
                cg_at = cg.link(0);
            }
            if (src->rec_id_size == 0 && src->groups.size() > 1) {
                *why = at_byte(at, "several channel groups without record ids");
                return false;
            }
            // A VLSD channel whose values are records of another group.
            for (Group &g : src->groups)
                if (g.bytes.present && g.bytes.cn_type == 1 && g.vlsd_bytes == nullptr) {
                    uint64_t vid = 0;
                    bool found = false;
                    for (const Group &o : src->groups)
                        if (o.vlsd && o.id != g.id && o.at == g.bytes.data) {
                            vid = o.id;
                            found = true;
                        }
                    if (!found) {
                        *why = at_byte(g.bytes.data, "the DataBytes channel links to no data");
                        return false;
                    }
                    if (!count_vlsd(g.at, why))
                        return false;
                    g.vlsd_bytes = std::make_unique<Vlsd>(&file_, dg.link(2), unfinalized);
                    g.vlsd_bytes->rec_id_size = src->rec_id_size;
                    g.vlsd_bytes->vlsd_id = vid;
                    for (const Group &o : src->groups)
                        g.vlsd_bytes->sizes.emplace_back(o.id, o.vlsd ? UINT32_MAX : o.size);
                }
            if (can) {
                if (sources_.size() >= kMaxDataGroups) {
                    *why = at_byte(at, "more than " + std::to_string(kMaxDataGroups) + " data groups of CAN frames");
                    return false;
                }
                sources_.push_back(std::move(src));
            } else {
                ++other_groups_;
            }
            at = dg.link(0);
        }
        return true;
    }

    // The channels of a group, walked with their members; each found by its
    // name, the part after the last '.' for a member.
    bool load_group(const Block &cg, bool unfinalized, Group *g, std::string *why)
    {
        g->id = cg.u(0, 8);
        const unsigned flags = static_cast<unsigned>(cg.u(16, 2));
        g->vlsd = (flags & 1) != 0;
        g->size = static_cast<uint32_t>(cg.u(24, 4)) + static_cast<uint32_t>(cg.u(28, 4));
        g->at = cg.at;
        if (g->vlsd)
            return true;
        if (cg.u(24, 4) + cg.u(28, 4) > kMaxRecord) {
            *why = at_byte(cg.at, "records of " + std::to_string(g->size) + " bytes");
            return false;
        }
        std::string acq;
        if (!load_text(file_, cg.link(2), &acq, why))
            return false;
        if (const size_t d = acq.find_first_of("0123456789"); d != std::string::npos)
            g->fallback_name = std::to_string(std::atoi(acq.c_str() + d));
        std::vector<std::pair<uint64_t, int>> todo = {{cg.link(1), 0}};
        std::set<uint64_t> seen;
        while (!todo.empty()) {
            auto [at, depth] = todo.back();
            todo.pop_back();
            while (at != 0) {
                if (!next_in_list(&seen, at, "channel list", kMaxChannels, why))
                    return false;
                Block cn;
                if (!load_kind(file_, at, "CN", &cn, why))
                    return false;
                std::string name;
                if (!load_text(file_, cn.link(2), &name, why))
                    return false;
                if (!channel(cn, name, g, why))
                    return false;
                if (cn.link(1) != 0 && depth < 4) {
                    Block comp;
                    if (!load_block(file_, cn.link(1), false, &comp, why))
                        return false;
                    if (comp.is("CN"))
                        todo.emplace_back(cn.link(1), depth + 1);
                }
                at = cn.link(0);
            }
        }
        if (g->kind == Kind::Other)
            return true;
        if (!g->time.present && !g->time_virtual) {
            *why = at_byte(cg.at, "a CAN channel group without a time channel");
            return false;
        }
        for (Field *f : {&g->time, &g->bus, &g->id_field, &g->ide, &g->dlc, &g->len, &g->bytes, &g->dir, &g->edl,
                         &g->brs, &g->esi})
            if (f->present && !f->fits(g->size)) {
                *why = at_byte(cg.at, "a channel lies outside the group's " + std::to_string(g->size) +
                                          "-byte records");
                return false;
            }
        for (Field *f : {&g->time, &g->bus, &g->id_field, &g->ide, &g->dlc, &g->len, &g->bytes, &g->dir, &g->edl,
                         &g->brs, &g->esi}) {
            const bool little = std::endian::native == std::endian::little && f->type != 1 && f->type != 3 &&
                                f->type != 5;
            f->fast = f->present && little && f->bits > 0 && f->bit + f->bits <= 64 && uint64_t{f->byte} + 8 <= g->size;
            f->mask = f->bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << f->bits) - 1;
        }
        if (g->kind == Kind::Data && g->bytes.present && g->bytes.cn_type == 1 && g->bytes.data != 0) {
            Block b;
            if (!load_block(file_, g->bytes.data, false, &b, why))
                return false;
            if (!b.is("CG")) {
                if (!count_vlsd(cg.at, why))
                    return false;
                g->vlsd_bytes = std::make_unique<Vlsd>(&file_, g->bytes.data, unfinalized);
            }
        }
        return true;
    }

    // Each channel of variable-length data bytes reads its data on a stream
    // of its own: a file gets a few.
    bool count_vlsd(uint64_t cg_at, std::string *why)
    {
        if (++vlsd_streams_ <= kMaxVlsd)
            return true;
        *why = at_byte(cg_at, "more than " + std::to_string(kMaxVlsd) + " groups with variable-length data bytes");
        return false;
    }

    bool channel(const Block &cn, const std::string &full, Group *g, std::string *why)
    {
        const int cn_type = static_cast<int>(cn.u(0, 1));
        const int sync = static_cast<int>(cn.u(1, 1));
        Field f;
        f.present = true;
        f.cn_type = static_cast<uint8_t>(cn_type);
        f.type = static_cast<uint8_t>(cn.u(2, 1));
        f.bit = static_cast<uint32_t>(cn.u(3, 1)) & 7;
        f.byte = static_cast<uint32_t>(cn.u(4, 4));
        f.bits = static_cast<uint32_t>(cn.u(8, 4));
        f.data = cn.link(5);
        if (cn_type == 2 || cn_type == 3) {
            if (sync != 1 && g->time.present)
                return true;
            g->time = f;
            g->time_virtual = cn_type == 3;
            g->time.present = cn_type == 2;
            const bool integer = f.type <= 3 && f.bits >= 1 && f.bits <= 64;
            const bool real = (f.type == 4 || f.type == 5) && (f.bits == 32 || f.bits == 64);
            if (g->time.present && !integer && !real) {
                *why = at_byte(cn.at, "a time channel of data type " + std::to_string(f.type) + " and " +
                                          std::to_string(f.bits) + " bits");
                return false;
            }
            g->time_float = f.type == 4 || f.type == 5;
            if (cn.link(4) != 0) {
                Block cc;
                if (!load_kind(file_, cn.link(4), "CC", &cc, why))
                    return false;
                const int cc_type = static_cast<int>(cc.u(0, 1));
                const int values = static_cast<int>(cc.u(6, 2));
                if (cc_type == 1 && values >= 2) {
                    g->p1 = cc.real(24);
                    g->p2 = cc.real(32);
                } else if (cc_type != 0) {
                    *why = at_byte(cc.at, "a time conversion of type " + std::to_string(cc_type) +
                                              " (only linear ones are read)");
                    return false;
                }
            }
            g->time_scale = 0;
            int64_t scale = 1000000000;
            for (int k = 0; k <= 9 && g->p1 == 0; ++k, scale /= 10)
                if (std::fabs(g->p2 * std::pow(10.0, k) - 1) < 1e-12)
                    g->time_scale = scale;
            return true;
        }
        const size_t dot = full.rfind('.');
        const std::string_view head = std::string_view(full).substr(0, full.find('.'));
        const std::string_view member = dot == std::string::npos ? std::string_view(full)
                                                                 : std::string_view(full).substr(dot + 1);
        Kind k = Kind::Other;
        if (head == "CAN_DataFrame")
            k = Kind::Data;
        else if (head == "CAN_RemoteFrame")
            k = Kind::Remote;
        else if (head == "CAN_ErrorFrame")
            k = Kind::Error;
        if (k == Kind::Other)
            return true;
        g->kind = k;
        if (f.bits == 0 || (f.type != 10 && f.bits > 64))
            return true;
        static const std::pair<const char *, Field Group::*> kMembers[] = {
            {"BusChannel", &Group::bus}, {"ID", &Group::id_field}, {"IDE", &Group::ide},
            {"DLC", &Group::dlc},        {"DataLength", &Group::len}, {"DataBytes", &Group::bytes},
            {"Dir", &Group::dir},        {"EDL", &Group::edl},        {"BRS", &Group::brs},
            {"ESI", &Group::esi},
        };
        for (const auto &[n, m] : kMembers)
            if (member == n)
                g->*m = f;
        return true;
    }

    // The time of a record in microseconds since the epoch; false when it is
    // out of range.
    bool record_time(const Group &g, const uint8_t *rec, int64_t *us)
    {
        int64_t rel_ns = 0;
        if (g.time_float) {
            double v;
            if (g.time.bits == 32) {
                const uint32_t raw = static_cast<uint32_t>(bits_of(rec, g.time));
                float x;
                std::memcpy(&x, &raw, 4);
                v = x;
            } else {
                const uint64_t raw = bits_of(rec, g.time);
                std::memcpy(&v, &raw, 8);
            }
            // Floating-point times are near the microsecond they stand for.
            const double s = g.p1 + g.p2 * v;
            if (!(std::fabs(s) < 9e9))
                return false;
            rel_ns = std::llround(s * 1e6) * 1000;
        } else {
            int64_t raw;
            if (g.time_virtual) {
                raw = static_cast<int64_t>(g.index);
            } else {
                uint64_t u = bits_of(rec, g.time);
                const bool is_signed = g.time.type == 2 || g.time.type == 3;
                if (is_signed && g.time.bits < 64 && (u >> (g.time.bits - 1)) & 1)
                    u |= ~uint64_t{0} << g.time.bits;
                if (!is_signed && u > uint64_t{INT64_MAX})
                    return false;
                raw = static_cast<int64_t>(u);
            }
            if (g.time_scale > 0) {
                if (__builtin_mul_overflow(raw, g.time_scale, &rel_ns))
                    return false;
            } else {
                const long double s = g.p1 + static_cast<long double>(g.p2) * raw;
                if (!(std::fabs(static_cast<double>(s)) < 9e9))
                    return false;
                rel_ns = std::llround(static_cast<double>(s * 1e9L));
            }
        }
        int64_t ns;
        if (__builtin_add_overflow(start_ns_, rel_ns, &ns))
            return false;
        int64_t q = ns / 1000;
        if (ns % 1000 < 0)
            --q;
        *us = q;
        return true;
    }

    void advance(Source &s)
    {
        std::string &why = s.why;
        for (;;) {
            Stream &st = s.stream;
            const size_t idn = static_cast<size_t>(s.rec_id_size);
            int r = st.need(idn > 0 ? idn : 1, &why);
            if (r < 0) {
                s.state = -1;
                return;
            }
            if (r == 0 && st.left() == 0) {
                s.state = 0;
                return;
            }
            Group *g = &s.groups[0];
            if (idn > 0) {
                if (r == 0)
                    return cut(s);
                const uint64_t id = get_le(st.ptr(), static_cast<int>(idn));
                g = nullptr;
                for (Group &c : s.groups)
                    if (c.id == id)
                        g = &c;
                if (g == nullptr) {
                    s.state = -1;
                    why = at_byte(st.block_at(), "record id " + std::to_string(id) + " of no channel group (data offset " +
                                                     std::to_string(st.pos()) + ")");
                    return;
                }
            }
            if (g->vlsd) {
                r = st.need(idn + 4, &why);
                if (r <= 0)
                    return r < 0 ? void(s.state = -1) : cut(s);
                const uint32_t len = static_cast<uint32_t>(get_le(st.ptr() + idn, 4));
                st.consume(idn + 4);
                r = st.skip(len, &why);
                if (r <= 0)
                    return r < 0 ? void(s.state = -1) : cut(s);
                continue;
            }
            r = st.need(idn + g->size, &why);
            if (r <= 0)
                return r < 0 ? void(s.state = -1) : cut(s);
            const uint8_t *rec = st.ptr() + idn;
            const uint64_t rec_pos = st.pos();
            const uint64_t block = st.block_at();
            if (g->kind == Kind::Other) {
                ++other_records_;
                st.consume(idn + g->size);
                continue;
            }
            Frame &f = s.frame;
            f = Frame();
            int64_t us = 0;
            if (!record_time(*g, rec, &us)) {
                s.state = -1;
                why = at_byte(block, "a time out of range (data offset " + std::to_string(rec_pos) + ")");
                return;
            }
            ++g->index;
            set_frame_us(&f, us);
            if (g->bus.present) {
                const uint64_t bus = bits_of(rec, g->bus);
                if (bus != s.bus || s.name.empty()) {
                    s.bus = bus;
                    s.name = std::to_string(bus);
                }
            } else {
                s.name = g->fallback_name;
                s.bus = UINT64_MAX;
            }
            f.tx = flag(rec, g->dir);
            if (g->kind == Kind::Error) {
                f.error = true;
                st.consume(idn + g->size);
                s.state = 1;
                return;
            }
            const uint64_t raw_id = g->id_field.present ? bits_of(rec, g->id_field) : 0;
            f.extended = flag(rec, g->ide) || (g->id_field.bits >= 32 && (raw_id & 0x80000000u));
            f.id = static_cast<uint32_t>(raw_id & (f.extended ? 0x1FFFFFFFu : 0x7FFu));
            if (g->kind == Kind::Remote) {
                f.remote = true;
                f.dlc = static_cast<uint8_t>(g->dlc.present ? bits_of(rec, g->dlc) & 15 : 0);
                st.consume(idn + g->size);
                s.state = 1;
                return;
            }
            f.fd = flag(rec, g->edl);
            f.brs = f.fd && flag(rec, g->brs);
            f.esi = f.fd && flag(rec, g->esi);
            int dlc = g->dlc.present ? static_cast<int>(bits_of(rec, g->dlc) & 15) : -1;
            int len = g->len.present ? static_cast<int>(std::min<uint64_t>(bits_of(rec, g->len), 64)) : -1;
            if (len < 0)
                len = dlc < 0 ? 0 : f.fd ? dlc_to_len(dlc) : std::min(dlc, 8);
            if (!f.fd)
                len = std::min(len, 8);
            else
                len = fd_len_up(len);
            size_t have = 0;
            uint8_t bytes[64] = {};
            if (g->bytes.present && g->bytes.cn_type == 1 && g->vlsd_bytes) {
                const uint64_t offset = bits_of(rec, g->bytes);
                st.consume(idn + g->size);
                if (!g->vlsd_bytes->fetch(offset, bytes, &have, &why)) {
                    s.state = -1;
                    return;
                }
            } else {
                if (g->bytes.present && g->bytes.type == 10 && g->bytes.bit == 0)
                    have = std::min<size_t>(g->bytes.bits / 8, 64);
                std::memcpy(bytes, rec + g->bytes.byte, have);
                st.consume(idn + g->size);
            }
            if (dlc < 0)
                dlc = f.fd ? len_to_dlc(len) : len;
            f.dlc = static_cast<uint8_t>(dlc);
            f.len = static_cast<uint8_t>(len);
            std::memcpy(f.data.data(), bytes, std::min<size_t>(have, static_cast<size_t>(len)));
            s.state = 1;
            return;
        }
    }

    // The data ends inside a record: a logger still writing leaves that;
    // anywhere else it is damage.
    void cut(Source &s)
    {
        if (unfinalized_) {
            tail_note_ = "the unfinalized file ends inside a record (" + std::to_string(s.stream.left()) +
                         " bytes ignored)";
            s.state = 0;
            return;
        }
        s.state = -1;
        s.why = at_byte(s.stream.block_at(), "the data ends inside a record (data offset " +
                                                 std::to_string(s.stream.pos()) + ")");
    }


    FILE *in_;
    FILE *temp_ = nullptr;
    File file_;
    bool opened_ = false;
    bool failed_ = false;
    bool unfinalized_ = false;
    std::string error_;
    int64_t start_ns_ = 0;
    std::vector<std::unique_ptr<Source>> sources_;
    uint64_t other_records_ = 0;
    size_t other_groups_ = 0;
    size_t vlsd_streams_ = 0;
    std::string tail_note_;
};


// ---- writing ----

// Blocks of metadata built in memory at a known file offset; links to blocks
// made later are filled in when those exist.
class Blocks {
public:
    explicit Blocks(uint64_t base) : base_(base) {}
    uint64_t add(const char *id, size_t links, std::string_view data)
    {
        const uint64_t at = base_ + out_.size();
        const uint64_t length = kHeader + links * 8 + data.size();
        out_ += "##";
        out_ += id;
        put_le(&out_, 0, 4);
        put_le(&out_, length, 8);
        put_le(&out_, links, 8);
        out_.append(links * 8, '\0');
        out_ += data;
        out_.append((8 - out_.size() % 8) % 8, '\0');
        return at;
    }
    void link(uint64_t block, size_t index, uint64_t target)
    {
        std::string v;
        put_le(&v, target, 8);
        out_.replace(block - base_ + kHeader + index * 8, 8, v);
    }
    uint64_t text(const char *id, std::string_view s)
    {
        std::string d(s);
        d.push_back('\0');
        return add(id, 0, d);
    }
    const std::string &bytes() const { return out_; }

private:
    uint64_t base_;
    std::string out_;
};

// One member of a record: name, byte offset, bit offset, bits, data type.
struct Member {
    const char *name;
    uint32_t byte;
    uint8_t bit;
    uint32_t bits;
    uint8_t type;
};

// The records: Timestamp (signed microseconds since the start) at 0, the
// composed channel from byte 8, its identifier word holding IDE in bit 31.
// Classic frames have a group of their own with 8 data bytes, a third of
// the CAN FD record: less to compress and to inflate.
constexpr Member kClassicMembers[] = {
    {"BusChannel", 8, 0, 8, 0}, {"ID", 9, 0, 29, 0},      {"IDE", 12, 7, 1, 0}, {"DLC", 13, 0, 4, 0},
    {"DataLength", 14, 0, 8, 0}, {"Dir", 15, 0, 1, 0},    {"EDL", 15, 1, 1, 0}, {"BRS", 15, 2, 1, 0},
    {"ESI", 15, 3, 1, 0},        {"DataBytes", 16, 0, 64, 10},
};
constexpr Member kFdMembers[] = {
    {"BusChannel", 8, 0, 8, 0}, {"ID", 9, 0, 29, 0},      {"IDE", 12, 7, 1, 0}, {"DLC", 13, 0, 4, 0},
    {"DataLength", 14, 0, 8, 0}, {"Dir", 15, 0, 1, 0},    {"EDL", 15, 1, 1, 0}, {"BRS", 15, 2, 1, 0},
    {"ESI", 15, 3, 1, 0},        {"DataBytes", 16, 0, 512, 10},
};
constexpr Member kRemoteMembers[] = {
    {"BusChannel", 8, 0, 8, 0}, {"ID", 9, 0, 29, 0}, {"IDE", 12, 7, 1, 0}, {"DLC", 13, 0, 4, 0},
    {"DataLength", 14, 0, 8, 0}, {"Dir", 15, 0, 1, 0},
};
constexpr Member kErrorMembers[] = {{"BusChannel", 8, 0, 8, 0}, {"Dir", 9, 0, 1, 0}};

struct KindLayout {
    const char *name;
    uint32_t size;
    const Member *members;
    size_t count;
};
constexpr int kKinds = 4;
constexpr KindLayout kLayouts[kKinds] = {
    {"CAN_DataFrame", 24, kClassicMembers, std::size(kClassicMembers)},
    {"CAN_DataFrame", 80, kFdMembers, std::size(kFdMembers)},
    {"CAN_RemoteFrame", 16, kRemoteMembers, std::size(kRemoteMembers)},
    {"CAN_ErrorFrame", 10, kErrorMembers, std::size(kErrorMembers)},
};

constexpr size_t kBlockBytes = 1 << 20;  // records per data block, before compression
constexpr uint32_t kFirstListSlots = 16;  // DL lists double from here
constexpr uint32_t kMaxListSlots = 1024;
// Unfinalized while open: the groups' cycle counts are not written yet, and
// the last DL list of a chain has empty slots for blocks to come.
constexpr uint16_t kUnfinalizedFlags = 0x0001 | 0x0010;

// Written as loggers write: the identification says "UnFinMF " and all the
// metadata comes first; every data block is linked in only once it is in
// the file whole (an 8-byte link written last), so a file cut anywhere reads
// up to the last block linked. close() fills in the counts and says "MDF     ".
class Mf4Encoder : public Encoder {
public:
    explicit Mf4Encoder(const WriteOptions &o) : level_(std::clamp(o.compression, 0, 9)) {}

    bool begin(Output &out) override
    {
        std::string id = "UnFinMF 4.11    velk    ";
        id.append(4, '\0');
        put_le(&id, 411, 2);
        id.append(30, '\0');
        put_le(&id, kUnfinalizedFlags, 2);
        put_le(&id, 0, 2);
        Blocks b(64);
        const uint64_t hd = b.add("HD", 6, std::string(32, '\0'));
        // One bus source for every group: a CAN bus.
        std::string si;
        si.push_back(2);  // bus
        si.push_back(2);  // CAN
        si.append(6, '\0');
        const uint64_t si_at = b.add("SI", 3, si);
        b.link(si_at, 0, b.text("TX", "CAN"));
        b.link(si_at, 1, b.text("TX", "CAN"));
        const uint64_t unit = b.text("TX", "s");
        std::string cc;
        cc.push_back(1);  // linear
        cc.push_back(0);
        put_le(&cc, 0, 2);
        put_le(&cc, 0, 2);
        put_le(&cc, 2, 2);
        cc.append(16, '\0');  // no physical range
        put_le(&cc, 0, 8);  // P1 = 0
        double p2 = 1e-6;
        uint64_t p2_bits;
        std::memcpy(&p2_bits, &p2, 8);
        put_le(&cc, p2_bits, 8);
        const uint64_t cc_at = b.add("CC", 4, cc);
        b.link(cc_at, 1, unit);
        uint64_t prev_dg = 0;
        for (int k = 0; k < kKinds; ++k) {
            const KindLayout &l = kLayouts[k];
            const uint64_t dg = b.add("DG", 4, std::string(8, '\0'));
            groups_[k].dg = dg;
            b.link(prev_dg != 0 ? prev_dg : hd, 0, dg);
            prev_dg = dg;
            std::string cgd;
            put_le(&cgd, 0, 8);
            put_le(&cgd, 0, 8);  // the cycle count, filled in at the end
            put_le(&cgd, 0x0006, 2);  // bus event, plain bus event
            put_le(&cgd, '.', 2);
            put_le(&cgd, 0, 4);
            put_le(&cgd, l.size, 4);
            put_le(&cgd, 0, 4);
            const uint64_t cg = b.add("CG", 6, cgd);
            groups_[k].cg = cg;
            b.link(dg, 1, cg);
            b.link(cg, 2, b.text("TX", l.name));
            b.link(cg, 3, si_at);
            const uint64_t time = channel(&b, 2, 1, 2, 0, 0, 64, 0);
            b.link(cg, 1, time);
            b.link(time, 2, b.text("TX", "Timestamp"));
            b.link(time, 4, cc_at);
            const uint64_t top = channel(&b, 0, 0, 10, 8, 0, (l.size - 8) * 8, 0x400);
            b.link(time, 0, top);
            b.link(top, 2, b.text("TX", l.name));
            b.link(top, 3, si_at);
            uint64_t prev = 0;
            for (size_t i = 0; i < l.count; ++i) {
                const Member &m = l.members[i];
                const uint64_t cn = channel(&b, 0, 0, m.type, m.byte, m.bit, m.bits, 0x400);
                b.link(cn, 2, b.text("TX", join({l.name, ".", m.name})));
                b.link(prev != 0 ? prev : top, prev != 0 ? 0 : 1, cn);
                prev = cn;
            }
        }
        // The start time is the first frame's, written when it comes; until
        // then (and for a file without frames) the time of opening.
        std::string fh_time;
        put_le(&fh_time, static_cast<uint64_t>(int64_t{std::time(nullptr)} * 1000000000), 8);
        fh_ = b.add("FH", 2, fh_time + std::string(8, '\0'));
        b.link(hd, 1, fh_);
        b.link(fh_, 1,
               b.text("MD", "<FHcomment><TX>written by velk</TX><tool_id>velk</tool_id>"
                            "<tool_vendor>velk</tool_vendor><tool_version>1</tool_version></FHcomment>"));
        std::string bytes = b.bytes();
        bytes.replace(hd - 64 + kHeader + 6 * 8, 8, fh_time);
        // A file that cannot be rewritten cannot hold an MF4 file: said at open.
        return out.put(id) && out.put(bytes) && out.patch(0, "UnFi", 4);
    }

    bool write(Output &out, const Frame &f) override
    {
        const int64_t us = frame_us(f);
        if (!started_) {
            started_ = true;
            start_us_ = us;
            std::string t;
            put_le(&t, static_cast<uint64_t>(us * 1000), 8);
            if (!out.patch(64 + kHeader + 6 * 8, t.data(), 8) || !out.patch(fh_ + kHeader + 2 * 8, t.data(), 8))
                return false;
        }
        const int k = f.error ? 3 : f.remote ? 2 : f.fd ? 1 : 0;
        const bool data = k < 2;
        Pending &p = groups_[k];
        const size_t at = p.buf.size();
        p.buf.resize(at + kLayouts[k].size, '\0');
        auto *r = reinterpret_cast<uint8_t *>(p.buf.data() + at);
        const uint64_t rel = static_cast<uint64_t>(us - start_us_);
        for (int i = 0; i < 8; ++i)
            r[i] = static_cast<uint8_t>(rel >> (8 * i));
        r[8] = static_cast<uint8_t>(f.channel >= 0 ? f.channel + 1 : 0);
        if (k == 3) {
            r[9] = f.tx ? 1 : 0;
        } else {
            const uint32_t word = (f.id & 0x1FFFFFFF) | (f.extended ? 0x80000000u : 0);
            for (int i = 0; i < 4; ++i)
                r[9 + i] = static_cast<uint8_t>(word >> (8 * i));
            r[13] = f.dlc & 15;
            r[14] = data ? f.len : 0;
            r[15] = static_cast<uint8_t>((f.tx ? 1 : 0) | (data && f.fd ? 2 : 0) | (data && f.brs ? 4 : 0) |
                                         (data && f.esi ? 8 : 0));
            if (data)
                std::memcpy(r + 16, f.data.data(), std::min<size_t>(f.len, kLayouts[k].size - 16));
        }
        ++p.records;
        return p.buf.size() < kBlockBytes || emit(out, p);
    }

    bool flush(Output &out) override
    {
        for (Pending &p : groups_)
            if (!p.buf.empty() && !emit(out, p))
                return false;
        return true;
    }

    bool finish(Output &out) override
    {
        if (!flush(out))
            return false;
        for (Pending &p : groups_) {
            // The last list of a chain, with empty slots, is replaced by one
            // of its blocks only.
            if (p.list != 0 && p.list_used < p.list_slots) {
                const uint64_t at = align(out);
                if (at == 0)
                    return false;
                Blocks b(at);
                b.add("DL", 1 + p.list_used, list_data_of(&p, p.list_used, p.list_used));
                for (uint32_t i = 0; i < p.list_used; ++i)
                    b.link(at, 1 + i, p.in_list[i].first);
                if (!out.put(b.bytes()) || !patch_link(out, p.list_from, at))
                    return false;
            }
            std::string n;
            put_le(&n, p.records, 8);
            if (!out.patch(p.cg + kHeader + 6 * 8 + 8, n.data(), 8))
                return false;
        }
        return out.patch(0, "MDF     ", 8) && out.patch(60, "\0\0", 2);
    }

private:
    struct Pending {
        std::string buf;
        uint64_t records = 0;
        uint64_t stream = 0;  // bytes of records in earlier blocks
        uint64_t dg = 0, cg = 0;
        uint64_t first_block = 0;  // linked from the group until a list is needed
        uint64_t list = 0;      // the current DL list, 0 before the second block
        uint64_t list_from = 0;  // where the link to it is
        uint32_t list_slots = 0, list_used = 0;
        std::vector<std::pair<uint64_t, uint64_t>> in_list;  // its blocks: file offset, stream offset
    };

    static uint64_t channel(Blocks *b, int type, int sync, int data_type, uint32_t byte, int bit, uint32_t bits,
                            uint32_t flags)
    {
        std::string d;
        d.push_back(static_cast<char>(type));
        d.push_back(static_cast<char>(sync));
        d.push_back(static_cast<char>(data_type));
        d.push_back(static_cast<char>(bit));
        put_le(&d, byte, 4);
        put_le(&d, bits, 4);
        put_le(&d, flags, 4);
        put_le(&d, 0, 4);
        d.append(4, '\0');
        d.append(48, '\0');
        return b->add("CN", 8, d);
    }

    // A DL list's data: flags, count, the stream offsets of the first
    // `used` blocks of the group's list, 0 for the empty slots.
    static std::string list_data_of(const Pending *p, uint32_t slots, uint32_t used)
    {
        std::string d;
        put_le(&d, 0, 4);
        put_le(&d, slots, 4);
        for (uint32_t i = 0; i < slots; ++i)
            put_le(&d, i < used ? p->in_list[i].second : 0, 8);
        return d;
    }

    // Pads the file to a multiple of 8; the offset reached, 0 on failure.
    static uint64_t align(Output &out)
    {
        const uint64_t at = out.written() + (8 - out.written() % 8) % 8;
        if (at != out.written() && !out.put(std::string(at - out.written(), '\0')))
            return 0;
        return at;
    }

    static bool patch_link(Output &out, uint64_t where, uint64_t target)
    {
        std::string v;
        put_le(&v, target, 8);
        return out.patch(where, v.data(), 8);
    }

    // The buffer as one data block, DZ (deflate) or at level 0 DT, then
    // linked in: from the group for the first block, else from a slot of
    // the group's DL list (a new list when the current one is full).
    bool emit(Output &out, Pending &p)
    {
        const uint64_t at = out.written();
        std::string block;
        if (level_ == 0) {
            Blocks b(at);
            b.add("DT", 0, p.buf);
            block = b.bytes();
        } else {
            uLongf n = compressBound(static_cast<uLong>(p.buf.size()));
            zbuf_.resize(n);
            if (compress2(zbuf_.data(), &n, reinterpret_cast<const Bytef *>(p.buf.data()),
                          static_cast<uLong>(p.buf.size()), level_) != Z_OK)
                return false;
            std::string d = "DT";
            d.push_back(0);  // deflate
            d.push_back(0);
            put_le(&d, 0, 4);
            put_le(&d, p.buf.size(), 8);
            put_le(&d, n, 8);
            d.append(reinterpret_cast<const char *>(zbuf_.data()), n);
            Blocks b(at);
            b.add("DZ", 0, d);
            block = b.bytes();
        }
        // The block's length counts the data only; the padding after it aligns the next block.
        if (!out.put(block))
            return false;
        const std::pair<uint64_t, uint64_t> entry(at, p.stream);
        p.stream += p.buf.size();
        p.buf.clear();
        const uint64_t group_link = p.dg + kHeader + 2 * 8;
        if (p.first_block == 0 && p.list == 0) {
            p.first_block = at;
            return patch_link(out, group_link, at);
        }
        if (p.list != 0 && p.list_used < p.list_slots) {
            const uint32_t i = p.list_used++;
            p.in_list.push_back(entry);
            std::string off;
            put_le(&off, entry.second, 8);
            return out.patch(p.list + kHeader + (1 + p.list_slots) * 8 + 8 + i * 8, off.data(), 8) &&
                   patch_link(out, p.list + kHeader + (1 + i) * 8, at);
        }
        // A new list, written whole, then linked from the group (the first,
        // taking the group's first block too) or from the full list before it.
        const uint32_t slots = p.list == 0 ? kFirstListSlots : std::min(kMaxListSlots, p.list_slots * 2);
        p.in_list.clear();
        if (p.list == 0)
            p.in_list.emplace_back(p.first_block, 0);
        p.in_list.push_back(entry);
        const uint64_t dl = align(out);
        if (dl == 0)
            return false;
        Blocks b(dl);
        b.add("DL", 1 + slots, list_data_of(&p, slots, static_cast<uint32_t>(p.in_list.size())));
        for (size_t i = 0; i < p.in_list.size(); ++i)
            b.link(dl, 1 + i, p.in_list[i].first);
        const uint64_t from = p.list == 0 ? group_link : p.list + kHeader;
        if (!out.put(b.bytes()) || !patch_link(out, from, dl))
            return false;
        p.list = dl;
        p.list_from = from;
        p.list_slots = slots;
        p.list_used = static_cast<uint32_t>(p.in_list.size());
        return true;
    }

    int level_;
    bool started_ = false;
    int64_t start_us_ = 0;
    uint64_t fh_ = 0;
    Pending groups_[kKinds];
    std::vector<Bytef> zbuf_;
};
}  // namespace

std::unique_ptr<Decoder> mf4_decoder(FILE *file, const ReadOptions &options)
{
    return std::make_unique<Mf4Decoder>(file, options);
}

std::unique_ptr<Encoder> mf4_encoder(const WriteOptions &options)
{
    return std::make_unique<Mf4Encoder>(options);
}

}  // namespace velk::trace::detail
