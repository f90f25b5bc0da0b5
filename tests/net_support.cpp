// The network server's test helpers.
#include "net_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "test_support.h"

namespace velk::test {

NetClient::~NetClient()
{
    close_now();
}

void NetClient::close_now()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool NetClient::connect_to(int port, int rcvbuf)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    if (rcvbuf > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

bool NetClient::send_text(const std::string &text)
{
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = send(fd_, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool NetClient::fill(int timeout_ms)
{
    if (eof_ || fd_ < 0)
        return false;
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char b[65536];
    const ssize_t n = recv(fd_, b, sizeof b, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buf_.append(b, static_cast<size_t>(n));
    return true;
}

bool NetClient::next(std::string *item, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const size_t start = buf_.find('<', at_);
        const size_t end = start == std::string::npos ? start : buf_.find('>', start);
        if (end != std::string::npos) {
            *item = buf_.substr(start, end - start + 1);
            at_ = end + 1;
            if (at_ > 65536) {
                buf_.erase(0, at_);
                at_ = 0;
            }
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(static_cast<int>(left.count())))
            return false;
    }
}

std::string NetClient::item(int timeout_ms)
{
    std::string s;
    return next(&s, timeout_ms) ? s : std::string();
}

bool NetClient::wait_closed(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!eof_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        fill(static_cast<int>(left.count()));
    }
    return true;
}

bool NetClient::open_bus(int port, const std::string &bus, bool raw)
{
    if (!connect_to(port) || item() != "< hi >" || !send_text("< open " + bus + " >") || item() != "< ok >")
        return false;
    return !raw || (send_text("< rawmode >") && item() == "< ok >");
}

netd::ServerOptions NetServerTest::quiet_options()
{
    netd::ServerOptions o;
    o.port = 0;
    o.verbose = false;
    return o;
}

void NetServerTest::SetUp()
{
    unmap_all_ports();
    char tmpl[] = "/tmp/velk-net-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    link_path_ = dir_ + "/adapter";
    replug();
    netd::LinkOptions lo;
    lo.port_name = link_path_;
    lo.reopen_ms = 20;
    link_ = std::make_unique<netd::AdapterLink>(lo);
    ASSERT_EQ(link_->start(), 0);
    sim_->clear_host_frames();
}

void NetServerTest::serve(netd::ServerOptions o)
{
    server_ = std::make_unique<netd::Server>(link_.get(), o);
    std::string why;
    ASSERT_TRUE(server_->listen_now(&why)) << why;
    thread_ = std::thread([this] { server_->run(); });
}

void NetServerTest::TearDown()
{
    if (server_) {
        server_->stop();
        if (thread_.joinable())
            thread_.join();
    }
    if (link_)
        link_->stop();
    close_all_ports();
    sim_.reset();
    if (!dir_.empty()) {
        unlink(link_path_.c_str());
        rmdir(dir_.c_str());
    }
}

void NetServerTest::unplug()
{
    sim_->unplug();
    // The device's name goes with it, as an unplugged adapter's does: the
    // pseudo-terminal's number may soon belong to another test's emulator,
    // which the server's attempts to reopen must not take.
    unlink(link_path_.c_str());
}

void NetServerTest::replug()
{
    sim_.reset();
    sim_ = std::make_unique<sim::Adapter>();
    ASSERT_TRUE(sim_->start());
    ASSERT_TRUE(sim_->link(link_path_));
}

}  // namespace velk::test
