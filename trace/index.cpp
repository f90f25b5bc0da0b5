// The index of a trace: places to come back to, read once in the background,
// and frames by number through them.
#include <algorithm>
#include <cstring>
#include <sys/stat.h>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "formats.h"

namespace velk::trace {

namespace detail {

// Several files read as one, by time: the earliest frame next, the first
// file's on a tie (as velk_convert merges). Each file's place is kept from
// before the frame it holds, so that a merge taken up there again goes on
// exactly as it would have. One file is read straight, its place taken
// only when asked for.
class Merge {
public:
    bool open(const std::vector<std::string> &paths, const ReadOptions &options, std::string *why)
    {
        for (const std::string &path : paths) {
            auto in = std::make_unique<Input>();
            Format format;
            if (!format_of(path, &format)) {
                *why = path + ": not a trace file name this reader knows (.log, .asc, .csv, .blf, .mf4, .pcapng, "
                              ".pcap, .trc)";
                return false;
            }
            if (!in->reader.open(path, format, options)) {
                *why = in->reader.error();
                return false;
            }
            inputs_.push_back(std::move(in));
        }
        if (inputs_.size() > 1)
            for (auto &in : inputs_)
                fill(in.get());
        return true;
    }

    // 1 a frame, 0 the end, -1 a file is damaged here (*why).
    int next(Frame *f, std::string *why)
    {
        if (inputs_.size() == 1) {
            const int r = inputs_[0]->reader.next(f);
            if (r < 0)
                *why = inputs_[0]->reader.error();
            return r;
        }
        Input *best = nullptr;
        for (auto &in : inputs_) {
            if (in->state < 0) {
                *why = in->reader.error();
                return -1;
            }
            if (in->state > 0 && (best == nullptr || frame_us(in->head) < frame_us(best->head)))
                best = in.get();
        }
        if (best == nullptr)
            return 0;
        *f = best->head;
        fill(best);
        return 1;
    }

    void mark(std::vector<ResumePoint> *at) const
    {
        at->clear();
        if (inputs_.size() == 1) {
            at->emplace_back();
            inputs_[0]->reader.mark(&at->back());
            return;
        }
        for (const auto &in : inputs_)
            at->push_back(in->before);
    }

    bool seek(const std::vector<ResumePoint> &at)
    {
        if (at.size() != inputs_.size())
            return false;
        for (size_t i = 0; i < at.size(); ++i) {
            Input *in = inputs_[i].get();
            if (!in->reader.seek(at[i]))
                return false;
            if (at.size() > 1)
                fill(in);
        }
        return true;
    }

    uint64_t position() const
    {
        uint64_t n = 0;
        for (const auto &in : inputs_)
            n += in->reader.position();
        return n;
    }

private:
    struct Input {
        Reader reader;
        Frame head;
        ResumePoint before;
        int state = 0;  // 1 head holds the file's next frame, 0 its end, -1 damage
    };

    static void fill(Input *in)
    {
        in->reader.mark(&in->before);
        in->state = in->reader.next(&in->head);
    }

    std::vector<std::unique_ptr<Input>> inputs_;
};

}  // namespace detail

// ---- Index ----

Index::Index() = default;

Index::~Index()
{
    stop();
}

uint32_t Index::id_key(const Frame &f)
{
    return f.error ? kErrorKey : f.id | (f.extended ? 0x80000000u : 0);
}

bool Index::start(const std::vector<std::string> &paths, const ReadOptions &options, int nice)
{
    stop();
    paths_ = paths;
    options_ = options;
    // A notice or a skipped line would be said from the index's thread.
    options_.notice = nullptr;
    options_.skip_line = nullptr;
    frames_ = 0;
    bytes_read_ = 0;
    bytes_total_ = 0;
    stop_ = false;
    done_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        points_.clear();
        counts_.clear();
        error_.clear();
    }
    for (const std::string &path : paths) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0)
            bytes_total_ += static_cast<uint64_t>(st.st_size);
    }
    auto merge = std::make_unique<detail::Merge>();
    std::string why;
    if (!merge->open(paths_, options_, &why)) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = why;
        done_ = true;
        return false;
    }
    thread_ = std::thread(&Index::run, this, std::move(merge), nice);
    return true;
}

