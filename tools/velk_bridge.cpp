// velk_bridge: the adapter's CAN1 and CAN2 as two Linux CAN interfaces, so
// that every SocketCAN program (candump, Wireshark, python-can, the
// kernel's ISO-TP) uses the adapter as it would a CAN controller. The
// interfaces are virtual CAN (vcan) interfaces: a frame any program writes
// there reaches the bridge's socket and goes to the adapter; what the
// adapter receives is written there and reaches every other socket. The
// kernel never hands a socket its own frames, so nothing the bridge writes
// goes back to the adapter.
#include <getopt.h>
// Before the kernel's headers, whose interface flags it would clash with.
#include <net/if.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/net_tstamp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "adapter_link.h"
#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_bridge";

const char kUsage[] =
    "Usage: velk_bridge [options] PORT\n"
    "\n"
    "Puts the adapter at PORT (a port index 0-67 or a device path such as\n"
    "/dev/ttyACM0) on two Linux CAN interfaces, CAN1 on the first and CAN2 on\n"
    "the second: can0 and can1 when neither exists, else the first free pair\n"
    "velkN,velkN+1, or the names of -N. Interfaces that do not exist are made as\n"
    "virtual CAN (vcan) interfaces and removed again at the end; existing vcan\n"
    "interfaces are used as they are. Needs CAP_NET_ADMIN (root).\n"
    "\n"
    "A frame any program sends on an interface goes to the adapter on that\n"
    "channel; frames the adapter receives appear there with the adapter's\n"
    "timestamp as their socket time. The programs on an interface see each\n"
    "other's frames as on a real one; frames the bridge writes are never sent\n"
    "back. Classic, extended, remote and CAN FD frames (with BRS and ESI) pass;\n"
    "with -e the adapter's bus error reports become Linux CAN error frames.\n"
    "A frame the adapter refuses is counted and said. When the adapter is\n"
    "unplugged the interfaces go down (or are removed, -k) and the bridge waits\n"
    "for it to come back.\n"
    "\n"
    "Options:\n"
    "%s"
    "%s"
    "  --listen-only   listen-only on both channels: the adapter does not\n"
    "                  acknowledge frames on the bus\n"
    "  -e              switch the adapter's error reports on and pass them as\n"
    "                  error frames (candump -e shows them)\n"
    "  -k              remove the interfaces while the adapter is unplugged\n"
    "                  (default: take them down)\n"
    "  -q              say nothing but errors\n"
    "  -h              this help\n"
    "\n"
    "SIGINT or SIGTERM stops: the interfaces it made are removed (those it\n"
    "found are left as they are) and a summary goes to standard error. Exit status: 0 stopped, 1 the adapter or the\n"
    "interfaces failed, 2 bad usage (also a port with no adapter).\n"
    "\n"
    "Examples:\n"
    "  velk_bridge -b 500k /dev/ttyACM0 &  candump can0\n"
    "      CAN1 at 500 kbit/s as can0, shown by candump\n"
    "  velk_bridge -b 500k -d 2M -N vcan0,vcan1 /dev/ttyACM0\n"
    "      CAN FD with a 2 Mbit/s data rate on vcan0 and vcan1\n"
    "  systemctl start velk-bridge@ttyACM0\n"
    "      the same as a service, for the adapter at /dev/ttyACM0\n";

enum LongOnly { kListenOnly = 256 };

const option kLong[] = {{"listen-only", no_argument, nullptr, kListenOnly},
                        {"help", no_argument, nullptr, 'h'},
                        {nullptr, 0, nullptr, 0}};

// Frames of one interface read before the poll loop looks at the adapter.
constexpr int kReadBurst = 256;
// Frames waiting for the adapter: a program sending flat out on a virtual
// interface meets no back-pressure, so the bridge holds what the adapter
// has not yet taken rather than leave it to the socket's buffer.
constexpr size_t kTxQueue = 1 << 20;
constexpr int kSocketBuffer = 8 << 20;
constexpr int kRefusalsSaid = 10;

// ---- interfaces, through rtnetlink ----

