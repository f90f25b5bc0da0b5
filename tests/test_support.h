// Shared fixtures of the library's integration tests: an emulated adapter on
// a pseudo-terminal, mapped to a port index of the library's device table.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "internal.h"
#include "wire_oracle.h"

namespace velk::test {

using sim::Bytes;

// Polls `cond` until it holds or `timeout_ms` passes.
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 2000);

// Points every entry of the device table at a path that does not exist, so
// probes and searches only find the emulated adapters a test maps in.
void unmap_all_ports();

// Closes every port the library still holds and empties the open-port list.
void close_all_ports();

// Bytes of an open port that no receive call has taken: in the terminal
// (including what it has taken from the adapter but not yet handed on) and
// in the library's input buffer; -1 when the port is not open.
int unread_bytes(int com_port);

// One emulated adapter mapped at a port index. Not opened by the library.
class SimPort {
public:
    explicit SimPort(int index = 0);
    ~SimPort();
    bool ok() const { return ok_; }
    int index() const { return index_; }
    sim::Adapter &sim() { return sim_; }

private:
    sim::Adapter sim_;
    int index_;
    bool ok_ = false;
    std::string path_;
};

// Test fixture: a started adapter at index 0, opened by the library, with the
// frames of the open already cleared from its record.
class OpenAdapter : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Everything the host wrote since the last clear, frame by frame.
    std::vector<Bytes> frames() { return port_->sim().host_frames(); }
    // Bytes of the port that no receive call has taken yet: those the
    // terminal still holds and those in the library's input buffer.
    static int bytes_waiting() { return unread_bytes(kPort); }
    sim::Adapter &sim() { return port_->sim(); }
    static constexpr int kPort = 0;
    std::unique_ptr<SimPort> port_;
};

// Receives from a port on a thread of its own, as the utility's worker
// does, keeping every record, until stop().
class Receiver {
public:
    explicit Receiver(int com_port);
    ~Receiver();
    size_t received() const { return received_; }
    std::vector<CAN_FRAME_INFO> stop();

private:
    std::atomic<bool> stop_{false};
    std::atomic<size_t> received_{0};
    std::vector<CAN_FRAME_INFO> got_;
    std::thread thread_;
};

// Why `f` is not the decoding of report `r` (the fields that differ, decoded
// and expected); empty when it is.
std::string report_mismatch(const sim::Report &r, const CAN_FRAME_INFO &f);

}  // namespace velk::test
