"""python-can 4.1's BLF reader and writer, as the BLF tests' oracle.

    blf_python_can.py read FILE
        one line per message BLFReader gives:
        time channel id extended remote fd brs esi error dlc data rx
    blf_python_can.py write FILE LEVEL CONTAINER MARKER ALL < LINES
        BLFWriter writes the messages of the lines (the same fields; channel
        0-based as python-can counts), compression LEVEL, containers of at
        most CONTAINER bytes; MARKER 1 adds a global marker after the first.
        BLFWriter 4.1 writes one container when it stops and loses what
        does not fit in it; ALL 1 has it write them all first.
"""
import sys

import can


def line(m):
    return "%.6f %s %X %d %d %d %d %d %d %d %s %d" % (
        m.timestamp, m.channel, m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_fd,
        m.bitrate_switch, m.error_state_indicator, m.is_error_frame, m.dlc, m.data.hex().upper(), m.is_rx)


def message(text):
    t, ch, ident, ext, remote, fd, brs, esi, err, dlc, data, rx = text.split()
    return can.Message(timestamp=float(t), channel=int(ch), arbitration_id=int(ident, 16),
                       is_extended_id=ext == "1", is_remote_frame=remote == "1", is_fd=fd == "1",
                       bitrate_switch=brs == "1", error_state_indicator=esi == "1", is_error_frame=err == "1",
                       dlc=int(dlc), data=bytes.fromhex(data if data != "-" else ""), is_rx=rx == "1",
                       check=False)


def main():
    if sys.argv[1] == "read":
        for m in can.BLFReader(sys.argv[2]):
            print(line(m))
        return
    path, level, container = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    marker, flush_all = sys.argv[5] == "1", sys.argv[6] == "1"
    w = can.BLFWriter(path, compression_level=level, max_container_size=container)
    for i, text in enumerate(sys.stdin.read().splitlines()):
        m = message(text)
        w.on_message_received(m)
        if i == 0 and marker:
            w.log_event("velk test", m.timestamp)
    while flush_all and w._buffer_size > 0:
        w._flush()
    w.stop()


main()
