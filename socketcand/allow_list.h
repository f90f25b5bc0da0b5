// Which peers may connect: IPv4 networks "10.1.0.0/16", "192.168.1.7"
// (a /32). An empty list lets every peer in; the server listens on
// loopback unless told otherwise, so that is the safe default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velk::netd {

struct Network {
    uint32_t address = 0;  // host byte order
    uint32_t mask = 0;
};

// "A.B.C.D" or "A.B.C.D/N", N 0..32; false for anything else.
bool parse_network(const std::string &text, Network *n);
// Comma-separated networks appended to *list.
bool parse_networks(const std::string &text, std::vector<Network> *list);
bool allowed(const std::vector<Network> &list, uint32_t address);

}  // namespace velk::netd
