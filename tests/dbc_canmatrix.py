#!/usr/bin/python3
"""Compares velk_decode --json with python3-canmatrix, an independent DBC reader.

    dbc_canmatrix.py DBC TRACE.log DECODED.jsonl

TRACE.log holds candump log lines, DECODED.jsonl velk_decode's JSON line for
each. For every frame canmatrix decodes the same payload; the message, the
set of signals and every signal's physical value and value text must agree.
Prints one line per difference ("frame N MESSAGE SIGNAL: what") and a last
line "compared F frames, S signals"; exits 0 (differences are for the caller
to judge: some are canmatrix's).
"""
import decimal
import json
import logging
import math
import sys
import warnings

warnings.filterwarnings("ignore")
logging.disable(logging.CRITICAL)

import canmatrix  # noqa: E402
import canmatrix.formats  # noqa: E402


def frames(path):
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3:
                continue
            ident, _, data = parts[2].partition("#")
            fd = data.startswith("#")
            if fd:
                data = data[2:]
            yield int(ident, 16), len(ident) == 8, bytes.fromhex(data)


def same_number(ours, theirs):
    if ours is None:
        return not math.isfinite(float(theirs))
    if isinstance(ours, int):
        return decimal.Decimal(ours) == decimal.Decimal(theirs)
    a, b = float(ours), float(theirs)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b or abs(a - b) <= 1e-12 * max(1.0, abs(a), abs(b))


def main():
    db = canmatrix.formats.loadp_flat(sys.argv[1])
    with open(sys.argv[3]) as f:
        decoded = [json.loads(line) for line in f]
    trace = list(frames(sys.argv[2]))
    if len(trace) != len(decoded):
        print("frame count: trace %d, decoded %d" % (len(trace), len(decoded)))
    count = 0
    for n, ((ident, ext, data), ours) in enumerate(zip(trace, decoded)):
        frame = db.frame_by_id(canmatrix.ArbitrationId(ident, extended=ext))
        name = frame.name if frame is not None else None
        if name != ours["message"]:
            print("frame %d: message ours %s canmatrix %s" % (n, ours["message"], name))
            continue
        if frame is None:
            continue
        theirs = frame.decode(data)
        ours_names = set(ours["signals"]) | set(ours["missing"])
        for s in sorted(ours_names ^ set(theirs)):
            print("frame %d %s %s: %s" % (n, name, s, "only ours" if s in ours_names else "only canmatrix's"))
        for s, value in theirs.items():
            if s not in ours["signals"]:
                continue
            count += 1
            phys = value.phys_value
            if not same_number(ours["signals"][s], phys):
                print("frame %d %s %s: value ours %r canmatrix %r (raw %r)" %
                      (n, name, s, ours["signals"][s], phys, value.raw_value))
            named = value.named_value
            text = named if isinstance(named, str) else None
            if text != ours["text"].get(s):
                print("frame %d %s %s: text ours %r canmatrix %r (raw %r)" %
                      (n, name, s, ours["text"].get(s), text, value.raw_value))
    print("compared %d frames, %d signals" % (len(decoded), count))


if __name__ == "__main__":
    main()