struct Request {
    nlmsghdr h;
    ifinfomsg i;
    char attrs[256];
};

rtattr *add_attr(Request *r, int type, const void *data, size_t len)
{
    rtattr *a = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(r) + NLMSG_ALIGN(r->h.nlmsg_len));
    a->rta_type = static_cast<unsigned short>(type);
    a->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
    if (len > 0)
        std::memcpy(RTA_DATA(a), data, len);
    r->h.nlmsg_len = NLMSG_ALIGN(r->h.nlmsg_len) + RTA_ALIGN(a->rta_len);
    return a;
}

// Sends one request and waits for its acknowledgement: 0 or an errno.
int talk(Request *r)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return errno;
    r->h.nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    r->h.nlmsg_seq = 1;
    int err = 0;
    if (send(fd, r, r->h.nlmsg_len, 0) < 0) {
        err = errno;
    } else {
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf);
        if (n < 0)
            err = errno;
        else if (NLMSG_OK(h, static_cast<unsigned>(n)) && h->nlmsg_type == NLMSG_ERROR)
            err = -static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error;
    }
    close(fd);
    return err;
}

Request link_request(int type, int flags, const std::string &name)
{
    Request r;
    std::memset(&r, 0, sizeof r);
    r.h.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    r.h.nlmsg_type = static_cast<unsigned short>(type);
    r.h.nlmsg_flags = static_cast<unsigned short>(flags);
    r.i.ifi_family = AF_UNSPEC;
    add_attr(&r, IFLA_IFNAME, name.c_str(), name.size() + 1);
    return r;
}

int create_vcan(const std::string &name)
{
    Request r = link_request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, name);
    rtattr *info = add_attr(&r, IFLA_LINKINFO, nullptr, 0);
    add_attr(&r, IFLA_INFO_KIND, "vcan", 4);
    info->rta_len = static_cast<unsigned short>(reinterpret_cast<char *>(&r) + r.h.nlmsg_len -
                                                reinterpret_cast<char *>(info));
    return talk(&r);
}

int remove_link(const std::string &name)
{
    Request r = link_request(RTM_DELLINK, 0, name);
    return talk(&r);
}

// Up or down; the MTU (CAN or CAN FD) is set on the way up, when the
// interface is down, as vcan requires.
int set_link(const std::string &name, bool up, int mtu)
{
    if (up) {
        Request m = link_request(RTM_NEWLINK, 0, name);
        add_attr(&m, IFLA_MTU, &mtu, sizeof mtu);
        if (const int err = talk(&m); err != 0 && err != EBUSY)
            return err;
    }
    Request r = link_request(RTM_NEWLINK, 0, name);
    r.i.ifi_change = IFF_UP;
    r.i.ifi_flags = up ? IFF_UP : 0;
    return talk(&r);
}

std::string sys_net(const std::string &name, const char *what)
{
    std::ifstream f("/sys/class/net/" + name + "/" + what);
    std::string v;
    std::getline(f, v);
    return v;
}

bool link_exists(const std::string &name)
{
    return if_nametoindex(name.c_str()) != 0;
}

// A CAN interface with no device of its own: vcan (or vxcan).
bool is_virtual_can(const std::string &name)
{
    return sys_net(name, "type") == std::to_string(ARPHRD_CAN) &&
           access(("/sys/class/net/" + name + "/device").c_str(), F_OK) != 0;
}

// ---- the adapter's records as SocketCAN frames and back ----

