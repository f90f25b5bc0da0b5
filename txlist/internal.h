// What the transmit list's files share: the per-cycle changes an entry's
// frame gets (cycle_changes.cpp), which the list file bounds as it reads them.
#pragma once

#include <cstdint>

#include "txlist.h"

namespace velk::txlist {

// A byte counter spans at most this many bytes: its value is one uint64_t.
constexpr int kMaxCounterBytes = 8;

// The largest value bytes first..last hold (first byte least significant).
uint64_t bytes_max(int first, int last);
// The largest raw value a signal's bits hold.
uint64_t signal_raw_max(const dbc::Signal &s);
// The largest raw value a counter signal may take: its bits, and within
// its [min|max] where it has a range (encode refuses a value outside it).
uint64_t counter_raw_max(const dbc::Signal &s);
// The counter's value in cycle `cycle`: start stepped `cycle` times within [min, max].
uint64_t counter_value(uint64_t start, uint64_t min, uint64_t max, uint64_t cycle);
// Sum modulo 256 or XOR of the checksum's bytes of `data`.
uint8_t checksum_of(const Checksum &c, const uint8_t *data);

}  // namespace velk::txlist
