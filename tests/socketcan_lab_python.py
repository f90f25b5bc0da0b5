#!/usr/bin/python3
"""python-can's own socketcan interface on velk_bridge's interfaces, in the
SocketCAN lab's guest.

  socketcan_lab_python.py A B
      python-can's back-to-back pattern: what one bus sends, the other
      receives, field for field, both ways; every frame kind.
  socketcan_lab_python.py --latency COUNT BASE_A BASE_B A B
      COUNT frames one at a time from A to B, the time from send to
      receive, p50 and p99, against the same on a bare vcan (BASE_A to
      BASE_B); also as scripts/bench's "ROW|" lines.
  socketcan_lab_python.py --uds-server COUNT IF
      a UDS server on the kernel's ISO-TP sockets on IF (requests on 7E0,
      answers on 7E8) for COUNT requests: F190 in segments, F18C after a
      responsePending, the extended session, 0x31 requestOutOfRange for
      anything else.
"""
import socket
import sys
import time

import can

KINDS = [
    dict(arbitration_id=0x123, data=b'\xde\xad\xbe\xef', is_extended_id=False),
    dict(arbitration_id=0x1ABCDEF0, data=bytes(range(8)), is_extended_id=True),
    dict(arbitration_id=0x7FF, data=b'', is_extended_id=False),
    dict(arbitration_id=0x321, dlc=4, is_remote_frame=True, is_extended_id=False),
    dict(arbitration_id=0x18FF0001, dlc=8, is_remote_frame=True, is_extended_id=True),
    dict(arbitration_id=0x456, data=bytes(range(12)), is_fd=True, bitrate_switch=False, is_extended_id=False),
    dict(arbitration_id=0x10000456, data=bytes(range(64)), is_fd=True, bitrate_switch=True,
         is_extended_id=True),
    dict(arbitration_id=0x111, data=bytes(range(20)), is_fd=True, bitrate_switch=True, error_state_indicator=True,
         is_extended_id=False),
]

FIELDS = ('arbitration_id', 'is_extended_id', 'is_remote_frame', 'is_fd', 'bitrate_switch',
          'error_state_indicator', 'dlc', 'data')


def back_to_back(a, b):
    failures = 0
    with can.Bus(interface='socketcan', channel=a, fd=True) as bus_a, \
            can.Bus(interface='socketcan', channel=b, fd=True) as bus_b:
        for tx, rx in ((bus_a, bus_b), (bus_b, bus_a)):
            for k in KINDS:
                sent = can.Message(**k)
                tx.send(sent)
                got = rx.recv(timeout=30)
                if got is None:
                    print(f'{tx.channel_info} -> {rx.channel_info}: nothing came for {sent}')
                    failures += 1
                    continue
                wrong = [f for f in FIELDS if getattr(got, f) != getattr(sent, f)]
                if wrong:
                    print(f'sent {sent}\n got {got}\n differ in {wrong}')
                    failures += 1
                elif abs(got.timestamp - time.time()) > 60:
                    print(f'timestamp {got.timestamp} is not near now')
                    failures += 1
    return failures == 0


def latencies(a, b, count=300):
    out = []
    with can.Bus(interface='socketcan', channel=a, fd=True) as tx, \
            can.Bus(interface='socketcan', channel=b, fd=True) as rx:
        for i in range(count):
            msg = can.Message(arbitration_id=0x100 + i % 256, data=i.to_bytes(4, 'big'), is_extended_id=False)
            t0 = time.perf_counter()
            tx.send(msg)
            while True:
                got = rx.recv(timeout=30)
                if got is None:
                    raise SystemExit(f'{a} -> {b}: frame {i} did not come')
                if got.data == msg.data and got.arbitration_id == msg.arbitration_id:
                    break
            out.append(time.perf_counter() - t0)
    out.sort()
    return out[len(out) // 2], out[int(len(out) * 0.99)]


UDS_VIN = b'VELKLAB0000000001'


def uds_server(iface, count):
    s = socket.socket(socket.AF_CAN, socket.SOCK_DGRAM, socket.CAN_ISOTP)
    s.bind((iface, 0x7E0, 0x7E8))
    for _ in range(count):
        req = s.recv(4095)
        print('request ' + req.hex(' ').upper(), flush=True)
        if req == b'\x22\xf1\x90':
            s.send(b'\x62\xf1\x90' + UDS_VIN)
        elif req == b'\x22\xf1\x8c':
            s.send(b'\x7f\x22\x78')
            time.sleep(0.3)
            s.send(b'\x62\xf1\x8c\x00\x00\x12\x34')
        elif req == b'\x10\x03':
            s.send(b'\x50\x03\x00\x32\x01\xf4')
        else:
            s.send(bytes([0x7F, req[0], 0x31]))
    s.close()
    return 0


def main():
    if sys.argv[1] == '--uds-server':
        return uds_server(sys.argv[3], int(sys.argv[2]))
    if sys.argv[1] == '--latency':
        count = int(sys.argv[2])
        base = latencies(sys.argv[3], sys.argv[4], count)
        bridge = latencies(sys.argv[5], sys.argv[6], count)
        print('figures: latency of one frame, python-can send to receive, %s -> %s through velk_bridge and the '
              'emulated adapter: p50 %.2f ms, p99 %.2f ms; bare vcan %s: p50 %.3f ms, p99 %.3f ms '
              '(ratio p50 %.1f, p99 %.1f)' % (sys.argv[5], sys.argv[6], bridge[0] * 1e3, bridge[1] * 1e3,
                                               sys.argv[3], base[0] * 1e3, base[1] * 1e3, bridge[0] / base[0],
                                               bridge[1] / base[1]))
        for i, name in enumerate(('p50', 'p99')):
            print('ROW|SocketCAN lab: latency %s through velk_bridge, %d frames|%.2f ms|bare vcan %.3f ms|%.1f'
                  % (name, count, bridge[i] * 1e3, base[i] * 1e3, bridge[i] / base[i]))
        return 0
    return 0 if back_to_back(sys.argv[1], sys.argv[2]) else 1


if __name__ == '__main__':
    sys.exit(main())
