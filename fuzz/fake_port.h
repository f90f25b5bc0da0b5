// Controls of the fuzz-only serial layer: the bytes the fake adapter delivers,
// in which chunks, and what the library wrote to it.
#ifndef VELK_FUZZ_FAKE_PORT_H
#define VELK_FUZZ_FAKE_PORT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzport {

// The descriptor that the fake open hands out.
constexpr int kFd = 7;

// Serves a fuzzer input: byte 0's low nibble k says how many chunk sizes
// follow; each read then delivers at most the next chunk size (cycling, a 0
// meaning "nothing waiting this time"); k = 0 delivers what is asked for.
// The rest of the input is the byte stream. Clears the write log.
// `per_command`: the stream stands for the answers to the commands, so each
// command written makes its reply's length of it readable (the library reads
// what is waiting before it writes); otherwise all of it is readable at once.
void load(const uint8_t *data, size_t size, bool per_command = false);

// The stream and how much of it the library has read.
const uint8_t *stream();
size_t stream_size();
size_t served();
size_t remaining();
// Bytes a read could take now.
size_t available();

// When on, every command frame written queues a well-formed success reply,
// served ahead of the stream. When only_after_stream is set, replies are
// queued only once the stream has been read to its end.
void set_auto_reply(bool on, bool only_after_stream = false);

// Every byte the library wrote since load(), frame after frame.
const std::vector<std::vector<uint8_t>> &writes();

// Opens the fake port at index 0 in the library's open-port list afresh,
// so that nothing one input left in its input reaches the next.
void open_index0();

}  // namespace fuzzport

#endif
