// Channels of several emulated adapters wired to shared CAN buses, so that
// two programs (each holding its own port) can talk to each other: what one
// adapter's host sends on a wired channel is received by the adapter at the
// other end on its channel, with that adapter's timestamp.
//
//   velk::sim::Adapter a, b;
//   a.start(); b.start();
//   velk::sim::Bus bus;
//   bus.wire(a, 0, b, 1);   // a's CAN1 and b's CAN2 on one bus
//
// Both channels must be started for a frame to cross, as on a real bus
// where a stopped controller neither sends nor receives.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "adapter.h"

namespace velk::sim {

class Bus {
public:
    Bus() = default;
    ~Bus();  // unhooks every adapter; destroy it before the adapters
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // a's channel ch_a and b's channel ch_b on one bus (0 = CAN1, 1 = CAN2).
    void wire(Adapter &a, int ch_a, Adapter &b, int ch_b);
    // Unhooks every adapter; frames no longer cross.
    void clear();

private:
    struct End {
        Adapter *adapter;
        int channel;
    };
    void route(Adapter *from, int channel, const Bytes &frame);

    std::mutex mu_;  // guards wires_ and hooked_
    std::vector<std::pair<End, End>> wires_;
    std::vector<Adapter *> hooked_;
};

}  // namespace velk::sim
