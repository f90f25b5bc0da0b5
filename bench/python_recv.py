#!/usr/bin/python3
"""Receive rate through python-can: VelkBus.recv() against velk_sim, and, as
the baseline of the same run, python-can's slcan interface against a small
slcan device emulated here on a pseudo-terminal, both receiving the same
classic frames. Prints ROW lines for scripts/bench.

Usage: python_recv.py [COUNT]      (PYTHONPATH with velk, VELK_SIM set)

The velk frames are sent on CAN2 of an emulated adapter in loopback and
received on CAN1 once all were sent, so recv() drains a backlog as fast as
it can; the slcan device writes its whole backlog as soon as the bus opens
the channel.
"""

import os
import subprocess
import sys
import time

import can

SIM = os.environ.get("VELK_SIM", "velk_sim")
GOAL = 40000  # frames/s through VelkBus.recv()


def frames(count):
    out = []
    for i in range(count):
        ext = i % 4 == 3
        out.append(can.Message(arbitration_id=(0x10000 + i) if ext else i & 0x7FF, is_extended_id=ext,
                               data=(i.to_bytes(4, "big") + b"\xA5\x5A\xC3\x3C")[:i % 9]))
    return out


def same(a, b):
    return (a.arbitration_id, a.is_extended_id, bytes(a.data)) == (b.arbitration_id, b.is_extended_id, bytes(b.data))


def receive_all(bus, sent):
    """Receives len(sent) frames; (frames/s, CPU s per frame, lost)."""
    got = []
    cpu0, t0 = time.process_time(), time.perf_counter()
    while len(got) < len(sent):
        m = bus.recv(2.0)
        if m is None:
            break
        got.append(m)
    dt, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    ok = sum(1 for a, b in zip(sent, got) if same(a, b))
    return len(got) / dt if dt > 0 else 0.0, cpu / max(len(got), 1), len(sent) - ok


def velk_run(sent):
    sim = subprocess.Popen([SIM, "--loopback"], stdout=subprocess.PIPE)
    try:
        path = sim.stdout.readline().split()[0].decode()
        rx = can.Bus(interface="velk", channel=f"{path}:CAN1", bitrate=1000000)
        tx = can.Bus(interface="velk", channel=f"{path}:CAN2", bitrate=1000000)
        try:
            for m in sent:
                tx.send(m)
            return receive_all(rx, sent)
        finally:
            rx.shutdown()
            tx.shutdown()
    finally:
        sim.terminate()
        sim.wait()


def slcan_text(m):
    if m.is_extended_id:
        return b"T%08X%d%s\r" % (m.arbitration_id, len(m.data), m.data.hex().upper().encode())
    return b"t%03X%d%s\r" % (m.arbitration_id, len(m.data), m.data.hex().upper().encode())


def slcan_device(master, backlog):
    """The emulated slcan device: once the host opens the channel ("O"),
    writes the whole backlog; answers every command with CR; ends when the
    host closes the port."""
    pending = b""
    sent = False
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            return
        if not chunk:
            return
        pending += chunk
        while b"\r" in pending:
            cmd, pending = pending.split(b"\r", 1)
            os.write(master, b"\r")
            if cmd == b"O" and not sent:
                sent = True
                view = memoryview(backlog)
                while view:
                    view = view[os.write(master, view):]


def slcan_run(sent):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    child = os.fork()
    if child == 0:
        os.close(slave)
        try:
            slcan_device(master, b"".join(slcan_text(m) for m in sent))
        finally:
            os._exit(0)
    os.close(master)
    try:
        bus = can.Bus(interface="slcan", channel=path, sleep_after_open=0)
        os.close(slave)
        slave = -1
        try:
            # The device's CR answer to "O" comes first; recv() reads past it.
            return receive_all(bus, sent)
        finally:
            bus.shutdown()
    finally:
        if slave >= 0:
            os.close(slave)
        os.waitpid(child, 0)


def row(what, figure, baseline, ratio):
    print(f"ROW|{what}|{figure}|{baseline}|{ratio:.3f}", flush=True)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    sent = frames(count)
    v_rate, v_cpu, v_lost = velk_run(sent)
    s_rate, s_cpu, s_lost = slcan_run(sent)
    row(f"python-can VelkBus.recv(), {count:,} classic frames", f"{v_rate:,.0f} frames/s",
        f"python-can slcan, same frames from an emulated serial device: {s_rate:,.0f} frames/s",
        v_rate / s_rate if s_rate else 0)
    row("python-can VelkBus.recv() against the goal", f"{v_rate:,.0f} frames/s", f"goal {GOAL:,} frames/s",
        v_rate / GOAL)
    row("python-can VelkBus.recv() CPU per frame", f"{v_cpu * 1e6:.1f} µs", f"slcan {s_cpu * 1e6:.1f} µs",
        v_cpu / s_cpu if s_cpu else 0)
    print(f"ROW|python-can VelkBus.recv() lost / slcan lost|{v_lost} / {s_lost}|must be 0|", flush=True)
    return 1 if v_lost else 0


if __name__ == "__main__":
    sys.exit(main())
