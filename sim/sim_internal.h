// Declarations shared by the emulator's own files; not for its users.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adapter.h"
#include "wire.h"

namespace velk::sim {

// Appends the trailer: the sum of the bytes so far, CR and LF.
void seal(Bytes &b);

void put_be32(uint8_t *p, uint32_t v);
void put_le32(uint8_t *p, uint32_t v);
uint32_t get_be32(const uint8_t *p);

// Monotonic microseconds.
int64_t now_us();

// Expected length of the host frame starting at p (n bytes available):
// 0 = not a frame start, SIZE_MAX = cannot tell yet.
size_t frame_length(const uint8_t *p, size_t n);

}  // namespace velk::sim
