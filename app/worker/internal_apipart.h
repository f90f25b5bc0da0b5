// Pieces of the worker layer shared between its own files.
#ifndef VELK_INTERNAL_APIPART_H
#define VELK_INTERNAL_APIPART_H

// Asks the receive worker to stop and waits until it has ended.
void apipart_stop_recv_worker();
// Asks the send worker to stop and waits until it has ended.
void apipart_stop_send_worker();
// Hands one bus-status text to the registered sink on its main context.
void apipart_post_status(int label, const char *text);

#endif
