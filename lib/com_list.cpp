// The open-port list: one node per port index the process has opened. Each
// node is the public part of a PortState, which carries the port's input.
#include <cstring>
#include <new>

#include "internal.h"

extern "C" {

COM_NODE *first = nullptr;
COM_NODE *last = nullptr;
COM_NODE *previous = nullptr;

void create_com_list(bool is_first, COM_NODE *node)
{
    velk::PortState *n = new (std::nothrow) velk::PortState();
    if (n == nullptr)
        return;
    n->is_open = node->is_open;
    n->com_index = node->com_index;
    n->fd = node->fd;
    if (is_first || previous == nullptr)
        first = n;
    else
        previous->next = n;
    n->next = nullptr;
    last = n;
    previous = n;
}

// Returns the open node of an index. A node left behind by a failed open is
// passed over, so a later successful open of the same index is found.
COM_NODE *chk_is_legal_com(int com_port)
{
    for (COM_NODE *n = first; n != nullptr; n = n->next) {
        if (n->com_index == com_port && n->is_open == 1)
            return n;
    }
    return nullptr;
}

// Removes the first node of an index (open or not), keeping first, last and
// previous valid whichever node goes.
void delete_com_node(int com_port)
{
    COM_NODE *pred = nullptr;
    COM_NODE *n = first;
    while (n != nullptr && n->com_index != com_port) {
        pred = n;
        n = n->next;
    }
    if (n == nullptr)
        return;
    if (pred == nullptr)
        first = n->next;
    else
        pred->next = n->next;
    if (n == last) {
        last = pred;
        previous = pred;
    }
    delete static_cast<velk::PortState *>(n);
}

}  // extern "C"

namespace velk {

// Drops nodes left by failed opens of this index, so the list holds at most
// one node per index and a close always removes the live one.
void purge_dead_nodes(int com_port)
{
    for (;;) {
        COM_NODE *n = first;
        while (n != nullptr && n->com_index != com_port)
            n = n->next;
        if (n == nullptr || n->is_open == 1)
            return;
        delete_com_node(com_port);
    }
}

COM_NODE *append_open_node(int com_port, velk_port_t port)
{
    purge_dead_nodes(com_port);
    COM_NODE proto;
    std::memset(&proto, 0, sizeof(proto));
    proto.is_open = 1;
    proto.com_index = com_port;
    proto.fd = port;
    create_com_list(first == nullptr, &proto);
    return chk_is_legal_com(com_port);
}

}  // namespace velk
