// velk_decode --lake: traces decoded into Parquet tables in Hive partitions,
// a worker per trace.
#include "lake_export.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "tool_common.h"

namespace velk::tools {

namespace fs = std::filesystem;

namespace {

enum FrameColumn { kTime, kChannel, kId, kExtended, kFd, kBrs, kRemote, kError, kDirection, kDlc, kLength, kData,
                   kSource };

std::vector<lake::Column> frame_columns()
{
    using lake::Kind;
    return {{"time", Kind::Timestamp},  {"channel", Kind::String, false, true},
            {"id", Kind::Int32},        {"extended", Kind::Bool},
            {"fd", Kind::Bool},         {"brs", Kind::Bool},
            {"remote", Kind::Bool},     {"error", Kind::Bool},
            {"direction", Kind::String, false, true},
            {"dlc", Kind::Int32},       {"length", Kind::Int32},
            {"data", Kind::Binary},     {"source", Kind::String, false, true}};
}

// A message's table: time, channel, then a column per signal and a _text
// column beside each signal with value texts. Names the partitions or the
// first two columns take get a '_' more.
struct MessageSchema {
    std::vector<lake::Column> columns;
    std::vector<int> value_column, text_column;  // by signal index; -1: none
};

MessageSchema schema_of(const dbc::Message &m)
{
    MessageSchema s;
    s.columns = {{"time", lake::Kind::Timestamp}, {"channel", lake::Kind::String, false, true}};
    std::set<std::string> taken = {"time", "channel", "device", "date", "message"};
    auto add = [&](std::string name, lake::Kind kind, bool dictionary) {
        while (!taken.insert(name).second)
            name += '_';
        s.columns.push_back({name, kind, true, dictionary});
        return static_cast<int>(s.columns.size() - 1);
    };
    for (const dbc::Signal &sig : m.signals) {
        s.value_column.push_back(add(sig.name, lake::Kind::Double, false));
        s.text_column.push_back(sig.values.empty() ? -1 : add(sig.name + "_text", lake::Kind::String, true));
    }
    return s;
}

struct Table {
    const MessageSchema *schema = nullptr;
    lake::Writer writer;
};

struct Partition {
    lake::Writer frames;
    std::unordered_map<const dbc::Message *, std::unique_ptr<Table>> tables;
};

// What the workers count, for the progress line and the summary.
struct Counters {
    std::atomic<uint64_t> frames{0};  // read so far, of every trace
    // Of the traces written.
    std::atomic<uint64_t> done_frames{0}, messages{0}, signals{0}, files{0}, bytes_written{0};
    std::atomic<uint64_t> bytes_read_done{0};  // of the traces finished
    std::atomic<int> traces_done{0}, traces_failed{0};
};

std::string date_of(int64_t day)
{
    const time_t t = static_cast<time_t>(day * 86400);
    struct tm tm;
    gmtime_r(&t, &tm);
    char b[16];
    std::strftime(b, sizeof b, "%Y-%m-%d", &tm);
    return b;
}

std::string device_of(const std::string &trace)
{
    std::error_code ec;
    const fs::path abs = fs::absolute(trace, ec);
    const std::string name = abs.parent_path().filename().string();
    return name.empty() ? "unknown" : name;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// One trace into the lake.
class TraceJob {
public:
    TraceJob(const LakeOptions &o, SignalDecoder *decoder, Counters *counters,
             std::atomic<uint64_t> *position)
        : o_(o), decoder_(decoder), counters_(counters), position_(position)
    {
    }

    // Empty when done, else why the trace failed; *write_error when the
    // lake could not be written (rather than the trace read).
    std::string run(const std::string &path, bool *write_error);

private:
    std::string fail(const std::string &why);
    Partition *partition_of(int64_t day);
    Table *table_of(Partition *p, int64_t day, const dbc::Message *m);
    bool open(lake::Writer *w, const std::string &dir, std::vector<lake::Column> columns);
    void remove_stale();

    const LakeOptions &o_;
    SignalDecoder *decoder_;
    Counters *counters_;
    std::atomic<uint64_t> *position_;
    std::string device_, name_, source_;
    std::map<int64_t, std::unique_ptr<Partition>> partitions_;
    std::unordered_map<const dbc::Message *, std::unique_ptr<MessageSchema>> schemas_;
    std::vector<lake::Writer *> writers_;  // every file of the trace, in opening order
    std::set<std::string> written_;
    std::string error_;
    bool write_error_ = false;
};

bool TraceJob::open(lake::Writer *w, const std::string &dir, std::vector<lake::Column> columns)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string path = dir + "/" + name_;
    if (!w->open(path, std::move(columns), o_.parquet)) {
        error_ = w->error();
        write_error_ = true;
        return false;
    }
    writers_.push_back(w);
    written_.insert(fs::path(path).lexically_normal().string());
    return true;
}

Partition *TraceJob::partition_of(int64_t day)
{
    auto &p = partitions_[day];
    if (p == nullptr) {
        p = std::make_unique<Partition>();
        if (!open(&p->frames, o_.dir + "/frames/device=" + partition_value(device_) + "/date=" + date_of(day),
                  frame_columns()))
            return nullptr;
    }
    return p.get();
}

Table *TraceJob::table_of(Partition *p, int64_t day, const dbc::Message *m)
{
    auto &t = p->tables[m];
    if (t == nullptr) {
        auto &schema = schemas_[m];
        if (schema == nullptr)
            schema = std::make_unique<MessageSchema>(schema_of(*m));
        t = std::make_unique<Table>();
        t->schema = schema.get();
        if (!open(&t->writer,
                  o_.dir + "/signals/message=" + partition_value(m->name) + "/device=" + partition_value(device_) +
                      "/date=" + date_of(day),
                  schema->columns))
            return nullptr;
    }
    return t.get();
}

// Files of this trace and device that the run did not write again (a date
// or message no longer in it): left, they would count twice.
void TraceJob::remove_stale()
{
    const std::string device = "device=" + partition_value(device_);
    std::vector<fs::path> tables = {fs::path(o_.dir) / "frames"};
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(fs::path(o_.dir) / "signals", ec))
        tables.push_back(e.path());
    for (const fs::path &t : tables) {
        for (const auto &date : fs::directory_iterator(t / device, ec)) {
            const fs::path file = date.path() / name_;
            if (written_.count(file.lexically_normal().string()) == 0 && fs::exists(file, ec))
                fs::remove(file, ec);
        }
    }
}

std::string TraceJob::run(const std::string &path, bool *write_error)
{
    *write_error = false;
    device_ = o_.device.empty() ? device_of(path) : o_.device;
    source_ = fs::path(path).filename().string();
    name_ = source_ + ".parquet";
    trace::Format format;
    if (!trace::format_of(path, &format))
        return path + ": unknown trace format (use .log, .asc, .csv, .blf, .mf4, .pcapng, .pcap or .trc)";
    trace::Reader reader;
    if (!reader.open(path, format, {}))
        return reader.error();
    trace::Frame f;
    int n;
    int64_t last_day = INT64_MIN;
    Partition *p = nullptr;
    uint64_t frames = 0, all_frames = 0, messages = 0, signals = 0;
    std::string bus;
    while ((n = reader.next(&f)) > 0) {
        const int64_t us = f.sec * 1000000 + f.usec;
        const int64_t day = floor_div(us, 86400000000LL);
        if (day != last_day) {
            last_day = day;
            p = partition_of(day);
            if (p == nullptr)
                break;
        }
        bus = bus_name(f, format, reader);
        lake::Writer &w = p->frames;
        w.put(kTime, us);
        w.put(kChannel, bus);
        w.put(kId, static_cast<int64_t>(f.id));
        w.put_bool(kExtended, f.extended);
        w.put_bool(kFd, f.fd);
        w.put_bool(kBrs, f.brs);
        w.put_bool(kRemote, f.remote);
        w.put_bool(kError, f.error);
        w.put(kDirection, f.tx ? "tx" : "rx");
        w.put(kDlc, static_cast<int64_t>(f.dlc));
        w.put(kLength, static_cast<int64_t>(f.len));
        w.put(kData, std::string_view(reinterpret_cast<const char *>(f.data.data()), f.len));
        w.put(kSource, source_);
        if (!w.end_row()) {
            error_ = w.error();
            write_error_ = true;
            break;
        }
        ++frames;
        ++all_frames;
        if (const dbc::Message *m = decoder_->decode(f); m != nullptr && !f.remote) {
            Table *t = table_of(p, day, m);
            if (t == nullptr)
                break;
            lake::Writer &tw = t->writer;
            tw.put(0, us);
            tw.put(1, bus);
            const dbc::Value *values = decoder_->values();
            for (int i = 0; i < decoder_->count(); ++i) {
                const dbc::Value &v = values[i];
                // Like --json, a value that is no finite number is null.
                if (v.missing || !std::isfinite(v.value))
                    continue;
                const auto s = static_cast<size_t>(v.signal - m->signals.data());
                tw.put(t->schema->value_column[s], v.value);
                if (v.text != nullptr)
                    tw.put(t->schema->text_column[s], v.text);
                ++signals;
            }
            if (!tw.end_row()) {
                error_ = tw.error();
                write_error_ = true;
                break;
            }
            ++messages;
        }
        if ((frames & 0xFFF) == 0) {
            position_->store(reader.position());
            counters_->frames += frames;
            frames = 0;
            if (stop_requested()) {
                error_ = path + ": stopped";
                break;
            }
        }
    }
    counters_->frames += frames;
    if (error_.empty() && n < 0)
        error_ = reader.error();
    for (size_t i = 0; error_.empty() && i < writers_.size(); ++i)
        if (!writers_[i]->finish()) {
            error_ = writers_[i]->error();
            write_error_ = true;
        }
    if (!error_.empty()) {
        for (lake::Writer *w : writers_)
            w->abandon();
        *write_error = write_error_;
        return error_;
    }
    uint64_t bytes = 0;
    for (lake::Writer *w : writers_) {
        bytes += w->bytes();
        if (!w->commit()) {
            *write_error = true;
            return w->error();
        }
    }
    remove_stale();
    counters_->done_frames += all_frames;
    counters_->messages += messages;
    counters_->signals += signals;
    counters_->files += writers_.size();
    counters_->bytes_written += bytes;
    return {};
}

std::string size_text(uint64_t n)
{
    char b[32];
    if (n >= 1000000)
        std::snprintf(b, sizeof b, "%.1f MB", static_cast<double>(n) / 1e6);
    else
        std::snprintf(b, sizeof b, "%.1f kB", static_cast<double>(n) / 1e3);
    return b;
}

}  // namespace

