// Helpers of the network server's tests: the server on an emulated adapter
// in this process (reached through a symbolic link, as a device path), and a
// socketcand client of our own that reads with deadlines.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "adapter.h"
#include "adapter_link.h"
#include "server.h"

namespace velk::test {

// A TCP client speaking the protocol's text.
class NetClient {
public:
    NetClient() = default;
    ~NetClient();
    NetClient(const NetClient &) = delete;
    NetClient &operator=(const NetClient &) = delete;

    bool connect_to(int port, int rcvbuf = 0);
    bool send_text(const std::string &text);
    // The next "< ... >" item received, brackets included; false when none
    // came in time or the connection ended.
    bool next(std::string *item, int timeout_ms = 5000);
    // The next item, or "" when none came.
    std::string item(int timeout_ms = 5000);
    // Waits for the server to close the connection; items before the end
    // are kept for next().
    bool wait_closed(int timeout_ms = 5000);
    // "< hi >", "< open NAME >" "< ok >", and with raw, "< rawmode >" "< ok >".
    bool open_bus(int port, const std::string &bus, bool raw = true);
    void close_now();
    int fd() const { return fd_; }

private:
    bool fill(int timeout_ms);
    int fd_ = -1;
    bool eof_ = false;
    std::string buf_;
    size_t at_ = 0;  // where the next item is looked for in buf_
};

// The server's fixture: an emulated adapter linked at a path of its own,
// the adapter link and, after serve(), the server on a thread.
class NetServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the server with `o` (its port is chosen by the system).
    void serve(netd::ServerOptions o = quiet_options());
    static netd::ServerOptions quiet_options();
    // The adapter is unplugged, then a new one appears at the same path.
    void unplug();
    void replug();
    sim::Adapter &sim() { return *sim_; }
    int port() const { return server_->port(); }
    netd::Server &server() { return *server_; }
    netd::AdapterLink &link() { return *link_; }

    std::string dir_;
    std::string link_path_;
    std::unique_ptr<sim::Adapter> sim_;
    std::unique_ptr<netd::AdapterLink> link_;
    std::unique_ptr<netd::Server> server_;
    std::thread thread_;
};

}  // namespace velk::test