void Index::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void Index::run(std::unique_ptr<detail::Merge> merge, int nice)
{
#ifdef __linux__
    // On Linux a thread has a nice value of its own.
    if (nice != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
#else
    (void)nice;
#endif
    std::vector<uint32_t> keys;
    keys.reserve(kEvery);
    const auto publish = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t k : keys) {
            const auto it = counts_.find(k);
            if (it != counts_.end())
                ++it->second;
            else if (counts_.size() < kMaxIds || k == kErrorKey)
                counts_.emplace(k, 1);
            else
                ++counts_[kOtherKey];
        }
        keys.clear();
    };
    uint64_t n = 0;
    Frame f;
    std::string why;
    Point point;
    int r = 1;
    while (!stop_.load(std::memory_order_relaxed)) {
        const bool place = n % kEvery == 0;
        if (place)
            merge->mark(&point.at);
        r = merge->next(&f, &why);
        if (r <= 0)
            break;
        keys.push_back(id_key(f));
        if (place) {
            point.frame = n;
            point.time_us = detail::frame_us(f);
            publish();
            std::lock_guard<std::mutex> lock(mutex_);
            points_.push_back(point);
        }
        frames_.store(++n, std::memory_order_release);
        if (n % kEvery == 0) {
            publish();
            bytes_read_.store(merge->position(), std::memory_order_relaxed);
        }
    }
    publish();
    bytes_read_.store(merge->position());
    std::lock_guard<std::mutex> lock(mutex_);
    if (r < 0)
        error_ = why;
    done_ = true;
    finished_.notify_all();
}

bool Index::wait(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, timeout, [this] { return done_.load(); });
}

std::string Index::error() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

std::map<uint32_t, uint64_t> Index::counts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {counts_.begin(), counts_.end()};
}

bool Index::point_before(uint64_t frame, Point *p) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = std::upper_bound(points_.begin(), points_.end(), frame,
                                     [](uint64_t n, const Point &q) { return n < q.frame; });
    if (it == points_.begin())
        return false;
    *p = *(it - 1);
    return true;
}

bool Index::point_before_time(int64_t us, Point *p) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (points_.empty())
        return false;
    // Times that go back now and then (merged files, a clock set back) make
    // this a place to start looking from, not the answer.
    const auto it = std::lower_bound(points_.begin(), points_.end(), us,
                                     [](const Point &q, int64_t t) { return q.time_us < t; });
    *p = it == points_.begin() ? points_.front() : *(it - 1);
    return true;
}

size_t Index::memory() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = sizeof *this + points_.capacity() * sizeof(Point) + counts_.size() * (sizeof(uint32_t) * 2 + 48);
    for (const Point &p : points_) {
        n += p.at.capacity() * sizeof(ResumePoint);
        for (const ResumePoint &r : p.at)
            n += r.place ? r.place->bytes() : 0;
    }
    return n;
}

// ---- IndexedReader ----

IndexedReader::IndexedReader() = default;
IndexedReader::~IndexedReader() = default;

bool IndexedReader::open(const Index &index)
{
    index_ = &index;
    merge_ = std::make_unique<detail::Merge>();
    next_ = 0;
    error_.clear();
    if (!merge_->open(index.paths(), index.options(), &error_)) {
        merge_.reset();
        return false;
    }
    return true;
}

bool IndexedReader::go_to(uint64_t n)
{
    Index::Point p;
    const bool have = index_->point_before(n, &p);
    // Reading on is cheaper than going back, as long as no place lies between.
    if (!(next_ <= n && (!have || p.frame <= next_))) {
        if (!have || !merge_->seek(p.at)) {
            error_ = "cannot go back to frame " + std::to_string(have ? p.frame : 0);
            return false;
        }
        next_ = p.frame;
    }
    Frame f;
    while (next_ < n) {
        const int r = merge_->next(&f, &error_);
        if (r <= 0)
            return false;
        ++next_;
    }
    return true;
}

int IndexedReader::read(uint64_t n, Frame *f)
{
    if (!merge_)
        return -1;
    if (n >= index_->frames())
        return 0;
    if (!go_to(n))
        return -1;
    const int r = merge_->next(f, &error_);
    if (r > 0)
        ++next_;
    return r;
}

int IndexedReader::read_following(uint64_t n, Frame *f, const std::atomic<bool> &stop)
{
    if (!merge_)
        return -1;
    while (n >= index_->frames() && !index_->done()) {
        if (stop.load(std::memory_order_relaxed))
            return 0;
        index_->wait(std::chrono::milliseconds(50));
    }
    if (stop.load(std::memory_order_relaxed))
        return 0;
    return read(n, f);
}

int64_t IndexedReader::find_time(int64_t us)
{
    Index::Point p;
    if (!merge_ || !index_->point_before_time(us, &p))
        return -1;
    const uint64_t total = index_->frames();
    Frame f;
    for (uint64_t n = p.frame; n < total; ++n) {
        if (read(n, &f) <= 0)
            return -1;
        if (detail::frame_us(f) >= us)
            return static_cast<int64_t>(n);
    }
    return -1;
}

}  // namespace velk::trace
