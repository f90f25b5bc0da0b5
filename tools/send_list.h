// velk_send --list: runs a transmit list file on the adapter until the time
// given, Ctrl-C, or every counted entry is done, then prints what each entry
// sent.
#pragma once

#include "tool_common.h"

namespace velk::tools {

// seconds <= 0: no time limit. Returns the exit status (0 all sent, 1 some
// refused or the adapter failed, 2 a bad list or one the pacing cannot carry).
int send_list(const char *prog, const char *port_name, const ChannelSetup &setup, const char *file, double seconds);

}  // namespace velk::tools
