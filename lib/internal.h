// Library-private declarations shared by the protocol files.
#ifndef VELK_INTERNAL_H
#define VELK_INTERNAL_H

#include <cstdint>

#include "debug.h"
#include "lib_velk_2.h"
#include "platform.h"
#include "port_input.h"
#include "serial.h"
#include "wire.h"

extern "C" {

// Open-port list (com_list.cpp).
void create_com_list(bool is_first, COM_NODE *node);
COM_NODE *chk_is_legal_com(int com_port);
void delete_com_node(int com_port);

// Command frames and the generic raw exchange (command.cpp): writes frame_len
// bytes of frame unchanged and, when reply_len > 0 and a reply buffer is
// given, returns after the adapter's 150 ms with the raw bytes that came back
// (0 when at least one did). The typed commands use velk::exchange below.
int cmd_process(int com_port, int frame_len, int reply_len, const unsigned char *frame, unsigned char *reply);
void chk_sum_end_byte(unsigned char *frame, int frame_len);
void uint_2_uchar(uint32_t value, unsigned char *buf);
uint32_t uchar_2_uint(const unsigned char *buf);
int pow_with_int(int base, int exponent);

// Connection (connection.cpp).
int VELKInitCANReal(int com_port, int can1_state, int can2_state);

// Transmit (transmit.cpp).
int VELKSendReal(int com_port, CAN_FRAME_INFO *frame);
int VELKSendReal_CANFD(int com_port, CAN_FRAME_INFO *frame);
void fine_tune_send_delay(int com_port);
int DecodeDLC_CANFD(int dlc);

// Receive (range_filter.cpp).
int range_filter_process(COM_NODE *node, CAN_FRAME_INFO *frame);
}

namespace velk {

// True when the index names a device on this platform.
inline bool port_index_valid(int com_port)
{
    return com_port >= 0 && com_port < VELK_PORT_COUNT;
}

// Removes nodes of an index whose open failed.
void purge_dead_nodes(int com_port);

// Appends the node of a freshly opened port (after removing dead nodes of
// its index); null when the node could not be allocated.
COM_NODE *append_open_node(int com_port, velk_port_t port);

// The checks before an open (a valid index not open yet), the open of the
// device, and the line that says an open succeeded: each tells the
// diagnostics what happened.
bool may_open(const char *call, int com_port);
velk_port_t open_port(const char *call, int com_port, int read_wait);
void report_opened(const char *call, int com_port, const VER_INFO &ver);

// Generation digit: the value of the hexadecimal character fw[1], 0 otherwise.
int generation_of(const VER_INFO &ver);

// Runs the pairing for generation-5 adapters, guarded against nesting.
void pair_if_generation5(int com_port, const VER_INFO &ver);

// Writes a command and, when a reply is wanted, waits the adapter's 150 ms
// for it. `whole`: the reply is recognised by its echo and length among the
// reports and must arrive complete; otherwise the raw bytes that came back
// are taken and one byte will do. `call` names the exported operation.
bool exchange(const char *call, int com_port, const unsigned char *frame, int frame_len, unsigned char *reply,
              int reply_len, bool whole);

// A command of the wire table (its lengths by its code, frame[0]), whose
// whole reply must echo the code with a zero status byte. `reply` holds
// wire::kMaxReply bytes.
bool command_ok(const char *call, int com_port, const unsigned char *frame, unsigned char *reply);

// Seals a command frame whose code and arguments are set and runs it: 0
// when the reply came with the echo and a zero status byte, else 1.
int send_command(const char *call, int com_port, unsigned char *frame);

}  // namespace velk

#endif
