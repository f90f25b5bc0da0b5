// A recording on a thread of its own: the receive path hands frames over
// and goes on; the thread writes them (splitting and compressing as the
// file asks), flushes at least twice a second so that a file cut by a
// crash holds everything but the last moments, and counts what reached the
// file.
#include "trace.h"

namespace velk::trace {

namespace {

constexpr auto kFlushEvery = std::chrono::milliseconds(500);

}  // namespace

Recorder::Recorder() = default;

Recorder::~Recorder()
{
    finish();
}

bool Recorder::open(const std::string &path, Format format, const WriteOptions &options, const SplitOptions &split,
                    std::function<void(const std::string &)> say)
{
    finish();
    say_ = std::move(say);
    writer_.on_event = [this](const std::string &text) {
        if (say_)
            say_(text);
    };
    if (split.max_bytes > 0 || split.max_us > 0)
        writer_.on_piece = [this](const std::string &piece) {
            pieces_.fetch_add(1);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                current_ = piece;
            }
            if (say_)
                say_("writing " + piece);
        };
    if (!writer_.open(path, format, options, split)) {
        error_ = writer_.error();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = writer_.current_path();
        stop_ = false;
    }
    failed_.store(false);
    pushed_ = 0;
    written_.store(0);
    confirmed_.store(0);
    thread_ = std::thread([this] { run(); });
    return true;
}

void Recorder::push(const Frame &f)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(f);
    }
    ++pushed_;
    wake_.notify_one();
}

void Recorder::run()
{
    std::vector<Frame> batch;
    auto last_flush = std::chrono::steady_clock::now();
    for (;;) {
        bool stopping;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, kFlushEvery, [this] { return stop_ || !queue_.empty(); });
            batch.swap(queue_);
            stopping = stop_;
        }
        bool ok = true;
        for (const Frame &f : batch) {
            if (!(ok = writer_.write(f)))
                break;
            written_.fetch_add(1);
        }
        batch.clear();
        const auto now = std::chrono::steady_clock::now();
        if (ok && (stopping || now - last_flush >= kFlushEvery)) {
            last_flush = now;
            ok = writer_.flush() && writer_.still_at_path();
            if (ok)
                confirmed_.store(written_.load());
        }
        if (!ok) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                error_ = writer_.error();
            }
            failed_.store(true);
            return;
        }
        if (stopping)
            return;
    }
}

bool Recorder::finish()
{
    if (!thread_.joinable())
        return !failed_.load();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (!writer_.close() && !failed_.load()) {
        error_ = writer_.error();
        failed_.store(true);
    } else if (!failed_.load()) {
        confirmed_.store(written_.load());
    }
    return !failed_.load();
}

std::string Recorder::error() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

std::string Recorder::current_path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

uint64_t Recorder::lost() const
{
    return writer_.lost();
}

}  // namespace velk::trace
