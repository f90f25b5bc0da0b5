"""python-can's own socketcand interface as the client of velk_socketcand:
the server serves one emulated adapter whose CAN1 is wired to CAN1 of a
second one, which python-can's velk interface drives as the other node on
the bus."""

import os
import select
import subprocess
import time

import can
import pytest

from conftest import SIM

BUILD = os.environ.get("VELK_BUILD_DIR", "")
SERVER = os.environ.get("VELK_SOCKETCAND") or os.path.join(BUILD, "socketcand", "velk_socketcand")

pytestmark = pytest.mark.skipif(not os.access(SERVER, os.X_OK), reason="needs velk_socketcand")


class Server:
    """velk_socketcand on a free port; `port` is read from its first line."""

    def __init__(self, device, *args, timeout=20.0):
        self.proc = subprocess.Popen([SERVER, "-p", "0", "-q", *args, device], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        out = b""
        deadline = time.monotonic() + timeout
        while b"\n" not in out:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                self.stop()
                raise RuntimeError("velk_socketcand did not start")
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                self.stop()
                raise RuntimeError(f"velk_socketcand ended: {self.proc.stderr.read()!r}")
            out += chunk
        # "velk_socketcand: listening on 127.0.0.1:PORT, buses ..."
        self.port = int(out.split(b"listening on ")[1].split(b",")[0].split(b":")[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode


@pytest.fixture
def bench(sim_factory):
    sim = sim_factory("-A", "2", "--bus", "0.CAN1=1.CAN1", ports=2)
    server = Server(sim.paths[0])
    node = can.Bus(interface="velk", channel=f"{sim.paths[1]}:CAN1")
    yield server, node
    node.shutdown()
    assert server.stop() == 0


def client(server, channel="can0"):
    return can.Bus(interface="socketcand", host="127.0.0.1", port=server.port, channel=channel)


def recv_one(bus, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        m = bus.recv(0.5)
        if m is not None:
            return m
    return None


def test_a_frame_sent_by_python_can_arrives_on_the_adapters_wire(bench):
    server, node = bench
    bus = client(server)
    try:
        bus.send(can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\x01\x0a\xff"))
        bus.send(can.Message(arbitration_id=0x1ABCDE, is_extended_id=True, data=b""))
        got = recv_one(node)
        assert got is not None
        assert (got.arbitration_id, got.is_extended_id, bytes(got.data)) == (0x123, False, b"\x01\x0a\xff")
        got = recv_one(node)
        assert got is not None
        assert (got.arbitration_id, got.is_extended_id, bytes(got.data)) == (0x1ABCDE, True, b"")
    finally:
        bus.shutdown()


def test_frames_the_other_node_sends_arrive_with_sensible_timestamps(bench):
    server, node = bench
    bus = client(server)
    try:
        before = time.time()
        for i in range(5):
            node.send(can.Message(arbitration_id=0x200 + i, is_extended_id=False, data=bytes([i] * (i + 1))))
        got = [recv_one(bus) for _ in range(5)]
        after = time.time()
        assert all(m is not None for m in got)
        assert [m.arbitration_id for m in got] == [0x200 + i for i in range(5)]
        assert [bytes(m.data) for m in got] == [bytes([i] * (i + 1)) for i in range(5)]
        stamps = [m.timestamp for m in got]
        assert stamps == sorted(stamps)
        # Wall-clock times of this run, not adapter ticks from zero.
        assert before - 1.0 < stamps[0] and stamps[-1] < after + 1.0
    finally:
        bus.shutdown()


def test_two_python_can_clients_on_one_bus_see_each_others_frames(bench):
    server, node = bench
    a = client(server)
    b = client(server)
    try:
        a.send(can.Message(arbitration_id=0x10, is_extended_id=False, data=b"\xaa"))
        got = recv_one(b)
        assert got is not None and (got.arbitration_id, bytes(got.data)) == (0x10, b"\xaa")
        b.send(can.Message(arbitration_id=0x11, is_extended_id=False, data=b"\xbb"))
        got = recv_one(a)
        assert got is not None and (got.arbitration_id, bytes(got.data)) == (0x11, b"\xbb")
        # Both frames went out on the wire too.
        seen = [recv_one(node), recv_one(node)]
        assert [m.arbitration_id for m in seen if m] == [0x10, 0x11]
    finally:
        a.shutdown()
        b.shutdown()
