#include "tools_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char **environ;

namespace velk::test {

namespace {

size_t occurrences(const std::string &s, const std::string &text)
{
    size_t n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + text.size()))
        ++n;
    return n;
}

}  // namespace

Child::~Child()
{
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {pidfd_, out_fd_})
        if (fd >= 0)
            close(fd);
    if (!err_path_.empty())
        unlink(err_path_.c_str());
}

bool Child::start(const std::vector<std::string> &args, const std::string &stdin_path)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    char tmpl[] = "/tmp/velk_child_err_XXXXXX";
    const int err_fd = mkstemp(tmpl);
    if (err_fd < 0)
        return false;
    close(err_fd);
    err_path_ = tmpl;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_TRUNC, 0);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const int r = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    out_fd_ = out[0];
    if (r != 0) {
        pid_ = -1;
        return false;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return pidfd_ >= 0;
}

// One poll on the output pipe and the process: reads what came, notes the exit.
void Child::pump(int timeout_ms)
{
    struct pollfd p[2] = {{out_fd_, POLLIN, 0}, {pidfd_, POLLIN, 0}};
    const bool exited = status_ >= 0;
    if (poll(p, 2, exited && out_fd_ < 0 ? 0 : timeout_ms) < 0 && errno != EINTR)
        return;
    if (out_fd_ >= 0 && (p[0].revents & (POLLIN | POLLHUP)) != 0) {
        char buf[4096];
        const ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n > 0) {
            out_.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            close(out_fd_);
            out_fd_ = -1;
        }
    }
    if (!exited && (p[1].revents & POLLIN) != 0) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
}

bool Child::wait_output(const std::string &text, int timeout_ms, size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (occurrences(out_, text) < count) {
        if (out_fd_ < 0 || ms_left(deadline) == 0)
            return false;
        pump(ms_left(deadline));
    }
    return true;
}

bool Child::wait(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (status_ < 0 || out_fd_ >= 0) {
        if (ms_left(deadline) == 0)
            return false;
        pump(ms_left(deadline));
    }
    return true;
}

void Child::signal(int sig)
{
    if (status_ < 0 && pid_ > 0)
        kill(pid_, sig);
}

std::string Child::err() const
{
    return read_file(err_path_);
}

int ms_left(std::chrono::steady_clock::time_point deadline)
{
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool run(Child *c, const std::vector<std::string> &args, int timeout_ms, const std::string &stdin_path)
{
    return c->start(args, stdin_path) && c->wait(timeout_ms);
}

ScratchDir::ScratchDir()
{
    std::string tmpl = ::testing::TempDir() + "velk_tools_XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr)
        dir_ = tmpl;
}

ScratchDir::~ScratchDir()
{
    if (dir_.empty())
        return;
    if (DIR *d = opendir(dir_.c_str())) {
        while (struct dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                unlink(path(name).c_str());
        }
        closedir(d);
    }
    rmdir(dir_.c_str());
}

std::vector<trace::Frame> read_trace(const std::string &path, trace::Format format, std::string *error)
{
    trace::Reader r;
    std::vector<trace::Frame> out;
    std::string err;
    if (r.open(path, format, {})) {
        trace::Frame f;
        int n;
        while ((n = r.next(&f)) > 0)
            out.push_back(f);
        if (n < 0)
            err = r.error();
    } else {
        err = r.error();
    }
    if (error != nullptr)
        *error = err;
    else
        EXPECT_EQ(err, "");
    return out;
}

trace::Frame frame_at(const char *text, int64_t us, int channel, bool tx)
{
    trace::Frame f;
    std::string why;
    EXPECT_TRUE(trace::parse_frame_text(text, &f, &why)) << text << ": " << why;
    f.sec = us / 1000000;
    f.usec = static_cast<uint32_t>(us % 1000000);
    f.channel = channel;
    f.tx = tx;
    return f;
}

bool write_trace(const std::string &path, trace::Format format, const std::vector<trace::Frame> &frames,
                 const trace::WriteOptions &options)
{
    trace::Writer w;
    if (!w.open(path, format, options))
        return false;
    for (const trace::Frame &f : frames)
        if (!w.write(f))
            return false;
    return w.close();
}

std::vector<trace::Frame> every_kind_of_frame(int64_t start_us, int64_t step_us)
{
    std::string fd64 = "1ABCDEF0##1";
    for (int i = 0; i < 64; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", (i * 7) & 0xFF);
        fd64 += b;
    }
    const struct {
        const char *text;
        int channel;
        bool tx;
    } kFrames[] = {
        {"123#DEADBEEF", 0, false},  {"1ABCDEF0#0011", 1, true},
        {"123#R", 0, false},         {"00000456#R5", 1, false},
        {"7FF#", 0, true},           {fd64.c_str(), 1, false},
        {"123##2", 0, false},        {"000##3001122334455667788990011", 0, true},
        {"20000080#0000000000000000", 1, false}, {"321#1122334455667788_C", 0, false},
        {"00000001##0", 1, true},
    };
    std::vector<trace::Frame> v;
    int64_t us = start_us;
    for (const auto &k : kFrames) {
        v.push_back(frame_at(k.text, us, k.channel, k.tx));
        us += step_us;
    }
    return v;
}

TraceRead read_everything(const std::string &path, trace::Format format)
{
    TraceRead r;
    trace::Reader reader;
    trace::ReadOptions o;
    o.notice = [&r](const std::string &text) { r.notices.push_back(text); };
    if (!reader.open(path, format, o)) {
        r.error = reader.error();
        return r;
    }
    trace::Frame f;
    int n;
    while ((n = reader.next(&f)) > 0) {
        r.frames.push_back(f);
        r.names.push_back(reader.channel_name());
    }
    if (n < 0)
        r.error = reader.error();
    return r;
}

void expect_read_fails(const std::string &path, trace::Format format, const std::string &bytes, size_t frames,
                       const std::string &error)
{
    ASSERT_TRUE(write_file(path, bytes));
    const TraceRead r = read_everything(path, format);
    EXPECT_EQ(r.frames.size(), frames);
    EXPECT_EQ(r.error, path + ": " + error);
}

std::string data_hex(const trace::Frame &f)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (int i = 0; i < f.len; ++i) {
        s += kDigits[f.data[static_cast<size_t>(i)] >> 4];
        s += kDigits[f.data[static_cast<size_t>(i)] & 15];
    }
    return s;
}

int64_t us_of(const trace::Frame &f)
{
    return f.sec * 1000000 + f.usec;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

}  // namespace velk::test
