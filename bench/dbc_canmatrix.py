#!/usr/bin/python3
"""The baseline of bench_dbc_rate: python3-canmatrix loading a DBC file and
decoding frames ("ID EXTENDED HEXDATA" lines) with it.

Usage: dbc_canmatrix.py DBC FRAMES
Prints: load seconds, decode seconds, signals decoded.
"""
import logging
import sys
import time
import warnings

warnings.filterwarnings("ignore")
logging.disable(logging.CRITICAL)

import canmatrix  # noqa: E402
import canmatrix.formats  # noqa: E402


def main():
    t0 = time.perf_counter()
    db = canmatrix.formats.loadp_flat(sys.argv[1])
    load = time.perf_counter() - t0
    frames = []
    with open(sys.argv[2]) as f:
        for line in f:
            ident, ext, data = line.split()
            frames.append((db.frame_by_id(canmatrix.ArbitrationId(int(ident), extended=ext == "1")),
                           bytes.fromhex(data)))
    signals = 0
    t0 = time.process_time()
    for frame, data in frames:
        signals += len(frame.decode(data))
    print("%.6f %.6f %d" % (load, time.process_time() - t0, signals))


if __name__ == "__main__":
    main()
