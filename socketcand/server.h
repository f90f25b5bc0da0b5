// The server: one poll loop over the listening socket, the clients, the
// adapter link's events and the timers (statistics, the beacon); the cyclic
// sends run on schedulers of their own (cyclic.h). Each client has a bounded
// outgoing queue: a client that does not read loses its own frames
// (counted), never anyone else's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adapter_link.h"
#include "allow_list.h"
#include "cyclic.h"
#include "session.h"

namespace velk::netd {

struct ServerOptions {
    std::string listen_address = "127.0.0.1";  // loopback unless -l says otherwise
    int port = 29536;                          // 0: any free port (tests)
    std::vector<Network> allow;                // empty: every peer
    size_t max_clients = 64;
    size_t queue_bytes = 256 * 1024;           // frames waiting for one client
    int hello_timeout_ms = 30000;              // to open a bus after connecting
    bool beacon = false;
    std::string beacon_address;                // "A.B.C.D:PORT"; empty: the default
    int beacon_interval_ms = 2000;
    bool watch_stop_signals = false;           // end on SIGINT/SIGTERM (the program)
    bool verbose = true;                       // log connects and closes on stderr
};

struct ServerCounters {
    std::atomic<unsigned long long> accepted{0}, refused{0}, closed{0}, dropped{0};
};

class Server : public SessionHost {
public:
    Server(AdapterLink *link, const ServerOptions &o);
    ~Server() override;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds and listens; false with *why.
    bool listen_now(std::string *why);
    // The port listened on (after listen_now).
    int port() const { return bound_port_; }
    // Serves until stop() (or a stop signal when watched). The exit status.
    int run();
    // From any thread.
    void stop();
    const ServerCounters &counters() const { return counters_; }
    // Clients connected now; for tests, from any thread.
    size_t clients() const { return client_count_.load(); }
    // Cyclic sends running now; for tests, from any thread.
    size_t cyclic_jobs() const { return jobs_->count(); }

private:
    struct Client;
    int open_bus(const std::string &name) override;
    bool send(int channel, const NetFrame &f, uint64_t owner) override;
    CyclicJobs &jobs() override { return *jobs_; }

    void accept_clients(int64_t now);
    void read_client(Client &c, int64_t now);
    void write_client(Client &c);
    void queue_frame(Client &c, const std::string &line, size_t payload);
    void queue_reply(Client &c, const std::string &text);
    void close_later(Client &c, const std::string &reply, const std::string &why);
    void handle_events(int64_t now);
    void run_timers(int64_t now);
    int poll_timeout_ms(int64_t now) const;
    void drop_closed();
    void send_beacon();
    void log_close(const Client &c, const std::string &why);

    AdapterLink *link_;
    ServerOptions o_;
    std::unique_ptr<CyclicJobs> jobs_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    int beacon_fd_ = -1;
    int bound_port_ = 0;
    int64_t next_beacon_us_ = 0;
    uint64_t next_id_ = 1;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<LinkEvent> events_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> client_count_{0};
    ServerCounters counters_;
};

}  // namespace velk::netd
