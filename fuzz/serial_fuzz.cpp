// Serial port layer for the fuzz targets: reads serve the fuzzer's bytes from
// a buffer in chunk sizes taken from the input (in the per-command mode only
// as far as the commands written have made them readable), writes always
// succeed and are logged. There is no device and no waiting.
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "fake_port.h"
#include "internal.h"

namespace {

const uint8_t *g_stream = nullptr;
size_t g_size = 0;
size_t g_pos = 0;
// The stream is readable up to here.
size_t g_released = 0;
bool g_per_command = false;
const uint8_t *g_chunks = nullptr;
size_t g_chunk_count = 0;
size_t g_next_chunk = 0;
bool g_auto_reply = false;
bool g_auto_after_stream = false;
std::vector<std::vector<uint8_t>> g_writes;
// Replies queued by the auto-reply mode, served ahead of the stream.
std::vector<uint8_t> g_replies;

void queue_reply(const uint8_t *frame, int size)
{
    if (size <= 0)
        return;
    int len = fuzzcheck::reply_length(frame[0]);
    if (len == 0)
        return;
    std::vector<uint8_t> r(static_cast<size_t>(len), 0);
    r[0] = frame[0];
    r[1] = 0;
    if (frame[0] == '5')
        r[2] = 0x03;  // firmware 03.xx: generation 3 takes every bit-rate code
    if (frame[0] == 'L' && size > 1)
        r[2] = frame[1];
    r[static_cast<size_t>(len) - 2] = 0x0D;
    r[static_cast<size_t>(len) - 1] = 0x0A;
    g_replies.insert(g_replies.end(), r.begin(), r.end());
}

}  // namespace

namespace fuzzport {

void load(const uint8_t *data, size_t size, bool per_command)
{
    g_writes.clear();
    g_replies.clear();
    g_next_chunk = 0;
    g_chunk_count = 0;
    g_chunks = nullptr;
    if (size > 0) {
        size_t k = data[0] & 0x0F;
        if (k > size - 1)
            k = size - 1;
        g_chunks = data + 1;
        g_chunk_count = k;
        data += 1 + k;
        size -= 1 + k;
    }
    g_stream = data;
    g_size = size;
    g_pos = 0;
    g_per_command = per_command;
    g_released = per_command ? 0 : size;
}

const uint8_t *stream()
{
    return g_stream;
}

size_t stream_size()
{
    return g_size;
}

size_t served()
{
    return g_pos;
}

size_t remaining()
{
    return g_size - g_pos;
}

size_t available()
{
    return g_replies.size() + (g_released - g_pos);
}

void set_auto_reply(bool on, bool only_after_stream)
{
    g_auto_reply = on;
    g_auto_after_stream = only_after_stream;
}

const std::vector<std::vector<uint8_t>> &writes()
{
    return g_writes;
}

void open_index0()
{
    while (first != nullptr)
        delete_com_node(first->com_index);
    COM_NODE proto;
    std::memset(&proto, 0, sizeof(proto));
    proto.is_open = 1;
    proto.com_index = 0;
    proto.fd = kFd;
    create_com_list(first == nullptr, &proto);
    if (chk_is_legal_com(0) == nullptr)
        std::abort();
}

}  // namespace fuzzport

extern "C" {

int RS232_OpenComport(const char *devname, int baudrate, const char *mode)
{
    (void)baudrate;
    (void)mode;
    return devname != nullptr ? fuzzport::kFd : -1;
}

int RS232_PollComport(int port, unsigned char *buf, int size)
{
    if (port != fuzzport::kFd || buf == nullptr || size <= 0)
        return 0;
    size_t want = static_cast<size_t>(size);
    if (g_chunk_count > 0) {
        size_t chunk = g_chunks[g_next_chunk++ % g_chunk_count];
        if (chunk < want)
            want = chunk;
    }
    size_t n = 0;
    if (!g_replies.empty()) {
        n = want < g_replies.size() ? want : g_replies.size();
        std::memcpy(buf, g_replies.data(), n);
        g_replies.erase(g_replies.begin(), g_replies.begin() + static_cast<std::ptrdiff_t>(n));
    } else {
        n = want < g_released - g_pos ? want : g_released - g_pos;
        if (n > 0)
            std::memcpy(buf, g_stream + g_pos, n);
        g_pos += n;
    }
    return static_cast<int>(n);
}

int RS232_SendBuf(int port, unsigned char *buf, int size)
{
    if (port != fuzzport::kFd || buf == nullptr || size < 0)
        return -1;
    g_writes.emplace_back(buf, buf + size);
    if (g_auto_reply && (!g_auto_after_stream || g_pos == g_size))
        queue_reply(buf, size);
    if (g_per_command && size > 0) {
        const size_t len = static_cast<size_t>(buf[0] == 'b' ? 17 : fuzzcheck::reply_length(buf[0]));
        g_released = g_released + len < g_size ? g_released + len : g_size;
    }
    return size;
}

void RS232_CloseComport(int port)
{
    (void)port;
}

// The fuzzer's bytes stand for what arrives after each command, so nothing
// is discarded.
void RS232_flushRX(int port)
{
    (void)port;
}

int RS232_SetRecvBlock(int port, int flag)
{
    (void)flag;
    return port == fuzzport::kFd ? 0 : -1;
}

// The fake device never goes away.
int RS232_CheckPort(int port)
{
    return port == fuzzport::kFd ? 0 : -1;
}

}  // extern "C"
