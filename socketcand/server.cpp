// The poll loop of the server and its clients' queues.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "beacon.h"

namespace velk::netd {
namespace {

constexpr const char kProg[] = "velk_socketcand";
constexpr size_t kReadChunk = 4096;
// Replies beyond the frame queue's bound: a client that sends commands
// without reading the answers is closed past this.
constexpr size_t kReplySlack = 64 * 1024;
// After "< ok >" to rawmode the client's frames wait this long, so that
// clients which read the "< ok >" with one receive of their own (python-can
// 4.1 does) do not find frames behind it.
constexpr int64_t kRawHoldUs = 50000;
constexpr int kIdlePollMs = 200;
constexpr int kAcceptsPerTurn = 16;
// The kernel's send buffer per client, kept small so that the client's own
// queue (and its bound) decides what a slow client loses, not megabytes of
// buffer that loopback's autotuning would grow.
constexpr int kSocketSendBuffer = 64 * 1024;
// A client being closed that does not take its last words is closed anyway.
constexpr int64_t kClosingUs = 5000000;

std::string peer_name(const sockaddr_in &a)
{
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

struct Server::Client {
    Client(uint64_t id, SessionHost *host) : session(id, host) {}
    int fd = -1;
    std::string peer;
    Session session;
    std::string in;
    std::string out;
    size_t out_at = 0;
    int64_t connected_us = 0;
    int64_t hold_until_us = 0;
    bool closing = false;  // no more reading; closed once `out` is written
    int64_t closing_us = 0;
    bool dead = false;     // closed; removed at the end of the turn
    std::string close_reason;
    size_t pending() const { return out.size() - out_at; }
};

Server::Server(AdapterLink *link, const ServerOptions &o) : link_(link), o_(o)
{
    // The link's queue is thread-safe: the schedulers' threads hand it
    // their frames directly, with their client as the origin.
    jobs_ = std::make_unique<ScheduledCyclicJobs>(
        [this](int ch, const NetFrame &f, uint64_t owner) { return link_->send(ch, f, owner); });
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Server::~Server()
{
    for (auto &c : clients_)
        if (c->fd >= 0)
            close(c->fd);
    if (listen_fd_ >= 0)
        close(listen_fd_);
    if (wake_fd_ >= 0)
        close(wake_fd_);
    if (beacon_fd_ >= 0)
        close(beacon_fd_);
}

bool Server::listen_now(std::string *why)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(o_.port));
    if (inet_pton(AF_INET, o_.listen_address.c_str(), &a.sin_addr) != 1) {
        *why = "not an IPv4 address: " + o_.listen_address;
        return false;
    }
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_fd_, 128) != 0) {
        *why = "cannot listen on " + o_.listen_address + ":" + std::to_string(o_.port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
    bound_port_ = ntohs(a.sin_port);
    if (o_.beacon) {
        beacon_fd_ = open_beacon_socket(o_.beacon_address, o_.listen_address, why);
        if (beacon_fd_ < 0)
            return false;
    }
    return true;
}

void Server::stop()
{
    stop_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
}

int Server::open_bus(const std::string &name)
{
    return link_->up() ? link_->channel_of(name) : -1;
}

bool Server::send(int channel, const NetFrame &f, uint64_t owner)
{
    return link_->send(channel, f, owner);
}

void Server::log_close(const Client &c, const std::string &why)
{
    ++counters_.closed;
    if (!o_.verbose)
        return;
    const SessionStats &s = c.session.stats();
    std::fprintf(stderr, "%s: client %s closed (%s): %llu frames sent to it, %llu from it, %llu dropped\n", kProg,
                 c.peer.c_str(), why.c_str(), static_cast<unsigned long long>(s.rx_frames),
                 static_cast<unsigned long long>(s.tx_frames), static_cast<unsigned long long>(s.dropped));
}

void Server::accept_clients(int64_t now)
{
    // A few per turn: clients that connected and went meanwhile (a flood of
    // connects) are seen gone on the next turn and make room, rather than
    // filling every place at once.
    for (int taken = 0; taken < kAcceptsPerTurn; ++taken) {
        sockaddr_in a;
        socklen_t len = sizeof a;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;  // EAGAIN, or a connection that went before it was taken
        const std::string peer = peer_name(a);
        if (!allowed(o_.allow, ntohl(a.sin_addr.s_addr))) {
            ++counters_.refused;
            if (o_.verbose)
                std::fprintf(stderr, "%s: refused %s: not in the allowed networks\n", kProg, peer.c_str());
            close(fd);
            continue;
        }
        if (clients_.size() >= o_.max_clients) {
            ++counters_.refused;
            const std::string e = error_line("too many clients");
            [[maybe_unused]] ssize_t n = ::send(fd, e.data(), e.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (o_.verbose)
                std::fprintf(stderr, "%s: refused %s: %zu clients already\n", kProg, peer.c_str(), clients_.size());
            close(fd);
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketSendBuffer, sizeof kSocketSendBuffer);
        auto c = std::make_unique<Client>(next_id_++, static_cast<SessionHost *>(this));
        c->fd = fd;
        c->peer = peer;
        c->connected_us = now;
        ++counters_.accepted;
        if (o_.verbose)
            std::fprintf(stderr, "%s: client %s connected\n", kProg, peer.c_str());
        queue_reply(*c, hi_line());
        write_client(*c);
        clients_.push_back(std::move(c));
    }
}

void Server::queue_reply(Client &c, const std::string &text)
{
    if (c.pending() + text.size() > o_.queue_bytes + kReplySlack) {
        close_later(c, "", "it does not read its replies");
        return;
    }
    c.out += text;
}

void Server::queue_frame(Client &c, const std::string &line, size_t payload)
{
    if (c.closing)
        return;
    if (c.pending() + line.size() > o_.queue_bytes) {
        SessionStats &s = c.session.stats();
        if (s.dropped == 0 && o_.verbose)
            std::fprintf(stderr, "%s: client %s is not reading: its frames are dropped\n", kProg, c.peer.c_str());
        ++s.dropped;
        ++counters_.dropped;
        return;
    }
    c.out += line;
    ++c.session.stats().rx_frames;
    c.session.stats().rx_bytes += payload;
}

void Server::close_later(Client &c, const std::string &reply, const std::string &why)
{
    if (c.closing)
        return;
    if (!reply.empty())
        c.out += reply;
    c.closing = true;
    c.closing_us = tools::mono_us();
    c.close_reason = why;
}

void Server::write_client(Client &c)
{
    if (c.dead)
        return;
    while (c.pending() > 0) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_at, c.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out_at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        c.dead = true;
        log_close(c, c.closing ? c.close_reason : "connection lost");
        return;
    }
    if (c.out_at == c.out.size()) {
        c.out.clear();
        c.out_at = 0;
    } else if (c.out_at > 64 * 1024) {
        c.out.erase(0, c.out_at);
        c.out_at = 0;
    }
    if (c.closing && c.pending() == 0) {
        c.dead = true;
        log_close(c, c.close_reason);
    }
}

void Server::read_client(Client &c, int64_t now)
{
    char buf[kReadChunk];
    while (!c.closing && !c.dead) {
        const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            c.dead = true;
            log_close(c, "the client closed the connection");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            c.dead = true;
            log_close(c, std::string("connection lost: ") + std::strerror(errno));
            return;
        }
        c.in.append(buf, static_cast<size_t>(n));
        size_t pos = 0;
        while (!c.closing) {
            std::string_view text;
            const ParseResult r = next_command(c.in, &pos, &text);
            if (r == ParseResult::Incomplete)
                break;
            if (r == ParseResult::Error) {
                if (!c.session.handle_bad("command too long or malformed", &c.out))
                    close_later(c, "", "bad command before a bus was open");
                continue;
            }
            Command cmd;
            std::string why;
            std::string replies;
            const Mode before = c.session.mode();
            bool keep;
            if (parse_command(text, &cmd, &why) == ParseResult::Ok)
                keep = c.session.handle(cmd, now, &replies);
            else
                keep = c.session.handle_bad(why, &replies);
            queue_reply(c, replies);
            if (!keep)
                close_later(c, "", "refused before a bus was open");
            else if (cmd.verb == Verb::RawMode && before != Mode::Raw && c.session.mode() == Mode::Raw) {
                write_client(c);
                c.hold_until_us = now + kRawHoldUs;
            }
        }
        c.in.erase(0, pos);
    }
}

void Server::handle_events(int64_t now)
{
    events_.clear();
    link_->take(&events_);
    for (const LinkEvent &e : events_) {
        switch (e.kind) {
        case LinkEvent::Received:
        case LinkEvent::Sent: {
            std::string line;
            for (auto &cp : clients_) {
                Client &c = *cp;
                if (c.dead || c.session.channel() != e.channel || c.session.id() == e.origin)
                    continue;
                if (!c.session.wants(e.frame, now))
                    continue;
                if (line.empty())
                    line = frame_line(e.frame, e.sec, e.usec);
                queue_frame(c, line, e.frame.len);
            }
            break;
        }
        case LinkEvent::Refused:
            for (auto &cp : clients_)
                if (cp->session.id() == e.origin && !cp->dead && !cp->closing) {
                    ++cp->session.stats().refused;
                    queue_reply(*cp, error_line("frame not sent: the adapter refused it"));
                }
            break;
        case LinkEvent::Gone: {
            const std::string reason = "the adapter at " + link_->device() + " has gone";
            jobs_->remove_channel(0);
            jobs_->remove_channel(1);
            for (auto &cp : clients_)
                if (cp->session.channel() >= 0)
                    close_later(*cp, error_line(reason), reason);
            break;
        }
        case LinkEvent::Back:
        case LinkEvent::Status: break;
        }
    }
}

void Server::run_timers(int64_t now)
{
    for (auto &cp : clients_) {
        Client &c = *cp;
        if (c.dead)
            continue;
        if (c.closing) {
            if (now - c.closing_us > kClosingUs) {
                c.dead = true;
                log_close(c, c.close_reason);
            }
            continue;
        }
        const std::string stat = c.session.statistics_due(now);
        if (!stat.empty())
            queue_reply(c, stat);
        if (c.session.mode() == Mode::NoBus && o_.hello_timeout_ms > 0 &&
            now - c.connected_us > int64_t{o_.hello_timeout_ms} * 1000)
            close_later(c, error_line("no bus opened in time"), "no bus opened in time");
    }
    if (beacon_fd_ >= 0 && now >= next_beacon_us_) {
        send_beacon();
        next_beacon_us_ = now + int64_t{o_.beacon_interval_ms} * 1000;
    }
}

int Server::poll_timeout_ms(int64_t now) const
{
    int64_t next = now + int64_t{kIdlePollMs} * 1000;
    auto sooner = [&](int64_t t) {
        if (t >= 0 && t < next)
            next = t;
    };
    for (const auto &c : clients_) {
        sooner(c->session.next_statistics_us());
        if (c->hold_until_us > now)
            sooner(c->hold_until_us);
    }
    if (beacon_fd_ >= 0)
        sooner(next_beacon_us_);
    const int64_t wait = next - now;
    return wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
}

void Server::drop_closed()
{
    for (auto &c : clients_)
        if (c->dead && c->fd >= 0) {
            jobs_->remove_owner(c->session.id());
            close(c->fd);
            c->fd = -1;
        }
    std::erase_if(clients_, [](const std::unique_ptr<Client> &c) { return c->dead; });
    client_count_ = clients_.size();
}

void Server::send_beacon()
{
    const std::string text = beacon_text(o_.listen_address, bound_port_, link_);
    send_beacon_datagram(beacon_fd_, text);
}

int Server::run()
{
    std::vector<pollfd> fds;
    while (!stop_ && !(o_.watch_stop_signals && tools::stop_requested())) {
        const int64_t now = tools::mono_us();
        fds.clear();
        fds.push_back({listen_fd_, POLLIN, 0});
        fds.push_back({link_->event_fd(), POLLIN, 0});
        fds.push_back({wake_fd_, POLLIN, 0});
        for (auto &c : clients_) {
            short ev = 0;
            if (!c->closing)
                ev |= POLLIN;
            if (c->pending() > 0 && c->hold_until_us <= now)
                ev |= POLLOUT;
            fds.push_back({c->fd, ev, 0});
        }
        const int n = poll(fds.data(), fds.size(), poll_timeout_ms(now));
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "%s: poll: %s\n", kProg, std::strerror(errno));
            return tools::kFailed;
        }
        const int64_t t = tools::mono_us();
        if (fds[1].revents & POLLIN)
            handle_events(t);
        // Clients as polled; those accepted below join on the next turn.
        const size_t polled = clients_.size();
        for (size_t i = 0; i < polled; ++i) {
            Client &c = *clients_[i];
            const short re = fds[3 + i].revents;
            if (re & (POLLIN | POLLHUP | POLLERR))
                read_client(c, t);
            if (re & POLLERR && !c.dead) {
                c.dead = true;
                log_close(c, "connection lost");
            }
        }
        run_timers(t);
        for (auto &c : clients_)
            if (c->pending() > 0 && c->hold_until_us <= t)
                write_client(*c);
            else if (c->closing && c->pending() == 0 && !c->dead) {
                c->dead = true;
                log_close(*c, c->close_reason);
            }
        drop_closed();
        if (fds[0].revents & POLLIN)
            accept_clients(t);
        client_count_ = clients_.size();
    }
    // No cyclic send outlives the serving.
    jobs_->remove_channel(0);
    jobs_->remove_channel(1);
    return tools::kOk;
}

}  // namespace velk::netd
