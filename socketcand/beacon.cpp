// The UDP discovery beacon.
#include "beacon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "adapter_link.h"

namespace velk::netd {

int open_beacon_socket(const std::string &to, const std::string &listen_address, std::string *why)
{
    std::string host = to;
    int port = kBeaconPort;
    const size_t colon = to.find(':');
    if (colon != std::string::npos) {
        host = to.substr(0, colon);
        const std::string p = to.substr(colon + 1);
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) {
            *why = "bad beacon port: " + to;
            return -1;
        }
        port = 0;
        for (char c : p)
            port = port * 10 + (c - '0');
        if (port < 1 || port > 65535) {
            *why = "bad beacon port: " + to;
            return -1;
        }
    }
    if (host.empty())
        host = listen_address.rfind("127.", 0) == 0 ? "127.255.255.255" : "255.255.255.255";
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
        *why = "bad beacon address: " + to;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        *why = std::string("beacon socket: ") + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

std::string beacon_text(const std::string &listen_address, int port, const AdapterLink *link)
{
    char host[256] = "velk";
    gethostname(host, sizeof host - 1);
    std::string name;
    // The host name goes into an attribute: only characters that need no escaping.
    for (const char *p = host; *p; ++p)
        name += (std::isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.' || *p == '_') ? *p : '_';
    std::string t = "<CANBeacon name=\"" + name + "\" type=\"adapter\" description=\"velk_socketcand\">";
    t += "<URL>can://" + listen_address + ":" + std::to_string(port) + "</URL>";
    for (int c = 0; c < 2; ++c)
        if (link->channel_of(link->name_of(c)) == c)
            t += "<Bus name=\"" + link->name_of(c) + "\"/>";
    t += "</CANBeacon>";
    return t;
}

void send_beacon_datagram(int fd, const std::string &text)
{
    [[maybe_unused]] ssize_t n = send(fd, text.data(), text.size(), MSG_DONTWAIT);
}

}  // namespace velk::netd
