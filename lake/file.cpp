// The file: "PAR1", the row groups' column chunks, the footer, its length
// and "PAR1" again, written under a temporary name and renamed when whole.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace velk::lake {

namespace {

constexpr char kMagic[] = "PAR1";

// ".NAME.PID.tmp" beside NAME: engines skip names starting with '.', and a
// glob of *.parquet does not take it.
std::string temp_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + base + "." + std::to_string(getpid()) + ".tmp";
}

}  // namespace

Writer::Writer() = default;

Writer::~Writer() { abandon(); }

bool Writer::fail(const std::string &why)
{
    if (!failed_)
        error_ = why;
    failed_ = true;
    return false;
}

bool Writer::open(const std::string &path, std::vector<Column> columns, const Options &options)
{
    abandon();
    path_ = path;
    temp_ = temp_name(path);
    columns_ = std::move(columns);
    options_ = options;
    failed_ = finished_ = false;
    error_.clear();
    groups_.clear();
    rows_ = group_rows_ = 0;
    if (options_.row_group_rows == 0)
        options_.row_group_rows = 1;
    compressor_ = std::make_unique<detail::Compressor>(options_.codec, options_.level);
    writers_.clear();
    for (const Column &c : columns_)
        writers_.push_back(std::make_unique<detail::ColumnWriter>(c, options_.page_rows, compressor_.get()));
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        fail(temp_ + ": " + std::strerror(errno));
        temp_.clear();
        return false;
    }
    offset_ = 0;
    return write(kMagic);
}

bool Writer::write(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(temp_ + ": " + std::strerror(n < 0 ? errno : ENOSPC));
        done += static_cast<size_t>(n);
    }
    offset_ += bytes.size();
    return true;
}

void Writer::put(int col, int64_t v) { writers_[static_cast<size_t>(col)]->put_int(v); }
void Writer::put(int col, double v) { writers_[static_cast<size_t>(col)]->put_double(v); }
void Writer::put(int col, std::string_view bytes) { writers_[static_cast<size_t>(col)]->put_bytes(bytes); }
void Writer::put_bool(int col, bool v) { writers_[static_cast<size_t>(col)]->put_bool(v); }

bool Writer::end_row()
{
    ++group_rows_;
    ++rows_;
    for (auto &w : writers_)
        while (w->count() < group_rows_)
            w->put_null();
    if (group_rows_ >= options_.row_group_rows)
        return write_row_group();
    return !failed_;
}

bool Writer::write_row_group()
{
    if (fd_ < 0 || failed_)
        return false;
    detail::RowGroupMeta group;
    group.num_rows = static_cast<int64_t>(group_rows_);
    group.file_offset = static_cast<int64_t>(offset_);
    group.chunks.resize(writers_.size());
    for (size_t i = 0; i < writers_.size(); ++i) {
        buf_.clear();
        if (!writers_[i]->end_chunk(static_cast<int64_t>(offset_), &buf_, &group.chunks[i]))
            return fail(temp_ + ": the " + columns_[i].name + " column could not be compressed");
        if (!write(buf_))
            return false;
    }
    groups_.push_back(std::move(group));
    group_rows_ = 0;
    return true;
}

bool Writer::finish()
{
    if (finished_)
        return !failed_;
    if (fd_ < 0)
        return fail("no file is open");
    finished_ = true;
    if (group_rows_ > 0 && !write_row_group())
        return false;
    std::string footer = detail::file_metadata(columns_, groups_, static_cast<int64_t>(rows_), options_.codec);
    detail::put_le32(&footer, static_cast<uint32_t>(footer.size()));
    footer += kMagic;
    if (!write(footer))
        return false;
    // On disk before the rename, so that the name never shows a file a
    // crash left short.
    if (options_.sync && ::fdatasync(fd_) != 0)
        return fail(temp_ + ": " + std::strerror(errno));
    // Closed here, so that many finished files wait for their rename
    // without holding a descriptor each.
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0)
        return fail(temp_ + ": " + std::strerror(errno));
    return true;
}

bool Writer::commit()
{
    if (!finished_ || failed_ || temp_.empty())
        return fail(error_.empty() ? "the file is not finished" : error_);
    if (std::rename(temp_.c_str(), path_.c_str()) != 0)
        return fail(path_ + ": " + std::strerror(errno));
    temp_.clear();
    return true;
}

void Writer::abandon()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
}

}  // namespace velk::lake
