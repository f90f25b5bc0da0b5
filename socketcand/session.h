// One client's state in the protocol: no bus yet, then the broadcast-manager
// mode (the default after "< open >"), raw mode or control mode. It turns
// each command into replies and actions on the server, and decides which of
// its bus's frames the client is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cyclic.h"
#include "protocol.h"

namespace velk::netd {

enum class Mode { NoBus, Bcm, Raw, Control };

// What a session needs of the server.
class SessionHost {
public:
    virtual ~SessionHost() = default;
    // The channel of a bus name the client may open; -1 none.
    virtual int open_bus(const std::string &name) = 0;
    // Queues a frame; false when it cannot be sent (adapter gone, queue full).
    virtual bool send(int channel, const NetFrame &f, uint64_t owner) = 0;
    virtual CyclicJobs &jobs() = 0;
};

struct SessionStats {
    uint64_t rx_frames = 0, rx_bytes = 0;  // sent to the client
    uint64_t tx_frames = 0, tx_bytes = 0;  // taken from the client for the bus
    uint64_t dropped = 0;                  // frames its queue had no room for
    uint64_t refused = 0;                  // frames the adapter did not take
};

class Session {
public:
    Session(uint64_t id, SessionHost *host) : id_(id), host_(host) {}

    // Handles one command; replies are appended to *out. False when the
    // connection is to be closed once *out has been written.
    bool handle(const Command &c, int64_t now_us, std::string *out);
    // A command that did not parse: the error reply (and, before a bus is
    // open, the end of the connection: the protocol closes then).
    bool handle_bad(const std::string &why, std::string *out);

    // Whether the client gets a frame of its bus seen at `now_us`.
    bool wants(const NetFrame &f, int64_t now_us);
    // The statistics line when it is due at `now_us`, else empty.
    std::string statistics_due(int64_t now_us);
    // Monotonic time of the next statistics line; -1 none.
    int64_t next_statistics_us() const { return stats_ms_ > 0 ? next_stats_us_ : -1; }

    Mode mode() const { return mode_; }
    int channel() const { return channel_; }
    uint64_t id() const { return id_; }
    SessionStats &stats() { return stats_; }
    const SessionStats &stats() const { return stats_; }

private:
    struct Subscription {
        uint32_t id;
        bool extended;
        int64_t interval_us;
        bool content;  // a content filter: only changes under the mask
        NetFrame mask;
        bool have_last = false;
        NetFrame last;
        int64_t last_sent_us = 0;
        bool sent_once = false;
    };
    Subscription *find(uint32_t id, bool extended);
    bool send_frame(const NetFrame &f, std::string *out);

    uint64_t id_;
    SessionHost *host_;
    Mode mode_ = Mode::NoBus;
    int channel_ = -1;
    std::vector<Subscription> subs_;
    int64_t stats_ms_ = 0;
    int64_t next_stats_us_ = 0;
    SessionStats stats_;
};

}  // namespace velk::netd