std::string partition_value(const std::string &text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

int write_lake(const char *prog, const LakeOptions &options, const SignalDecoder &decoder,
               const std::vector<std::string> &traces)
{
    catch_stop_signals();
    LakeOptions o = options;
    while (o.dir.size() > 1 && o.dir.back() == '/')
        o.dir.pop_back();
    // A trace over many days of many messages has a file open for each
    // message and day until it ends.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    uint64_t total = 0;
    for (const std::string &t : traces) {
        std::error_code ec;
        const auto size = fs::file_size(t, ec);
        total += ec ? 0 : size;
    }
    Counters counters;
    std::atomic<size_t> next{0};
    const int jobs = std::max(1, std::min<int>(o.jobs, static_cast<int>(traces.size())));
    std::vector<std::atomic<uint64_t>> positions(static_cast<size_t>(jobs));
    std::mutex mutex;  // standard error and the statuses below
    std::condition_variable done_cv;
    int running = jobs;
    bool bad_input = false, write_failed = false;
    const bool progress = o.progress && total > 0;
    auto worker = [&](int index) {
        SignalDecoder own = decoder;  // decode() fills the decoder's values
        while (!stop_requested()) {
            const size_t i = next++;
            if (i >= traces.size())
                break;
            TraceJob job(o, &own, &counters, &positions[static_cast<size_t>(index)]);
            bool write_error = false;
            const std::string why = job.run(traces[i], &write_error);
            std::error_code ec;
            const auto size = fs::file_size(traces[i], ec);
            counters.bytes_read_done += ec ? 0 : size;
            positions[static_cast<size_t>(index)] = 0;
            ++counters.traces_done;
            if (!why.empty()) {
                ++counters.traces_failed;
                std::lock_guard<std::mutex> lock(mutex);
                std::fprintf(stderr, "%s%s: %s; its lake files are left as they were\n", progress ? "\r\n" : "",
                             prog, why.c_str());
                (write_error ? write_failed : bad_input) = true;
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        done_cv.notify_all();
    };
    std::vector<std::thread> threads;
    const int64_t started = mono_us();
    for (int j = 0; j < jobs; ++j)
        threads.emplace_back(worker, j);
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running > 0) {
            done_cv.wait_for(lock, std::chrono::milliseconds(200));
            if (!progress || running == 0)
                continue;
            uint64_t done = counters.bytes_read_done;
            for (const auto &p : positions)
                done += p.load();
            const double elapsed = static_cast<double>(mono_us() - started) / 1e6;
            std::fprintf(stderr, "\r%s: %d/%zu traces, %s of %s, %.0f frames/s   ", prog, counters.traces_done.load(),
                         traces.size(), size_text(done).c_str(), size_text(total).c_str(),
                         elapsed > 0 ? static_cast<double>(counters.frames.load()) / elapsed : 0.0);
        }
    }
    for (std::thread &t : threads)
        t.join();
    if (progress)
        std::fprintf(stderr, "\r\n");
    const int failed = counters.traces_failed.load();
    const int skipped = static_cast<int>(traces.size()) - counters.traces_done.load();
    std::fprintf(stderr,
                 "%s: %d trace%s: %llu frames, %llu messages, %llu signal values; %llu files (%s) written to %s%s\n",
                 prog, counters.traces_done.load() - failed, counters.traces_done.load() - failed == 1 ? "" : "s",
                 static_cast<unsigned long long>(counters.done_frames.load()),
                 static_cast<unsigned long long>(counters.messages.load()),
                 static_cast<unsigned long long>(counters.signals.load()),
                 static_cast<unsigned long long>(counters.files.load()), size_text(counters.bytes_written).c_str(),
                 o.dir.c_str(),
                 failed > 0 ? (", " + std::to_string(failed) + " failed").c_str() : "");
    if (skipped > 0)
        std::fprintf(stderr, "%s: stopped; %d trace%s not written\n", prog, skipped, skipped == 1 ? "" : "s");
    if (write_failed || stop_requested())
        return kFailed;
    return bad_input ? kBadInput : kOk;
}

}  // namespace velk::tools
