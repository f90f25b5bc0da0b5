// The allow-list of client networks.
#include "allow_list.h"

#include <arpa/inet.h>

namespace velk::netd {

bool parse_network(const std::string &text, Network *n)
{
    const size_t slash = text.find('/');
    const std::string addr = text.substr(0, slash);
    in_addr a;
    if (addr.empty() || inet_pton(AF_INET, addr.c_str(), &a) != 1)
        return false;
    int bits = 32;
    if (slash != std::string::npos) {
        const std::string b = text.substr(slash + 1);
        if (b.empty() || b.size() > 2 || b.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = b.size() == 1 ? b[0] - '0' : (b[0] - '0') * 10 + (b[1] - '0');
        if (bits > 32)
            return false;
    }
    n->mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    n->address = ntohl(a.s_addr) & n->mask;
    return true;
}

bool parse_networks(const std::string &text, std::vector<Network> *list)
{
    size_t at = 0;
    while (true) {
        const size_t comma = text.find(',', at);
        Network n;
        if (!parse_network(text.substr(at, comma == std::string::npos ? comma : comma - at), &n))
            return false;
        list->push_back(n);
        if (comma == std::string::npos)
            return true;
        at = comma + 1;
    }
}

bool allowed(const std::vector<Network> &list, uint32_t address)
{
    if (list.empty())
        return true;
    for (const Network &n : list)
        if ((address & n.mask) == n.address)
            return true;
    return false;
}

}  // namespace velk::netd
