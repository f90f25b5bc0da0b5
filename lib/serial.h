// Serial port layer: the only code that touches the adapter's device.
// One interface, a POSIX variant (serial_posix.cpp) and a Win32 variant
// (serial_win32.cpp) behind it.
#ifndef VELK_SERIAL_H
#define VELK_SERIAL_H

#include "lib_velk_2.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
typedef HANDLE velk_port_t;
#define VELK_NO_PORT ((HANDLE)NULL)
VELK_API HANDLE RS232_OpenComport(const char *devname, int baudrate, const char *mode, int read_wait);
VELK_API int RS232_PollComport(HANDLE port, unsigned char *buf, int size);
VELK_API int RS232_SendBuf(HANDLE port, unsigned char *buf, int size);
VELK_API BOOL RS232_CloseComport(HANDLE port);
VELK_API BOOL RS232_flushRX(HANDLE port);
VELK_API int RS232_SetRecvBlock(HANDLE port, int flag);
#else
typedef int velk_port_t;
#define VELK_NO_PORT (-1)
VELK_API int RS232_OpenComport(const char *devname, int baudrate, const char *mode);
VELK_API int RS232_PollComport(int port, unsigned char *buf, int size);
VELK_API int RS232_SendBuf(int port, unsigned char *buf, int size);
VELK_API void RS232_CloseComport(int port);
VELK_API void RS232_flushRX(int port);
VELK_API int RS232_SetRecvBlock(int port, int flag);
// Waits up to timeout_ms (negative: without limit) for input: 1 input, 0
// time-out, -1 the device has hung up (unplugged) or failed. A signal
// handled meanwhile does not end the wait early.
int RS232_WaitInput(int port, int timeout_ms);
// 0 while the device is there, -1 once it has hung up or failed.
int RS232_CheckPort(int port);
#endif

// The layer's single diagnostic sink: standard error when VELK_DEBUG is set
// (debug.cpp), nothing otherwise.
VELK_API void showDebugMsg(int line, const char *func, const char *msg);

#ifdef __cplusplus
}
#endif

#endif
