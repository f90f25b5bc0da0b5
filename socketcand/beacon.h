// The discovery beacon: a UDP datagram with the server's address and buses,
// in the protocol's XML form, sent every two seconds when asked for.
#pragma once

#include <string>

namespace velk::netd {

class AdapterLink;

constexpr int kBeaconPort = 42000;

// A UDP socket connected to `to` ("A.B.C.D" or "A.B.C.D:PORT"; empty: the
// broadcast address, or loopback when the server listens on loopback).
// -1 with *why.
int open_beacon_socket(const std::string &to, const std::string &listen_address, std::string *why);
std::string beacon_text(const std::string &listen_address, int port, const AdapterLink *link);
void send_beacon_datagram(int fd, const std::string &text);

}  // namespace velk::netd
