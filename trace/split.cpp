// A recording in pieces: each piece a complete file of its format, the next
// begun before the frame that would take a piece past its size or time, the
// oldest removed when only the newest are kept. A piece that cannot be
// written (a full disk, a folder removed) ends with its reason; with
// splitting on, a new piece is tried after a pause.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "formats.h"

namespace velk::trace {

namespace {

// The wait before a new piece is tried after a failed one.
constexpr int64_t kRetryUs = 5000000;

}  // namespace

std::string piece_path(const std::string &path, int piece)
{
    // Before the format's extension and any compression suffix: run-0001.log.gz.
    size_t end = path.size();
    if (compression_of(path) != Compression::None)
        end = path.find_last_of('.');
    size_t dot = path.find_last_of('.', end == 0 ? 0 : end - 1);
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot >= end)
        dot = end;
    char counter[16];
    std::snprintf(counter, sizeof counter, "-%04d", piece);
    return path.substr(0, dot) + counter + path.substr(dot);
}

SplitWriter::SplitWriter() = default;

SplitWriter::~SplitWriter()
{
    close();
}

bool SplitWriter::open(const std::string &path, Format format, const WriteOptions &options, const SplitOptions &split)
{
    close();
    path_ = path;
    format_ = format;
    options_ = options;
    split_ = split;
    piece_ = 0;
    frames_ = lost_ = 0;
    retry_at_us_ = -1;
    error_.clear();
    said_retry_ = false;
    return next_piece(options.start_us);
}

bool SplitWriter::splitting() const
{
    return split_.max_bytes > 0 || split_.max_us > 0;
}

bool SplitWriter::next_piece(int64_t start_us)
{
    ++piece_;
    current_ = splitting() ? piece_path(path_, piece_) : path_;
    WriteOptions o = options_;
    o.start_us = start_us;
    piece_start_us_ = start_us;
    if (!writer_.open(current_, format_, o)) {
        error_ = writer_.error();
        return false;
    }
    if (splitting() && split_.keep > 0 && piece_ > split_.keep)
        std::remove(piece_path(path_, piece_ - split_.keep).c_str());
    if (on_piece)
        on_piece(current_);
    return true;
}

bool SplitWriter::write(const Frame &f)
{
    const int64_t t = detail::frame_us(f);
    last_us_ = t;
    if (retry_at_us_ >= 0) {
        if (t < retry_at_us_) {
            ++lost_;
            return true;
        }
        if (!next_piece(t)) {
            retry_at_us_ = t + kRetryUs;
            ++lost_;
            return true;
        }
        retry_at_us_ = -1;
        if (on_event)
            on_event("writing again to " + current_ + " after " + std::to_string(lost_) + " frames lost");
    }
    if (!writer_.is_open())
        return false;
    if (piece_start_us_ < 0)
        piece_start_us_ = t;
    if (splitting() && writer_.frames() > 0 &&
        ((split_.max_bytes > 0 && writer_.size_on_disk() >= split_.max_bytes) ||
         (split_.max_us > 0 && t - piece_start_us_ >= split_.max_us))) {
        if (!writer_.close())
            return failed_piece(t);
        if (!next_piece(t))
            return failed_piece(t);
    }
    if (!writer_.write(f))
        return failed_piece(t);
    ++frames_;
    return true;
}

bool SplitWriter::failed_piece(int64_t t)
{
    error_ = writer_.error();
    writer_.close();
    if (!splitting())
        return false;
    // The frames written before stay in the piece; the next one waits.
    if (on_event && !said_retry_) {
        said_retry_ = true;
        on_event(error_ + "; a new piece is tried every " + std::to_string(kRetryUs / 1000000) + " s");
    }
    ++lost_;
    retry_at_us_ = t + kRetryUs;
    return true;
}

bool SplitWriter::flush()
{
    if (!writer_.is_open())
        return retry_at_us_ >= 0;
    if (!writer_.flush())
        return failed_piece(last_us_);
    return true;
}

bool SplitWriter::still_at_path()
{
    if (!writer_.is_open() || writer_.still_at_path())
        return true;
    error_ = writer_.error();
    return false;
}

bool SplitWriter::close()
{
    if (!writer_.is_open())
        return error_.empty() || splitting();
    if (!writer_.close()) {
        error_ = writer_.error();
        return false;
    }
    return true;
}

}  // namespace velk::trace
