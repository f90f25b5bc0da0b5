// Helpers of the tools and trace tests: programs run as child processes
// (waited for with a deadline, never with a sleep) and a scratch folder.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "trace.h"

namespace velk::test {

// A program running as a child: standard output through a pipe that the
// waits read, standard error into a file, standard input from a file or
// /dev/null.
class Child {
public:
    Child() = default;
    ~Child();  // kills a child still running
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool start(const std::vector<std::string> &args, const std::string &stdin_path = "/dev/null");
    // Reads standard output until `text` occurs `count` times or the time
    // passes; false then.
    bool wait_output(const std::string &text, int timeout_ms, size_t count = 1);
    // Waits for the exit, reading standard output meanwhile; false when the
    // time passes first.
    bool wait(int timeout_ms);
    void signal(int sig);
    // Exit status, or 128 + the signal that ended it; -1 while running.
    int status() const { return status_; }
    const std::string &out() const { return out_; }
    std::string err() const;

private:
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_fd_ = -1;
    int status_ = -1;
    std::string out_;
    std::string err_path_;
};

// Milliseconds until `deadline`, 0 once it has passed.
int ms_left(std::chrono::steady_clock::time_point deadline);

// Runs a program to its end (at most `timeout_ms`); the Child holds its
// status and output.
bool run(Child *c, const std::vector<std::string> &args, int timeout_ms = 30000,
         const std::string &stdin_path = "/dev/null");

// A folder of its own for one test, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// Every frame of a trace file. With `error`, a file that does not read to
// its end leaves the reader's message there (empty when it does); without,
// that fails the test.
std::vector<trace::Frame> read_trace(const std::string &path, trace::Format format, std::string *error = nullptr);
int64_t us_of(const trace::Frame &f);

// A frame from its cansend text (123#DEADBEEF, 123##1..., 20000080#... for
// an error frame) at wall-clock `us` on a channel.
trace::Frame frame_at(const char *text, int64_t us, int channel = 0, bool tx = false);
// Writes the frames; false when any step fails.
bool write_trace(const std::string &path, trace::Format format, const std::vector<trace::Frame> &frames,
                 const trace::WriteOptions &options = {});
// One frame of every kind: classic, extended, remote (11- and 29-bit), 0
// bytes, CAN FD with BRS, ESI and both (0, 12 and 64 bytes), an error frame,
// a classic DLC above 8; on both channels and in both directions, `step_us`
// apart from `start_us`.
std::vector<trace::Frame> every_kind_of_frame(int64_t start_us, int64_t step_us);

// Everything a Reader gives for a file: the frames, their file channel
// names, the error that ended it ("" at a clean end) and the notices said.
struct TraceRead {
    std::vector<trace::Frame> frames;
    std::vector<std::string> names;
    std::string error;
    std::vector<std::string> notices;
};
TraceRead read_everything(const std::string &path, trace::Format format);

// Writes `bytes` to `path` and reads it: `frames` frames, then `error`
// (after the path and ": ").
void expect_read_fails(const std::string &path, trace::Format format, const std::string &bytes, size_t frames,
                       const std::string &error);

// "DEADBEEF": the payload of a frame in hex.
std::string data_hex(const trace::Frame &f);

std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &text);
// Lines of a text, without their newlines; no empty last line.
std::vector<std::string> lines_of(const std::string &text);

}  // namespace velk::test
