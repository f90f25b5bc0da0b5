// A small UDS server (ISO 14229 over ISO-TP) on a channel of an emulated
// adapter, so that diagnostic clients have a peer: identifiers and their
// values, DTCs with status, sessions, a seed-and-key lock, routines, and
// answers held back with responsePending.
//
//   velk::sim::EcuModel m;
//   std::string error;
//   if (!velk::sim::load_ecu("examples/ecu.conf", &m, &error)) ...;
//   velk::sim::Adapter a;  a.start();
//   velk::sim::Ecu ecu;    ecu.start(a, m);   // hooks a's bus tap
//
// EcuServer is the service logic on a given clock; Ecu runs it over an
// ISO-TP connection on its own thread. An adapter's bus tap is one: an
// adapter with an ECU is wired to no other adapter.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "adapter.h"
#include "isotp.h"

namespace velk::sim {

struct EcuModel {
    int channel = 0;  // 0 = CAN1
    isotp::Options iso;  // tx: the response identifier, rx: the request identifier
    int64_t functional_id = -1;
    struct Did {
        Bytes value;
        bool writable = false;
        uint32_t pending_ms = 0;  // answered after so long of responsePending
    };
    std::map<uint16_t, Did> dids;
    std::vector<std::pair<uint32_t, uint8_t>> dtcs;  // code, status
    struct Routine {
        Bytes result;
        uint32_t pending_ms = 0;
    };
    std::map<uint16_t, Routine> routines;
    std::vector<uint8_t> security_levels;  // requestSeed levels offered (odd)
    uint32_t secret = 0xA5A5A5A5;          // key = seed XOR secret
};

// Reads an ECU file; false with "FILE:LINE: what was expected".
bool load_ecu(const std::string &path, EcuModel *m, std::string *error);

// The ECU's key for a seed: the seed's four bytes, big-endian, XOR secret.
uint32_t ecu_key(uint32_t seed, uint32_t secret);

class EcuServer {
public:
    explicit EcuServer(const EcuModel &m) : m_(m) {}
    // A request arrived now; its answers become due (at once, or pending
    // ones first and the final one later).
    void request(const Bytes &req, uint64_t now_us);
    // The next answer due by now, in order.
    bool next_answer(uint64_t now_us, Bytes *out);
    // When the next answer is due; UINT64_MAX: none waiting.
    uint64_t next_time() const;
    uint8_t session() const { return session_; }
    bool unlocked() const { return unlocked_ != 0; }

private:
    Bytes answer(const Bytes &req, uint32_t *pending_ms);
    void later(const Bytes &answer, uint8_t service, uint32_t pending_ms, uint64_t now_us);

    EcuModel m_;
    uint8_t session_ = 1;
    uint8_t unlocked_ = 0;    // the level unlocked, 0: locked
    uint8_t seed_level_ = 0;  // a seed handed out for this level
    uint32_t seed_ = 0;
    uint32_t seed_state_ = 0x1234567;
    std::map<uint16_t, bool> started_;
    std::deque<std::pair<uint64_t, Bytes>> due_;
};

class Ecu {
public:
    Ecu() = default;
    ~Ecu();
    Ecu(const Ecu &) = delete;
    Ecu &operator=(const Ecu &) = delete;
    // Serves on the adapter's channel; the adapter must outlive stop().
    void start(Adapter &a, const EcuModel &m);
    void stop();

private:
    void run(EcuModel m);

    Adapter *adapter_ = nullptr;
    std::mutex mu_;  // guards frames_ and stop_
    std::condition_variable cv_;
    std::deque<Bytes> frames_;  // host data frames seen on the channel
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace velk::sim