netd::NetFrame net_frame_of(const canfd_frame &c, bool fd)
{
    netd::NetFrame f;
    f.extended = (c.can_id & CAN_EFF_FLAG) != 0;
    f.id = c.can_id & (f.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    f.remote = !fd && (c.can_id & CAN_RTR_FLAG) != 0;
    f.fd = fd;
    f.brs = fd && (c.flags & CANFD_BRS) != 0;
    f.esi = fd && (c.flags & CANFD_ESI) != 0;
    f.len = f.remote ? 0 : c.len;
    f.dlc = static_cast<uint8_t>(f.remote ? (c.len > 8 ? 8 : c.len) : VELKLengthToDlc(c.len));
    if (!f.remote)
        std::memcpy(f.data.data(), c.data, c.len);
    return f;
}

// The frame and its size on the socket: CAN_MTU or CANFD_MTU.
size_t socket_frame_of(const netd::NetFrame &f, canfd_frame *c)
{
    std::memset(c, 0, sizeof *c);
    c->can_id = f.id | (f.extended ? CAN_EFF_FLAG : 0) | (f.remote ? CAN_RTR_FLAG : 0);
    if (f.remote) {
        c->len = f.dlc > 8 ? 8 : f.dlc;
        return CAN_MTU;
    }
    c->len = f.len;
    std::memcpy(c->data, f.data.data(), f.len);
    if (!f.fd)
        return CAN_MTU;
    c->flags = static_cast<uint8_t>((f.brs ? CANFD_BRS : 0) | (f.esi ? CANFD_ESI : 0) | CANFD_FDF);
    return CANFD_MTU;
}

// The six status bytes of a channel in a bus error report, as the bridge
// reads them: byte 3 the transmit and byte 4 the receive error counter,
// byte 5 the protocol status (bit 7 bus-off, bit 6 error warning, bit 5
// error passive, bits 0-2 the last error code: 1 stuff, 2 form, 3
// acknowledgement, 4 bit 1, 5 bit 0, 6 CRC). The adapter reports no lost
// arbitration.
constexpr int kTecAt = 3, kRecAt = 4, kStateAt = 5;
constexpr uint8_t kBusOff = 0x80, kWarning = 0x40, kPassive = 0x20, kLecMask = 0x07;

can_frame error_frame_of(const uint8_t *s)
{
    can_frame c;
    std::memset(&c, 0, sizeof c);
    c.can_id = CAN_ERR_FLAG | CAN_ERR_CNT;
    c.len = CAN_ERR_DLC;
    const uint8_t tec = s[kTecAt], rec = s[kRecAt], state = s[kStateAt];
    c.data[6] = tec;
    c.data[7] = rec;
    if (state & kBusOff)
        c.can_id |= CAN_ERR_BUSOFF;
    if (state & (kWarning | kPassive)) {
        c.can_id |= CAN_ERR_CRTL;
        if (state & kPassive)
            c.data[1] = static_cast<uint8_t>((tec >= 128 ? CAN_ERR_CRTL_TX_PASSIVE : 0) |
                                             (rec >= 128 ? CAN_ERR_CRTL_RX_PASSIVE : 0));
        if (c.data[1] == 0)
            c.data[1] = static_cast<uint8_t>((tec >= 96 ? CAN_ERR_CRTL_TX_WARNING : 0) |
                                             (rec >= 96 ? CAN_ERR_CRTL_RX_WARNING : 0));
    }
    switch (state & kLecMask) {
    case 1: c.can_id |= CAN_ERR_PROT; c.data[2] = CAN_ERR_PROT_STUFF; break;
    case 2: c.can_id |= CAN_ERR_PROT; c.data[2] = CAN_ERR_PROT_FORM; break;
    case 3: c.can_id |= CAN_ERR_ACK; break;
    case 4: c.can_id |= CAN_ERR_PROT; c.data[2] = CAN_ERR_PROT_BIT1; break;
    case 5: c.can_id |= CAN_ERR_PROT; c.data[2] = CAN_ERR_PROT_BIT0; break;
    case 6: c.can_id |= CAN_ERR_PROT; c.data[3] = CAN_ERR_PROT_LOC_CRC_SEQ; break;
    default: break;
    }
    return c;
}

struct Options {
    ChannelNames names;
    bool names_given = false;
    ChannelSetup setup;
    bool remove_when_gone = false;
    bool quiet = false;
};

class Bridge {
public:
    explicit Bridge(const Options &o) : o_(o), mtu_(o.setup.fd == 1 ? CANFD_MTU : CAN_MTU) {}

    int run(const char *port_name)
    {
        netd::LinkOptions lo;
        lo.prog = kProg;
        lo.port_name = port_name;
        lo.setup = o_.setup;
        lo.names[0] = o_.names.name[0];
        lo.names[1] = o_.names.name[1];
        lo.tx_queue = kTxQueue;
        lo.event_queue = kTxQueue;
        lo.status_reports = o_.setup.error_reports;
        for (int c = 0; c < 2; ++c)
            name_[c] = o_.names.name[c];
        if (const int status = claim_interfaces(); status != kOk)
            return status;
        // The interfaces first: a kernel without them never sees the adapter started.
        if (!interfaces_up()) {
            interfaces_gone(true);
            return kFailed;
        }
        link_ = std::make_unique<netd::AdapterLink>(lo);
        int status = link_->start();
        if (status == kOk) {
            if (!o_.quiet)
                std::fprintf(stderr, "%s: the adapter at %s is on %s (CAN1) and %s (CAN2)\n", kProg,
                             link_->device().c_str(), name_[0].c_str(), name_[1].c_str());
            status = loop();
            link_->stop();
            summary();
        }
        interfaces_gone(true);
        return status;
    }

private:
    // Names that exist must be virtual CAN interfaces; the others are made.
    int claim_interfaces()
    {
        if (!o_.names_given && (link_exists(name_[0]) || link_exists(name_[1]))) {
            for (int n = 0; n < 100; n += 2) {
                const std::string a = "velk" + std::to_string(n), b = "velk" + std::to_string(n + 1);
                if (!link_exists(a) && !link_exists(b)) {
                    name_[0] = a;
                    name_[1] = b;
                    break;
                }
            }
        }
        for (int c = 0; c < 2; ++c) {
            if (link_exists(name_[c]) && !is_virtual_can(name_[c])) {
                std::fprintf(stderr, "%s: %s exists and is not a virtual CAN interface\n", kProg,
                             name_[c].c_str());
                return kBadInput;
            }
            made_[c] = !link_exists(name_[c]);
        }
        return kOk;
    }

    bool interfaces_up()
    {
        for (int c = 0; c < 2; ++c) {
            int err = made_[c] && !link_exists(name_[c]) ? create_vcan(name_[c]) : 0;
            if (err == EOPNOTSUPP || err == ENOENT)
                return fail(c, "cannot be made: this kernel has no vcan (modprobe vcan)", 0);
            if (err != 0)
                return fail(c, "cannot be made", err);
            if ((err = set_link(name_[c], true, mtu_)) != 0)
                return fail(c, "cannot be brought up", err);
            if (!open_socket(c))
                return false;
        }
        return true;
    }

    // Closes the sockets. While the adapter is away the interfaces go down,
    // or those the bridge made are removed (-k); at the end those it made
    // are removed and those it found are left as they are.
    void interfaces_gone(bool at_end)
    {
        for (int c = 0; c < 2; ++c) {
            if (fd_[c] >= 0)
                close(fd_[c]);
            fd_[c] = -1;
            if (!link_exists(name_[c]) || (at_end && !made_[c]))
                continue;
            if (made_[c] && (at_end || o_.remove_when_gone))
                remove_link(name_[c]);
            else
                set_link(name_[c], false, mtu_);
        }
    }

    bool fail(int c, const char *what, int err)
    {
        std::fprintf(stderr, "%s: %s %s%s%s\n", kProg, name_[c].c_str(), what, err != 0 ? ": " : "",
                     err != 0 ? std::strerror(err) : "");
        return false;
    }

    bool open_socket(int c)
    {
        const int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
        if (fd < 0)
            return fail(c, "has no CAN socket", errno);
        const int on = 1;
        sockaddr_can a;
        std::memset(&a, 0, sizeof a);
        a.can_family = AF_CAN;
        a.can_ifindex = static_cast<int>(if_nametoindex(name_[c].c_str()));
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
        const int size = kSocketBuffer;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
        // The adapter's time becomes the socket time of what the bridge
        // writes: the kernel keeps a transmit time on a frame it loops back.
        sock_txtime t;
        std::memset(&t, 0, sizeof t);
        t.clockid = CLOCK_REALTIME;
        txtime_ = setsockopt(fd, SOL_SOCKET, SO_TXTIME, &t, sizeof t) == 0;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            const int err = errno;
            close(fd);
            return fail(c, "cannot be bound", err);
        }
        fd_[c] = fd;
        return true;
    }

    int loop()
    {
        std::vector<netd::LinkEvent> events;
        while (!stop_requested()) {
            pollfd p[3] = {{link_->event_fd(), POLLIN, 0}, {fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
            if (poll(p, 3, 200) < 0 && errno != EINTR) {
                std::fprintf(stderr, "%s: poll: %s\n", kProg, std::strerror(errno));
                return kFailed;
            }
            for (int c = 0; c < 2; ++c)
                if (fd_[c] >= 0 && (p[c + 1].revents & POLLIN))
                    from_interface(c);
            if (p[0].revents & POLLIN) {
                events.clear();
                link_->take(&events);
                for (const netd::LinkEvent &e : events)
                    if (!handle(e))
                        return kFailed;
            }
        }
        return kOk;
    }

    void from_interface(int c)
    {
        for (int k = 0; k < kReadBurst; ++k) {
            canfd_frame f;
            char control[CMSG_SPACE(sizeof(uint32_t))];
            iovec iov = {&f, sizeof f};
            msghdr m;
            std::memset(&m, 0, sizeof m);
            m.msg_iov = &iov;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(fd_[c], &m, 0);
            if (n < 0)
                return;  // drained, or the interface went down: the adapter's event says why
            for (cmsghdr *h = CMSG_FIRSTHDR(&m); h != nullptr; h = CMSG_NXTHDR(&m, h)) {
                if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SO_RXQ_OVFL) {
                    uint32_t dropped;
                    std::memcpy(&dropped, CMSG_DATA(h), sizeof dropped);
                    if (dropped != socket_dropped_[c]) {
                        std::fprintf(stderr, "%s: %s: %u frames lost before the bridge read them\n", kProg,
                                     name_[c].c_str(), dropped - socket_dropped_[c]);
                        socket_dropped_[c] = dropped;
                    }
                }
            }
            if (n != CAN_MTU && n != CANFD_MTU)
                continue;
            if (f.can_id & CAN_ERR_FLAG)
                continue;
            if (!link_ || !link_->send(c, net_frame_of(f, n == CANFD_MTU), 0)) {
                ++refused_[c];
                say_refusal(c, link_ && link_->up() ? "the bridge's queue is full" : "the adapter is unplugged");
            }
        }
    }

    bool handle(const netd::LinkEvent &e)
    {
        switch (e.kind) {
        case netd::LinkEvent::Received: {
            canfd_frame f;
            const size_t size = socket_frame_of(e.frame, &f);
            to_interface(e.channel, &f, size, e.sec, e.usec);
            ++received_[e.channel];
            break;
        }
        case netd::LinkEvent::Sent: ++sent_[e.channel]; break;
        case netd::LinkEvent::Refused:
            ++refused_[e.channel];
            say_refusal(e.channel, "the adapter refused it");
            break;
        case netd::LinkEvent::Status:
            if (e.report != VELK_BUSERR_TYPE && e.report != VELK_BUSERR_PSR_TYPE)
                break;
            for (int c = 0; c < 2; ++c) {
                const uint8_t *s = e.status.data() + 6 * c;
                bool any = false;
                for (int k = 0; k < 6; ++k)
                    any = any || s[k] != 0;
                if (!any)
                    continue;
                can_frame f = error_frame_of(s);
                to_interface(c, &f, CAN_MTU, e.sec, e.usec);
                ++errors_[c];
            }
            break;
        case netd::LinkEvent::Gone:
            interfaces_gone(false);
            if (!o_.quiet)
                std::fprintf(stderr, "%s: %s and %s %s until the adapter is back\n", kProg, name_[0].c_str(),
                             name_[1].c_str(), o_.remove_when_gone ? "removed" : "down");
            break;
        case netd::LinkEvent::Back:
            if (!interfaces_up())
                return false;
            break;
        }
        return true;
    }

    void to_interface(int c, const void *frame, size_t size, int64_t sec, uint32_t usec)
    {
        if (fd_[c] < 0)
            return;
        iovec iov = {const_cast<void *>(frame), size};
        msghdr m;
        std::memset(&m, 0, sizeof m);
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        char control[CMSG_SPACE(sizeof(uint64_t))];
        if (txtime_) {
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            cmsghdr *h = CMSG_FIRSTHDR(&m);
            h->cmsg_level = SOL_SOCKET;
            h->cmsg_type = SCM_TXTIME;
            h->cmsg_len = CMSG_LEN(sizeof(uint64_t));
            const uint64_t ns = static_cast<uint64_t>(sec) * 1000000000u + uint64_t{usec} * 1000u;
            std::memcpy(CMSG_DATA(h), &ns, sizeof ns);
        }
        // A full transmit queue empties within microseconds on a vcan.
        for (int tries = 0; tries < 100; ++tries) {
            if (sendmsg(fd_[c], &m, 0) >= 0)
                return;
            if (errno != ENOBUFS && errno != EAGAIN)
                break;
            pollfd p = {fd_[c], POLLOUT, 0};
            poll(&p, 1, 10);
        }
        if (lost_[c]++ == 0)
            std::fprintf(stderr, "%s: %s: a received frame could not be written: %s\n", kProg, name_[c].c_str(),
                         std::strerror(errno));
    }

    void say_refusal(int c, const char *why)
    {
        if (said_ < kRefusalsSaid)
            std::fprintf(stderr, "%s: %s: a frame was not sent: %s%s\n", kProg, name_[c].c_str(), why,
                         ++said_ == kRefusalsSaid ? " (further ones are only counted)" : "");
    }

    void summary() const
    {
        for (int c = 0; c < 2; ++c)
            std::fprintf(stderr, "%s: %s: %llu sent, %llu received, %llu error frames, %llu not sent, %llu lost\n",
                         kProg, name_[c].c_str(), sent_[c], received_[c], errors_[c], refused_[c],
                         lost_[c] + socket_dropped_[c]);
    }

    const Options &o_;
    const int mtu_;
    std::unique_ptr<netd::AdapterLink> link_;
    std::string name_[2];
    bool made_[2] = {false, false};
    int fd_[2] = {-1, -1};
    bool txtime_ = false;
    int said_ = 0;
    uint32_t socket_dropped_[2] = {0, 0};
    unsigned long long sent_[2] = {0, 0}, received_[2] = {0, 0}, errors_[2] = {0, 0};
    unsigned long long refused_[2] = {0, 0}, lost_[2] = {0, 0};
};

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    const std::string optstring = std::string("ekqh") + kNamesOption + kChannelOptions;
    std::string usage(kUsage);
    usage.replace(usage.find("%s"), 2, kNamesOptionHelp);
    int opt;
    while ((opt = getopt_long(argc, argv, optstring.c_str(), kLong, nullptr)) != -1) {
        switch (opt) {
        case 'e': o.setup.error_reports = true; break;
        case 'k': o.remove_when_gone = true; break;
        case 'q': o.quiet = true; break;
        case 'N':
            if (!parse_names(optarg, &o.names) || o.names.name[0].size() >= IFNAMSIZ ||
                o.names.name[1].size() >= IFNAMSIZ)
                return usage_error(kProg, "bad interface names", optarg);
            o.names_given = true;
            break;
        case kListenOnly: o.setup.listen = true; break;
        default:
            if (const int status = common_option(kProg, usage.c_str(), opt, optarg, &o.setup); status >= 0)
                return status;
        }
    }
    if (optind >= argc) {
        std::fprintf(stderr, "%s: no PORT given (try -h)\n", kProg);
        return kBadInput;
    }
    if (optind + 1 < argc)
        return usage_error(kProg, "one PORT only; unexpected", argv[optind + 1]);
    Bridge bridge(o);
    return bridge.run(argv[optind]);
}
