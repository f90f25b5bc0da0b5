"""python-can's TRC reader and writer, for the TRC tests.

    trace_trc_pythoncan.py read FILE    one line per message TRCReader gives
    trace_trc_pythoncan.py write FILE   the messages below, through TRCWriter
"""
import sys

import can

# time, channel, identifier, extended, is_rx, data
MESSAGES = [
    (1700000000.000250, 0, 0x123, False, True, b"\xde\xad\xbe\xef"),
    (1700000000.001500, 1, 0x18DAF110, True, False, b"\x01\x02\x03\x04\x05\x06\x07\x08"),
    (1700000000.250000, 0, 0x456, True, True, b""),
    (1700000001.999999, 1, 0x7FF, False, True, b"\x11"),
]


def read(path):
    for m in can.TRCReader(path):
        print("%.6f %s %X %d %d %d %d %d %s %d" % (
            m.timestamp, m.channel, m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_fd,
            m.is_error_frame, m.dlc, m.data.hex().upper(), m.is_rx))


def write(path):
    w = can.TRCWriter(path)
    for t, channel, ident, ext, rx, data in MESSAGES:
        w.on_message_received(can.Message(timestamp=t, channel=channel, arbitration_id=ident,
                                          is_extended_id=ext, is_rx=rx, data=data))
    w.stop()


if __name__ == "__main__":
    {"read": read, "write": write}[sys.argv[1]](sys.argv[2])
