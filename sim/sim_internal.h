// Declarations shared by the emulator's own files; not for its users.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adapter.h"

namespace velk::sim {

// Monotonic microseconds.
int64_t now_us();

// Expected length of the host frame starting at p (n bytes available):
// 0 = not a frame start, SIZE_MAX = cannot tell yet.
size_t frame_length(const uint8_t *p, size_t n);

}  // namespace velk::sim
