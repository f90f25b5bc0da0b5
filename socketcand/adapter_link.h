// The adapter side of the server: one adapter opened through the library,
// its two channels as named buses, a receive thread that hands frames to the
// poll loop through an eventfd, and a transmit thread with a bounded queue,
// so that the adapter's per-frame pause never holds up the loop. When the
// adapter goes, the link says so and opens it again once it is back.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"
#include "tool_common.h"

namespace velk::netd {

struct LinkEvent {
    enum Kind { Received, Sent, Refused, Gone, Back, Status };
    Kind kind = Received;
    int channel = 0;
    NetFrame frame;
    int64_t sec = 0;     // wall-clock time of the frame
    uint32_t usec = 0;
    int64_t mono_us = 0; // when the host took it (Received) or wrote it (Sent)
    uint64_t origin = 0; // the client that sent it (Sent, Refused); 0 none
    int report = 0;      // Status: the record's msg_type (VELK_BUSERR_TYPE ...)
    std::array<uint8_t, 12> status = {};  // Status: six bytes of CAN1, six of CAN2
};

struct LinkOptions {
    const char *prog = "velk_socketcand";  // the program named in messages
    std::string port_name;              // a port index or a device path
    tools::ChannelSetup setup;
    std::string names[2] = {"can0", "can1"};
    bool served[2] = {true, true};
    int reopen_ms = 500;                // between attempts to open a gone adapter
    size_t tx_queue = 1024;             // frames waiting for the adapter
    size_t event_queue = 65536;         // events waiting for the loop
    bool status_reports = false;        // pass the adapter's status reports on
};

class AdapterLink {
public:
    explicit AdapterLink(const LinkOptions &o);
    ~AdapterLink();
    AdapterLink(const AdapterLink &) = delete;
    AdapterLink &operator=(const AdapterLink &) = delete;

    // Opens and configures the adapter and starts both threads. The exit
    // status of the tools: kOk, kFailed or kBadInput (said on stderr).
    int start();
    void stop();

    // Readable when events wait; take() clears it.
    int event_fd() const { return event_fd_; }
    void take(std::vector<LinkEvent> *out);

    // The channel of a bus name, -1 when no served bus has it.
    int channel_of(const std::string &name) const;
    const std::string &name_of(int channel) const { return o_.names[channel]; }
    bool up() const { return up_.load(); }
    // The adapter's device path (the name given until it has been opened).
    std::string device() const;

    // Queues a frame for the adapter. False when the adapter is gone or the
    // queue is full (counted).
    bool send(int channel, const NetFrame &f, uint64_t origin);

    unsigned long long tx_queue_full() const { return tx_full_.load(); }
    unsigned long long events_dropped() const { return events_dropped_.load(); }

private:
    struct TxItem {
        int channel;
        NetFrame frame;
        uint64_t origin;
    };
    void receive_loop();
    void transmit_loop();
    bool open_adapter_now();
    void push(LinkEvent e);
    void push_all(std::vector<LinkEvent> *events);

    void set_device();

    LinkOptions o_;
    int port_ = -1;  // written by start() and the receive thread under port_mutex_

    mutable std::mutex device_mutex_;  // guards device_
    std::string device_;
    int event_fd_ = -1;
    std::atomic<bool> up_{false};
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long long> tx_full_{0};
    std::atomic<unsigned long long> events_dropped_{0};

    // Held while the port is opened or closed and while a frame is written,
    // so that no send meets a port being closed.
    std::mutex port_mutex_;

    std::mutex events_mutex_;  // guards events_
    std::vector<LinkEvent> events_;

    std::mutex tx_mutex_;  // guards tx_ and wakes the transmit thread
    std::condition_variable tx_cv_;
    std::deque<TxItem> tx_;

    std::mutex wait_mutex_;  // the receive thread's wait between reopen attempts
    std::condition_variable wait_cv_;

    std::thread rx_thread_, tx_thread_;
};

}  // namespace velk::netd
